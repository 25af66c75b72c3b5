# shellcheck shell=bash
# Output that cannot be written, or is read through a pipe: a reader that goes
# away, a file-size limit, one pipe for both streams, a reader that watches the
# lines as they come.
# shellcheck source=../lib.sh
source "$E2E_LIB"

serve_site

pw start
check_ran "start" 0
pid=$(main_pid)

# A reader that stops after the first line: the restart runs to its end all the
# same, and the lost lines show in the status and one diagnostic.
first=$(/usr/sbin/proxywarden restart 2>restart.err | head -n 1; echo "status ${PIPESTATUS[0]}")
check "restart | head: the first line, then status 1" "[Stopping]......: Terminate process $pid
status 1" "$first"
err=$(cat restart.err; echo x)
check "restart | head: one diagnostic" "proxywarden: write to standard output: Broken pipe
x" "$err"
check "restart | head: progress" "100 'Starting {success}...'" "$(decoded "$RPROGRESS")"

# A full device: the diagnostic names the error of the write that failed.
status=0
/usr/sbin/proxywarden pid > /dev/full 2> full.err || status=$?
check "pid > /dev/full: status" "1" "$status"
check "pid > /dev/full: diagnostic" "proxywarden: write to standard output: No space left on device" "$(cat full.err)"
new_pid=$(main_pid)
check_match "restart | head: the proxy runs" "^[0-9]+$" "$new_pid"
[[ "$new_pid" != "$pid" ]] || check "restart | head: the PID changed" "not $pid" "$new_pid"
check "restart | head: stop and start events" "1|Success Stopping proxy service||Proxy Service|proxywarden|0
2|Success Starting proxy service with PID $new_pid||Proxy Service|proxywarden|0" "$(journal | tail -n 2)"
wait_for_proxy
check "restart | head: a request through the proxy" "hello through the proxy" \
  "$(through_proxy)"

pw stop
check_ran "stop" 0
web=/usr/share/brantelbase/ressources/logs/web
before=$(bytes_of "$PROGRESS")

# Under a file-size limit the progress record cannot be written: the lines
# printed so far, then one diagnostic, status 1, and no temporary file left.
# Both streams go to one pipe, so their order shows too.
seen=$( (ulimit -f 0; /usr/sbin/proxywarden stop 2>&1; echo "status $?") | cat)
check "file-size limit: lines, diagnostic, status" "[Stopping]......: No other processes.
proxywarden: file_put_contents $PROGRESS: File too large
status 1" "$seen"
check "file-size limit: nothing else in the progress directory" "squid.quick.progress
squid.quick.rprogress" "$(ls -A "$web")"
check "file-size limit: the record as it was" "$before" "$(bytes_of "$PROGRESS")"

# The progress directory missing: the status line comes before the diagnostic.
mv "$web" "$web.away"
seen=$( (/usr/sbin/proxywarden stop 2>&1; echo "status $?") | cat)
mv "$web.away" "$web"
check "one pipe for both streams: order" "[Stopping]......: No other processes.
proxywarden: file_put_contents $PROGRESS: No such file or directory
status 1" "$seen"

# A seven-second stop read through a pipe: each line arrives when it is
# printed, not all at the end.
use_fake_squid stubborn
pw start
check_ran "stubborn: start" 0
stubborn=$(main_pid)
/usr/sbin/proxywarden stop 2>stop.err | while IFS= read -r line; do echo "$EPOCHREALTIME $line"; done > stamped
check "stubborn: lines" "$(forced_stop_lines "$stubborn")" "$(cut -d' ' -f2- stamped)"
check "stubborn: standard error" "" "$(cat stop.err)"
# The first "Waiting" line follows the first line at once; the last line comes
# about seven seconds after it.
spans=$(awk 'NR == 1 { first = $1 } /Waiting/ && !w { w = $1 } { last = $1 }
             END { printf "%s, %s", (w - first < 1.5 ? "at once" : "late"), (last - w >= 5 ? "spread" : "bunched") }' stamped)
check "stubborn: lines arrive as printed" "at once, spread" "$spans"

finish
