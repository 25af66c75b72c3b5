#!/usr/bin/env bash
# Fails on any difference from the checked-in clang-format style and on any
# clang-tidy finding (.clang-tidy) in the program, its tests and its tools.
set -euo pipefail
cd "$(dirname "$0")/.."
clang-format --dry-run --Werror $(git ls-files '*.cc' '*.h' '*.c')
cmake -S . -B build -DCMAKE_EXPORT_COMPILE_COMMANDS=ON > /dev/null
cmake --build build -j"$(nproc)" > /dev/null
# The fuzz targets build only with clang, outside this compilation database.
run-clang-tidy -p build -quiet -j"$(nproc)" $(git ls-files '*.cc' | grep -v '^fuzz/') > build/clang-tidy.log 2>&1 ||
  { grep -E 'warning:|error:' -A3 build/clang-tidy.log; echo "lint: clang-tidy findings"; exit 1; }
echo "lint: clang-format and clang-tidy clean"
