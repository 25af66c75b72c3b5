#!/usr/bin/env bash
# Makes, once, the Debian root of one release that the boot case starts with
# systemd as PID 1, and prints its path:  e2e/boot/root.sh [RELEASE]
# RELEASE is a suite name, bookworm (Debian 12, the default) or trixie
# (Debian 13). The root lives outside the checkout, in
# PROXYWARDEN_E2E_ROOTS/RELEASE (by default /var/cache/proxywarden-e2e/RELEASE),
# and is made again when it is missing or was made with another list of
# packages, or keeping others of them (Squid's stay, for the case to reinstall
# it). Making it takes a few minutes: debootstrap fetches from the Debian
# mirror that apt uses on this machine (PROXYWARDEN_E2E_MIRROR overrides it).
# The container has no network, so the root holds from the start everything
# the case needs besides the packages under test: systemd, Debian's squid,
# sqlite3 and the tools the case runs. `e2e/boot/root.sh --mirror` prints that
# mirror and makes nothing. Runs that ask at the same time wait for one
# another; a root that was being made when its maker died is never used.
set -euo pipefail
[[ $(id -u) == 0 ]] || { echo "root.sh: must run as root" >&2; exit 77; }
release=${1:-bookworm}
[[ $release =~ ^[a-z]+$ || $release == --mirror ]] || { echo "usage: e2e/boot/root.sh [RELEASE]" >&2; exit 2; }
root=${PROXYWARDEN_E2E_ROOTS:-/var/cache/proxywarden-e2e}/$release
packages=systemd,systemd-sysv,dbus,squid,sqlite3,libsqlite3-0,adduser,procps,util-linux,iproute2,curl
stamp=.proxywarden-e2e-packages
packages_and_kept="$packages; squid*.deb kept"

# The mirror serving this machine's release's main, from the one-line and the
# deb822 sources; the other release comes from the same mirror.
mirror() {
  local file
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [[ -f $file ]] || continue
    awk '$1 == "deb" { sub(/\[[^]]*\] */, ""); if ($3 ~ /^[a-z]+$/ && / main( |$)/ && $2 ~ /\/debian\/?$/) { print $2; exit } }' "$file"
  done
  for file in /etc/apt/sources.list.d/*.sources; do
    [[ -f $file ]] || continue
    awk 'BEGIN { RS = ""; FS = "\n" }
         { uri = ""; main = 0; deb = 0
           for (i = 1; i <= NF; i++) {
             if ($i ~ /^URIs:/) { split($i, f, /[ \t]+/); uri = f[2] }
             if ($i ~ /^Components:/ && $i ~ /[ \t]main([ \t]|$)/) main = 1
             if ($i ~ /^Types:/ && $i ~ /[ \t]deb([ \t]|$)/) deb = 1 }
           if (uri ~ /\/debian\/?$/ && main && deb) { print uri; exit } }' "$file"
  done
}

if [[ $release == --mirror ]]; then
  mirror | head -n 1
  exit 0
fi

mkdir -p "$(dirname "$root")"
exec 9> "$root.lock"
flock 9
if [[ "$(cat "$root/$stamp" 2> /dev/null)" != "$packages_and_kept" ]]; then
  url=${PROXYWARDEN_E2E_MIRROR:-$(mirror | head -n 1)}
  url=${url:-http://deb.debian.org/debian}
  new=$root.new
  rm -rf "$new" "$root"
  echo "root.sh: making $root from $url (a few minutes; log in $root.log)" >&2
  # debootstrap replaces start-stop-daemon while it installs, so Squid's
  # installation starts no Squid here.
  if ! debootstrap --variant=minbase --include="$packages" "$release" "$new" "$url" > "$root.log" 2>&1; then
    tail -n 20 "$root.log" >&2
    echo "root.sh: debootstrap failed (log in $root.log)" >&2
    exit 1
  fi
  # Squid's own packages stay, for the case to reinstall Squid.
  find "$new"/var/cache/apt/archives -name '*.deb' ! -name 'squid*' -delete
  rm -rf "$new"/var/lib/apt/lists/*_Packages
  echo "$packages_and_kept" > "$new/$stamp"
  mv "$new" "$root"
fi
echo "$root"
