# shellcheck shell=bash
# Every action word against the real Squid.
# shellcheck source=../lib.sh
source "$E2E_LIB"

serve_site

pw start
check_ran "start" 0
pid=$(pid_in_file)
check "start: output" "[Starting]......: Proxy ip_local_port_range: 65535
net.ipv4.ip_local_port_range = 8000 65535
[Starting]......: Proxy service
[Starting]......: Proxy service waiting 0...
[Starting]......: Proxy service success pid $pid...
" "$OUT"
check "start: port range" "8000	65535" "$(cat /proc/sys/net/ipv4/ip_local_port_range)"
check "start: progress bytes" 'a:2:{s:5:"POURC";i:100;s:4:"TEXT";s:21:"Starting {success}...";}' "$(bytes_of "$PROGRESS")"
check "start: progress decoded" "100 'Starting {success}...'" "$(decoded "$PROGRESS")"
check "start: journal" "2|Success Starting proxy service with PID $pid||Proxy Service|proxywarden|0" "$(journal)"
wait_for_proxy
check "request through the proxy" "hello through the proxy" \
  "$(through_proxy)"

pw pid
check_ran "pid" 0
check "pid: output" "PID of main proxy service is [$pid]
" "$OUT"

pw ps
check_ran "ps" 0
kid=$(pgrep -u squid -f 'squid-1')
check "ps: output" "[$pid] '/usr/sbin/squid'[['/usr/sbin/squid', '-sYC', '-f', '/etc/squid3/squid.conf']] (1)
[$kid] '/usr/sbin/squid'[['(squid-1)', '--kid', 'squid-1', '-sYC', '-f', '/etc/squid3/squid.conf']] ($pid)
" "$OUT"

pw start
check_ran "start again" 0
check "start again: output" "[Starting]......: Already started pid $pid
" "$OUT"
check "start again: progress" "110 'Starting {failed}...'" "$(decoded "$PROGRESS")"

pw reload-timeout
check_ran "reload-timeout" 0
check "reload-timeout: output" "" "$OUT"
check "reload-timeout: same main process" "$pid" "$(main_pid)"
check "reload-timeout: journal" "0|Reloading Proxy service (Timeout exceed 15s) by the Watchdog Ports monitoring||Proxy Service|proxywarden|0" \
  "$(journal | tail -n 1)"
check "reload-timeout: no restart record" "(missing)" "$(bytes_of "$RPROGRESS")"

# The restart file, polled by one PHP process while a restart runs, passes
# 35, 65 and 100; it writes each record it sees change to, and reads once more
# after the restart has ended, so that the last record cannot slip past it.
# shellcheck disable=SC2016 # PHP's code
php -r '
  $last = null;
  do {
    $done = file_exists($argv[2]);
    $data = @file_get_contents($argv[1]);
    if ($data !== false && $data !== $last) {
      $record = unserialize($data);
      echo var_export($record["POURC"], true), " ", var_export($record["TEXT"], true), "\n";
      $last = $data;
    }
    if (!$done) usleep(500);
  } while (!$done);' "$RPROGRESS" "$SANDBOX_SCRATCH/restart-done" > seen &
poller=$!
pw restart
touch "$SANDBOX_SCRATCH/restart-done"
wait "$poller"
check_ran "restart" 0
new_pid=$(main_pid)
check_match "restart: a new main process" "^[0-9]+$" "$new_pid"
[[ "$new_pid" != "$pid" ]] || check "restart: the PID changed" "not $pid" "$new_pid"
check "restart: records seen" "35 'Stopping...'
65 'Starting...'
100 'Starting {success}...'" "$(cat seen)"
check "restart: first and last lines" "[Stopping]......: Terminate process $pid
[Starting]......: Proxy service success pid $new_pid..." "$(first_line "$OUT"; last_line "$OUT")"
check "restart: stop and start events" "1|Success Stopping proxy service||Proxy Service|proxywarden|0
2|Success Starting proxy service with PID $new_pid||Proxy Service|proxywarden|0" "$(journal | tail -n 2)"
wait_for_proxy
check "request after the restart" "hello through the proxy" \
  "$(through_proxy)"

for watchdog in memory cpu; do
  before=$(main_pid)
  pw "restart-$watchdog"
  check_ran "restart-$watchdog" 0
  rows=$(journal | tail -n 3)
  label=$([[ $watchdog == cpu ]] && echo "CPU usage) by the Watchdog CPU" || echo "memory usage) by the Watchdog Memory")
  check_match "restart-$watchdog: event" \
    "^0\|Restarting Proxy service \(([0-9]+\.[0-9]{1,2}|0\.0)% $label monitoring\|\|Proxy Service\|proxywarden\|0$" \
    "$(head -n 1 <<<"$rows")"
  check "restart-$watchdog: restart recorded" "100 'Starting {success}...'" "$(decoded "$RPROGRESS")"
  after=$(main_pid)
  [[ "$after" != "$before" ]] || check "restart-$watchdog: the PID changed" "not $before" "$after"
done

last=$(main_pid)
pw stop
check_ran "stop" 0
check "stop: opening line" "[Stopping]......: Terminate process $last" "$(first_line "$OUT")"
check "stop: last line" "[Stopping]......: No other processes." "$(last_line "$OUT")"
check "stop: progress" "100 'Stopping {success}...'" "$(decoded "$PROGRESS")"
check "stop: no proxy process left" "" "$(pgrep -u squid; pgrep -x squid)"
pw pid
check "pid after stop" "PID of main proxy service is [None]
" "$OUT"
check "proxy no longer serves" "000" "$(curl -s -o /dev/null -w '%{http_code}' -x http://127.0.0.1:3128 http://127.0.0.1:8081/index.html)"

# Squid refuses to start while its PID file names a live process: the start
# removes one that names no proxy. A caller's low soft limit on open files is raised.
sleep 600 &
echo "$!" > "$PIDFILE"
capture bash -c 'ulimit -Sn 6 && exec /usr/sbin/proxywarden start'
check_ran "start past a stale pid file, ulimit -Sn 6" 0
check "start past a stale pid file: started" "[Starting]......: Proxy service success pid $(pid_in_file)..." "$(last_line "$OUT")"
kill "$!"
# A hard limit too low for the commands: the restart ends before its stop acts.
capture bash -c 'ulimit -n 16 && exec /usr/sbin/proxywarden restart'
check "restart under ulimit -n 16: status, the proxy" "1, $(pid_in_file)" "$STATUS, $(main_pid)"
check_match "restart under ulimit -n 16: what it says" "limit on open files \(16\) is below the 32" "$ERR"

# A reconfigure that Squid cannot apply (a cache directory it cannot verify)
# ends it within seconds; the run says so. An unknown directive would not do:
# the reconfigure command refuses it without signalling Squid.
echo "cache_dir ufs /nonexistent 100 16 256" >> /etc/squid3/squid.conf
pw reload-timeout
check "broken reconfigure: status|output|diagnostic" "1||proxywarden: the proxy no longer runs after the reconfigure
" "$STATUS|$OUT|$ERR"
check "broken reconfigure: journal" "0|Failed to reload proxy service: no proxy runs after the reconfigure||Proxy Service|proxywarden|0" \
  "$(journal | tail -n 1)"

finish
