#!/usr/bin/env bash
# Installs the dependencies and runs every check once, each in the build where
# it means most:
#   package   the Debian packages built with dpkg-buildpackage, the release
#             build, with its unit tests built but not run there; lintian and
#             hardening-check (scripts/package.sh);
#   e2e       every end-to-end case against that build, the packages' install
#             among them; the release unit tests run in one of them, beside a
#             real Squid, from a caller that ignores SIGHUP, SIGINT and
#             SIGQUIT, with 64 open files and a bare environment
#             (e2e/cases/unit_tests_beside_a_proxy.sh);
#   sanitize  the unit tests under AddressSanitizer and UndefinedBehaviorSanitizer;
#   fuzz      the kept fuzz inputs replayed, then each target fuzzed for
#             FUZZ_SECONDS (5 here);
#   lint      clang-format, clang-tidy, and shellcheck of every shell script;
#   package13 the same packages built for Debian 13 (trixie) with sbuild, from
#             a tarball of that release, with their unit tests run, lintian and
#             hardening-check (scripts/package.sh trixie), beside package;
#   boot, boot13
#             Debian 12, and Debian 13, booted with systemd as PID 1 in a
#             container, Debian's squid running: the packages of that release
#             installed as the README says, the proxy in its own unit
#             outliving the services and the shell that restart it, ten
#             restarts at once, a re-executing and a frozen service manager,
#             one launch and failed units when no proxy starts, an upgrade of
#             Squid, a chroot beside it installing and purging, a second boot
#             after a clean poweroff, then both packages purged
#             (e2e/boot/run.sh);
#   arm64     the same packages cross-built for arm64 on Debian 13 with sbuild,
#             their unit tests run under qemu-user, lintian, hardening-check
#             (scripts/package.sh trixie arm64), at the lowest CPU priority;
#   piuparts, piuparts13
#             Debian's installation test of the packages of Debian 12, and of
#             Debian 13, each with its release's own piuparts: installed,
#             purged, upgraded from the previous version (scripts/piuparts.sh);
#   root      the Debian 12 and 13 roots of the boot cases, made with
#             debootstrap where they are missing and kept outside the checkout.
# Sanitize, fuzz, lint and root need nothing from the package's build and run
# beside it and the end-to-end cases, their builds, the fuzzing, lint and
# debootstrap at the lowest CPU priority, taking what the package's build and
# the end-to-end cases, which mostly wait, leave free.
# Each step writes its output to build-logs/STEP.log and prints one line with
# its outcome and time; a failed or skipped step (status 77: what it needs is
# not there, a root without subordinate ids say) also prints the end of its
# log. Each step has a time limit (limit[] below): one that runs past it is
# ended with all its processes, prints "timed out after N s" and the end of
# its log, and counts as failed.
# Every step runs as a job of its own, in a process group of its own, so that a
# run that is interrupted (INT, TERM, HUP) or that fails ends the steps still
# running with all their processes.
set -euo pipefail
cd "$(dirname "$0")/.."
logs=$PWD/build-logs
rm -rf "$logs"
mkdir -p "$logs"
export FUZZ_SECONDS=${FUZZ_SECONDS:-5}

# Each step's time limit in seconds: at least twice its longest time seen on
# the project's 2-core machine, loaded, with its caches to make (the README's
# table). The longest chain of steps, deps, package13 and then boot13
# or piuparts13, is bounded by 600 + 2400 + 1800 s = 80 min, within CI's 90.
declare -A limit=(
  [deps]=600 [package]=900 [package13]=2400 [e2e]=600 [boot]=1800 [boot13]=1800
  [piuparts]=1500 [piuparts13]=1800 [sanitize]=2400 [fuzz]=1800 [lint]=2700
  [root]=2400 [arm64]=3600
)

# step NAME COMMAND...: runs COMMAND, its output in build-logs/NAME.log, for
# limit[NAME] seconds at most; past them, ends it with all its processes.
# Runs as the leader of the step's process group.
step() {
  local name=$1 begin=$SECONDS status=0 pid timer ended=''
  local seconds=${limit[$name]:?"test: no time limit for the step $name"}
  shift
  "$@" > "$logs/$name.log" 2>&1 < /dev/null &
  pid=$!
  sleep "$seconds" &
  timer=$!
  wait -n -p ended "$pid" "$timer" || status=$?
  if [[ $ended == "$timer" ]]; then
    end_groups "$BASHPID"
    wait "$pid" 2> /dev/null || true
    printf 'test: %-10s FAILED: timed out after %d s; the end of build-logs/%s.log:\n' \
      "$name" "$seconds" "$name"
    tail -n 60 "$logs/$name.log" | sed 's/^/    /'
    return 124
  fi
  kill "$timer" 2> /dev/null || true
  wait "$timer" 2> /dev/null || true
  if [[ $status == 0 ]]; then
    printf 'test: %-10s passed in %3d s' "$name" $((SECONDS - begin))
    # The step's own summary: lintian's and hardening-check's verdicts, ctest's count.
    { grep -hE '^(package|fuzz|lint|boot): |^piuparts: [a-z]+: (passed|FAILED)|% tests passed' "$logs/$name.log" || true; } | sed 's/^/; /' | tr -d '\n'
    echo
  elif [[ $status == 77 ]]; then
    printf 'test: %-10s skipped in %3d s; the end of build-logs/%s.log:\n' "$name" $((SECONDS - begin)) "$name"
    tail -n 10 "$logs/$name.log" | sed 's/^/    /'
  else
    printf 'test: %-10s FAILED in %3d s (status %d); the end of build-logs/%s.log:\n' \
      "$name" $((SECONDS - begin)) "$status" "$name"
    tail -n 60 "$logs/$name.log" | sed 's/^/    /'
  fi
  return "$status"
}

# launch NAME COMMAND...: starts the step NAME as a job in a process group of
# its own (job control is on only while it starts); its lines go to
# build-logs/NAME.outcome, and its PID is the last of running[].
running=()
launch() {
  set -m
  step "$@" > "$logs/$1.outcome" &
  set +m
  running+=($!)
}

# outcome NAME PID: waits for the step NAME started as PID, prints its lines
# and returns its status.
outcome() {
  local status=0 pid
  wait "$2" || status=$?
  local left=()
  for pid in "${running[@]}"; do [[ $pid == "$2" ]] || left+=("$pid"); done
  running=(${left[@]+"${left[@]}"})
  cat "$logs/$1.outcome"
  return "$status"
}

# descendants PGID...: the processes of these process groups and all their
# descendants, among them those that left the group for a session of their
# own.
descendants() {
  ps -e -o pid= -o ppid= -o pgid= | awk -v roots="$*" '
    BEGIN { n = split(roots, r, " "); for (i = 1; i <= n; i++) group[r[i]] = 1 }
    { parent[$1] = $2; if ($3 in group) keep[$1] = 1 }
    END {
      do { grown = 0; for (p in parent) if (!(p in keep) && (parent[p] in keep)) { keep[p] = 1; grown = 1 } } while (grown)
      for (p in keep) print p
    }'
}

# any_alive PID...: whether any of them still runs (a zombie does not).
any_alive() { ps -o stat= -p "$(IFS=,; echo "$*")" 2> /dev/null | grep -qv '^Z'; }

# end_groups PGID...: ends these process groups and every descendant of their
# processes, the calling shell left out (a step ends its own group):
# SIGTERM, then SIGKILL to what is left five seconds later.
end_groups() {
  local self=$BASHPID own procs groups=() group
  own=$(ps -o pgid= -p "$self" | tr -d ' ')
  for group; do [[ $group == "$own" ]] || groups+=("-$group"); done
  mapfile -t procs < <(descendants "$@" | grep -vx "$self")
  kill -TERM -- ${groups[@]+"${groups[@]}"} "${procs[@]}" 2> /dev/null || true
  for _ in {1..50}; do any_alive "${procs[@]}" || break; sleep 0.1; done
  # Again, with what was started meanwhile.
  mapfile -t procs < <(descendants "$@" | grep -vx "$self")
  kill -KILL -- ${groups[@]+"${groups[@]}"} "${procs[@]}" 2> /dev/null || true
}

# end_steps: ends the steps still running with all their processes.
end_steps() {
  (( ${#running[@]} )) || return 0
  end_groups "${running[@]}"
  wait "${running[@]}" 2> /dev/null || true
  running=()
}
trap end_steps EXIT
for signal in INT TERM HUP; do
  # shellcheck disable=SC2064 # the signal's name, set now
  trap "echo 'test: interrupted ($signal), ending the steps still running' >&2; end_steps; trap - $signal; kill -$signal \$\$" "$signal"
done

echo "test: installing the dependencies with apt-get"
launch deps bash scripts/deps.sh
outcome deps "${running[-1]}"

echo "test: building the packages on Debian 12 and 13; the sanitizer build, the fuzz targets and lint beside them"
# Their lines are printed once the foreground steps are done. The sanitizer's
# unit tests, which start and time processes of their own, run at the usual
# priority once their build is done.
background=(sanitize fuzz lint root arm64)
pids=()
launch sanitize sh -c 'nice -n 19 bash scripts/sanitize.sh build && bash scripts/sanitize.sh test'
pids+=("${running[-1]}")
for name in fuzz lint; do
  launch "$name" nice -n 19 bash "scripts/$name.sh"
  pids+=("${running[-1]}")
done
# The boot steps, which ask for their roots themselves, wait for them.
launch root nice -n 19 sh -c 'bash e2e/boot/root.sh bookworm && bash e2e/boot/root.sh trixie'
pids+=("${running[-1]}")
launch arm64 nice -n 19 bash scripts/package.sh trixie arm64
pids+=("${running[-1]}")
passed=0 failed=0 skipped=0
launch package env DEB_BUILD_OPTIONS=nocheck bash scripts/package.sh
package=${running[-1]}
launch package13 bash scripts/package.sh trixie
package13=${running[-1]}
# counted NAME PID: outcome, and the step counted as passed, skipped (status
# 77) or failed.
counted() {
  local status=0
  outcome "$@" || status=$?
  case $status in
    0) passed=$((passed + 1)) ;;
    77) skipped=$((skipped + 1)) ;;
    *) failed=$((failed + 1)) ;;
  esac
  return "$status"
}
# not_run STATUS WHAT NAME...: the steps that need WHAT, whose step ended
# with STATUS: skipped with it, or else failed.
not_run() {
  local status=$1 what=$2 name
  shift 2
  for name; do
    if [[ $status == 77 ]]; then
      skipped=$((skipped + 1))
      printf "test: %-10s skipped: it needs %s, whose build was skipped\n" "$name" "$what"
    else
      failed=$((failed + 1))
      printf 'test: %-10s not run: it needs %s\n' "$name" "$what"
    fi
  done
}
waiting=()
status=0
counted package "$package" || status=$?
if [[ $status == 0 ]]; then
  echo "test: running the end-to-end cases against the packages' build, the boot cases beside them"
  launch boot env E2E_KEEP="$logs/e2e" bash e2e/boot/run.sh build-deb bookworm
  waiting+=(boot "${running[-1]}")
  obj=build-deb/proxywarden/obj-$(dpkg-architecture -qDEB_HOST_GNU_TYPE)
  launch e2e env E2E_KEEP="$logs/e2e" ctest --test-dir "$obj" -L e2e --output-on-failure -j 6
  waiting+=(e2e "${running[-1]}")
  launch piuparts bash scripts/piuparts.sh bookworm build-deb
  waiting+=(piuparts "${running[-1]}")
else
  not_run "$status" "the packages" e2e boot piuparts
fi
status=0
counted package13 "$package13" || status=$?
if [[ $status == 0 ]]; then
  launch boot13 env E2E_KEEP="$logs/e2e" bash e2e/boot/run.sh build-deb-trixie trixie
  waiting+=(boot13 "${running[-1]}")
  launch piuparts13 bash scripts/piuparts.sh trixie build-deb-trixie
  waiting+=(piuparts13 "${running[-1]}")
else
  not_run "$status" "Debian 13's packages" boot13 piuparts13
fi
for ((i = 0; i < ${#waiting[@]}; i += 2)); do
  counted "${waiting[i]}" "${waiting[i + 1]}" || true
done
for i in "${!pids[@]}"; do
  counted "${background[$i]}" "${pids[$i]}" || true
done
echo "test: all steps in $SECONDS s (logs in build-logs/)"
echo "test: $passed passed, $failed failed, $skipped skipped"
[[ $failed == 0 ]]
