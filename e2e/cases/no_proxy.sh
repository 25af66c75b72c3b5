# shellcheck shell=bash
# Every action word while no proxy runs, and a start with no proxy program.
# shellcheck source=../lib.sh
source "$E2E_LIB"

pw
check_ran "no word" 0
check "no word: output" "" "$OUT"
for word in START Start status restart_cpu; do
  pw "$word"
  check_ran "$word" 0
  check "$word: output" "" "$OUT"
done
check "nothing written" "(missing) (missing) " "$(bytes_of "$PROGRESS") $(bytes_of "$RPROGRESS") $(journal)"

pw pid
check_ran "pid" 0
check "pid: output" "PID of main proxy service is [None]
" "$OUT"

# A line that cannot be written is no silent success.
status=0
/usr/sbin/proxywarden pid > /dev/full 2> full.err || status=$?
check "pid to a full device: status" "1" "$status"
check "pid to a full device: diagnostic" "proxywarden: write to standard output: No space left on device" "$(cat full.err)"

pw ps
check_ran "ps" 0
check "ps: output" "" "$OUT"

pw stop
check_ran "stop" 0
check "stop: output" "[Stopping]......: No other processes.
" "$OUT"
check "stop: progress bytes" 'a:2:{s:5:"POURC";i:110;s:4:"TEXT";s:20:"Stopping {failed}...";}' "$(bytes_of "$PROGRESS")"

pw restart
check_ran "restart" 0
check "restart: output" "[Stopping]......: No other processes.
" "$OUT"
check "restart: progress" "110 'Stopping {failed}...'" "$(decoded "$RPROGRESS")"
check "restart: nothing started" "" "$(pgrep -x squid)"

pw reload-timeout
check_ran "reload-timeout" 0
check "reload-timeout: output" "" "$OUT"

pw restart-cpu
check_ran "restart-cpu" 0
pw restart-memory
check_ran "restart-memory" 0
check "journal" "0|Reloading Proxy service (Timeout exceed 15s) by the Watchdog Ports monitoring||Proxy Service|proxywarden|0
0|Restarting Proxy service (0% CPU usage) by the Watchdog CPU monitoring||Proxy Service|proxywarden|0
0|Restarting Proxy service (0% memory usage) by the Watchdog Memory monitoring||Proxy Service|proxywarden|0" "$(journal)"
check "watchdog restarts: progress" "110 'Stopping {failed}...'" "$(decoded "$RPROGRESS")"
check "start/stop file untouched by restarts" 'a:2:{s:5:"POURC";i:110;s:4:"TEXT";s:20:"Stopping {failed}...";}' "$(bytes_of "$PROGRESS")"

# No proxy program at all: the launch prints nothing and six probes find nothing.
rm /usr/sbin/squid
start=$SECONDS
pw start
check_ran "start without a program" 0
check "start without a program: output" "[Starting]......: Proxy ip_local_port_range: 65535
net.ipv4.ip_local_port_range = 8000 65535
[Starting]......: Proxy service
[Starting]......: Proxy service waiting 0...
[Starting]......: Proxy service waiting 1...
[Starting]......: Proxy service waiting 2...
[Starting]......: Proxy service waiting 3...
[Starting]......: Proxy service waiting 4...
[Starting]......: Proxy service waiting 5...
[Starting]......: Proxy service [FAILED]...
" "$OUT"
# Six pauses of a second; a loaded machine may add a few more seconds.
check_match "start without a program: at least six seconds" "^([6-9]|1[0-9])$" "$((SECONDS - start))"
check "start without a program: progress" "110 'Starting {failed}...'" "$(decoded "$PROGRESS")"
check "start without a program: journal" "0|Failed to start proxy service||Proxy Service|proxywarden|0" "$(journal | tail -n 1)"

# A larger max_filedesc raises the top of the port range, even past 65535.
echo 70000 > /etc/brantelbase/settings/max_filedesc
pw start
check "max_filedesc: first line" "[Starting]......: Proxy ip_local_port_range: 70000" "$(first_line "$OUT")"
check_match "max_filedesc: sysctl refuses it and the launch goes on" $'\n\\[Starting\\]\\.\\.\\.\\.\\.\\.: Proxy service\n' "$OUT"
check "max_filedesc: sysctl's complaint on standard error" "" "$(grep -v sysctl <<<"$ERR")"

finish
