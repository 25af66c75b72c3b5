# shellcheck shell=bash
# What the user squid, who owns the PID file's directory, can put at the PID
# file's path: `pid` must neither block nor read without bound, and its time and
# memory must not depend on what is there. No proxy runs: the answer is None.
# shellcheck source=../lib.sh
source "$E2E_LIB"

# measure: `pid` under a time limit; sets OUT, ERR, STATUS, SECS and KIB (its
# peak resident memory, or timeout's, whichever is larger: timeout's is small).
measure() {
  capture /usr/bin/time -o usage -f "%e %M" timeout 10 /usr/sbin/proxywarden pid
  read -r SECS KIB < <(tail -n 1 usage)
}

# The reference: a PID file holding a number that names no process.
reference=0
for _ in 1 2 3; do
  echo 4194303 > "$PIDFILE"
  measure
  check_ran "reference" 0
  ((KIB > reference)) && reference=$KIB
done
rm -f "$PIDFILE"

# put KIND: the user squid puts a KIND at the PID file's path.
put() {
  case $1 in
    "FIFO without a writer") as_user squid mkfifo "$PIDFILE" ;;
    "FIFO with an idle writer")
      as_user squid mkfifo "$PIDFILE"
      # Opened for reading and writing, which does not wait for a reader.
      setpriv --reuid=squid --regid=squid --clear-groups bash -c "exec 3<>$PIDFILE; exec sleep 600" &
      writer=$!
      wait_until 5 test -e "/proc/$writer/fd/3"
      ;;
    "link to /dev/zero") as_user squid ln -s /dev/zero "$PIDFILE" ;;
    "link to /dev/urandom") as_user squid ln -s /dev/urandom "$PIDFILE" ;;
    "64 MiB of digits and spaces") as_user squid bash -c "yes '12345 ' | head -c 64M > $PIDFILE" ;;
    "3 GB sparse file") as_user squid truncate -s 3G "$PIDFILE" ;;
  esac
}

for kind in "FIFO without a writer" "FIFO with an idle writer" "link to /dev/zero" "link to /dev/urandom" \
  "64 MiB of digits and spaces" "3 GB sparse file"; do
  put "$kind"
  measure
  check_ran "$kind" 0
  check "$kind: output" "PID of main proxy service is [None]
" "$OUT"
  check_match "$kind: within a second" "^0\.[0-9]+$" "$SECS"
  check "$kind: peak memory within 1 MiB of the reference's" "yes" \
    "$( ((KIB <= reference + 1024)) && echo yes || echo "no: $KIB KiB against $reference KiB")"
  [[ "$kind" == "FIFO with an idle writer" ]] && kill "$writer"
  rm -f "$PIDFILE"
done

# A pipe, a FIFO and a kernel file at the PID file's path, each holding the PID
# of a live process at a proxy-like path (root's, so the scan passes it over):
# none names a process, and what the pipe and the FIFO hold is still there
# after `pid` and `stop`.
cp /usr/bin/sleep /usr/sbin/squid-sleeper
/usr/sbin/squid-sleeper 600 &
live=$!
echo "$live" > "/proc/$live/timerslack_ns"  # a file of /proc that holds the PID
for kind in "link to a pipe's reading end" "FIFO held open" "link to a kernel file"; do
  reader=
  case $kind in
    "link to a pipe's reading end")
      # shellcheck disable=SC2217 # sleep holds the pipe's reading end as its input
      sleep 600 <<<"$live" & reader=$! && as_user squid ln -s "/proc/$reader/fd/0" "$PIDFILE" ;;
    "FIFO held open") as_user squid mkfifo "$PIDFILE" && { sleep 600 <>"$PIDFILE" & reader=$!; } && echo "$live" >"$PIDFILE" ;;
    "link to a kernel file") as_user squid ln -s "/proc/$live/timerslack_ns" "$PIDFILE" ;;
  esac
  pw pid
  check "$kind: output" "PID of main proxy service is [None]
" "$OUT"
  if [[ -n $reader ]]; then
    pw stop
    check "$kind: what it holds is left" "$live" "$(timeout 5 head -c $((${#live} + 1)) "/proc/$reader/fd/0")"
    kill "$reader"
  fi
  rm -f "$PIDFILE"
done
kill "$live"

# A directory is still no PID file to read: the run ends.
as_user squid mkdir "$PIDFILE"
measure
check "directory: status" "1" "$STATUS"
check "directory: diagnostic" "proxywarden: open /var/run/squid/squid.pid: Is a directory
" "$ERR"
rmdir "$PIDFILE"

# The user squid creates and removes the PID file as fast as it can while `pid`
# runs 2,000 times: a file gone between two looks is a missing file, never a
# failure.
# shellcheck disable=SC2016 # Perl's code
setpriv --reuid=squid --regid=squid --clear-groups perl -e '$SIG{TERM} = sub { print "$n\n"; exit };
                       for (;;) { open(my $f, ">", $ARGV[0]) or die; print $f "4194303\n"; close $f;
                                  unlink $ARGV[0]; $n++ }' "$PIDFILE" > churn &
churner=$!
failed=0
for _ in {1..2000}; do
  /usr/sbin/proxywarden pid >>race.out 2>>race.err || failed=$((failed + 1))
done
kill "$churner"
wait "$churner"
check_match "race: the file came and went many times" "^[0-9]{5,}$" "$(cat churn)"
check "race: runs that failed" "0" "$failed"
check "race: standard error" "" "$(cat race.err)"
check "race: every answer" "PID of main proxy service is [None]" "$(sort -u race.out)"

finish
