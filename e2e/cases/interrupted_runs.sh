# A run ended by SIGTERM, SIGINT or SIGHUP leaves no temporary sibling of a
# progress file behind: the signal waits until the file is renamed into place.
source "$E2E_LIB"

progress_dir=$(dirname "$PROGRESS")
leftovers() { (cd "$progress_dir" && ls -A | grep -E '^squid\.quick\.r?progress\.......$'); }

# The signal arrives, by strace's fault injection, while the temporary file is
# open and not yet renamed; the run still ends by that signal, after the rename.
for signal in TERM INT HUP; do
  rm -f "$PROGRESS"
  pw_traced "$signal.trace" -e trace=fchmod,rename -e "inject=fchmod:signal=$signal" -- stop
  check "SIG$signal in the write: ended by it" "$((128 + $(kill -l "$signal")))" "$STATUS"
  check "SIG$signal in the write: taken after the rename" "fchmod(
rename(
--- SIG$signal" "$(grep -oE '(fchmod|rename)\(|--- SIG[A-Z]+' "$signal.trace")"
  check "SIG$signal in the write: the record in place" "110 'Stopping {failed}...'" "$(decoded "$PROGRESS")"
  check "SIG$signal in the write: no temporary file left" "" "$(leftovers)"
done

(cd "$progress_dir" && rm -f $(leftovers))

# Runs ended at random moments by one of the three signals. An undisturbed run
# is timed first, so that the signals fall across whole runs on any machine.
# Prints how many runs a signal ended.
signalled=$(php -r '
  $streams = [0 => ["file", "/dev/null", "r"], 1 => ["file", "/dev/null", "w"], 2 => ["file", "/dev/null", "w"]];
  $took = [];
  for ($i = 0; $i < 21; $i++) {
    $begin = hrtime(true);
    proc_close(proc_open(["/usr/sbin/proxywarden", "restart"], $streams, $pipes));
    $took[] = hrtime(true) - $begin;
  }
  sort($took);
  $latest = intdiv($took[10] * 3, 2000);  // microseconds
  $signalled = 0;
  for ($i = 0; $i < (int)$argv[1]; $i++) {
    $run = proc_open(["/usr/sbin/proxywarden", $i % 2 ? "stop" : "restart"], $streams, $pipes);
    usleep(random_int(0, $latest));
    proc_terminate($run, [15, 2, 1][$i % 3]);
    while (($status = proc_get_status($run))["running"]) usleep(50);
    if ($status["signaled"]) $signalled++;
    proc_close($run);
  }
  echo $signalled;' 2000)
check_match "random moments: a good share of the runs ended by a signal" "^([2-9][0-9]{2}|1[0-9]{3}|2000)$" "$signalled"
check "random moments: no temporary file left" "" "$(leftovers)"

finish
