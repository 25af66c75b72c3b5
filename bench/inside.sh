# shellcheck shell=bash
# The benchmark's scenarios, run inside e2e/sandbox.sh by bench/run.sh, so that
# only the benchmark's own processes are in the process table.
set -euo pipefail
tools=$1
rounds=${ROUNDS:-5}
only=${ONLY:-walk ps fast}  # the scenarios to run
pw=/usr/sbin/proxywarden
hf() { hyperfine -N -i --style none --warmup "$1" --runs "$2" --export-json "$3" "${@:4}" > /dev/null 2>&1; }
start_idle() {
  "$tools/spawn" "$@" > pgid &
  until [[ -s pgid ]]; do sleep 0.05; done
  sleep 0.5
}
stop_idle() { kill -KILL -- "-$(cat pgid)"; wait 2>/dev/null || true; rm -f pgid; sleep 0.5; }

procs=(/proc/[0-9]*)
echo "processes in the table before the idle ones: ${#procs[@]}"

# A full walk: no PID file and no proxy process.
rm -f /var/run/squid/squid.pid
for n in 100 1000 10000; do
  [[ " $only " == *" walk "* ]] || break
  start_idle "$n"
  runs=$(( n == 10000 ? 10 : n == 1000 ? 40 : 100 ))
  for r in $(seq "$rounds"); do
    hf 5 "$runs" "walk-$n-$r.json" "$pw pid" "$tools/floor" "pgrep -u squid -f /usr/sbin/squid" \
      "python3 $tools/psutil_pid.py"
  done
  python3 "$tools/ratios.py" "pid, full walk, N = $n" walk-$n-*.json
  stop_idle
done

# The listing of 1,000 processes of the user squid.
if [[ " $only " == *" ps "* ]]; then
start_idle 1000 "$(id -u squid)"
for r in $(seq "$rounds"); do
  hf 5 40 "ps-$r.json" "$pw ps" "$tools/floor ps" "ps -u squid -o pid=,ppid=,args="
done
python3 "$tools/ratios.py" "ps, 1,000 processes of squid" ps-*.json
echo "  lines printed: $($pw ps | wc -l)"
echo "  peak memory of ps (KiB): $(/usr/bin/time -f %M $pw ps 2>&1 >/dev/null)"
stop_idle
fi

# The fast path: a PID file naming the running proxy.
install -m 0755 "$tools/fake_squid" /usr/sbin/squid
$pw start > /dev/null
for r in $(seq "$rounds"); do
  hf 20 200 "fast-$r.json" "$pw pid" "/bin/true"
done
python3 "$tools/ratios.py" "pid, fast path (valid PID file)" fast-*.json
echo "## peak memory (max RSS, KiB, highest of 20 runs)"
for command in "$pw pid" "/bin/true"; do
  peak=0
  for _ in $(seq 20); do
    read -ra words <<<"$command"
    kib=$(/usr/bin/time -f %M "${words[@]}" 2>&1 >/dev/null | tail -n 1)
    (( kib > peak )) && peak=$kib
  done
  echo "  $command: $peak"
done
