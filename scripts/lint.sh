#!/usr/bin/env bash
# Fails on any difference from the checked-in clang-format style and on any
# clang-tidy finding (.clang-tidy) in the program, its tests and its tools, and
# on any shellcheck finding in the shell scripts that the package ships and
# their test.
#
# clang-tidy takes most of the time, and most units are the same from one run
# to the next: a unit found clean is remembered in PROXYWARDEN_LINT_CACHE
# (/var/cache/proxywarden-ci/clang-tidy by default), under a key made of what
# decides the verdict: clang-tidy's version, .clang-tidy, the unit's compile
# command and its preprocessed source, every header included, the checkout's
# own path left out (a clone elsewhere finds them). Only units without a clean
# verdict under their key are checked.
set -euo pipefail
cd "$(dirname "$0")/.."
clang-format --dry-run --Werror $(git ls-files --cached --others --exclude-standard '*.cc' '*.h' '*.c')
# clang-tidy needs the compilation database only: nothing is generated.
cmake -S . -B build-lint -DCMAKE_EXPORT_COMPILE_COMMANDS=ON > /dev/null
cache=${PROXYWARDEN_LINT_CACHE:-/var/cache/proxywarden-ci/clang-tidy}
mkdir -p "$cache"

# tidy FILE: checks FILE unless its key is kept as clean; keeps it when clean.
tidy() {
  local file=$PWD/$1 command key
  command=$(jq -r --arg file "$file" '.[] | select(.file == $file) | .command' build-lint/compile_commands.json)
  [[ -n $command ]] || { echo "lint: $1 is in no compile command"; return 1; }
  key=$( {
    clang-tidy --version
    cat .clang-tidy
    echo "$command"
    # The unit preprocessed, its output file left out.
    (cd build-lint && eval "${command/ -o [^ ]* / -E -o - }")
  } | sed "s|$PWD|.|g" | sha256sum | cut -d' ' -f1)
  [[ ! -e $cache/$key ]] || return 0
  clang-tidy -p build-lint --quiet "$file" > "build-lint/tidy.$(basename "$1").log" 2>&1 ||
    { grep -E 'warning:|error:' -A3 "build-lint/tidy.$(basename "$1").log"; return 1; }
  touch "$cache/$key"
  echo "$1" >> build-lint/tidied
}
export -f tidy
export cache
rm -f build-lint/tidied
# The fuzz targets build only with clang, outside this compilation database.
git ls-files --cached --others --exclude-standard '*.cc' | grep -v '_fuzz\.cc$' |
  xargs -r -P "$(nproc)" -I{} bash -c 'tidy "$1"' _ {} ||
  { echo "lint: clang-tidy findings"; exit 1; }
shellcheck proxy/launch-squid proxy/proxy-runs debian/maintscript-functions.sh debian/proxywarden.postinst debian/proxywarden.prerm debian/proxywarden.postrm \
  testing/shipped_scripts_test.sh
units=$(git ls-files --cached --others --exclude-standard '*.cc' | grep -vc '_fuzz\.cc$')
echo "lint: clang-format, clang-tidy ($(cat build-lint/tidied 2> /dev/null | wc -l) of $units units checked, the others kept clean) and shellcheck clean"
