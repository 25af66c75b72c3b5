#!/usr/bin/env bash
# Builds the Debian packages the Debian way and checks them. The checkout's
# files are copied to build-deb/proxywarden/, since dpkg-buildpackage writes the
# packages next to the source directory; there, as root, `apt-get build-dep ./`
# installs the build dependencies and `dpkg-buildpackage -us -uc -b` builds
# build-deb/proxywarden_VERSION_ARCH.deb and proxywarden-libunix_VERSION_ARCH.deb
# (running the unit tests on the way, unless DEB_BUILD_OPTIONS has nocheck).
# Fails on any lintian error or warning, and on any hardening feature that
# hardening-check reports missing in the program or the helper library. Last,
# it fetches from Debian's archive the packages that the package's end-to-end
# case installs beside them, into build-deb/archives/: the sandbox has no
# network.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$PWD/build-deb
rm -rf "$out"
mkdir -p "$out/proxywarden"
# What a clean checkout would hold with the working tree's changes committed:
# the tracked files as they are in the tree, and the new ones git does not ignore.
if git rev-parse --is-inside-work-tree > /dev/null 2>&1; then
  git ls-files -z --cached --others --exclude-standard |
    xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh |
    tar --null -T - -cf - | tar -xf - -C "$out/proxywarden"
else
  tar --exclude='./build*' --exclude=./stage -cf - . | tar -xf - -C "$out/proxywarden"
fi

cd "$out/proxywarden"
apt-get build-dep -y -o DPkg::Lock::Timeout=600 ./ > "$out/build-dep.log" 2>&1 || { cat "$out/build-dep.log"; exit 1; }
dpkg-buildpackage -us -uc -b > "$out/dpkg-buildpackage.log" 2>&1 ||
  { tail -n 60 "$out/dpkg-buildpackage.log"; echo "package: dpkg-buildpackage failed (build-deb/dpkg-buildpackage.log)"; exit 1; }
cd "$out"
echo "package: built $(ls proxywarden*.deb | grep -v dbgsym | sed 's|^|build-deb/|' | paste -sd ' ')"

# Every package built (the program's, the helper library's and their debug
# symbols'), with the info and pedantic tags shown; lintian's note that it runs
# as root is left out. The overridden tags are listed apart: shown, lintian
# would count them as failures.
status=0
lintian --fail-on error,warning --info --pedantic proxywarden_*.changes > lintian.log 2>&1 || status=$?
grep -v '^running with root privileges' lintian.log || true
if [[ $status != 0 ]] || grep -qE '^[EW]: ' lintian.log; then
  echo "package: lintian reports errors or warnings"
  exit 1
fi
lintian --show-overrides proxywarden_*.changes 2>&1 | grep '^O: ' || true
echo "package: lintian: no error, no warning"

# hardening-check fails on every feature it finds missing; a shared library
# is no executable (PIE ignored), and stack clash protection shows only in
# functions with large frames, so "unknown" passes. Its control-flow check
# looks for the CET marks, which Debian 12's start files keep out of every
# program linked with them (README.md, Installing on an appliance): not
# checked.
mkdir installed
for deb in proxywarden_*.deb proxywarden-libunix_*.deb; do dpkg-deb -x "$deb" installed; done
for file in installed/usr/sbin/proxywarden installed/usr/share/brantelbase/ressources/libunix.so; do
  hardening-check --nocfprotection "$file" || { echo "package: hardening-check finds $file lacking"; exit 1; }
done
echo "package: hardening-check passed"

mkdir archives
(cd archives && apt-get download squid squid-common sqlite3 > ../download.log 2>&1) ||
  { cat download.log; echo "package: cannot fetch Debian's squid and sqlite3 packages"; exit 1; }
echo "package: fetched $(ls archives | paste -sd ' ') for the package's end-to-end case"
