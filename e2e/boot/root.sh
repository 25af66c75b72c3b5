#!/usr/bin/env bash
# Makes, once, the Debian 12 root that the boot case starts with systemd as
# PID 1, and prints its path:  e2e/boot/root.sh
# The root lives outside the checkout, in PROXYWARDEN_E2E_ROOT (by default
# /var/cache/proxywarden-e2e/bookworm), and is made again when it is missing or
# was made with another list of packages. Making it takes about three minutes:
# debootstrap fetches from the Debian mirror that apt uses on this machine
# (PROXYWARDEN_E2E_MIRROR overrides it). The container has no network, so the
# root holds from the start everything the case needs besides the packages
# under test: systemd, Debian's squid, sqlite3 and the tools the case runs.
# Runs that ask at the same time wait for one another; a root that was being
# made when its maker died is never used.
set -euo pipefail
[[ $(id -u) == 0 ]] || { echo "root.sh: must run as root" >&2; exit 77; }
root=${PROXYWARDEN_E2E_ROOT:-/var/cache/proxywarden-e2e/bookworm}
packages=systemd,systemd-sysv,dbus,squid,sqlite3,libsqlite3-0,adduser,procps,util-linux,iproute2,curl
stamp=.proxywarden-e2e-packages

# The mirror serving bookworm's main, from the one-line and the deb822 sources.
mirror() {
  local file
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [[ -f $file ]] || continue
    awk '$1 == "deb" { sub(/\[[^]]*\] */, ""); if ($3 == "bookworm" && / main( |$)/) { print $2; exit } }' "$file"
  done
  for file in /etc/apt/sources.list.d/*.sources; do
    [[ -f $file ]] || continue
    awk 'BEGIN { RS = ""; FS = "\n" }
         { uri = ""; suite = 0; main = 0; deb = 0
           for (i = 1; i <= NF; i++) {
             if ($i ~ /^URIs:/) { split($i, f, /[ \t]+/); uri = f[2] }
             if ($i ~ /^Suites:/ && $i ~ /[ \t]bookworm([ \t]|$)/) suite = 1
             if ($i ~ /^Components:/ && $i ~ /[ \t]main([ \t]|$)/) main = 1
             if ($i ~ /^Types:/ && $i ~ /[ \t]deb([ \t]|$)/) deb = 1 }
           if (uri != "" && suite && main && deb) { print uri; exit } }' "$file"
  done
}

mkdir -p "$(dirname "$root")"
exec 9> "$root.lock"
flock 9
if [[ "$(cat "$root/$stamp" 2> /dev/null)" != "$packages" ]]; then
  url=${PROXYWARDEN_E2E_MIRROR:-$(mirror | head -n 1)}
  url=${url:-http://deb.debian.org/debian}
  new=$root.new
  rm -rf "$new" "$root"
  echo "root.sh: making $root from $url (about three minutes; log in $root.log)" >&2
  # debootstrap replaces start-stop-daemon while it installs, so Squid's
  # installation starts no Squid here.
  if ! debootstrap --variant=minbase --include="$packages" bookworm "$new" "$url" > "$root.log" 2>&1; then
    tail -n 20 "$root.log" >&2
    echo "root.sh: debootstrap failed (log in $root.log)" >&2
    exit 1
  fi
  rm -rf "$new"/var/cache/apt/archives/*.deb "$new"/var/lib/apt/lists/*_Packages
  echo "$packages" > "$new/$stamp"
  mv "$new" "$root"
fi
echo "$root"
