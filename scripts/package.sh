#!/usr/bin/env bash
# Builds the Debian package the Debian way and checks it. The checkout's files
# are copied to build-deb/proxywarden/, since dpkg-buildpackage writes the
# package next to the source directory; there, as root, `apt-get build-dep ./`
# installs the build dependencies and `dpkg-buildpackage -us -uc -b` builds
# build-deb/proxywarden_VERSION_ARCH.deb (running the unit tests on the way).
# Fails on any lintian error or warning, and when hardening-check finds no
# stack protector, no read-only relocations or no immediate binding in the
# program or the helper library, no PIE in the program, or only unprotected
# functions where _FORTIFY_SOURCE could have protected some.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$PWD/build-deb
rm -rf "$out"
mkdir -p "$out/proxywarden"
# What a clean checkout holds: the tracked files, as they are in the tree.
if git rev-parse --is-inside-work-tree > /dev/null 2>&1; then
  git ls-files -z --cached | xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh |
    tar --null -T - -cf - | tar -xf - -C "$out/proxywarden"
else
  tar --exclude='./build*' --exclude=./stage -cf - . | tar -xf - -C "$out/proxywarden"
fi

cd "$out/proxywarden"
apt-get build-dep -y ./ > "$out/build-dep.log" 2>&1 || { cat "$out/build-dep.log"; exit 1; }
dpkg-buildpackage -us -uc -b > "$out/dpkg-buildpackage.log" 2>&1 ||
  { tail -n 60 "$out/dpkg-buildpackage.log"; echo "package: dpkg-buildpackage failed (build-deb/dpkg-buildpackage.log)"; exit 1; }
cd "$out"
deb=$(ls proxywarden_*.deb)
echo "package: built build-deb/$deb"

# Every package built (the program's and its debug symbols'), with the info and
# pedantic tags shown; lintian's note that it runs as root is left out. The
# overridden tags are listed apart: shown, lintian would count them as failures.
status=0
lintian --fail-on error,warning --info --pedantic proxywarden_*.changes > lintian.log 2>&1 || status=$?
grep -v '^running with root privileges' lintian.log || true
if [[ $status != 0 ]] || grep -qE '^[EW]: ' lintian.log; then
  echo "package: lintian reports errors or warnings"
  exit 1
fi
lintian --show-overrides proxywarden_*.changes 2>&1 | grep '^O: ' || true
echo "package: lintian: no error, no warning"

mkdir installed
dpkg-deb -x "$deb" installed
# hardening_check FILE FEATURE...: each FEATURE must be reported "yes".
hardening_check() {
  local report
  report=$(hardening-check "$1" || true)
  echo "$report"
  for feature in "${@:2}"; do
    grep -q "^ $feature: yes" <<<"$report" || { echo "package: $1 lacks $feature"; return 1; }
  done
  if grep -q "only unprotected functions found" <<<"$report"; then
    echo "package: $1 was not built with _FORTIFY_SOURCE"
    return 1
  fi
}
hardening_check installed/usr/sbin/proxywarden "Position Independent Executable" "Stack protected" \
  "Read-only relocations" "Immediate binding"
hardening_check installed/usr/share/brantelbase/ressources/libunix.so "Stack protected" "Read-only relocations" \
  "Immediate binding"
echo "package: hardening-check passed"
