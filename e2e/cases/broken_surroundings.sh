# shellcheck shell=bash
# A missing helper library, a broken journal, a missing progress directory, a
# setting that is a FIFO, a caller that ignores SIGCHLD and leaves a descriptor
# open, a signal that reaches a command before its exec.
# shellcheck source=../lib.sh
source "$E2E_LIB"
use_fake_squid ""

# The journal's table is missing: the error lines, and the run goes on.
sqlite3 "$JOURNAL" 'DROP TABLE squid_admin_mysql'
pw reload-timeout
check_ran "missing table" 0
mask_times "$OUT"
check "missing table: output" "[ERROR]: SQL in QUERY_SQL on /home/brantel/SQLITE/system_events.db: INSERT OR IGNORE INTO \`squid_admin_mysql\` (\`zDate\`,\`content\`,\`subject\`,\`function\`,\`filename\`,\`line\`,\`severity\`,\`removeafter\`)  VALUES('NOW', '', 'Reloading Proxy service (Timeout exceed 15s) by the Watchdog Ports monitoring', 'Proxy Service', 'proxywarden', '0', '0', 'LATER')
  in preparing the statement
SQLITE_ERROR: no such table: squid_admin_mysql

" "$MASKED"
pw start
check_ran "missing table: start" 0
check_match "missing table: start still succeeds" $'SQLITE_ERROR: no such table: squid_admin_mysql\n\n\\[Starting\\]\\.\\.\\.\\.\\.\\.: Proxy service success pid [0-9]+\\.\\.\\.\n$' "$OUT"
check "missing table: start recorded" "100 'Starting {success}...'" "$(decoded "$PROGRESS")"
sqlite3 "$JOURNAL" < /usr/share/proxywarden/system_events.sql

# The journal is locked past the busy timeout: an error after five seconds.
# The lock is taken before the run and held until it has ended; the holder
# waits for the check's own reads, which would otherwise make it fail.
mkfifo release
( echo '.timeout 10000'; echo 'BEGIN EXCLUSIVE;'; read -r < release; echo 'COMMIT;' ) | sqlite3 "$JOURNAL" &
holder=$!
locked() { ! sqlite3 "$JOURNAL" 'SELECT count(*) FROM squid_admin_mysql' > /dev/null 2>&1; }
wait_until 10 locked
start=$SECONDS
pw reload-timeout
echo > release
wait "$holder"
check_ran "locked journal" 0
check_match "locked journal: waited the busy timeout" "^([5-9]|1[0-9])$" "$((SECONDS - start))"
check_match "locked journal: output" $'^\\[ERROR\\]: SQL .*\nSQLITE_BUSY: database is locked\n\n$' "$OUT"
check "locked journal: no row" "" "$(journal)"

# The journal's directory is missing: it is not created.
mv /home/brantel/SQLITE /home/brantel/SQLITE.away
pw reload-timeout
check_ran "missing journal directory" 0
check "missing journal directory: output" "[ERROR]: SQL cannot open /home/brantel/SQLITE/system_events.db: unable to open database file: No such file or directory
" "$OUT"
check "missing journal directory: not created" "no" "$([[ -e /home/brantel/SQLITE ]] && echo yes || echo no)"
mv /home/brantel/SQLITE.away /home/brantel/SQLITE

# The console's progress directory is missing: the run ends with status 1.
mv /usr/share/brantelbase/ressources/logs/web /usr/share/brantelbase/ressources/logs/web.away
pw stop
check "missing progress directory: status" "1" "$STATUS"
check_match "missing progress directory: the stop ran" $'\\[Stopping\\]\\.\\.\\.\\.\\.\\.: No other processes\\.\n$' "$OUT"
check "missing progress directory: diagnostic" "proxywarden: file_put_contents $PROGRESS: No such file or directory
" "$ERR"
check "missing progress directory: not created" "no" "$([[ -e /usr/share/brantelbase/ressources/logs/web ]] && echo yes || echo no)"
mv /usr/share/brantelbase/ressources/logs/web.away /usr/share/brantelbase/ressources/logs/web

# The setting is a FIFO without a writer: it reads as unset and holds nothing up.
mkfifo /etc/brantelbase/settings/max_filedesc
capture timeout 30 /usr/sbin/proxywarden start
check_ran "max_filedesc a FIFO: start" 0
check "max_filedesc a FIFO: port range and outcome" "[Starting]......: Proxy ip_local_port_range: 65535
[Starting]......: Proxy service success pid $(main_pid)..." "$(first_line "$OUT"; last_line "$OUT")"
rm /etc/brantelbase/settings/max_filedesc

# A caller that ignores SIGCHLD and SIGHUP and leaves descriptor 7 open: the
# stop and the start work all the same, and every command they run starts in
# a session of its own, ignores none of the signals 1 to 31 and holds nothing
# of the caller's, as a stand-in in front of each program notes. The stop's
# kill command gets SIGTERM before its exec (strace's injection into its
# setsid), as a signal to the caller's process group could reach it; it runs
# all the same.
odd_caller() {
  CALLER_SESSION=$(cut -d' ' -f6 /proc/$$/stat) perl -e '$SIG{CHLD} = $SIG{HUP} = "IGNORE"; exec(@ARGV) or die' "$@" \
    7>> "$SANDBOX_SCRATCH/held"
}
for program in sysctl squid; do
  mv "/usr/sbin/$program" "/usr/sbin/$program.real"
  cat > "/usr/sbin/$program" <<'EOF'
#!/bin/sh
[ "$(cut -d' ' -f6 /proc/$$/stat)" = "$CALLER_SESSION" ] && where="the caller's session" || where="a session of its own"
ignored=$(( 0x$(awk '/^SigIgn/ { print $2 }' /proc/$$/status) & 0x7fffffff ))
[ -e /proc/$$/fd/7 ] && held="holding the caller's descriptor" || held="holding nothing of the caller's"
echo "${0##*/} $*: $where, ignoring $(printf '%#x' "$ignored"), $held" >> "$SANDBOX_SCRATCH/started"
exec "$0.real" "$@"
EOF
  chmod 0755 "/usr/sbin/$program"
done
for word in stop:Stopping start:Starting; do
  rm -f "$PROGRESS"
  traced=()
  [[ $word == stop:* ]] && traced=(strace -f -o odd.trace -e trace=setsid -e inject=setsid:signal=TERM)
  capture odd_caller "${traced[@]}" /usr/sbin/proxywarden "${word%:*}"
  check_ran "odd caller: ${word%:*}" 0
  check "odd caller: ${word%:*} recorded" "100 '${word#*:} {success}...'" "$(decoded "$PROGRESS")"
done
check "odd caller: SIGTERM sent to the kill command ended nothing" "1 setsid, 0 ended by it" \
  "$(grep -c ' setsid()' odd.trace) setsid, $(grep -c -- '--- SIGTERM\|killed by SIGTERM' odd.trace) ended by it"
check "odd caller: how the commands started" "squid -f /etc/squid3/squid.conf -k kill: a session of its own, ignoring 0, holding nothing of the caller's
sysctl -w net.ipv4.ip_local_port_range=8000 65535: a session of its own, ignoring 0, holding nothing of the caller's
squid -sYC -f /etc/squid3/squid.conf: a session of its own, ignoring 0, holding nothing of the caller's" "$(cat "$SANDBOX_SCRATCH/started")"
for program in sysctl squid; do mv "/usr/sbin/$program.real" "/usr/sbin/$program"; done

# The helper library is missing: nothing runs, nothing is written.
rm /usr/share/brantelbase/ressources/libunix.so
rows=$(journal)
rm -f "$PROGRESS" "$RPROGRESS"
for word in pid start stop restart reload-timeout nothing; do
  pw "$word"
  check "missing library: $word: status" "1" "$STATUS"
  check "missing library: $word: output" "" "$OUT"
  check "missing library: $word: diagnostic" "proxywarden: cannot load the helper library libunix.so: /usr/share/brantelbase/ressources/libunix.so: cannot open shared object file: No such file or directory
" "$ERR"
done
check "missing library: nothing written" "(missing) (missing) $rows" "$(bytes_of "$PROGRESS") $(bytes_of "$RPROGRESS") $(journal)"

finish
