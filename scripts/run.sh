#!/usr/bin/env bash
# Installs what is needed, builds, and runs the program's main job against a
# real Squid inside a private sandbox (the machine's own proxy paths, processes
# and network settings are not touched). The set-up's output goes to
# build-logs/deps.log and build-logs/build.log.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build-logs
# quietly LOG MESSAGE COMMAND...: says what it does, and shows LOG's end if it fails.
quietly() {
  local log=build-logs/$1
  echo "run: $2 ($log)"
  "${@:3}" > "$log" 2>&1 || { tail -n 40 "$log"; echo "run: failed; the whole output is in $log"; exit 1; }
}
quietly deps.log "installing the build and run dependencies with apt-get" bash scripts/deps.sh
quietly build.log "building proxywarden in build/ and installing it into stage/ (a minute or two)" bash scripts/build.sh
echo "run: starting Squid with the program in a private sandbox"
e2e/sandbox.sh stage build/sandbox_init -- bash "$PWD/e2e/demo.sh"
