#!/usr/bin/env bash
# Builds the fuzz targets with clang, AddressSanitizer and UndefinedBehaviorSanitizer,
# replays every input kept in fuzz/regressions/TARGET/, then fuzzes each target
# for FUZZ_SECONDS (default 20) seconds. An input that fails is written to
# build-fuzz/failures/; keep it as fuzz/regressions/TARGET/NAME.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-20}
# Compiled units are kept in ccache's cache, CCACHE_DIR (by default
# /var/cache/proxywarden-ci/ccache), keyed on their preprocessed source and
# flags, paths within the checkout taken relative: a clone elsewhere finds them.
export CCACHE_DIR=${CCACHE_DIR:-/var/cache/proxywarden-ci/ccache} CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
  -DPROXYWARDEN_FUZZ=ON \
  -DPROXYWARDEN_TESTS=OFF -DPROXYWARDEN_STATIC_RUNTIME=OFF -DPROXYWARDEN_FORTIFY=OFF \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" > /dev/null
cmake --build build-fuzz -j"$(nproc)" > /dev/null
mkdir -p build-fuzz/failures
for target in pid_file list_form progress round2 journal; do
  fuzzer=build-fuzz/${target}_fuzz
  regressions=fuzz/regressions/$target
  if compgen -G "$regressions/*" > /dev/null; then
    "$fuzzer" "$regressions"/* > "build-fuzz/$target.replay.log" 2>&1 ||
      { cat "build-fuzz/$target.replay.log"; echo "fuzz: $target fails on a kept regression input"; exit 1; }
  fi
  corpus=$(mktemp -d)
  cp -r "$regressions/." "$corpus/" 2>/dev/null || true
  if ! "$fuzzer" -max_total_time="$seconds" -artifact_prefix="build-fuzz/failures/$target-" \
      "$corpus" > "build-fuzz/$target.log" 2>&1; then
    tail -n 30 "build-fuzz/$target.log"
    echo "fuzz: $target failed; the input is in build-fuzz/failures/"
    exit 1
  fi
  echo "fuzz: $target: $(grep -o 'Done [0-9]* runs' "build-fuzz/$target.log" || echo 'ran'), no failure"
  rm -rf "$corpus"
done
