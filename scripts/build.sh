#!/usr/bin/env bash
# Builds proxywarden and its tests in build/, and installs it into stage/.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
rm -rf stage
DESTDIR="$PWD/stage" cmake --install build --prefix /usr
