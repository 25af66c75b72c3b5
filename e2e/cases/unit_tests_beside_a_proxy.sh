# shellcheck shell=bash
# The whole unit-test binary, run as root beside a running real Squid and two
# decoy processes of the user squid, passes, signals none of them and changes
# none of the proxy's files: the tests see only the processes they start. It
# runs from a caller whose signals, limits and environment would trip a test
# that relied on what it inherits.
# scripts/test.sh runs the release build's unit tests here and nowhere else.
# shellcheck source=../lib.sh
source "$E2E_LIB"

pw start
check_ran "start" 0
master=$(cat "$PIDFILE")
wait_until 10 pgrep -u squid -f 'squid-1' >/dev/null
kid=$(pgrep -u squid -f 'squid-1')

# A plain process of the user squid, and one whose program lies under
# /usr/sbin/squid as the proxy's own does.
setpriv --reuid=squid --regid=squid --clear-groups sleep 600 &
sleeper=$!
install -m 0755 /usr/bin/sleep /usr/sbin/squid-sleep
setpriv --reuid=squid --regid=squid --clear-groups /usr/sbin/squid-sleep 600 &
lookalike=$!
wait_until 5 runs "$sleeper" /usr/bin/sleep
wait_until 5 runs "$lookalike" /usr/sbin/squid-sleep

# PID, program and start time of each process, in the order given; a process
# that has gone shows with blanks.
identities() {
  local pid
  for pid in "$@"; do
    printf '%s %s %s\n' "$pid" "$(readlink "/proc/$pid/exe" 2>/dev/null)" \
      "$(sed 's/^.*) //' "/proc/$pid/stat" 2>/dev/null | cut -d ' ' -f 20)"
  done
}
watched=("$master" "$kid" "$sleeper" "$lookalike")
before=$(identities "${watched[@]}")
check_match "the watched processes run" "^$master /usr/sbin/squid [0-9]+
$kid /usr/sbin/squid [0-9]+
$sleeper /usr/bin/sleep [0-9]+
$lookalike /usr/sbin/squid-sleep [0-9]+$" "$before"
pid_file_before=$(bytes_of "$PIDFILE")
progress_before=$(bytes_of "$PROGRESS")
journal_before=$(journal)
check "journal: the start's row only" "2|Success Starting proxy service with PID $master||Proxy Service|proxywarden|0" \
  "$journal_before"

# The unit tests started straight, not as ctest runs them, from a caller that
# ignores hang-ups, interrupts and quits, with 64 open files at most and a bare
# environment: the helper library found in the build, and nothing else given.
status=0
# shellcheck disable=SC2016 # "$0" is the inner shell's: the test binary's path
timeout -k 10 120 env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LD_LIBRARY_PATH="$E2E_BUILD" \
  bash -c 'trap "" HUP INT QUIT; ulimit -n 64; exec nohup "$0"' "$E2E_BUILD/proxywarden_tests" \
  </dev/null >unit_tests.log 2>&1 || status=$?
check "unit tests: exit status" "0" "$status"
echo "unit tests: $(grep -E '^\[  (PASSED|FAILED)  \] ' unit_tests.log | head -n 1)"
[[ $status == 0 ]] || grep -E -A 8 ': Failure$' unit_tests.log | head -n 60
check "unit tests: the signalling test ran" "[       OK ] RealOs.SignalsReachOnlyTheOpenedProcessAndAnEndedOneCannotBeExaminedOrOpened" \
  "$(grep -o '^\[       OK \] RealOs\.SignalsReachOnly[A-Za-z]*' unit_tests.log)"

check "the same processes run on" "$before" "$(identities "${watched[@]}")"
check "PID file untouched" "$pid_file_before" "$(bytes_of "$PIDFILE")"
check "progress file untouched" "$progress_before" "$(bytes_of "$PROGRESS")"
check "restart file never written" "(missing)" "$(bytes_of "$RPROGRESS")"
check "journal untouched" "$journal_before" "$(journal)"
pw pid
check "the proxy answers as before" "PID of main proxy service is [$master]
" "$OUT"

kill "$sleeper" "$lookalike" 2>/dev/null
finish
