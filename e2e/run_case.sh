#!/usr/bin/env bash
# Installs the build into a fresh stage and runs one end-to-end case in a
# sandbox of its own:  e2e/run_case.sh BUILD_DIR CASE.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "$1")
case_file=$(realpath "$2")
stage=$(mktemp -d /tmp/proxywarden-stage.XXXXXX)
trap 'rm -rf "$stage"' EXIT
DESTDIR="$stage" cmake --install "$build" --prefix /usr >/dev/null
FAKE_SQUID="$build/fake_squid" E2E_LIB="$here/lib.sh" E2E_BUILD="$build" \
  "$here/sandbox.sh" "$stage" "$build/sandbox_init" -- bash "$case_file"
