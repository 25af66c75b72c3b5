#!/usr/bin/env bash
# Builds the program and its unit tests with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs the unit tests. _FORTIFY_SOURCE is left
# out: it needs optimisation, and its checked calls hide buffers from the
# sanitizer. `sanitize.sh build` only builds, `sanitize.sh test` only runs the
# tests, so that a caller may build at a low CPU priority and test at the usual.
set -euo pipefail
cd "$(dirname "$0")/.."
what=${1:-all}
if [[ $what != test ]]; then
  # Compiled units are kept in ccache's cache, CCACHE_DIR (by default
  # /var/cache/proxywarden-ci/ccache), keyed on their preprocessed source and
  # flags, paths within the checkout taken relative: a clone elsewhere finds them.
  export CCACHE_DIR=${CCACHE_DIR:-/var/cache/proxywarden-ci/ccache} CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
  flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
    -DPROXYWARDEN_STATIC_RUNTIME=OFF -DPROXYWARDEN_FORTIFY=OFF \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" > /dev/null
  cmake --build build-asan -j"$(nproc)" > /dev/null
fi
if [[ $what != build ]]; then
  cd build-asan
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --output-on-failure -j"$(nproc)" -L unit
fi
