# shellcheck shell=bash
# Control characters in the program path of a process of the user squid are
# escaped in the listing and in the sweep's lines (\n, \r, \t, \xNN), so that
# such a path cannot forge a line of its own; other bytes print as they are.
# shellcheck source=../lib.sh
source "$E2E_LIB"

# run_as_squid PATH: a copy of sleep at PATH, run by that path as the user squid;
# sets STARTED to its PID.
run_as_squid() {
  mkdir -p "$(dirname "$1")"
  install -m 0755 /usr/bin/sleep "$1"
  setpriv --reuid=squid --regid=squid --clear-groups "$1" 600 &
  STARTED=$!
  wait_until 5 runs "$STARTED" "$1"
}

# A path that would print a listing line of a proxy of its own, and one with
# each other kind of escape and a byte above ASCII.
forger="$SANDBOX_SCRATCH/x"$'\n'"[1] '/usr/sbin/squid'[[]] (0)"
mixed="$SANDBOX_SCRATCH/tab"$'\t'"cr"$'\r'"esc"$'\e'"del"$'\x7f'"caf"$'\xc3\xa9'
run_as_squid "$forger"
forger_pid=$STARTED
run_as_squid "$mixed"
mixed_pid=$STARTED

forger_shown="$SANDBOX_SCRATCH/x\\n[1] '/usr/sbin/squid'[[]] (0)"
mixed_shown="$SANDBOX_SCRATCH/tab\\tcr\\resc\\x1bdel\\x7fcaf"$'\xc3\xa9'
mixed_argument="$SANDBOX_SCRATCH/tab\\tcr\\resc\\x1bdel\\x7fcaf\\xc3\\xa9"
pw ps
check_ran "ps" 0
check "ps: one line for each" "[$forger_pid] '$forger_shown'[[\"$forger_shown\", '600']] ($$)
[$mixed_pid] '$mixed_shown'[['$mixed_argument', '600']] ($$)
" "$OUT"

# The first path holds /usr/sbin/squid and would be taken for the proxy; the
# sweep's case is a path that would print the sweep's own closing line.
kill "$forger_pid"
wait "$forger_pid" 2>/dev/null
closer="$SANDBOX_SCRATCH/y"$'\n'"[Stopping]......: No other processes."
run_as_squid "$closer"
closer_pid=$STARTED

pw stop
check_ran "stop" 0
check "stop: the sweep's lines" "[Stopping]......: Terminate process $mixed_pid [$mixed_shown]
[Stopping]......: Terminate process $closer_pid [$SANDBOX_SCRATCH/y\\n[Stopping]......: No other processes.]" \
  "$(head -n 2 <<<"$OUT")"
for pid in "$mixed_pid" "$closer_pid"; do
  ended=0
  wait "$pid" || ended=$?
  check_match "stop: $pid ended by SIGTERM or SIGKILL" "^(143|137)$" "$ended"
done

finish
