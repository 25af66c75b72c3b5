#!/usr/bin/env bash
# Makes, once, the tarball of a Debian release that sbuild builds the packages
# in, and prints its path:  scripts/sbuild-tarball.sh RELEASE [HOST_ARCH]
# RELEASE is a suite name (trixie for Debian 13); HOST_ARCH is the
# architecture the packages are built for, by default this machine's; another
# one is a cross build, and its tarball also holds the cross toolchain and the
# build dependencies of that architecture. The tarball lives outside the
# checkout, in PROXYWARDEN_SBUILD_CACHE (by default
# /var/cache/proxywarden-sbuild) as RELEASE-BUILDARCH[-HOST_ARCH].tar.zst, and
# is made again when it is missing or was made with another list of packages
# (the stamp beside it, RELEASE-BUILDARCH[-HOST_ARCH].packages). mmdebstrap
# fetches from the Debian mirror that apt uses on this machine
# (PROXYWARDEN_MIRROR overrides it): a few minutes.
# The tarball holds everything a build needs, the build dependencies, lintian
# and the checks' tools (devscripts' hardening-check, binutils), so that
# sbuild installs nothing and needs no network. Runs that ask at the same time
# wait for one another; a tarball whose maker died is never used
# (scripts/lib.sh's cached). Installs mmdebstrap and zstd with apt-get where
# missing.
set -euo pipefail
me=sbuild-tarball.sh
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"
[[ $(id -u) == 0 ]] || { echo "sbuild-tarball.sh: must run as root" >&2; exit 77; }
release=${1:-}
build=$(dpkg --print-architecture)
host=${2:-$build}
[[ $release =~ ^[a-z]+$ && $host =~ ^[a-z0-9]+$ && $# -le 2 ]] ||
  { echo "usage: scripts/sbuild-tarball.sh RELEASE [HOST_ARCH]" >&2; exit 2; }
cd "$(dirname "$0")/.."
cache=${PROXYWARDEN_SBUILD_CACHE:-/var/cache/proxywarden-sbuild}

# debian/control's build dependencies, and what the build and its checks run.
packages=debhelper,cmake,libsqlite3-dev,libgtest-dev,lintian,devscripts,binutils,file
architectures=$build
name=$release-$build
# A cross build resolves its build dependencies with apt's external solver
# (apt-utils'), which sbuild would otherwise copy from this machine, of
# another release; its unit tests, run under the emulator, load HOST_ARCH's
# C++ runtime.
if [[ $host != "$build" ]]; then
  packages+=,apt-utils,crossbuild-essential-$host,libsqlite3-dev:$host,libgtest-dev:$host,libstdc++6:$host
  architectures+=,$host
  name+=-$host
fi
tarball=$cache/$name.tar.zst

# make_tarball NEW: the tarball at NEW, from the mirror. The buildd variant
# holds build-essential, as sbuild expects.
make_tarball() {
  echo "sbuild-tarball.sh: $release for $architectures from $mirror"
  nice -n 10 mmdebstrap --variant=buildd --architectures="$architectures" --include="$packages" \
    "$release" "$1" "$mirror"
}

apt_need mmdebstrap zstd
mirror=$(debian_mirror release)
cached "$tarball" "$cache/$name.packages" "$packages" make_tarball
echo "$tarball"
