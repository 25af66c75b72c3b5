# shellcheck shell=bash
# A process of another user whose program lies deeper than the kernel can name
# (a path past 4 KiB): its path cannot be read, and it is passed over.
# shellcheck source=../lib.sh
source "$E2E_LIB"

serve_site

# Started before the proxy, so that every walk of the table meets it first. No
# path this long can be named in one call: the chain is made and entered one
# step at a time, and the program is run by a relative path.
component=$(printf 'd%.0s' {1..200})
mkdir deep
(
  cd deep || exit
  for _ in {1..25}; do mkdir "$component" && cd "$component" || exit; done
  cp /bin/sleep ./sleep
  exec setpriv --reuid=nobody --regid=nogroup --clear-groups ./sleep 600
) &
deep=$!
wait_until 5 test "$(ps -o user=,args= -p "$deep")" = "nobody   ./sleep 600"
check "the deep process runs as nobody" "nobody   ./sleep 600" "$(ps -o user=,args= -p "$deep")"
check_match "its path cannot be read" "File name too long" "$(readlink -v "/proc/$deep/exe" 2>&1)"

pw start
check_ran "start" 0
check_match "start: last line" '^\[Starting\]\.\.\.\.\.\.: Proxy service success pid [0-9]+\.\.\.$' "$(last_line "$OUT")"
master=$(pid_in_file)
# The master and its kid, once both run with the user squid's real uid.
kid_up() { kid=$(pgrep -u squid -f squid-1) && [[ "$(pgrep -U squid | words)" == "$master $kid" ]]; }
wait_until 10 kid_up

pw ps
check_ran "ps" 0
check "ps: output" "[$master] '/usr/sbin/squid'[['/usr/sbin/squid', '-sYC', '-f', '/etc/squid3/squid.conf']] (1)
[$kid] '/usr/sbin/squid'[['(squid-1)', '--kid', 'squid-1', '-sYC', '-f', '/etc/squid3/squid.conf']] ($master)
" "$OUT"

pw restart
check_ran "restart" 0
check_match "restart: last line" '^\[Starting\]\.\.\.\.\.\.: Proxy service success pid [0-9]+\.\.\.$' "$(last_line "$OUT")"
# The old master's PID file stays until the new master writes its own.
wait_until 10 test "$(cat "$PIDFILE")" != "$master"
check "restart: a new master" "/usr/sbin/squid -sYC -f /etc/squid3/squid.conf" "$(ps -o args= -p "$(cat "$PIDFILE")")"
check "restart: progress" "100 'Starting {success}...'" "$(decoded "$RPROGRESS")"
wait_for_proxy
check "restart: a request through the proxy" "hello through the proxy" \
  "$(through_proxy)"

# Without a PID file the scan walks past the deep process.
mv "$PIDFILE" squid.pid.away
pw pid
check_ran "pid by the scan" 0
check_match "pid by the scan: a proxy process" "^PID of main proxy service is \[[0-9]+\]"$'\n$' "$OUT"
mv squid.pid.away "$PIDFILE"

pw stop
check_ran "stop" 0
check "stop: last line" "[Stopping]......: No other processes." "$(last_line "$OUT")"
check "stop: progress" "100 'Stopping {success}...'" "$(decoded "$PROGRESS")"
check "stop: no proxy process left" "" "$(pgrep -u squid; pgrep -x squid)"

check "the deep process runs on" "nobody   ./sleep 600" "$(ps -o user=,args= -p "$deep")"

finish
