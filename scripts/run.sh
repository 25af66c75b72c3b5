#!/usr/bin/env bash
# Installs the dependencies, builds, installs into stage/ and runs the program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh
export LD_LIBRARY_PATH="$PWD/stage/usr/share/brantelbase/ressources"
set -x
stage/usr/sbin/proxywarden pid
stage/usr/sbin/proxywarden ps
