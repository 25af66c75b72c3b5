# shellcheck shell=bash
# A proxy that ignores SIGTERM and the kill command: only the forced stop ends it.
# shellcheck source=../lib.sh
source "$E2E_LIB"
use_fake_squid stubborn

pw start
check_ran "start" 0
pid=$(main_pid)
check "start: last line" "[Starting]......: Proxy service success pid $pid..." "$(last_line "$OUT")"

start=$SECONDS
pw stop
check_ran "stop" 0
check "stop: output" "$(forced_stop_lines "$pid")"$'\n' "$OUT"
# Seven pauses of a second; a loaded machine may add a few more seconds.
check_match "stop: at least seven seconds" "^([7-9]|1[0-9])$" "$((SECONDS - start))"
check "stop: progress" "100 'Stopping {success}...'" "$(decoded "$PROGRESS")"
check "stop: journal" "2|Success Starting proxy service with PID $pid||Proxy Service|proxywarden|0
1|Success Stopping proxy service||Proxy Service|proxywarden|0" "$(journal)"
check "stop: gone" "" "$(pgrep -u squid)"

finish
