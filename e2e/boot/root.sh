#!/usr/bin/env bash
# Makes, once, the Debian root of one release that the boot case starts with
# systemd as PID 1, and prints its path:  e2e/boot/root.sh [RELEASE]
# RELEASE is a suite name, bookworm (Debian 12, the default) or trixie
# (Debian 13). The root lives outside the checkout, in
# PROXYWARDEN_E2E_ROOTS/RELEASE (by default /var/cache/proxywarden-e2e/RELEASE),
# and is made again when it is missing or was made with another list of
# packages, or keeping others of them (Squid's stay, for the case to reinstall
# it). Making it takes a few minutes: debootstrap fetches from the Debian
# mirror that apt uses on this machine (PROXYWARDEN_MIRROR overrides it).
# The container has no network, so the root holds from the start everything
# the case needs besides the packages under test: systemd, Debian's squid,
# sqlite3 and the tools the case runs. `e2e/boot/root.sh --mirror` prints that
# mirror and makes nothing. Runs that ask at the same time wait for one
# another; a root that was being made when its maker died is never used
# (scripts/lib.sh's cached). Installs debootstrap with apt-get where missing.
set -euo pipefail
me=root.sh
# shellcheck source=../../scripts/lib.sh
source "$(dirname "$0")/../../scripts/lib.sh"
if [[ ${1:-} == --mirror ]]; then
  debian_mirror release
  exit 0
fi
[[ $(id -u) == 0 ]] || { echo "root.sh: must run as root" >&2; exit 77; }
release=${1:-bookworm}
[[ $release =~ ^[a-z]+$ ]] || { echo "usage: e2e/boot/root.sh [RELEASE]" >&2; exit 2; }
root=${PROXYWARDEN_E2E_ROOTS:-/var/cache/proxywarden-e2e}/$release
packages=systemd,systemd-sysv,dbus,squid,sqlite3,libsqlite3-0,adduser,procps,util-linux,iproute2,curl

# make_root NEW: the root at NEW, from the mirror, in a mount namespace of its
# own that takes debootstrap's mounts with it. debootstrap replaces
# start-stop-daemon while it installs, so Squid's installation starts no Squid
# here. Squid's own packages stay, for the case to reinstall Squid.
make_root() {
  echo "root.sh: $release from $mirror"
  unshare --mount --propagation private -- debootstrap --variant=minbase --include="$packages" "$release" "$1" "$mirror"
  find "$1"/var/cache/apt/archives -name '*.deb' ! -name 'squid*' -delete
  rm -rf "$1"/var/lib/apt/lists/*_Packages
}

apt_need debootstrap
mirror=$(debian_mirror release)
cached "$root" "$root/.proxywarden-e2e-packages" "$packages; squid*.deb kept" make_root
echo "$root"
