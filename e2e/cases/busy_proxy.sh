# shellcheck shell=bash
# A proxy that spins the CPU: the CPU watchdog measures more than zero.
# shellcheck source=../lib.sh
source "$E2E_LIB"
use_fake_squid spin

pw start
main_pid > /dev/null
pw restart-cpu
check_ran "restart-cpu" 0
event=$(journal | sed -n 2p)
check_match "restart-cpu: event" \
  '^0\|Restarting Proxy service \(([0-9]+\.[0-9]+)% CPU usage\) by the Watchdog CPU monitoring\|\|Proxy Service\|proxywarden\|0$' "$event"
figure=$(sed -n 's/.*(\([0-9.]*\)% CPU.*/\1/p' <<<"$event")
# An idle proxy measures 0; a spinning one gets less than a whole core on a
# loaded machine.
check "restart-cpu: busy" "yes" "$(awk -v f="$figure" 'BEGIN { print (f > 5 ? "yes" : "no: " f) }')"
check "restart-cpu: restarted" "100 'Starting {success}...'" "$(decoded "$RPROGRESS")"

pw restart-memory
check_ran "restart-memory" 0
check_match "restart-memory: event" \
  '^0\|Restarting Proxy service \(([0-9]+\.[0-9]{1,2}|0\.0)% memory usage\) by the Watchdog Memory monitoring\|' \
  "$(journal | grep "memory usage")"

finish
