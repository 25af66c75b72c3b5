# shellcheck shell=bash
# A proxy that never comes up, and one that shows up two seconds after its
# launch: at the third probe, or later on a loaded machine.
# shellcheck source=../lib.sh
source "$E2E_LIB"

use_fake_squid never
pw start
check_ran "never: start" 0
check "never: waits six probes" "[Starting]......: Proxy service waiting 5...
[Starting]......: Proxy service [FAILED]..." "$(printf '%s' "$OUT" | tail -n 2)"
check "never: progress" "110 'Starting {failed}...'" "$(decoded "$PROGRESS")"
check "never: journal" "0|Failed to start proxy service||Proxy Service|proxywarden|0" "$(journal)"

use_fake_squid late=2
pw start
check_ran "late: start" 0
pid=$(main_pid)
check_match "late: found after a few probes" \
  $'waiting 0\\.\\.\\.\n(.*waiting [1-5]\\.\\.\\.\n)+\\[Starting\\]\\.\\.\\.\\.\\.\\.: Proxy service success pid '"$pid"$'\\.\\.\\.\n$' "$OUT"
check "late: journal" "2|Success Starting proxy service with PID $pid||Proxy Service|proxywarden|0" "$(journal | tail -n 1)"

finish
