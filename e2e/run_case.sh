#!/usr/bin/env bash
# Installs the build into a fresh stage and runs one end-to-end case in a
# sandbox of its own:  e2e/run_case.sh BUILD_DIR CASE.sh
# With E2E_KEEP=DIR, a case that fails leaves its sandbox's files in DIR/CASE:
# its working directory, with what it wrote there, and in *.upper every file
# it changed under /usr, /etc, /var and the sandbox's other overlays (Squid's
# log is var.upper/log/squid/cache.log).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "$1")
case_file=$(realpath "$2")
stage=$(mktemp -d /tmp/proxywarden-stage.XXXXXX)
trap 'rm -rf "$stage"' EXIT
DESTDIR="$stage" cmake --install "$build" --prefix /usr >/dev/null
keep=
[[ -z "${E2E_KEEP:-}" ]] || keep=$(realpath -m "$E2E_KEEP")/$(basename "$case_file" .sh)
# The sandbox's files leave it as a tar on descriptor 3, which is opened out
# here, past the overlays.
status=0
# shellcheck disable=SC2016 # the script of bash -c, with its own arguments
FAKE_SQUID="$build/fake_squid" E2E_LIB="$here/lib.sh" E2E_BUILD="$build" \
  "$here/sandbox.sh" "$stage" "$build/sandbox_init" -- bash -c '
    status=0
    bash "$1" || status=$?
    [[ $status == 0 || -z "$2" ]] || tar -C "$SANDBOX_SCRATCH" --exclude="./*.work" -cf - . >&3
    exit "$status"' case "$case_file" "$keep" 3> "$stage/kept.tar" || status=$?
if [[ -s "$stage/kept.tar" ]]; then
  rm -rf "$keep" && mkdir -p "$keep" && tar -C "$keep" -xf "$stage/kept.tar"
  echo "the sandbox's files are kept in $keep"
fi
exit "$status"
