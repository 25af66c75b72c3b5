# shellcheck shell=bash
# shellcheck disable=SC2154,SC2153 # machine, here, leader, scratch, root and debs are run.sh's; failures and STATUS e2e/lib.sh's
# The appliance on a Debian booted with systemd as PID 1, sourced by run.sh
# once the container has booted with Debian's squid running. `inside` runs a
# command in the container as an administrator's shell would; `machine` is the
# container's root seen from outside; `power_off` and `boot` shut it down and
# boot it again. Each check prints one line; a mismatch prints what was
# expected and what came. Sourced as it is, the case runs without errexit:
# every step is followed by the check of its outcome.
#
# An administrator stops Debian's squid, which takes /run/squid with it, and
# follows the README's appliance steps. The proxy then has to run in its own
# unit and outlive whoever started it (a watchdog's oneshot service, a
# console's service with KillMode=mixed and a private /tmp once it is
# stopped, an administrator's shell under flock, ten restarts at once from a
# service, a start while the service manager re-executes itself); to leave
# its unit inactive after the console's stop, without a warning, and answer
# the administrator's systemctl; to be reported started only once Squid
# serves, however slowly, and failed when Squid dies while starting; to keep
# the administrator's mask; not to be misled by a stale PID file or Squid's
# own control commands; to say when a reload leaves no proxy; to leave the
# units failed when it cannot start; to follow an upgrade of Debian's squid,
# unless the new Squid refuses squid.conf; to have its logs rotated; to start
# within a deadline with the service manager frozen, and out of its reach; and
# to start at the next boot after a clean poweroff. A chroot beside the
# container, on the machine's process table, installs and purges the packages
# without touching it. Purging both packages, the helper library first, then
# stops the proxy in seconds and leaves nothing that keeps Debian's own squid
# from starting.

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
# Every process of a Squid program (Debian 13's squid-gnutls or squid-openssl
# behind the /usr/sbin/squid link): the master, its kid and their helpers.
squid_pids() {
  # shellcheck disable=SC2016 # the container's shell expands it
  inside sh -c 'for p in /proc/[0-9]*; do case $(readlink $p/exe) in /usr/sbin/squid*) echo ${p#/proc/};; esac; done' |
    paste -sd ' '
}
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

# started LABEL: the last run ended with the start's success line.
started() { expect_match "$1: the start's last line" '^\[Starting\]\.+: Proxy service success pid [0-9]+\.\.\.$' "$(last_line "$OUT")"; }
# started_pid: the PID that the last run's success line names.
started_pid() { last_line "$OUT" | sed -n 's/.*success pid \([0-9]*\)\.\.\.$/\1/p'; }
# unit_warnings SINCE: what the service manager logged at warning or worse
# about the proxy's units after the cursor SINCE (Squid's own syslog lines
# aside).
cursor() { inside journalctl -n 0 --show-cursor --no-pager | sed -n 's/^-- cursor: //p'; }
unit_warnings() {
  { inside journalctl --after-cursor="$1" -p warning _PID=1 -q --no-pager -o cat || echo "journalctl failed: proxywarden"; } |
    grep proxywarden
}
# unit_is UNIT: its state, and its result where it has one.
unit_is() { echo "$(unit_of "$1" ActiveState) $(unit_of "$1" Result)"; }
# systemctl_on VERB [UNIT]: systemctl's status for VERB on UNIT (the boot
# unit by default), then the unit's state.
systemctl_on() {
  local status=0 unit=${2:-proxywarden.service}
  inside systemctl "$1" "$unit" || status=$?
  echo "$status $(unit_is "$unit")"
}
# seconds_since BEGAN: the seconds since EPOCHREALTIME was BEGAN.
seconds_since() { awk "BEGIN { printf \"%.1f\", $EPOCHREALTIME - $1 }"; }
# under LIMIT SECONDS: "under LIMIT s" when SECONDS is less, else SECONDS.
under() { awk "BEGIN { print ($2 < $1) ? \"under $1 s\" : \"$2 s\" }"; }
# timed_run ACTION: the program's ACTION, and how long it took.
timed_run() {
  local began=$EPOCHREALTIME
  pw_inside "$1"
  fact "console $1" "$(seconds_since "$began") s, $(grep -c Waiting <<<"$OUT") waits"
}
# squid_cgroups: the cgroups that Squid's processes run in, each once.
squid_cgroups() { for pid in $(squid_pids); do cgroup_of "$pid"; done | sort -u; }
# squid_masters: the Squid processes whose parent runs no Squid.
squid_masters() {
  # shellcheck disable=SC2016 # the container's shell expands it
  inside sh -c 'for p in /proc/[0-9]*; do case $(readlink $p/exe) in /usr/sbin/squid*)
    case $(readlink /proc/$(awk "/^PPid:/ { print \$2 }" $p/status)/exe) in /usr/sbin/squid*) ;; *) echo ${p#/proc/};; esac;; esac; done' 2> /dev/null
}

# The installation, inside the booted system, once Debian's squid was stopped
# and took /run/squid with it: the README's appliance steps, word for word.
expect "first boot: Debian's squid.service" "active" "$(unit_of squid.service ActiveState)"
inside systemctl stop squid.service
expect "Debian's squid stopped: /run/squid" "gone" "$(inside test -e /run/squid && echo there || echo gone)"
# apt's question answered yes, as the administrator would.
echo 'APT::Get::Assume-Yes "true";' > "$machine/etc/apt/apt.conf.d/90yes"
steps=$(sed -n '/^<!-- appliance steps/,/^```$/p' "$here/../../README.md" | sed '1,2d;$d')
capture inside env DEBIAN_FRONTEND=noninteractive bash -ec "cd /root/debs; $steps"
expect "install: the README's steps" "0" "$STATUS"
[[ $STATUS == 0 ]] || fact "install" "$OUT$ERR"
expect "install: /run/squid" "squid:squid 755" "$(inside stat -c '%U:%G %a' /run/squid 2>&1)"
expect "install: systemd-analyze verify of the units" "" \
  "$(inside systemd-analyze verify --man=no proxywarden.service proxywarden-squid.service 2>&1)"
expect "install: systemctl start proxywarden" "0 active success" "$(systemctl_on start)"
proxy_lives_on "install"

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

# The console stops the proxy: its unit ends too, not failed, and the
# administrator starts it; the console restarts the proxy, and the
# administrator stops its unit. Neither run leaves a warning.
proxy_runs
since=$(cursor)
timed_run stop
expect "console stop: the proxy's unit" "loaded inactive success" \
  "$(unit_of proxywarden-squid.service LoadState) $(unit_is proxywarden-squid.service)"
expect "admin: systemctl start proxywarden-squid after the console's stop" "0 active success" "$(systemctl_on start proxywarden-squid.service)"
proxy_lives_on "admin start"
timed_run restart
started "console restart"
expect "console stop and restart: warnings about the proxy's units" "" "$(unit_warnings "$since")"
expect "admin: systemctl stop proxywarden-squid after the console's restart" "0 inactive success, no proxy" \
  "$(systemctl_on stop proxywarden-squid.service), $([[ -z $(main_pid) ]] && echo no proxy || echo "proxy $(main_pid)")"

# Ten restarts at once, from a watchdog's oneshot service: every proxy they
# launch runs in its unit and outlives the service.
cat > "$machine/etc/systemd/system/e2e-crowd.service" <<'UNIT'
[Service]
Type=oneshot
ExecStart=/bin/sh -c 'for i in 0 1 2 3 4 5 6 7 8 9; do /usr/sbin/proxywarden restart > /dev/null 2>&1 & done; wait'
UNIT
inside systemctl daemon-reload
proxy_runs
inside timeout 120 systemctl start e2e-crowd.service
expect "ten restarts at once: every Squid in the proxy's unit" "$proxy_unit_cgroup" "$(squid_cgroups)"
proxy_lives_on "ten restarts at once"

# A start that waits for Squid's own readiness: a start job made 14 s slow,
# with a process of the proxy's user and program living meanwhile, ends in
# success, naming the proxy that serves.
pw_inside stop
inside cp /bin/sleep /usr/sbin/squid-before-fork
mkdir -p "$machine/etc/systemd/system/proxywarden-squid.service.d"
printf '[Service]\nExecStartPre=/usr/bin/setpriv --reuid=squid --regid=squid --clear-groups /usr/sbin/squid-before-fork 14\n' \
  > "$machine/etc/systemd/system/proxywarden-squid.service.d/slow.conf"
inside systemctl daemon-reload
timed_run start
started "a start 14 s slow"
named=$(started_pid)
expect "a start 14 s slow: the start names the proxy that serves" "$(wait_until 30 serving; main_pid)" "$named"
rm -r "$machine/etc/systemd/system/proxywarden-squid.service.d" "$machine/usr/sbin/squid-before-fork"
inside systemctl daemon-reload

# start_fails LABEL: the console's start reported a failure, the proxy's unit
# failed or never started, and no Squid runs.
start_fails() {
  expect "$1: the start's last line, Squid" "[Starting]......: Proxy service [FAILED]..., " \
    "$(last_line "$OUT"), $(squid_pids)"
}
# Squid dies while it starts, its port held by another listener: the start
# waits for Squid's own word, and says what came of it.
pw_inside stop
# shellcheck disable=SC2016 # the container's shell expands it
inside sh -c 'perl -MIO::Socket::INET -e "my \$s = IO::Socket::INET->new(LocalAddr => q(0.0.0.0:3128), Listen => 1) or die; sleep 300" > /dev/null 2>&1 & echo $! > /run/e2e-listener'
pw_inside start
start_fails "port held"
expect_match "port held: the proxy's unit, what the start says" "^failed .*journalctl -u proxywarden-squid" \
  "$(unit_is proxywarden-squid.service) $ERR"
# shellcheck disable=SC2016 # the container's shell expands it
inside sh -c 'kill $(cat /run/e2e-listener)'
# A cache_dir never made: Squid makes it before it starts.
pw_inside stop
inside cp /etc/squid3/squid.conf /root/squid.conf.good
inside sh -c 'echo "cache_dir ufs /var/spool/squid3/cache 100 16 256" >> /etc/squid3/squid.conf'
pw_inside start
started "a cache_dir never made"
proxy_lives_on "a cache_dir never made"
# The administrator's mask holds: no Squid anywhere, and the start says why.
pw_inside stop
inside systemctl mask proxywarden-squid.service
pw_inside start
start_fails "the unit masked"
expect_match "the unit masked: what the start says" "is masked" "$ERR"
inside systemctl unmask proxywarden-squid.service
# A PID file naming a live process that is not Squid does not hold the start.
pw_inside stop
inside sh -c 'echo 1 > /run/squid/squid.pid'
pw_inside start
started "a PID file naming PID 1"
proxy_lives_on "a PID file naming PID 1"
# A control command of Squid's, run as the user squid, is never the proxy.
pw_inside stop
inside cp /bin/sh /usr/sbin/squid-control
inside sh -c 'setpriv --reuid=squid --regid=squid --clear-groups /usr/sbin/squid-control -c "sleep 60; :" -k kill > /dev/null 2>&1 & echo $! > /run/e2e-control'
control=$(inside cat /run/e2e-control)
pw_inside start
started "a squid -k process of the user squid"
named=$(started_pid)
expect "a squid -k process of the user squid: the start names the proxy, pid too" "$(wait_until 30 serving; main_pid) not $control" "$named not $control"
inside kill "$control"
inside rm /usr/sbin/squid-control

# systemctl reload, and the watchdog's reload: the proxy keeps serving, or the
# run says that it no longer does.
proxy_runs
before=$PROXY
expect "systemctl reload proxywarden-squid" "0 active success" "$(systemctl_on reload proxywarden-squid.service)"
proxy_lives_on "systemctl reload"
expect "systemctl reload: the same proxy" "$before" "$PROXY"
inside sh -c 'echo "cache_dir ufs /var/spool/squid3/later 100 16 256" >> /etc/squid3/squid.conf'
pw_inside reload-timeout
verdict="$STATUS $(sleep 8; serving && echo serving || echo gone)"
fact "reload-timeout, a cache_dir never made" "$verdict: $ERR"
expect_match "reload-timeout, a cache_dir never made: the run's status, the proxy after" "^(0 serving|1 gone)$" "$verdict"
inside cp /root/squid.conf.good /etc/squid3/squid.conf

# The service manager re-executes itself (as an upgrade of systemd makes it)
# a few milliseconds into a start: the start still goes through the unit.
pw_inside stop
inside sh -c '/usr/sbin/proxywarden start > /dev/null 2>&1 & sleep 0.02; systemctl daemon-reexec; wait'
proxy_lives_on "manager re-executed during a start"

# A process of the proxy's unit that outlives SIGTERM is no reason to wait.
proxy_runs
before=$PROXY
inside sh -c 'sh -c "trap \"\" TERM; exec sleep 300" < /dev/null > /dev/null 2>&1 &
  echo $! > /sys/fs/cgroup'"$proxy_unit_cgroup"'/cgroup.procs'
pw_inside restart
started "a process that outlives SIGTERM"
proxy_lives_on "a process that outlives SIGTERM"
a_new_proxy "a process that outlives SIGTERM" "$before"

# A start that leaves no proxy, here with a broken configuration, leaves the
# boot unit failed, and launches Squid once; mended, the unit starts it again.
# A wrapper in Squid's place counts its launches.
inside cp /etc/squid3/squid.conf /root/squid.conf.good
inside sh -c 'echo "acl broken nosuchtype value" >> /etc/squid3/squid.conf'
inside mv /usr/sbin/squid /usr/sbin/squid.real
cat > "$machine/usr/sbin/squid" <<'WRAPPER'
#!/bin/sh
case " $* " in *" -sYC "* | *" -z "*) echo "$*" >> /run/e2e-launches ;; esac
exec /usr/sbin/squid.real "$@"
WRAPPER
chmod 755 "$machine/usr/sbin/squid"
inside systemctl restart proxywarden.service || true
expect "broken configuration: Squid's launches" "--foreground -z -f /etc/squid3/squid.conf" "$(inside cat /run/e2e-launches)"
inside mv /usr/sbin/squid.real /usr/sbin/squid
expect "broken configuration: the unit" "failed exit-code" "$(unit_is proxywarden.service)"
expect "broken configuration: systemctl --failed" "proxywarden-squid.service proxywarden.service" \
  "$(inside systemctl list-units --failed --plain --no-legend | awk '{ print $1 }' | grep proxywarden | paste -sd ' ')"
inside cp /root/squid.conf.good /etc/squid3/squid.conf
expect "configuration mended: systemctl restart proxywarden" "0 active success" "$(systemctl_on restart proxywarden.service)"
proxy_lives_on "configuration mended"

# An upgrade or a reinstall of Debian's squid restarts a running proxy on the
# new program, through the program (its journal row tells), and leaves a
# stopped one stopped.
reinstall_squid() { capture inside env DEBIAN_FRONTEND=noninteractive sh -c "dpkg -i /var/cache/apt/archives/squid_*.deb $*"; }
# shellcheck disable=SC2016 # the container's shell expands it
deleted_programs() { inside sh -c 'for p in /proc/[0-9]*; do readlink $p/exe; done 2> /dev/null' | grep deleted; }
proxy_runs
before=$PROXY
reinstall_squid
proxy_lives_on "squid reinstalled"
a_new_proxy "squid reinstalled" "$before"
expect "squid reinstalled: the journal's last row" "Success Starting proxy service with PID $PROXY" \
  "$(inside sqlite3 /home/brantel/SQLITE/system_events.db 'SELECT subject FROM squid_admin_mysql ORDER BY rowid DESC LIMIT 1')"
expect "squid reinstalled: programs that were deleted, still running" "" "$(deleted_programs)"
expect_match "squid reinstalled: the system journal names the update" "restarting the appliance's Squid: the update of squid" \
  "$(inside journalctl -t proxywarden --no-pager -q -o cat)"
# Squid and both packages in one run of dpkg, which drops the trigger.
before=$PROXY
reinstall_squid '/root/debs/*.deb'
proxy_lives_on "squid and both packages at once"
a_new_proxy "squid and both packages at once" "$before"
expect "squid and both packages at once: programs that were deleted, still running" "" "$(deleted_programs)"
# A configuration that the new Squid refuses: the same proxy keeps serving.
before=$PROXY
inside sh -c 'echo "acl broken nosuchtype value" >> /etc/squid3/squid.conf'
reinstall_squid
expect_match "squid reinstalled, squid.conf refused: what dpkg says" "refuses /etc/squid3/squid.conf" "$ERR"
proxy_lives_on "squid reinstalled, squid.conf refused"
expect "squid reinstalled, squid.conf refused: the same proxy" "$before" "$PROXY"
inside cp /root/squid.conf.good /etc/squid3/squid.conf
# The logs rotate, and Squid writes the next request into the new access.log.
inside logrotate -f /etc/logrotate.d/proxywarden
logged() { mgr_status > /dev/null; inside grep -q squid-internal-mgr /var/log/squid3/access.log; }
expect "logrotate -f: the next request in a new access.log" "yes" \
  "$(inside test -s /var/log/squid3/access.log.1 && wait_until 10 logged && echo yes)"
pw_inside stop
reinstall_squid
expect "squid reinstalled, the proxy stopped: a proxy" "" "$(main_pid)"

# With the service manager frozen, a start gives up on it within its deadline
# and launches Squid itself; once the manager runs again, nothing of the
# launch is left, and one Squid runs.
kill -STOP "$leader"
began=$EPOCHREALTIME
capture inside /usr/sbin/proxywarden start
took=$(seconds_since "$began")
kill -CONT "$leader"
fact "manager frozen" "the start took $took s"
started "manager frozen"
expect "manager frozen: the start's time" "under 12 s" "$(under 12 "$took")"
expect_match "manager frozen: what the launch says" "did not answer the start" "$ERR"
wait_until 30 booted
expect "manager frozen, then running: the launch's processes left" "" "$(inside pgrep -a -f 'launch-squid|systemctl start|systemd-run')"
expect "manager frozen, then running: Squid's masters" "1" "$(squid_masters | wc -w)"
expect "manager frozen, then running: it serves" "200" "$(wait_until 30 serving; mgr_status)"
pw_inside restart
proxy_lives_on "manager frozen, then a restart"

# A clean poweroff stops the proxy through the boot unit, without a warning;
# the next boot starts it, and Debian's squid stays off.
since=$(cursor)
expect "poweroff" "done" "$(power_off && echo 'done')"
boot
init_mount_ns=$(mount_ns_of 1)
expect "poweroff and boot: warnings about the proxy's units" "" "$(unit_warnings "$since")"
fact "second boot: warnings and worse" "$(inside journalctl -b -p warning --no-pager -q -o short | cut -d' ' -f5- | sort | uniq -c)"
expect "second boot: proxywarden.service" "active success" "$(unit_is proxywarden.service)"
expect "second boot: Debian's squid.service held off" "inactive" "$(unit_of squid.service ActiveState)"
expect "second boot: no duplicate tmpfiles.d line for Squid" "" "$(inside journalctl -b --no-pager -q | grep -i 'duplicate line.*squid')"
proxy_lives_on "second boot"

# Removing both packages, the helper library first, stops the proxy in its
# unit within seconds, not Squid's shutdown_lifetime; then they go back.
proxy_runs
began=$EPOCHREALTIME
capture inside dpkg --remove proxywarden-libunix proxywarden
took=$(seconds_since "$began")
fact "remove" "took $took s"
expect "remove: its status and time, the Squids left" "0, under 15 s, " "$STATUS, $(under 15 "$took"), $(squid_pids)"
inside sh -c 'dpkg -i /root/debs/*.deb' > /dev/null

# Where systemd runs the machine but its manager is out of the caller's reach
# (a mount namespace that hides its sockets), the launch runs as elsewhere and
# says why. That proxy, in no unit of its own, is the one purged below.
proxy_runs
capture inside unshare --mount sh -c 'mount -t tmpfs none /run/systemd && mkdir /run/systemd/system &&
  mount -t tmpfs none /run/dbus && exec /usr/sbin/proxywarden restart'
started "manager out of reach"
expect_match "manager out of reach: systemd-run's complaint" "Failed to connect to .*bus" "$ERR"
expect "manager out of reach: it serves" "200" "$(wait_until 30 serving; mgr_status)"

# A chroot of the same release beside the container, on the machine's
# process table, as builders and piuparts use one: installing and purging the
# packages there, with and without a policy-rc.d that forbids every action,
# leaves the container's proxy alone, and the program there sees no proxy.
chroot_dir=$scratch/beside
mkdir -p "$chroot_dir/upper" "$chroot_dir/work" "$chroot_dir/root"
mount -t overlay overlay -o "lowerdir=$root,upperdir=$chroot_dir/upper,workdir=$chroot_dir/work" "$chroot_dir/root"
mount -t proc proc "$chroot_dir/root/proc"
cp "$debs"/proxywarden_*.deb "$debs"/proxywarden-libunix_*.deb "$chroot_dir/root/root/"
beside() { chroot "$chroot_dir/root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root DEBIAN_FRONTEND=noninteractive "$@"; }
proxy_runs
for policy in none forbidding; do
  [[ $policy == none ]] || printf '#!/bin/sh\nexit 101\n' > "$chroot_dir/root/usr/sbin/policy-rc.d"
  chmod -f 755 "$chroot_dir/root/usr/sbin/policy-rc.d"
  capture beside sh -c 'dpkg -i /root/proxywarden_*.deb /root/proxywarden-libunix_*.deb && proxywarden pid'
  expect "chroot beside ($policy policy-rc.d): installed, pid" "PID of main proxy service is [None]" "$(last_line "$OUT")"
  capture beside dpkg --purge proxywarden-libunix proxywarden
  expect "chroot beside ($policy policy-rc.d): purged" "0" "$STATUS"
  expect "chroot beside ($policy policy-rc.d): the container's proxy" "$PROXY" "$(main_pid)"
done
umount -R "$chroot_dir/root"

# Purging both packages, the helper library first, stops the proxy, which the
# program cannot do without it, nor the service manager for a proxy outside
# its unit, and takes away the drop-in, every Squid segment and both units;
# Debian's squid then starts.
capture inside dpkg --purge proxywarden-libunix proxywarden
fact "purge" "$OUT$ERR"
expect "purge: dpkg --purge" "0" "$STATUS"
expect "purge: no Squid left" "" "$(squid_pids)"
expect "purge: no Squid segment left" "" "$(inside find /dev/shm -name '*squid*')"
expect "purge: no unit of proxywarden's left" "" "$(inside systemctl list-units --all --plain --no-legend 'proxywarden*')"
expect "purge: squid.service without the drop-in" "" "$(unit_of squid.service DropInPaths)"
status=0
inside timeout 120 systemctl start squid.service || status=$?
state=$(unit_of squid.service ActiveState)
expect "purge: systemctl start squid" "0 active" "$status $state"
expect "purge: every Squid in Debian's unit" "/system.slice/squid.service" "$(squid_cgroups)"
expect "purge: Debian's squid serves" "200" "$([[ $state == active ]] && { wait_until 30 serving; mgr_status; } || echo "squid.service $state")"

finish
