# shellcheck shell=bash
# Where pidfd_open is missing (ENOSYS) or refused by a filter (EPERM), made so
# with strace's fault injection, the forced stop and the sweep signal by PID
# instead: the stop succeeds and nothing of the proxy is left.
# shellcheck source=../lib.sh
source "$E2E_LIB"

# The calls of TRACE for PID: its pidfd_open results and the signals sent to
# it, blanks squeezed.
calls_for() {
  grep -Eo "(pidfd_open\\($2, 0\\)|kill\\($2, SIG[A-Z]+\\)) += .*" "$1" | tr -s ' '
}
two_helpers() { [[ $(pgrep -u squid -x sleep | wc -l) == 2 ]]; }
# What a failed part leaves of the proxy's is ended, so that the next part
# starts from nothing.
clear_leftovers() {
  local left=()
  mapfile -t left < <(pgrep -u squid)
  ((${#left[@]})) && kill -KILL "${left[@]}" && wait_until 5 no_squid_process
  return 0
}

for error in ENOSYS EPERM; do
  case $error in
    ENOSYS) refused="-1 ENOSYS (Function not implemented) (INJECTED)" ;;
    EPERM) refused="-1 EPERM (Operation not permitted) (INJECTED)" ;;
  esac
  inject=(-e 'trace=pidfd_open,kill' -e "inject=pidfd_open:error=$error")

  # A proxy that ignores SIGTERM and the kill command: the forced stop ends it.
  use_fake_squid stubborn
  pw start
  check_ran "$error stubborn: start" 0
  pid=$(main_pid)
  pw_traced stubborn.trace "${inject[@]}" -- stop
  check_ran "$error stubborn: stop" 0
  check "$error stubborn: stop output" "$(forced_stop_lines "$pid")"$'\n' "$OUT"
  check "$error stubborn: refused handles, then signals by PID" "pidfd_open($pid, 0) = $refused
kill($pid, SIGTERM) = 0
kill($pid, SIGKILL) = 0" "$(calls_for stubborn.trace "$pid" | uniq)"
  check "$error stubborn: progress" "100 'Stopping {success}...'" "$(decoded "$PROGRESS")"
  check "$error stubborn: journal" "2|Success Starting proxy service with PID $pid||Proxy Service|proxywarden|0
1|Success Stopping proxy service||Proxy Service|proxywarden|0" "$(journal | tail -n 2)"
  wait_until 5 no_squid_process
  check "$error stubborn: no process of squid left" "" "$(pgrep -u squid)"
  clear_leftovers

  # A proxy that stops on the kill command and leaves two helpers: the sweep
  # ends them.
  use_fake_squid strays
  pw start
  check_ran "$error strays: start" 0
  pid=$(main_pid)
  wait_until 5 two_helpers
  mapfile -t strays < <(pgrep -u squid -x sleep)
  check "$error strays: two helpers run" "2" "${#strays[@]}"
  pw_traced strays.trace "${inject[@]}" -- stop
  check_ran "$error strays: stop" 0
  check "$error strays: stop opening" "[Stopping]......: Terminate process $pid" "$(first_line "$OUT")"
  for stray in "${strays[@]}"; do
    check_match "$error strays: $stray signalled" $'\n\\[Stopping\\]\\.\\.\\.\\.\\.\\.: Terminate process '"$stray"$' \\[/usr/bin/sleep\\]\n' "$OUT"
    check "$error strays: $stray refused a handle, then had SIGTERM by PID" "pidfd_open($stray, 0) = $refused
kill($stray, SIGTERM) = 0" "$(calls_for strays.trace "$stray" | uniq | head -n 2)"
  done
  check "$error strays: no failure line" "" "$(grep -F '[Stopping]......: Terminated process' <<<"$OUT")"
  check "$error strays: progress" "100 'Stopping {success}...'" "$(decoded "$PROGRESS")"
  wait_until 5 no_squid_process
  check "$error strays: no process of squid left" "" "$(pgrep -u squid)"
  clear_leftovers
done

finish
