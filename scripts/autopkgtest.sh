#!/usr/bin/env bash
# Debian's as-installed test of the two packages (autopkgtest, the tests of
# debian/tests/), as root, in a virtual machine of the release they are for:
#
#   bash scripts/autopkgtest.sh bookworm [DEB_DIR]   # DEB_DIR: build-deb/ by default
#   bash scripts/autopkgtest.sh trixie [DEB_DIR]     # DEB_DIR: build-deb-trixie/
#
# DEB_DIR holds proxywarden_*.deb and proxywarden-libunix_*.deb, as
# scripts/package.sh [RELEASE] leaves them. autopkgtest boots the release's
# image with its QEMU backend (autopkgtest-virt-qemu), on a throwaway overlay,
# installs the packages there and runs the tests from the checkout's tracked
# and new files, as root on a machine of their own (isolation-machine). QEMU
# emulates the CPU (TCG): KVM fails in early boot on the project's machines.
# The guest has no network.
#
# The image is made once per release with mmdebstrap, from the Debian mirror
# that apt uses on this machine (PROXYWARDEN_MIRROR overrides it),
# and kept in /var/cache/proxywarden-autopkgtest/RELEASE/ (PROXYWARDEN_AUTOPKGTEST_CACHE
# moves the directory): an ext4 file system (root.img) that holds systemd,
# Debian's squid, sqlite3, curl, python3 and what autopkgtest needs in the
# guest (a root shell on the second serial port, python3, apt-ftparchive),
# with the kernel and initramfs beside it, which QEMU boots directly. It is
# made again when missing or when it was made from another package list or
# set-up (its stamp tells; scripts/lib.sh's cached). On a loaded 2-core
# machine, making it took 5 to 8 minutes, and a run takes 6 to 9, under
# emulation.
# Installs what it needs with apt-get. The full log goes to
# DEB_DIR/autopkgtest.log, the image's to CACHE/RELEASE.log.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=lib.sh
source scripts/lib.sh
usage="usage: scripts/autopkgtest.sh bookworm|trixie [DEB_DIR]"
release=${1:-}
case $release in
  bookworm) default_debs=build-deb ;;
  trixie) default_debs=build-deb-trixie ;;
  *) echo "$usage" >&2; exit 2 ;;
esac
me="autopkgtest: $release"
[[ $(id -u) == 0 ]] || { echo "autopkgtest: must run as root" >&2; exit 1; }
debs=$(realpath "${2:-$default_debs}")
log=$debs/autopkgtest.log
cache=${PROXYWARDEN_AUTOPKGTEST_CACHE:-/var/cache/proxywarden-autopkgtest}
image_dir=$cache/$release
# What the guest holds besides the release's essential packages and apt.
packages=linux-image-amd64,systemd-sysv,udev,dbus,login,procps,squid,sqlite3,curl,python3,apt-utils
# The modules of the shared directory (9p) and of the virtio console loaded at
# boot: autopkgtest gives the guest's first mount of the directory 10 s, which
# loading them on demand can outlast under emulation on a loaded machine.
kernel_args="root=/dev/vda rw console=ttyS0 quiet modules-load=9p,9pnet_virtio,virtio_console"
test_timeout=900
boot_timeout=600

shopt -s nullglob
files=("$debs"/proxywarden_*.deb "$debs"/proxywarden-libunix_*.deb)
if [[ ${#files[@]} != 2 ]]; then
  echo "autopkgtest: $release: want one proxywarden and one proxywarden-libunix package in $debs, found ${#files[@]}" >&2
  exit 1
fi
shopt -u nullglob

apt_need autopkgtest mmdebstrap qemu-system-x86 qemu-utils e2fsprogs git

# guest_setup ROOT: what autopkgtest's QEMU backend needs of a booted guest
# (as autopkgtest-build-qemu's set-up does it): a root shell on the second
# serial port (ttyS1) and on the virtio console hvc1, a name for the login
# prompt it waits for on the first, and no periodic apt runs. The root file
# system is the whole disk.
guest_setup() {
  local root=$1 device
  echo testbed > "$root/etc/hostname"
  printf '127.0.0.1\tlocalhost\n127.0.1.1\ttestbed\n' > "$root/etc/hosts"
  echo '/dev/vda / ext4 defaults 0 0' > "$root/etc/fstab"
  echo 'APT::Periodic::Enable "0";' > "$root/etc/apt/apt.conf.d/02periodic"
  cat > "$root/etc/systemd/system/autopkgtest@.service" << 'UNIT'
[Unit]
Description=autopkgtest root shell on %I
ConditionPathExists=/dev/%I

[Service]
ExecStart=/bin/sh
StandardInput=tty-fail
StandardOutput=tty
StandardError=tty
TTYPath=/dev/%I
SendSIGHUP=yes
SuccessExitStatus=0 208 SIGHUP SIGINT SIGTERM SIGPIPE

[Install]
WantedBy=multi-user.target
UNIT
  mkdir -p "$root/etc/systemd/system/multi-user.target.wants"
  for device in ttyS1 hvc1; do
    ln -sf ../autopkgtest@.service "$root/etc/systemd/system/multi-user.target.wants/autopkgtest@$device.service"
  done
}
stamp_text="$packages
setup $(declare -f guest_setup | sha256sum | cut -c1-16)"

# make_image NEW: the image's directory at NEW, from the mirror.
make_image() {
  echo "autopkgtest: $release from $mirror"
  mkdir -p "$1"
  nice -n 10 mmdebstrap --variant=apt --include="$packages" "$release" "$1/root" "$mirror"
  guest_setup "$1/root"
  cp "$1"/root/boot/vmlinuz-* "$1/vmlinuz"
  cp "$1"/root/boot/initrd.img-* "$1/initrd.img"
  # The root file system, sparse, with room for the test's installations.
  mke2fs -q -t ext4 -L root -d "$1/root" "$1/root.img" 3G
  rm -rf "$1/root"
}

# The image, made under a lock where it is missing or its stamp differs; one
# whose making died is never used.
mirror=$(debian_mirror release)
cached "$image_dir" "$image_dir/stamp" "$stamp_text" make_image

work=$(mktemp -d /tmp/proxywarden-autopkgtest.XXXXXX)
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# The source tree under test: the checkout's tracked and new files, as they
# are now (the packages' build trees and other ignored files left out).
mkdir "$work/src"
git ls-files -z --cached --others --exclude-standard |
  tar --null -T - --ignore-failed-read -cf - 2> /dev/null | tar -x -C "$work/src"
# The packages were built from this tree: autopkgtest, finding debian/files,
# takes it as built and runs its tests as they are, with no dpkg-source (and
# no dpkg-dev) in the guest.
touch "$work/src/debian/files"

# autopkgtest's QEMU backend asks for KVM where /dev/kvm exists and gives the
# guest user-mode networking. In its place: emulation, no network, and the
# image's own kernel with the root on the first disk.
cat > "$work/qemu-system-x86_64" << WRAPPER
#!/bin/bash
args=()
while [[ \$# != 0 ]]; do
  case \$1 in
    -enable-kvm) ;;
    -net) shift ;;
    *) args+=("\$1") ;;
  esac
  shift
done
exec qemu-system-x86_64 "\${args[@]}" -accel tcg -nic none \\
  -kernel "$image_dir/vmlinuz" -initrd "$image_dir/initrd.img" -append "$kernel_args"
WRAPPER
chmod 755 "$work/qemu-system-x86_64"

# Two virtual CPUs, which QEMU emulates on two threads, at the usual priority:
# the backend gives its first command in the booted guest 5 s, while the
# guest still starts its services.
# The backend copies this machine's /etc/timezone into the guest with
# dpkg-reconfigure tzdata, within a fixed 30 s that emulation on a loaded
# machine outlasts: in a mount namespace of its own, the file reads empty and
# the guest keeps its UTC.
begin=$SECONDS
status=0
unshare --mount --propagation private sh -c 'mount --bind /dev/null /etc/timezone 2> /dev/null; exec "$@"' - \
  autopkgtest --timeout-test="$test_timeout" "${files[@]}" "$work/src" -- \
  qemu --qemu-command="$work/qemu-system-x86_64" --qemu-architecture=x86_64 \
  --qemu-options="-cpu qemu64" --ram-size=1024 --cpus=2 --timeout-reboot="$boot_timeout" \
  --overlay-dir="$work" "$image_dir/root.img" > "$log" 2>&1 || status=$?
took=$((SECONDS - begin))
# autopkgtest's summary: a line per test, "NAME PASS" or "NAME FAIL reason".
sed -n '/@@@@@@@@@@@@@@@@@@@@ summary$/,$p' "$log" | grep -E '^[^ ]+ +(PASS|FAIL|SKIP|FLAKY)' |
  sed "s/^/autopkgtest: $release: /" || true
if [[ $status != 0 ]]; then
  tail -n 40 "$log"
  echo "autopkgtest: $release: FAILED (status $status) in $took s (log in $log)"
  exit 1
fi
echo "autopkgtest: $release: passed in $took s (log in $log)"
