#!/usr/bin/env bash
# Builds the Debian packages the Debian way and checks them, for this machine's
# Debian release or for another one named by its suite:
#
#   scripts/package.sh            # this machine's release, into build-deb/
#   scripts/package.sh trixie     # Debian 13, into build-deb-trixie/
#
# The checkout's files are copied to OUT/proxywarden/, since dpkg-buildpackage
# writes the packages next to the source directory; there `dpkg-buildpackage
# -us -uc -b` builds OUT/proxywarden_VERSION_ARCH.deb and
# proxywarden-libunix_VERSION_ARCH.deb (running the unit tests on the way,
# unless DEB_BUILD_OPTIONS has nocheck). For this machine's release, as root,
# `apt-get build-dep ./` first installs the build dependencies. Another
# release builds in the root that e2e/boot/root.sh keeps for it, which already
# holds them: under an overlay whose changes live in a tmpfs, in a mount
# namespace of its own, chrooted, without network; this same script, from the
# copy, then runs the build and the checks there with that release's tools.
# Fails on any lintian error or warning, and on any hardening feature that
# hardening-check reports missing in the program or the helper library. Last,
# for this machine's release, it fetches from Debian's archive the packages
# that the package's end-to-end case installs beside them, into OUT/archives/:
# the sandbox has no network.
set -euo pipefail

# build_and_check OUT: builds OUT/proxywarden into OUT and checks the packages,
# with the tools of the system it runs on.
build_and_check() {
  local out=$1 name status file
  name=$(basename "$out")
  cd "$out/proxywarden"
  dpkg-buildpackage -us -uc -b > "$out/dpkg-buildpackage.log" 2>&1 ||
    { tail -n 60 "$out/dpkg-buildpackage.log"; echo "package: dpkg-buildpackage failed ($name/dpkg-buildpackage.log)"; exit 1; }
  cd "$out"
  echo "package: built $(ls proxywarden*.deb | grep -v dbgsym | sed "s|^|$name/|" | paste -sd ' ')"

  # Every package built (the program's, the helper library's and their debug
  # symbols'), with the info and pedantic tags shown (--display-info: --info
  # only explains the tags); lintian's note that it runs as root is left out.
  # The overridden tags are listed apart: shown, lintian would count them as
  # failures.
  status=0
  lintian --fail-on error,warning --display-info --pedantic proxywarden_*.changes > lintian.log 2>&1 || status=$?
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
  # looks for x86's CET marks, which the linker records only when every object
  # linked in carries them: where the C library's start files lack them (as
  # Debian 12's and 13's do), no program can have them, and that check is left
  # out. Debian 13's also looks for AArch64's branch protection marks, which
  # no other architecture has.
  local options=() start
  for start in Scrt1.o crti.o crtn.o; do
    [[ $(readelf -n "$(cc -print-file-name=$start)") == *'x86 feature: IBT, SHSTK'* ]] || options=(--nocfprotection)
  done
  if [[ $(dpkg --print-architecture) != arm64 && $(hardening-check --help 2>&1 || true) == *--nobranchprotection* ]]; then
    options+=(--nobranchprotection)
  fi
  mkdir installed
  for deb in proxywarden_*.deb proxywarden-libunix_*.deb; do dpkg-deb -x "$deb" installed; done
  for file in installed/usr/sbin/proxywarden installed/usr/share/brantelbase/ressources/libunix.so; do
    hardening-check "${options[@]}" "$file" || { echo "package: hardening-check finds $file lacking"; exit 1; }
  done
  echo "package: hardening-check passed"

  # Static-Built-Using names the GCC whose C++ runtime is linked in: the
  # version that the program's .comment records for what that GCC compiled
  # (in the build tree's program: the shipped one is stripped of it).
  local field version
  field=$(dpkg-deb -f proxywarden_*_*.deb Static-Built-Using)
  version=$(sed -n 's/^gcc-[0-9]* (= \([^)]*\))$/\1/p' <<<"$field")
  if [[ -z $version ]] ||
    ! readelf -p .comment "proxywarden/obj-$(dpkg-architecture -qDEB_HOST_GNU_TYPE)/proxywarden" |
    grep -qF "(Debian $version)"; then
    echo "package: Static-Built-Using ($field) names no GCC that built the program"
    exit 1
  fi
  echo "package: Static-Built-Using: $field"
}

# in_root RELEASE ROOT OUT SCRATCH: in mount and network namespaces of its
# own (loopback only), builds and checks OUT/proxywarden in RELEASE's ROOT,
# which stays as it is: the build writes to an overlay whose changes live in a
# tmpfs on SCRATCH, and to OUT, bound at the same path.
in_root() {
  local release=$1 root=$2 out=$3 scratch=$4 merged
  merged=$scratch/root
  ip link set lo up
  mount -t tmpfs -o mode=0755 build "$scratch"
  mkdir "$scratch/upper" "$scratch/work" "$merged"
  # The overlay's root is a mount point, as the unit tests that make a mount
  # namespace of their own need it to be.
  mount -t overlay overlay -o "lowerdir=$root,upperdir=$scratch/upper,workdir=$scratch/work" "$merged"
  mount -t proc proc "$merged/proc"
  mount --rbind /sys "$merged/sys"
  mount --rbind /dev "$merged/dev"
  mount -t tmpfs -o mode=1777,nosuid,nodev shm "$merged/dev/shm"
  mkdir -p "$merged$out"
  mount --bind "$out" "$merged$out"
  local run=(chroot "$merged" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8
             DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-}" DEB_BUILD_PROFILES="${DEB_BUILD_PROFILES:-}")
  "${run[@]}" sh -c 'cd "$1" && dpkg-checkbuilddeps' sh "$out/proxywarden" > "$out/build-dep.log" 2>&1 ||
    { cat "$out/build-dep.log"; echo "package: $release's root lacks build dependencies (e2e/boot/root.sh's list)"; exit 1; }
  "${run[@]}" bash "$out/proxywarden/scripts/package.sh" --build "$out"
}

if [[ ${1:-} == --build ]]; then
  build_and_check "$2"
  exit 0
fi
if [[ ${1:-} == --in-root ]]; then
  in_root "$2" "$3" "$4" "$5"
  exit 0
fi

cd "$(dirname "$0")/.."
host=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
release=${1:-$host}
[[ $# -le 1 && $release =~ ^[a-z]+$ ]] || { echo "usage: scripts/package.sh [RELEASE]" >&2; exit 2; }
if [[ $release == "$host" ]]; then
  out=$PWD/build-deb
else
  out=$PWD/build-deb-$release
fi
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

if [[ $release != "$host" ]]; then
  root=$(e2e/boot/root.sh "$release")
  scratch=$(mktemp -d /tmp/proxywarden-package.XXXXXX)
  trap 'rmdir "$scratch"' EXIT
  # The namespaces' mounts and processes end with it.
  unshare --mount --propagation private --net --pid --fork --kill-child -- bash "$PWD/scripts/package.sh" --in-root "$release" "$root" "$out" "$scratch"
  exit 0
fi

# What building and checking need beyond the build dependencies, where it is
# missing (scripts/deps.sh installs it too); then the build dependencies.
{
  for tool in dpkg-buildpackage lintian hardening-check readelf; do
    command -v "$tool" > /dev/null || { apt-get update && apt-get install -y --no-install-recommends \
      -o DPkg::Lock::Timeout=600 dpkg-dev lintian devscripts binutils; break; }
  done
  cd "$out/proxywarden" && apt-get build-dep -y -o DPkg::Lock::Timeout=600 ./
} > "$out/build-dep.log" 2>&1 || { cat "$out/build-dep.log"; exit 1; }
build_and_check "$out"

mkdir archives
(cd archives && apt-get download squid squid-common sqlite3 > ../download.log 2>&1) ||
  { cat download.log; echo "package: cannot fetch Debian's squid and sqlite3 packages"; exit 1; }
echo "package: fetched $(ls archives | paste -sd ' ') for the package's end-to-end case"
