# The appliance on a Debian 12 booted with systemd as PID 1, sourced by run.sh
# once the container has booted with proxywarden's packages installed beside
# Debian's squid and the appliance's configuration in place. `inside` runs a
# command in the container as an administrator's shell would; `machine` is the
# container's root seen from outside. Each check prints one line; a mismatch
# prints what was expected and what came.
#
# The proxy has to outlive whoever started it: the boot, a watchdog's oneshot
# service, a console's service with KillMode=mixed and a private /tmp once it
# is stopped, and an administrator's shell under flock, whose lock and open
# file must not reach Squid. Purging both packages then stops it and leaves
# nothing that keeps Debian's own squid from starting.

# expect LABEL EXPECTED ACTUAL, expect_match LABEL EXTENDED-REGEX ACTUAL:
# check and check_match, with a line for a check that passed too.
passed_since() { [[ $failures != "$1" ]] || echo "ok      $2"; }
expect() { local before=$failures; check "$@"; passed_since "$before" "$1"; }
expect_match() { local before=$failures; check_match "$@"; passed_since "$before" "$1"; }
# fact LABEL TEXT: what was found, for the reader, one line per line of TEXT.
fact() { local line; while IFS= read -r line; do echo "fact    $1: $line"; done <<<"$2"; }

pw_inside() { capture inside /usr/sbin/proxywarden "$@"; }
# The main proxy process as `pid` names it, or nothing.
main_pid() { pw_inside pid; sed -n 's/^PID of main proxy service is \[\([0-9]*\)\]$/\1/p' <<<"$OUT"; }
# Every process of the squid program: the master, its kid and their helpers.
squid_pids() { inside pgrep -x squid | paste -sd ' '; }
# A process's cgroup in the unified hierarchy, as the container sees it.
cgroup_of() { inside sed -n 's/^0:://p' "/proc/$1/cgroup" 2> /dev/null | grep . || echo "(no process $1)"; }
mount_ns_of() { inside readlink "/proc/$1/ns/mnt" 2> /dev/null || echo "(no process $1)"; }
unit_of() { inside systemctl show -p "$2" --value "$1"; }
# Squid's answer on its own port: 200 once it serves.
mgr_status() { inside curl -s -o /dev/null -w '%{http_code}' --max-time 5 http://127.0.0.1:3128/squid-internal-mgr/info; }
serving() { [[ $(mgr_status) == 200 ]]; }

proxy_unit_cgroup=/system.slice/proxywarden-squid.service
init_mount_ns=$(mount_ns_of 1)

# proxy_lives_on LABEL: the proxy's main process, as `pid` names it, runs in
# the proxy's own unit and in PID 1's mount namespace, and serves. Sets PROXY.
proxy_lives_on() {
  PROXY=$(main_pid)
  local pid=${PROXY:-0}
  fact "$1" "main process ${PROXY:-(none)}: $(cgroup_of "$pid"), mount namespace $(mount_ns_of "$pid") (PID 1: $init_mount_ns)"
  expect_match "$1: pid names the proxy" "^[1-9][0-9]*$" "$PROXY"
  expect "$1: its cgroup" "$proxy_unit_cgroup" "$(cgroup_of "$pid")"
  expect "$1: its mount namespace is PID 1's" "$init_mount_ns" "$(mount_ns_of "$pid")"
  expect "$1: it serves" "200" "$([[ -z $PROXY ]] || wait_until 30 serving; mgr_status)"
}

# a_new_proxy LABEL BEFORE: the proxy that runs now is not BEFORE.
a_new_proxy() {
  expect "$1: a new proxy" "yes" "$([[ -n $PROXY && $PROXY != "$2" ]] && echo yes || echo "no: $2 before, ${PROXY:-none} now")"
}

# proxy_runs: a proxy to restart, started from the shell where none runs (the
# checks before have then failed already). Sets PROXY.
proxy_runs() {
  PROXY=$(main_pid)
  [[ -z $PROXY ]] || return 0
  pw_inside start
  PROXY=$(main_pid)
  fact "no proxy runs" "started from the shell: ${PROXY:-(none)}"
}

# The boot: the package's unit has started the proxy, in a unit of its own,
# and Debian's squid stayed off; no two tmpfiles.d entries clashed.
fact "boot log, warnings and worse" "$(inside journalctl -b -p warning --no-pager -q -o short | cut -d' ' -f5- | sort | uniq -c)"
expect "boot: proxywarden.service" "active" "$(unit_of proxywarden.service ActiveState)"
expect "boot: Debian's squid.service held off" "inactive" "$(unit_of squid.service ActiveState)"
expect "boot: no duplicate tmpfiles.d line" "" "$(inside journalctl -b --no-pager -q | grep -i 'duplicate line')"
proxy_lives_on "boot"
expect "boot: the proxy's unit" "active" "$(unit_of proxywarden-squid.service ActiveState)"

# The watchdog: a oneshot service restarts the proxy; systemd then ends what
# is left in the service's cgroup. The console: a web server's service, whose
# PHP restarts the proxy.
cat > "$machine/etc/systemd/system/e2e-watchdog.service" <<'UNIT'
[Service]
Type=oneshot
ExecStart=/usr/sbin/proxywarden restart-memory
UNIT
cat > "$machine/etc/systemd/system/e2e-console.service" <<'UNIT'
[Service]
KillMode=mixed
PrivateTmp=yes
ExecStart=/bin/sh -c '/usr/sbin/proxywarden restart > /run/e2e-console.out 2>&1; echo $$? > /run/e2e-console.status; exec sleep infinity'
UNIT
inside systemctl daemon-reload

proxy_runs
before=$PROXY
status=0
inside timeout 120 systemctl start e2e-watchdog.service || status=$?
expect "watchdog: the oneshot service ran to its end" "0 inactive success 0" \
  "$status $(unit_of e2e-watchdog.service ActiveState) $(unit_of e2e-watchdog.service Result) $(unit_of e2e-watchdog.service ExecMainStatus)"
proxy_lives_on "watchdog"
a_new_proxy "watchdog" "$before"

# The console's service is stopped once its restart is done: KillMode=mixed
# kills every process left in its cgroup.
proxy_runs
before=$PROXY
inside systemctl start e2e-console.service
console_done() { inside test -s /run/e2e-console.status; }
wait_until 120 console_done
expect "console: the restart's status" "0" "$(inside cat /run/e2e-console.status 2>&1)"
console_ns=$(mount_ns_of "$(unit_of e2e-console.service MainPID)")
expect "console: the service's mount namespace is its own" "yes" \
  "$([[ $console_ns != "$init_mount_ns" ]] && echo yes || echo "no: $console_ns")"
proxy_lives_on "console"
a_new_proxy "console" "$before"
before=$PROXY
status=0
inside timeout 120 systemctl stop e2e-console.service || status=$?
expect "console: its service stopped" "0 inactive" "$status $(unit_of e2e-console.service ActiveState)"
proxy_lives_on "console stopped"
expect "console stopped: the same proxy" "$before" "$PROXY"

# An administrator's shell serialises its restarts with flock, with a file of
# its own open: neither the lock nor the file reaches Squid, so the next run
# takes the lock at once.
proxy_runs
before=$PROXY
capture inside bash -c 'exec 7> /root/caller.out
  flock /root/restart.lock /usr/sbin/proxywarden restart > /root/flock.out 2>&1; echo "restart: $?"
  flock -n /root/restart.lock true; echo "flock -n: $?"'
expect "shell: the restart under flock, then the lock at once" "restart: 0
flock -n: 0" "${OUT%$'\n'}"
proxy_lives_on "shell"
a_new_proxy "shell" "$before"
listing=$(for pid in $(squid_pids); do inside find "/proc/$pid/fd" -mindepth 1 -printf "$pid %f -> %l\n"; done 2> /dev/null)
fact "shell: Squid's descriptors" "$listing"
expect "shell: the main process's descriptors listed" "yes" "$(grep -q "^$PROXY 0 -> " <<<"$listing" && echo yes)"
expect "shell: the caller's lock and file in Squid's descriptors" "" "$(grep ' -> /root/' <<<"$listing")"

# Purging both packages stops the proxy and takes away the drop-in and every
# Squid segment; Debian's squid then starts.
proxy_runs
capture inside dpkg --purge proxywarden proxywarden-libunix
fact "purge" "$OUT$ERR"
expect "purge: dpkg --purge" "0" "$STATUS"
expect "purge: no Squid left" "" "$(squid_pids)"
expect "purge: no Squid segment left" "" "$(inside find /dev/shm -name '*squid*')"
expect "purge: squid.service without the drop-in" "" "$(unit_of squid.service DropInPaths)"
status=0
inside timeout 120 systemctl start squid.service || status=$?
state=$(unit_of squid.service ActiveState)
expect "purge: systemctl start squid" "0 active" "$status $state"
expect "purge: every Squid in Debian's unit" "/system.slice/squid.service" \
  "$(for pid in $(squid_pids); do cgroup_of "$pid"; done | sort -u)"
expect "purge: Debian's squid serves" "200" "$([[ $state == active ]] && { wait_until 30 serving; mgr_status; } || echo "squid.service $state")"

finish
