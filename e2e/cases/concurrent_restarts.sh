# shellcheck shell=bash
# Two restarts at once while the console polls the restart file: every read
# is one whole record.
# shellcheck source=../lib.sh
source "$E2E_LIB"

pw start
check_ran "start" 0

# The console's reader: PHP's unserialize on every poll, as fast as it goes.
# shellcheck disable=SC2016 # PHP's code
php -r '
  $reads = 0; $torn = 0; $seen = [];
  while (!file_exists($argv[2])) {
    $data = @file_get_contents($argv[1]);
    if ($data === false) { continue; }
    $reads++;
    $record = @unserialize($data);
    if (!is_array($record) || count($record) != 2 || !is_int($record["POURC"]) || !is_string($record["TEXT"])) {
      $torn++;
    } else {
      $seen[$record["POURC"]] = true;
    }
  }
  ksort($seen);
  echo "$reads ", $torn, " ", implode(",", array_keys($seen)), "\n";
' "$RPROGRESS" "$SANDBOX_SCRATCH/stop-polling" > polled &
poller=$!

/usr/sbin/proxywarden restart > first.out 2>&1 &
first=$!
/usr/sbin/proxywarden restart > second.out 2>&1 &
second=$!
wait "$first"; first_status=$?
wait "$second"; second_status=$?
touch "$SANDBOX_SCRATCH/stop-polling"
wait "$poller"

check "both restarts end with status 0" "0 0" "$first_status $second_status"
read -r reads torn percents < polled
check "the reader read" "yes" "$([[ $reads -gt 100 ]] && echo yes || echo "only $reads")"
check "no read saw a partial record" "0" "$torn"
check_match "records seen include the stop phase" "^35," "$percents"
check_match "the file ends with a whole record" "^(100 'Starting \{success\}\.\.\.'|110 '(Starting|Stopping) \{failed\}\.\.\.')$" "$(decoded "$RPROGRESS")"

finish
