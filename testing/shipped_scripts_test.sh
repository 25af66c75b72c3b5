#!/bin/sh
# The branches of proxy/launch-squid and the guards of the postinst's trigger
# branch, run as they ship against stubs, in seconds: no root, no network, no
# systemd, no Squid (the boot case keeps what only a booted system shows).
#   testing/shipped_scripts_test.sh [SOURCE_DIR]
# Both scripts run programs by fixed paths (/usr/sbin/squid,
# /usr/libexec/proxywarden/proxy-runs): the test runs in a user and mount
# namespace of its own, where a directory of stubs is mounted on /usr/sbin,
# one holding the real proxy-runs on /usr/libexec and an empty tmpfs on /run
# (no service manager's socket). Its mounts are slaves of the caller's: none
# reaches the machine. Status 77 (skipped) where such namespaces are refused.
set -eu
src=$(cd "${1:-$(dirname "$0")/..}" && pwd)
if [ "${2-}" != inside ]; then
	why=$(unshare --user --map-root-user --mount --propagation unchanged true 2>&1) ||
		{ echo "skipped: no user and mount namespace here: $why"; exit 77; }
	exec env -i PATH=/usr/bin:/bin unshare --user --map-root-user --mount --propagation unchanged sh "$0" "$src" inside
fi
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
mkdir -p "$T/sbin" "$T/libexec/proxywarden"
if ! { mount --bind "$T/sbin" /usr/sbin && mount --bind "$T/libexec" /usr/libexec && mount -t tmpfs tmpfs /run; }; then
	echo "skipped: the namespace's mounts are refused here" && exit 77
fi
cp "$src/proxy/proxy-runs" /usr/libexec/proxywarden/
export T PATH=/usr/sbin:/usr/bin:/bin

# Every stub notes its call in $T/calls. systemctl: the first $DOWN calls find
# no manager, then it hangs if $HANG is set; the start is taken ($START ok),
# dropped once (drop1) or refused (anything else); list-jobs shows a job $JOBS
# times. ischroot exits $ISCHROOT (1: no chroot), policy-rc.d $POLICY.
stub() { cat > "/usr/sbin/$1" && chmod +x "/usr/sbin/$1"; }
stub systemctl << 'EOF'
#!/bin/sh
echo "systemctl $*" >> "$T/calls"
if [ "$(grep -c ^systemctl "$T/calls")" -le "${DOWN:-0}" ]; then echo "Failed to connect to bus: Connection refused" >&2; exit 1; fi
[ -z "${HANG-}" ] || exec sleep 60
case "$1 $2" in
start*) case $START in
	ok) ;;
	drop1) [ "$(grep -c '^systemctl start' "$T/calls")" -gt 1 ] || { echo "Failed to start $4: Transport endpoint is not connected" >&2; exit 1; } ;;
	*) echo "Failed to start $4: Unit $4 is masked." >&2; exit 1 ;;
	esac ;;
list-jobs*) [ "$(grep -c ^systemctl.list-jobs "$T/calls")" -gt "${JOBS:-0}" ] || echo "7 proxywarden-squid.service start running" ;;
*=Id) echo proxywarden-squid.service ;;
*=TimeoutStartUSec) echo "${TSU:-1min 30s}" ;;
*=ActiveState) echo "${STATE:-active}" ;;
esac
EOF
# date +%s: the clock's next line in $T/clock (its last one stays), if any.
stub date << 'EOF'
#!/bin/sh
[ -s "$T/clock" ] || exec /usr/bin/date "$@"
head -n 1 "$T/clock"
[ "$(wc -l < "$T/clock")" = 1 ] || sed -i 1d "$T/clock"
EOF
# squid -k parse refuses squid.conf if $PARSE is refuse.
stub squid << 'EOF'
#!/bin/sh
echo "squid $*" >> "$T/calls"
[ "$1 ${PARSE-}" != "-k refuse" ] || { printf '%s\n' "2026/12/08 10:00:00| FATAL: Bungled squid.conf line 3: htp_port 3128" "Squid Cache (Version 5.7): Terminated abnormally." >&2; exit 1; }
EOF
# proxywarden: a proxy runs while $T/running exists; a restart ends it if
# $AFTER is none.
stub proxywarden << 'EOF'
#!/bin/sh
echo "proxywarden $*" >> "$T/calls"
case $1 in
pid) [ -e "$T/running" ] && pid=4321; echo "PID of main proxy service is [${pid-}]" ;;
restart) [ "${AFTER-}" != none ] || { rm "$T/running"; printf '%s\n' "[Starting]......: Proxy service" "[Failed]......: Proxy service"; } ;;
esac
EOF
stub logger << 'EOF'
#!/bin/sh
echo "${0##*/} $*" >> "$T/calls"
case ${0##*/} in ischroot) exit "${ISCHROOT:-1}" ;; policy-rc.d) exit "$POLICY" ;; esac
EOF
cp /usr/sbin/logger /usr/sbin/ischroot

fails=0
# run NAME COMMAND...: runs COMMAND for the case NAME, with no call made yet.
run() {
	name=$1 && shift && : > "$T/calls" && begin=$(/usr/bin/date +%s%N)
	"$@" > "$T/out" 2> "$T/err" && status=0 || status=$?
	tenths=$((($(/usr/bin/date +%s%N) - begin) / 100000000))
}
check() {
	[ "$2" = "$3" ] || { printf '%s: %s\n  expected: %s\n  got:      %s\n' "$name" "$1" "$2" "$3"; fails=$((fails + 1)); }
}
# expect STATUS STDOUT STDERR
expect() { check status "$1" "$status" && check stdout "$2" "$(cat "$T/out")" && check stderr "$3" "$(cat "$T/err")"; }
calls() { grep -E "^($1)" "$T/calls" || true; }
count() { grep -cE "^($1)" "$T/calls" || true; }

unit=proxywarden-squid.service
launch=$src/proxy/launch-squid
run foreground "$launch" --foreground
expect 0 "" "" && check calls "squid --foreground -sYC -f /etc/squid3/squid.conf" "$(cat "$T/calls")"
run taken env START=ok "$launch"
expect 0 "" "" && check asks 1 "$(count "systemctl start")" && check squid "" "$(calls squid)"
run "dropped once, asked again" env START=drop1 "$launch"
expect 0 "" "" && check asks 2 "$(count "systemctl start")" && check squid "" "$(calls squid)"
run "no manager, then taken" env DOWN=4 START=ok "$launch"
expect 0 "" "" && check asks 3 "$(count "systemctl start")" && check squid "" "$(calls squid)"
run refused env START=masked "$launch"
expect 1 "" "Failed to start $unit: Unit $unit is masked.
proxywarden: the service manager refused the start of $unit: Squid is not launched"
check asks 2 "$(count "systemctl start")" && check squid "" "$(calls squid)"
run "no answer" env DOWN=5 HANG=1 "$launch"
expect 0 "" "Failed to connect to bus: Connection refused
proxywarden: the service manager did not answer the start of $unit within 5 s: Squid is launched outside it, in the caller's service or session, and ends with it"
check squid "squid -sYC -f /etc/squid3/squid.conf" "$(calls squid)"
if [ "$tenths" -lt 50 ] || [ "$tenths" -ge 80 ]; then check "time (5 s to 8 s)" "" "$tenths tenths of a second"; fi
run "job gone after 3 polls" env START=ok JOBS=3 "$launch"
expect 0 "" "" && check polls 4 "$(count "systemctl list-jobs")" && check squid "" "$(calls squid)"
run "unit failed" env START=ok STATE=failed "$launch"
expect 0 "" "proxywarden: $unit failed to start: journalctl -u $unit says why" && check squid "" "$(calls squid)"
# The wait ends at the unit's start timeout, rounded up, and 5 s: one poll at
# a second before that end with a job that never goes, none at it.
for timeout in 45s:1051 "1min 30s:1096" infinity:1095; do
	printf '1000\n%s\n%s\n9999\n' $((${timeout#*:} - 1)) "${timeout#*:}" > "$T/clock"
	run "wait past TimeoutStartUSec=${timeout%:*}" env START=ok JOBS=99 STATE=activating TSU="${timeout%:*}" "$launch"
	expect 0 "" "" && check polls 1 "$(count "systemctl list-jobs")" && check squid "" "$(calls squid)"
done
rm "$T/clock"

# The postinst as debian/rules builds it: the shared functions in place.
awk -v f="$src/debian/maintscript-functions.sh" '/^#PROXYWARDEN_FUNCTIONS#$/ { while ((getline l < f) > 0) print l; next }
	!/^#DEBHELPER#$/' "$src/debian/proxywarden.postinst" > "$T/postinst"
# trigger LABEL [VARIABLE=VALUE...]: the postinst for an update of Squid's program.
trigger() { label=$1 && shift && run "postinst triggered: $label" env "$@" sh "$T/postinst" triggered /usr/sbin/squid; }
why="the update of squid replaced the program that it runs"
notice="restarting the appliance's Squid: $why"
touch "$T/running"
trigger "a proxy runs"
expect 0 "proxywarden: $notice" "" && check calls "ischroot --default-true
proxywarden pid
squid -k parse -f /etc/squid3/squid.conf
logger -t proxywarden -p daemon.notice -- $notice
proxywarden restart
proxywarden pid" "$(cat "$T/calls")"
trigger "squid.conf refused" PARSE=refuse
warning="$why, but it refuses /etc/squid3/squid.conf (squid -k parse -f /etc/squid3/squid.conf says why): the appliance's Squid was not restarted and keeps serving on the program it started with; mend the configuration, then run proxywarden restart"
expect 0 "" "2026/12/08 10:00:00| FATAL: Bungled squid.conf line 3: htp_port 3128
proxywarden: $warning" && check calls "logger -t proxywarden -p daemon.warning -- $warning" "$(calls "logger|proxywarden r")"
trigger "another root" DPKG_ROOT=/target
expect 0 "" "" && check calls "" "$(cat "$T/calls")"
trigger "a chroot" ISCHROOT=0
expect 0 "" "" && check calls "ischroot --default-true" "$(cat "$T/calls")"
cp /usr/sbin/logger /usr/sbin/policy-rc.d
trigger "policy-rc.d forbids" POLICY=101
expect 0 "" "" && check calls "policy-rc.d proxywarden.service restart" "$(calls "policy|proxywarden|squid")"
trigger "policy-rc.d allows" POLICY=104
expect 0 "proxywarden: $notice" "" && check restarts 1 "$(count "proxywarden restart")"
rm /usr/sbin/policy-rc.d
trigger "the restart leaves no proxy" AFTER=none
expect 0 "proxywarden: $notice" "[Starting]......: Proxy service
[Failed]......: Proxy service
proxywarden: the restart after $why left no proxy running: journalctl -u proxywarden-squid and /var/log/squid3/cache.log say why"
trigger "no proxy"
expect 0 "" "" && check calls "ischroot --default-true
proxywarden pid" "$(cat "$T/calls")"
touch "$T/running" && chmod -x /usr/libexec/proxywarden/proxy-runs
trigger "proxy-runs gone"
expect 0 "" "" && check calls "ischroot --default-true" "$(cat "$T/calls")"

[ "$fails" = 0 ] || { echo "$fails checks failed"; exit 1; }
echo "all checks passed"
