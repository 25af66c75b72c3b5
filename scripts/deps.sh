#!/usr/bin/env bash
# Installs what building, running and testing proxywarden needs, from Debian's
# packages. Squid's package would start its own service on installation; that
# is held off, so the only Squid that runs is the one inside the sandbox.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
apt-get update
held_off=
if [[ ! -e /usr/sbin/policy-rc.d ]]; then
  printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
  chmod 755 /usr/sbin/policy-rc.d
  held_off=yes
fi
status=0
# Another apt run on a shared machine is waited for, not failed on.
apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=600 \
  cmake make g++ pkg-config dpkg-dev file libsqlite3-dev sqlite3 libsqlite3-0 libgtest-dev libgmock-dev \
  debhelper lintian devscripts \
  util-linux procps iproute2 squid php-cli curl man-db strace systemd adduser \
  clang libclang-rt-14-dev clang-tidy clang-format libgmp-dev || status=$?
[[ -n "$held_off" ]] && rm -f /usr/sbin/policy-rc.d
exit "$status"
