#!/usr/bin/env bash
# Fails on any difference from the checked-in clang-format style and on any
# clang-tidy finding (.clang-tidy) in the program, its tests and its tools, and
# on any shellcheck finding in the shell scripts that the package ships.
set -euo pipefail
cd "$(dirname "$0")/.."
clang-format --dry-run --Werror $(git ls-files --cached --others --exclude-standard '*.cc' '*.h' '*.c')
# clang-tidy needs the compilation database only: nothing is generated.
cmake -S . -B build-lint -DCMAKE_EXPORT_COMPILE_COMMANDS=ON > /dev/null
# The fuzz targets build only with clang, outside this compilation database.
run-clang-tidy -p build-lint -quiet -j"$(nproc)" $(git ls-files --cached --others --exclude-standard '*.cc' | grep -v '_fuzz\.cc$') > build-lint/clang-tidy.log 2>&1 ||
  { grep -E 'warning:|error:' -A3 build-lint/clang-tidy.log; echo "lint: clang-tidy findings"; exit 1; }
shellcheck proxy/launch-squid debian/proxywarden.postinst debian/proxywarden.prerm debian/proxywarden.postrm
echo "lint: clang-format, clang-tidy and shellcheck clean"
