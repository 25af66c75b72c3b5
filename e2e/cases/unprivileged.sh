# shellcheck shell=bash
# `pid` and `ps` run by a user without privileges, beside the real Squid: the
# paths of Squid's processes may not be read, and that is no "nothing there".
# shellcheck source=../lib.sh
source "$E2E_LIB"

pw start
check_ran "start" 0
master=$(pid_in_file)
# Squid's processes, the master included, run with the user squid's real uid
# once they are set up.
kid_up() { kid=$(pgrep -u squid -f squid-1) && [[ "$(pgrep -U squid | words)" == "$master $kid" ]]; }
wait_until 10 kid_up
check "the user squid's processes" "$master $kid" "$(pgrep -U squid | words)"

# The PID file names a live process: trusted without reading its path.
pw_as nobody pid
check_ran "pid as nobody" 0
check "pid as nobody: output" "PID of main proxy service is [$master]
" "$OUT"

# Reading the path of one of Squid's processes is refused: the run ends.
refused="^proxywarden: readlink /proc/($master|$kid)/exe: Permission denied"$'\n$'
pw_as nobody ps
check "ps as nobody: status" "1" "$STATUS"
check "ps as nobody: no listing" "" "$OUT"
check_match "ps as nobody: diagnostic" "$refused" "$ERR"

mv "$PIDFILE" squid.pid.away
pw_as nobody pid
check "pid as nobody without a PID file: status" "1" "$STATUS"
check "pid as nobody without a PID file: no answer" "" "$OUT"
check_match "pid as nobody without a PID file: diagnostic" "$refused" "$ERR"
mv squid.pid.away "$PIDFILE"

# As root, the same moments answer.
pw ps
check_ran "ps as root" 0
check "ps as root: the master and its kid" "$master $kid" "$(cut -d' ' -f1 <<<"$OUT" | tr -d '[]' | words)"

finish
