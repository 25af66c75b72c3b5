# shellcheck shell=bash
# A shell that cannot be started (the spawn fails with EAGAIN, made so with
# strace's fault injection into clone3 and clone) ends the run with status 1
# and one diagnostic naming the command that did not run.
# shellcheck source=../lib.sh
source "$E2E_LIB"
use_fake_squid ""
no_spawn=(-e 'trace=clone3,clone' -e 'inject=clone3,clone:error=EAGAIN')
refused_spawn='^[0-9]+ +clone3?\(.*\) += -1 EAGAIN \(Resource temporarily unavailable\) \(INJECTED\)$'

# The watchdog's reload: its event is journaled first, then the command fails.
pw start
check_ran "start" 0
pw_traced reload.trace "${no_spawn[@]}" -- reload-timeout
check "reload-timeout: exit status" "1" "$STATUS"
check "reload-timeout: output" "" "$OUT"
check "reload-timeout: diagnostic" "proxywarden: start /bin/sh for: /usr/sbin/squid -f /etc/squid3/squid.conf -k reconfigure >/dev/null 2>&1: Resource temporarily unavailable
" "$ERR"
check_match "reload-timeout: the spawn was refused" "$refused_spawn" "$(grep -E 'clone' reload.trace | head -n 1)"
check "reload-timeout: journaled before the command" \
  "0|Reloading Proxy service (Timeout exceed 15s) by the Watchdog Ports monitoring||Proxy Service|proxywarden|0" \
  "$(journal | tail -n 1)"
pw stop
check_ran "stop" 0
wait_until 5 no_squid_process

# A start with no proxy running fails at its first command, the port range;
# the line printed before the command comes before the diagnostic.
journal_before=$(journal)
progress_before=$(bytes_of "$PROGRESS")
port_range=$(cat /proc/sys/net/ipv4/ip_local_port_range)
status=0
strace -f -o start.trace "${no_spawn[@]}" /usr/sbin/proxywarden start >start.out 2>&1 || status=$?
check "start: exit status" "1" "$status"
check "start: output and diagnostic in order" '[Starting]......: Proxy ip_local_port_range: 65535
proxywarden: start /bin/sh for: /sbin/sysctl -w net.ipv4.ip_local_port_range="8000 65535": Resource temporarily unavailable
x' "$(cat start.out; echo x)"
check_match "start: the spawn was refused" "$refused_spawn" "$(grep -E 'clone' start.trace | head -n 1)"
check "start: port range unchanged" "$port_range" "$(cat /proc/sys/net/ipv4/ip_local_port_range)"
check "start: nothing launched" "" "$(pgrep -u squid)"
check "start: no progress recorded" "$progress_before" "$(bytes_of "$PROGRESS")"
check "start: nothing journaled" "$journal_before" "$(journal)"

finish
