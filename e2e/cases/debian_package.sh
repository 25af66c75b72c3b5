# shellcheck shell=bash
# The Debian packages that scripts/package.sh built (PROXYWARDEN_DEB names the
# program's; the helper library's lies beside it), installed as the README's
# appliance steps say, word for word, on a Debian 12 whose own squid package is
# installed and running; the real Squid started, listed, restarted and stopped
# through the installed program, before and after what a reboot does to /run;
# then both packages purged.
# shellcheck source=../lib.sh
source "$E2E_LIB"

src=$(dirname "$E2E_LIB")/..
# dpkg-buildpackage writes next to the source tree; scripts/package.sh builds
# a copy of the checkout inside build-deb/.
deb=${PROXYWARDEN_DEB:-}
if [[ -z $deb ]]; then
  for deb in "$src"/build-deb/proxywarden_*_amd64.deb "$src"/../proxywarden_*_amd64.deb; do
    [[ ! -f $deb ]] || break
  done
fi
if [[ -z "$deb" || ! -f "$deb" ]]; then
  echo "FAILED no package to install: build it with bash scripts/package.sh (scripts/test.sh does) or name it in PROXYWARDEN_DEB"
  exit 1
fi
debs=$(dirname "$deb")
echo "packages: $debs ($(date -r "$deb" '+%F %T'))"

check "the program's section" "admin" "$(dpkg-deb -f "$deb" Section)"
# SQLite and the helper library are loaded at run time and named by hand, as
# is Squid; the C library comes from dpkg-shlibdeps, and the C++ runtime is
# linked in, named as such: by its GCC's source, gcc-N (= VERSION), or where
# the packages were cross-built, gcc-N-cross (= VERSION), whose versions are
# the cross source's own (gcc-14-cross (= 9) for arm64).
check_match "its dependencies" "^adduser, libsqlite3-0 \(>= 3\.22\.0\), squid, libc6 \(>= 2\.[0-9]+\)$" "$(dpkg-deb -f "$deb" Depends)"
# The version is debian/changelog's latest; the stand-in is recommended at it.
version=$(dpkg-parsechangelog -l "$src/debian/changelog" -SVersion)
check "the program's version" "$version" "$(dpkg-deb -f "$deb" Version)"
check "its recommendations" "proxywarden-libunix (= $version)" "$(dpkg-deb -f "$deb" Recommends)"
check_match "the C++ runtime linked in" "^gcc-[0-9]+(-cross)? \(= [0-9][^)]*\)$" \
  "$(dpkg-deb -f "$deb" Static-Built-Using)$(dpkg-deb -f "$deb" Built-Using)"
files_of() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print $6 }' | sort; }
check "its files" "./etc/logrotate.d/proxywarden
./lib/systemd/system/proxywarden-squid.service
./lib/systemd/system/proxywarden.service
./usr/lib/systemd/system/squid.service.d/proxywarden.conf
./usr/lib/tmpfiles.d/proxywarden.conf
./usr/libexec/proxywarden/launch-squid
./usr/libexec/proxywarden/proxy-runs
./usr/sbin/proxywarden
./usr/share/doc/proxywarden/README.md.gz
./usr/share/doc/proxywarden/changelog.gz
./usr/share/doc/proxywarden/copyright
./usr/share/lintian/overrides/proxywarden
./usr/share/man/man8/proxywarden.8.gz
./usr/share/proxywarden/squid.conf
./usr/share/proxywarden/system_events.sql" "$(files_of "$deb")"
check "the helper library's files" "./usr/share/brantelbase/ressources/libunix.so
./usr/share/doc/proxywarden-libunix/changelog.gz
./usr/share/doc/proxywarden-libunix/copyright
./usr/share/lintian/overrides/proxywarden-libunix" "$(files_of "$debs"/proxywarden-libunix_*_amd64.deb)"

# A Debian 12 with none of what the sandbox set up for the other cases, and
# with Debian's squid package installed afresh and started, as the boot would
# (here, with no service manager, through its init script). Its stop would
# wait out the thirty seconds of shutdown_lifetime; one second does here.
sed -i '/^squid:/d' /etc/passwd /etc/group
rm -rf /usr/sbin/proxywarden /usr/share/brantelbase /usr/share/man/man8/proxywarden.8 /usr/share/proxywarden \
  /etc/squid3 /etc/brantelbase /home/brantel /run/squid
dpkg --purge squid squid-common sqlite3 > debian.log 2>&1
mkdir -p /etc/squid/conf.d && echo 'shutdown_lifetime 1 seconds' > /etc/squid/conf.d/quick-stop.conf
dpkg -i "$debs"/archives/squid{,-common}_*.deb >> debian.log 2>&1
service squid start >> debian.log 2>&1
cp "$debs"/archives/sqlite3_*.deb /var/cache/apt/archives/
# Debian's master and kid; its pinger may outlive them under an init script.
debian_squid() { pgrep -f -- '-f /etc/squid/squid\.conf$'; }
check "Debian's Squid runs" "yes" "$(if wait_until 10 debian_squid > /dev/null; then echo yes; else cat debian.log; fi)"
check "no sqlite3 yet" "" "$(command -v sqlite3)"

# The README's steps, answering yes where apt asks.
cp "$deb" "$debs"/proxywarden-libunix_*_amd64.deb .
echo 'APT::Get::Assume-Yes "true";' > /etc/apt/apt.conf.d/90yes
steps=$(sed -n '/^<!-- appliance steps/,/^```$/p' "$src/README.md" | sed '1,2d;$d')
check_match "the README's steps" "^apt-get install \./proxywarden_" "$steps"
status=0
DEBIAN_FRONTEND=noninteractive bash -ex <<<"$steps" > steps.log 2>&1 || status=$?
check "the README's steps run" "0" "$status"
[[ $status == 0 ]] || cat steps.log

check "Debian's Squid stopped" "" "$(debian_squid)"
check "Debian's unit will not start" "1" "$(systemd-analyze condition --unit=squid.service > /dev/null 2>&1; echo $?)"
check_match "the system user squid" "^squid:x:[1-9][0-9]{0,2}:[0-9]+:[^:]*:/nonexistent:/usr/sbin/nologin$" "$(getent passwd squid)"
owners() { stat -c '%U:%G %a %n' /run/squid /var/log/squid3 /var/spool/squid3; }
check "the man page reads" "0" "$(man -l /usr/share/man/man8/proxywarden.8.gz > /dev/null 2>&1; echo $?)"
check "the appliance Squid's directories" "squid:squid 755 /run/squid
squid:squid 750 /var/log/squid3
squid:squid 750 /var/spool/squid3" "$(owners)"

serve_site
pw start
check_ran "start" 0
pid=$(pid_in_file)
check "start: the last line" "[Starting]......: Proxy service success pid $pid..." "$(last_line "$OUT")"
pw pid
check "pid" "PID of main proxy service is [$pid]
" "$OUT"
# The kid takes its name "(squid-1)" a moment after it starts.
wait_until 10 pgrep -f '^\(squid-1\)' > /dev/null
pw ps
kid=$(ps -o pid= --ppid "$pid" | tr -d ' ')
# The kid's helper, the pinger, may show beside the master and the kid.
check "ps: the master and its kid" "[$pid] '/usr/sbin/squid'[['/usr/sbin/squid', '-sYC', '-f', '/etc/squid3/squid.conf']] (1)
[$kid] '/usr/sbin/squid'[['(squid-1)', '--kid', 'squid-1', '-sYC', '-f', '/etc/squid3/squid.conf']] ($pid)" \
  "$(grep -E "^\[($pid|$kid)\] " <<<"$OUT")"
wait_for_proxy
check "a request through the proxy" "hello through the proxy" "$(through_proxy)"
pw restart
check_ran "restart" 0
check "restart: progress" "100 'Starting {success}...'" "$(decoded "$RPROGRESS")"
new_pid=$(main_pid)
[[ "$new_pid" != "$pid" ]] || check "restart: the PID changed" "not $pid" "$new_pid"

# An upgrade of Debian's squid package applies its tmpfiles.d entry for
# /run/squid again, and the package's trigger undoes that. Its restarts, of
# Debian's Squid and of the appliance's, are refused here by policy-rc.d.
printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d && chmod 755 /usr/sbin/policy-rc.d
dpkg -i "$debs"/archives/squid_*.deb > upgrade.log 2>&1
check "after an upgrade of Debian's squid: /run/squid" "squid:squid 755 /run/squid" "$(owners | head -n 1)"
check "after an upgrade of Debian's squid, restarts forbidden: the proxy" "$new_pid" "$(main_pid)"
# From here on, policy-rc.d forbids Debian's Squid only.
# shellcheck disable=SC2016 # the script's own $1
printf '#!/bin/sh\ncase $1 in squid*) exit 101 ;; esac\n' > /usr/sbin/policy-rc.d

# What a reboot does to /run, and what the boot's systemd-tmpfiles then makes
# of the entries for /run/squid, Debian's among them: no word about them.
pw stop
check_ran "stop" 0
rm -rf /run/squid
check "after a reboot: tmpfiles' messages" "" "$(systemd-tmpfiles --create --prefix=/run/squid 2>&1)"
check "after a reboot: /run/squid" "squid:squid 755 /run/squid" "$(owners | head -n 1)"
pw start
check_ran "after a reboot: start" 0
last_pid=$(pid_in_file)
check "after a reboot: started" "[Starting]......: Proxy service success pid $last_pid..." "$(last_line "$OUT")"

# Removing the program stops the proxy first, then takes away what the stop's
# SIGKILL leaves (the segments, the PID file) and gives /run/squid back to
# Debian's squid package; the configuration stays. Then it is installed again.
status=0
dpkg --remove proxywarden > dpkg.log 2>&1 || status=$?
check "dpkg --remove" "0" "$status"
check "removed: no proxy process left" "" "$(pgrep -u squid)"
check "removed: Squid's segments and PID file" "" "$(find /dev/shm /run/squid -mindepth 1)"
check "removed: /run/squid" "proxy:proxy 755 /run/squid" "$(owners | head -n 1)"
dpkg -i "$deb" > dpkg.log 2>&1
check_match "Squid's logs" "Accepting HTTP Socket connections.*GET http://127\.0\.0\.1:8081/index\.html" \
  "$(cat /var/log/squid3/cache.log /var/log/squid3/access.log)"
# Every run's event reaches the journal through the system's SQLite.
check "the journal's subjects" "Success Starting proxy service with PID $pid
Success Stopping proxy service
Success Starting proxy service with PID $new_pid
Success Stopping proxy service
Success Starting proxy service with PID $last_pid
Success Stopping proxy service" "$(journal | cut -d'|' -f2)"

# Without the helper library the program says so and ends with status 1.
mapfile -t paths < <(dpkg -L proxywarden proxywarden-libunix)
dpkg --purge proxywarden-libunix > dpkg.log 2>&1
pw pid
check "no helper library: status" "1" "$STATUS"
check_match "no helper library: diagnostic" "^proxywarden: cannot load the helper library libunix\.so: " "$ERR"

# Purging leaves none of the packages' files and directories, nor what they
# created, and Debian's unit may start again; the user squid stays.
status=0
dpkg --purge proxywarden > dpkg.log 2>&1 || status=$?
check "dpkg --purge" "0" "$status"
check "purged" "" "$(dpkg-query -W -f '${Status}' proxywarden proxywarden-libunix 2>/dev/null)"
left=()
for path in "${paths[@]}" /var/log/squid3 /var/spool/squid3; do
  [[ -e "$path" || -L "$path" ]] || continue
  # A directory stays while another package owns it or something else is in it.
  [[ -d "$path" ]] && { dpkg -S "$path" > /dev/null 2>&1 || [[ -n "$(ls -A "$path")" ]]; } && continue
  left+=("$path")
done
check "left behind by the purge" "" "${left[*]}"
check "after the purge: /run/squid, Debian's" "proxy:proxy 755" "$(stat -c '%U:%G %a' /run/squid)"
check "Debian's unit may start again" "0" "$(systemd-analyze condition --unit=squid.service > /dev/null 2>&1; echo $?)"
check_match "the user squid stays" "^squid:" "$(getent passwd squid)"

finish
