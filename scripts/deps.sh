#!/usr/bin/env bash
# Installs what building, running and testing proxywarden needs, from Debian's
# packages. Squid's package would start its own service on installation; that
# is held off with a policy-rc.d, which refuses every service start while it is
# there, so the only Squid that runs is the one inside the sandbox. The
# policy-rc.d that this script puts in place goes when it ends, however it
# ends (INT, TERM and HUP included); one that was there before stays.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
held_off=
release() {
  if [[ -n "$held_off" ]]; then
    rm -f /usr/sbin/policy-rc.d
    held_off=
  fi
}
trap release EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
apt-get update
if [[ ! -e /usr/sbin/policy-rc.d ]]; then
  # Marked as ours before it is made, so that no signal falls in between.
  held_off=yes
  printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
  chmod 755 /usr/sbin/policy-rc.d
fi
# Another apt run on a shared machine is waited for, not failed on.
apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=600 \
  cmake make g++ pkg-config dpkg-dev file libsqlite3-dev sqlite3 libsqlite3-0 libgtest-dev libgmock-dev \
  debhelper lintian devscripts \
  util-linux procps iproute2 squid php-cli curl man-db strace systemd adduser systemd-container debootstrap piuparts \
  clang libclang-rt-14-dev ccache jq clang-tidy clang-format libgmp-dev shellcheck \
  sbuild mmdebstrap uidmap zstd
