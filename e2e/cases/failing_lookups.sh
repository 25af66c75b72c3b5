# shellcheck shell=bash
# A read of /proc's directory and a password-database lookup made to fail with
# strace's fault injection, while the real Squid serves: the run ends with
# status 1 and a diagnostic, never with a listing or a stop that found nothing.
# shellcheck source=../lib.sh
source "$E2E_LIB"

serve_site

pw start
check_ran "start" 0
master=$(pid_in_file)
wait_for_proxy

# faulty LABEL STRACE-ARGUMENTS... -- WORD: the program run under strace with a
# fault injected (only the program: its shell commands run untraced); checks
# that the fault was injected and that the run failed without effects.
faulty() {
  local label=$1 args=() progress rows
  shift
  while [[ $1 != -- ]]; do args+=("$1"); shift; done
  progress=$(bytes_of "$PROGRESS") rows=$(journal)
  capture strace -o injected.log "${args[@]}" /usr/sbin/proxywarden "$2"
  check_match "$label: the fault was injected" "\(INJECTED\)" "$(cat injected.log)"
  check "$label: status" "1" "$STATUS"
  check "$label: no success claimed" "" "$(grep -i success <<<"$OUT")"
  check "$label: progress untouched" "$progress" "$(bytes_of "$PROGRESS")"
  check "$label: nothing journaled" "$rows" "$(journal)"
  check "$label: the proxy serves" "hello through the proxy" "$(through_proxy)"
}

# The directory /proc cannot be read: no process is taken for none.
for err in EIO ENOMEM; do
  message=$([[ $err == EIO ]] && echo "Input/output error" || echo "Cannot allocate memory")
  for word in ps stop; do
    label="readdir $err: $word"
    # Without a PID file, the stop depends on the scan alone.
    [[ $word == stop ]] && mv "$PIDFILE" squid.pid.away
    faulty "$label" -e trace=getdents64 -e inject=getdents64:error=$err -- "$word"
    [[ $word == stop ]] && mv squid.pid.away "$PIDFILE"
    check "$label: output" "" "$OUT"
    check "$label: diagnostic" "proxywarden: readdir /proc: $message
" "$ERR"
  done
done
check "the master runs on" "$master" "$(main_pid)"

# The password database cannot be opened: the owners of the processes are
# unknown, which is not the same as "not the user squid". First with the lookup
# order as installed, then with the database file alone.
installed=$(sed -n 's/^passwd:[[:space:]]*//p' /etc/nsswitch.conf)
for order in "$installed" files; do
  sed -i "s/^passwd:.*/passwd: $order/" /etc/nsswitch.conf
  for word in ps stop; do
    label="lookup EMFILE, passwd: $order: $word"
    # Without a PID file the stop looks up owners before it runs any command.
    [[ $word == stop ]] && mv "$PIDFILE" squid.pid.away
    faulty "$label" -P /etc/passwd -e trace=openat -e inject=openat:error=EMFILE -- "$word"
    [[ $word == stop ]] && mv squid.pid.away "$PIDFILE"
    check_match "$label: diagnostic" "^proxywarden: look up [^"$'\n'"]+"$'\n$' "$ERR"
  done
done
sed -i "s/^passwd:.*/passwd: $installed/" /etc/nsswitch.conf
check "the master runs on after the lookups" "$master" "$(main_pid)"

finish
