# shellcheck shell=bash
# The real Squid with three workers: a master, a coordinator and three worker
# kids. Squid's kill command reaches the master alone; the forced stop takes
# the kids too.
# shellcheck source=../lib.sh
source "$E2E_LIB"

sed -i 's/^workers 1$/workers 3/' /etc/squid3/squid.conf
check "configured for three workers" "workers 3" "$(grep '^workers' /etc/squid3/squid.conf)"
# Squid's shared memory lives in the sandbox's own /dev/shm.
check "private /dev/shm" "shm" "$(findmnt -n -o SOURCE /dev/shm | tail -n 1)"

serve_site

# The kids of MASTER as "PID ARGUMENTS", sorted by PID.
kids_of() { ps -o pid=,args= --ppid "$1" | sed 's/^ *//' | sort -n; }
kid_names() { kids_of "$1" | cut -d' ' -f2- | sort; }
expected_kids="(squid-1) --kid squid-1 -sYC -f /etc/squid3/squid.conf
(squid-2) --kid squid-2 -sYC -f /etc/squid3/squid.conf
(squid-3) --kid squid-3 -sYC -f /etc/squid3/squid.conf
(squid-coord-4) --kid squid-coord-4 -sYC -f /etc/squid3/squid.conf"
# up: the PID file names the master, and its four kids run as the user squid;
# sets MASTER.
up() {
  MASTER=$(cat "$PIDFILE" 2>/dev/null) || return 1
  [[ "$(ps -o args= -p "$MASTER")" == "/usr/sbin/squid -sYC -f /etc/squid3/squid.conf" &&
     "$(kid_names "$MASTER")" == "$expected_kids" && -z "$(ps -o user= --ppid "$MASTER" | awk '!/squid/')" ]]
}
# The PID that the last line of a start reports.
reported() { last_line "$OUT" | sed -n 's/^\[Starting\]\.\.\.\.\.\.: Proxy service success pid \([0-9]*\)\.\.\.$/\1/p'; }

pw start
check_ran "start" 0
started=$(reported)
# The start may see the master or a kid first, before Squid has written its PID file.
check "start: reports one of Squid's processes" "squid" "$(ps -o comm= -p "${started:-0}")"
wait_until 10 up
check "start: the master's kids" "$expected_kids" "$(kid_names "$MASTER")"
master=$MASTER
kids=$(kids_of "$master" | cut -d' ' -f1)
check_match "start: four kids of the user squid" "^([0-9]+ ?){4}$" "$(words <<<"$kids")"
first_kid=$(head -n 1 <<<"$kids")

start=$SECONDS
pw stop
check_ran "stop" 0
expected="[Stopping]......: Terminate process $master
"
for i in 0 1 2 3 4 5; do expected+="[Stopping]......: Waiting pid $first_kid $i/5
"; done
for kid in $kids; do expected+="[Stopping]......: Killing process $kid
"; done
expected+="[Stopping]......: Terminate process success
[Stopping]......: No other processes.
"
# At the first look the master may not have ended yet.
seen=$(printf '%s' "$OUT" | sed "2s|Waiting pid $master 0/5|Waiting pid $first_kid 0/5|"; echo x)
check "stop: every kid killed, one line each" "$expected" "${seen%x}"
check_match "stop: at least seven seconds" "^([7-9]|1[0-9])$" "$((SECONDS - start))"
check "stop: no proxy process left" "" "$(pgrep -u squid; pgrep -x squid)"
check "stop: progress" "100 'Stopping {success}...'" "$(decoded "$PROGRESS")"
check "stop: journal" "2|Success Starting proxy service with PID $started||Proxy Service|proxywarden|0
1|Success Stopping proxy service||Proxy Service|proxywarden|0" "$(journal)"

pw start
check_ran "start again" 0
wait_until 10 up
master=$MASTER
kids=$(kids_of "$master" | cut -d' ' -f1)

pw restart
check_ran "restart" 0
check "restart: the old kids killed, one line each" "$(for kid in $kids; do echo "[Stopping]......: Killing process $kid"; done)" \
  "$(grep 'Killing process' <<<"$OUT")"
started=$(reported)
check "restart: reports one of Squid's processes" "squid" "$(ps -o comm= -p "${started:-0}")"
check "restart: progress" "100 'Starting {success}...'" "$(decoded "$RPROGRESS")"
check "restart: stop and start events" "1|Success Stopping proxy service||Proxy Service|proxywarden|0
2|Success Starting proxy service with PID $started||Proxy Service|proxywarden|0" "$(journal | tail -n 2)"
check "restart: no old kid left" "" "$(for kid in $kids; do ps -o pid= -p "$kid"; done)"
wait_until 10 up
[[ "$MASTER" != "$master" ]] || check "restart: a new master" "not $master" "$MASTER"
check "restart: the new master's kids" "$expected_kids" "$(kid_names "$MASTER")"
check "restart: the user squid runs the four kids alone" "4" "$(pgrep -c -u squid)"
wait_for_proxy
check "restart: a request through the proxy" "hello through the proxy" \
  "$(through_proxy)"

finish
