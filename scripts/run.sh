#!/usr/bin/env bash
# Installs what is needed, builds, and runs the program's main job against a
# real Squid inside a private sandbox (the machine's own proxy paths, processes
# and network settings are not touched).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh > /dev/null
bash scripts/build.sh > /dev/null
e2e/sandbox.sh stage build/sandbox_init -- bash "$PWD/e2e/demo.sh"
