# shellcheck shell=bash
# What the PID file may hold, and what each content leads to.
# shellcheck source=../lib.sh
source "$E2E_LIB"
# The real Squid itself refuses to start while its PID file names a live
# process; the fake one takes the file over.
use_fake_squid ""

sleep 600 &
unrelated=$!

for content in "" "0" "-5" "+0" "squid" "12.5" "1e3" "99999999999999999999" "4194303" "$unrelated" " $unrelated
"; do
  printf '%s' "$content" > "$PIDFILE"
  pw pid
  check_ran "pid file [$content]" 0
  check "pid file [$content]: output" "PID of main proxy service is [None]
" "$OUT"
done

ln -sf /nowhere "$PIDFILE"
pw pid
check "dangling link: output" "PID of main proxy service is [None]
" "$OUT"
rm -f "$PIDFILE"

# The ID of a process's second thread names no process: the scan finds the
# process itself, which the user squid runs from a path holding the proxy's.
cp /usr/bin/perl /usr/sbin/squid-threaded
setpriv --reuid=squid --regid=squid --clear-groups \
  /usr/sbin/squid-threaded -Mthreads -e 'threads->create(sub { sleep 600 }); sleep 600' &
threaded=$!
two_threads() { local tasks=("/proc/$threaded/task"/*); ((${#tasks[@]} == 2)); }
wait_until 10 two_threads
for task in "/proc/$threaded/task"/*; do
  [[ ${task##*/} == "$threaded" ]] || echo "${task##*/}"
done > "$PIDFILE"
pw pid
check "pid file [ID of a second thread]: output" "PID of main proxy service is [$threaded]
" "$OUT"
kill "$threaded" && wait "$threaded"
rm -f "$PIDFILE"

# A PID file naming an unrelated process: a stop finds nothing to stop and
# signals nothing, and a start goes ahead.
echo "$unrelated" > "$PIDFILE"
pw stop
check_ran "stop past a foreign pid file" 0
check "stop past a foreign pid file: output" "[Stopping]......: No other processes.
" "$OUT"
check "stop past a foreign pid file: progress" "110 'Stopping {failed}...'" "$(decoded "$PROGRESS")"
check "the unrelated process runs on" "yes" "$(kill -0 "$unrelated" && echo yes)"

pw start
check_ran "start past a foreign pid file" 0
pid=$(main_pid)
check "start past a foreign pid file: started" "[Starting]......: Proxy service success pid $pid..." "$(last_line "$OUT")"
[[ "$pid" != "$unrelated" ]] || check "the proxy is not the unrelated process" "not $unrelated" "$pid"

for content in "$pid" "$pid
" "  +$pid  
"; do
  printf '%s' "$content" > "$PIDFILE"
  pw pid
  check "pid file [$content]: names the proxy" "PID of main proxy service is [$pid]
" "$OUT"
done

pw stop
check_ran "stop" 0
check "stop: stops the proxy" "[Stopping]......: Terminate process $pid" "$(first_line "$OUT")"
check "the unrelated process still runs" "yes" "$(kill -0 "$unrelated" && echo yes)"

rm -f "$PIDFILE"
mkdir "$PIDFILE"
for word in pid start stop; do
  pw "$word"
  check "pid file is a directory: $word: status" "1" "$STATUS"
  check "pid file is a directory: $word: output" "" "$OUT"
  check "pid file is a directory: $word: diagnostic" "proxywarden: open /var/run/squid/squid.pid: Is a directory
" "$ERR"
done
check "pid file is a directory: nothing written" "$(printf '%s' 'a:2:{s:5:"POURC";i:100;s:4:"TEXT";s:21:"Stopping {success}...";}')" "$(bytes_of "$PROGRESS")"
kill "$unrelated"

finish
