# shellcheck shell=bash
# A stop sweeps every process of the user squid that is left, and nothing else.
# shellcheck source=../lib.sh
source "$E2E_LIB"

pw start
main_pid > /dev/null
setpriv --reuid=squid --regid=squid --clear-groups sleep 600 &
stray=$!
sleep 600 &
bystander=$!
wait_until 5 runs "$stray" /usr/bin/sleep

pw ps
check_ran "ps" 0
check_match "ps: lists the stray" "\[$stray\] '/usr/bin/sleep'\[\['sleep', '600'\]\] \($$\)" "$OUT"
check "ps: not the bystander" "" "$(grep "^\[$bystander\]" <<<"$OUT")"

pw stop
check_ran "stop" 0
check_match "stop: the stray is signalled" $'\n\\[Stopping\\]\\.\\.\\.\\.\\.\\.: Terminate process '"$stray"$' \\[/usr/bin/sleep\\]\n' "$OUT"
ended=0
wait "$stray" || ended=$?
check_match "the stray ended by SIGTERM or SIGKILL" "^(143|137)$" "$ended"
check "the bystander runs on" "yes" "$(kill -0 "$bystander" && echo yes)"
check "no process of squid left" "" "$(pgrep -u squid)"
check "stop: progress" "100 'Stopping {success}...'" "$(decoded "$PROGRESS")"

# With nothing left, a second stop only reports that.
pw stop
check "second stop: output" "[Stopping]......: No other processes.
" "$OUT"
kill "$bystander"

finish
