# shellcheck shell=bash
# A proxy that a supervisor of root's restarts at once: the forced stop, which
# takes every process that could be the main one, fails all the same.
# shellcheck source=../lib.sh
source "$E2E_LIB"
use_fake_squid respawn

pw start
check_ran "start" 0
pid=$(main_pid)

pw stop
check_ran "stop" 0
check "stop: opening line" "[Stopping]......: Terminate process $pid" "$(first_line "$OUT")"
# One line for the main process and one for the other daemon: the others are
# listed before the main one is killed, so the daemon that the supervisor
# starts in its place is not among them.
check_match "stop: ends in the forced stop's failure" \
  $'\n\\[Stopping\\]\\.\\.\\.\\.\\.\\.: Waiting pid ([0-9]+) 5/5\n\\[Stopping\\]\\.\\.\\.\\.\\.\\.: Killing process ([0-9]+)\n\\[Stopping\\]\\.\\.\\.\\.\\.\\.: Killing process [0-9]+\n\\[Stopping\\]\\.\\.\\.\\.\\.\\.: \\[Failed\\]\n$' "$OUT"
check "stop: the last waited-for process is killed first" "${BASH_REMATCH[1]}" "${BASH_REMATCH[2]}"
check "stop: no process killed twice" "" "$(grep -o 'Killing process [0-9]*' <<<"$OUT" | sort | uniq -d)"
check "stop: progress" "110 'Stopping {failed}...'" "$(decoded "$PROGRESS")"
check "stop: journal" "0|Failed Stopping proxy service||Proxy Service|proxywarden|0" "$(journal | tail -n 1)"
check_match "still running" "^[0-9]+$" "$(main_pid)"

pw restart
check_ran "restart" 0
check "restart: progress" "110 'Stopping {failed}...'" "$(decoded "$RPROGRESS")"

finish
