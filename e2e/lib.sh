# shellcheck shell=bash
# Helpers for the end-to-end cases, which run inside e2e/sandbox.sh. A case
# sources this file, runs proxywarden with `pw`, checks with `check`, and ends
# with `finish`.

# The progress files, which the cases read.
# shellcheck disable=SC2034
PROGRESS=/usr/share/brantelbase/ressources/logs/web/squid.quick.progress
# shellcheck disable=SC2034
RPROGRESS=/usr/share/brantelbase/ressources/logs/web/squid.quick.rprogress
JOURNAL=/home/brantel/SQLITE/system_events.db
PIDFILE=/var/run/squid/squid.pid
checks=0
failures=0

# capture COMMAND...: runs COMMAND; sets OUT, ERR and STATUS.
capture() {
  local out err
  out=$(mktemp) err=$(mktemp)
  STATUS=0
  "$@" >"$out" 2>"$err" || STATUS=$?
  OUT=$(cat "$out"; echo x) OUT=${OUT%x}
  ERR=$(cat "$err"; echo x) ERR=${ERR%x}
  rm -f "$out" "$err"
}

# words: the words of standard input on one line, one space apart (as
# echo $(...) prints them, without globbing).
words() {
  local list=()
  read -r -d '' -a list || true
  echo "${list[*]}"
}

# pw ARGS...: runs the installed program; sets OUT, ERR and STATUS.
pw() { capture /usr/sbin/proxywarden "$@"; }

# pw_traced LOG STRACE-OPTION... -- ARGS...: pw under strace -f, which writes
# its trace to LOG; with -e inject=... it makes system calls fail.
pw_traced() {
  local log=$1 options=()
  shift
  while [[ $1 != -- ]]; do options+=("$1"); shift; done
  shift
  capture strace -f -o "$log" "${options[@]}" /usr/sbin/proxywarden "$@"
}

# as_user USER COMMAND...: runs COMMAND as USER, with USER's group alone.
as_user() {
  local user=$1
  shift
  setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups "$@"
}

# pw_as USER ARGS...: pw as USER.
pw_as() {
  local user=$1
  shift
  capture as_user "$user" /usr/sbin/proxywarden "$@"
}

# check LABEL EXPECTED ACTUAL
check() {
  checks=$((checks + 1))
  if [[ "$2" == "$3" ]]; then
    return 0
  fi
  failures=$((failures + 1))
  printf 'FAILED %s\n--- expected\n%s\n--- actual\n%s\n---\n' "$1" "$2" "$3"
}

# check_match LABEL EXTENDED-REGEX ACTUAL
check_match() {
  checks=$((checks + 1))
  if [[ "$3" =~ $2 ]]; then
    return 0
  fi
  failures=$((failures + 1))
  printf 'FAILED %s\n--- expected to match\n%s\n--- actual\n%s\n---\n' "$1" "$2" "$3"
}

# check_ran LABEL STATUS-EXPECTED: the last pw ran with that status and printed
# nothing on standard error.
check_ran() {
  check "$1: exit status" "$2" "$STATUS"
  check "$1: standard error" "" "$ERR"
}

# The bytes of a file, or "(missing)".
bytes_of() { if [[ -e "$1" ]]; then cat "$1"; else echo "(missing)"; fi; }

# A progress file as the console reads it: PHP's own unserialize.
decoded() {
  # shellcheck disable=SC2016 # PHP's code
  php -r '$r = @unserialize(file_get_contents($argv[1]));
          if (!is_array($r) || count($r) != 2) { echo "(not a record)"; exit; }
          var_export($r["POURC"]); echo " "; var_export($r["TEXT"]);' "$1"
}

# The journal's rows as "severity|subject|content|function|filename|line",
# checking on the way that removeafter is zDate plus a week.
journal() {
  sqlite3 "$JOURNAL" "SELECT severity || '|' || subject || '|' || content || '|' || function || '|' || filename
                       || '|' || line || CASE WHEN removeafter - zDate = 604800 THEN '' ELSE '|BAD removeafter' END
                       FROM squid_admin_mysql ORDER BY ID"
}

main_pid() { pw pid; sed -n 's/^PID of main proxy service is \[\(.*\)\]$/\1/p' <<<"$OUT"; }

# The PID in the real Squid's PID file, once written: a start may find Squid's
# master by the scan before Squid has written the file.
pid_in_file() { wait_until 10 test -s "$PIDFILE" && cat "$PIDFILE"; }

# use_fake_squid MODE: a fake proxy program at /usr/sbin/squid (see tools/fake_squid.cc).
use_fake_squid() {
  install -m 0755 "$FAKE_SQUID" /usr/sbin/squid
  export FAKE_SQUID_MODE="$1"
}

# runs PID PATH: PID runs the program at PATH (it has made its exec).
runs() { [[ "$(readlink "/proc/$1/exe" 2>/dev/null)" == "$2" ]]; }

# Whether no process of the user squid is left.
no_squid_process() { [[ -z $(pgrep -u squid) ]]; }

# wait_until SECONDS COMMAND...: polls every 50 ms until COMMAND succeeds. The
# arguments are expanded once, so a condition that reads the system is a command
# or function of its own.
wait_until() {
  local limit=$(( $1 * 20 )); shift
  for ((i = 0; i < limit; i++)); do "$@" && return 0; sleep 0.05; done
  return 1
}

# serve_site: a small web server on the sandbox's loopback, to be reached
# through the proxy; through_proxy fetches its page through the proxy, and
# wait_for_proxy waits until the proxy serves it.
serve_site() {
  mkdir -p site && echo "hello through the proxy" > site/index.html
  php -S 127.0.0.1:8081 -t site >/dev/null 2>&1 &
  wait_until 5 curl -sf -o /dev/null http://127.0.0.1:8081/index.html
}
through_proxy() { curl -s -x http://127.0.0.1:3128 http://127.0.0.1:8081/index.html; }
wait_for_proxy() { wait_until 10 curl -sf -o /dev/null -x http://127.0.0.1:3128 http://127.0.0.1:8081/index.html; }

# forced_stop_lines PID: what a stop prints when the main process PID outlasts
# the six waits, goes at the forced stop and leaves nothing behind.
forced_stop_lines() {
  local pass
  echo "[Stopping]......: Terminate process $1"
  for pass in 0 1 2 3 4 5; do echo "[Stopping]......: Waiting pid $1 $pass/5"; done
  echo "[Stopping]......: Killing process $1"
  echo "[Stopping]......: Terminate process success"
  echo "[Stopping]......: No other processes."
}

finish() {
  echo "${checks} checks, ${failures} failed"
  [[ $failures == 0 ]]
}

first_line() { printf '%s' "$1" | head -n 1; }
last_line() { printf '%s' "$1" | tail -n 1; }

# The journal statement in TEXT with its two time stamps written NOW and LATER;
# sets MASKED, trailing line breaks kept.
mask_times() {
  MASKED=$(printf '%sx' "$1" | sed -E "s/VALUES\('[0-9]+'/VALUES('NOW'/; s/'[0-9]+'\)$/'LATER')/")
  MASKED=${MASKED%x}
}
