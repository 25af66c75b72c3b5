#!/usr/bin/env bash
# Fails on any difference from the checked-in clang-format style and on any
# clang-tidy finding (.clang-tidy) in the program, its tests and its tools, and
# on any shellcheck finding (at its default severity, style included) in any
# shell script of the project: every tracked or new file named *.sh or whose
# first line runs sh, bash or dash, the sourced end-to-end cases and the
# maintainer scripts among them; .shellcheckrc has shellcheck follow what
# they source.
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
mapfile -t sources < <(git ls-files --cached --others --exclude-standard '*.cc' '*.h' '*.c')
clang-format --dry-run --Werror "${sources[@]}"
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
# shellcheck disable=SC2016 # the script of bash -c, with its own argument
git ls-files --cached --others --exclude-standard '*.cc' | grep -v '_fuzz\.cc$' |
  xargs -r -P "$(nproc)" -I{} bash -c 'tidy "$1"' _ {} ||
  { echo "lint: clang-tidy findings"; exit 1; }

# The shell scripts: found, not listed, so that a new one is checked too.
scripts=()
shell='^#! *(/usr)?/bin/(env +)?(ba|da)?sh( |$)'
while IFS= read -r -d '' file; do
  [[ -f $file ]] || continue
  first=''
  IFS= read -r -n 64 first < "$file" 2> /dev/null || true
  if [[ $file == *.sh || $first =~ $shell ]]; then
    scripts+=("$file")
  fi
done < <(git ls-files -z --cached --others --exclude-standard)
shellcheck "${scripts[@]}" || { echo "lint: shellcheck findings"; exit 1; }
units=$(git ls-files --cached --others --exclude-standard '*.cc' | grep -vc '_fuzz\.cc$')
tidied=0
[[ ! -f build-lint/tidied ]] || tidied=$(wc -l < build-lint/tidied)
echo "lint: clang-format, clang-tidy ($tidied of $units units checked, the others kept clean) and shellcheck (${#scripts[@]} scripts) clean"
