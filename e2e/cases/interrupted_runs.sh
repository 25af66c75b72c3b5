# shellcheck shell=bash
# A run ended by SIGTERM, SIGINT or SIGHUP leaves no temporary sibling of a
# progress file behind: the signal waits until the file is renamed into place.
# A signal that comes while a restart runs waits until the restart is done.
# shellcheck source=../lib.sh
source "$E2E_LIB"

progress_dir=$(dirname "$PROGRESS")
# leftovers: the names of the temporary siblings of the progress files.
leftovers() {
  local file
  for file in "$progress_dir"/squid.quick.progress.?????? "$progress_dir"/squid.quick.rprogress.??????; do
    [[ ! -e $file ]] || echo "${file##*/}"
  done
}

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

leftovers | while read -r file; do rm -f "$progress_dir/$file"; done

# Runs ended at random moments by one of the three signals. An undisturbed run
# is timed first, so that the signals fall across whole runs on any machine.
# Prints how many runs a signal ended.
# shellcheck disable=SC2016 # PHP's code
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
# How many depends on how steady the machine's load stays after the timing;
# a few dozen still shows that the signals fall inside runs.
check_match "random moments: some of the runs ended by a signal" "^([2-9][0-9]|[1-9][0-9]{2}|1[0-9]{3}|2000)$" "$signalled"
check "random moments: no temporary file left" "" "$(leftovers)"

# A signal that comes while a restart of the real Squid runs takes effect once
# the restart is done: the restart ends as it would without it, then the run
# ends by the signal. The terminal hangs up during the stop's waits (a new
# pseudo-terminal, the run leading its session, closed once "Waiting pid" is
# out); SIGTERM comes while the run waits for the kill command (strace's fault
# injection into its first wait).
hang_up_at_waiting() {
  perl -MPOSIX -e '
    sysopen(my $master, "/dev/ptmx", O_RDWR | O_NOCTTY) or die "/dev/ptmx: $!";
    my ($unlock, $number) = (pack("i", 0), pack("i", 0));
    ioctl($master, 0x40045431, $unlock) && ioctl($master, 0x80045430, $number) or die "pty: $!";  # TIOCSPTLCK, TIOCGPTN
    defined(my $pid = fork) or die "fork: $!";
    if ($pid == 0) {
      setsid();
      open(STDIN, "+<", "/dev/pts/" . unpack("i", $number)) or die "pts: $!";  # its controlling terminal
      open(STDOUT, ">&", \*STDIN) && open(STDERR, ">&", \*STDIN) && exec(@ARGV);
      die "exec: $!";
    }
    while (<$master>) { last if /Waiting pid/ }
    close($master);
    waitpid($pid, 0);
    print($? & 127 ? "signal " . ($? & 127) : "status " . ($? >> 8));' /usr/sbin/proxywarden restart
}
pw start
check_ran "real Squid: start" 0
for row in "hang-up:signal 1" "SIGTERM:status 143"; do
  way=${row%%:*}
  old=$(main_pid)
  if [[ $way == hang-up ]]; then
    ended=$(hang_up_at_waiting)
  else
    capture strace -o term.trace -e trace=wait4,waitid -e inject=wait4,waitid:signal=TERM:when=1 \
      /usr/sbin/proxywarden restart
    ended="status $STATUS"
  fi
  check "$way in a restart: the run ended by it" "${row#*:}" "$ended"
  new=$(main_pid)
  check "$way in a restart: a new master runs" "/usr/sbin/squid -sYC -f /etc/squid3/squid.conf" \
    "$(xargs -0 < "/proc/$new/cmdline")"
  [[ "$new" != "$old" ]] || check "$way in a restart: the PID changed" "not $old" "$new"
  check "$way in a restart: recorded" "100 'Starting {success}...'" "$(decoded "$RPROGRESS")"
  check "$way in a restart: start journaled" "2|Success Starting proxy service with PID $new||Proxy Service|proxywarden|0" \
    "$(journal | tail -n 1)"
done
check "SIGTERM in a restart: the lines as without it" "[Stopping]......: Terminate process $old
[Starting]......: Proxy service success pid $new..." "$(first_line "$OUT"; last_line "$OUT")"
check "SIGTERM in a restart: standard error" "" "$ERR"

finish
