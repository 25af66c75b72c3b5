#!/usr/bin/env bash
# Installs the dependencies and runs every check once, each in the build where
# it means most:
#   package   the Debian packages built with dpkg-buildpackage, the release
#             build, with its unit tests built but not run there; lintian and
#             hardening-check (scripts/package.sh);
#   e2e       every end-to-end case against that build, the packages' install
#             among them; the release unit tests run in one of them, beside a
#             real Squid (e2e/cases/unit_tests_beside_a_proxy.sh);
#   sanitize  the unit tests under AddressSanitizer and UndefinedBehaviorSanitizer;
#   fuzz      the kept fuzz inputs replayed, then each target fuzzed for
#             FUZZ_SECONDS (5 here);
#   lint      clang-format, clang-tidy, and shellcheck of the shipped scripts;
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
# its outcome and time; a failed step also prints the end of its log.
# Every step runs as a job of its own, in a process group of its own, so that a
# run that is interrupted (INT, TERM, HUP) or that fails ends the steps still
# running with all their processes.
set -euo pipefail
cd "$(dirname "$0")/.."
logs=$PWD/build-logs
rm -rf "$logs"
mkdir -p "$logs"
export FUZZ_SECONDS=${FUZZ_SECONDS:-5}

# step NAME COMMAND...: runs COMMAND, its output in build-logs/NAME.log.
step() {
  local name=$1 begin=$SECONDS status=0
  shift
  "$@" > "$logs/$name.log" 2>&1 < /dev/null || status=$?
  if [[ $status == 0 ]]; then
    printf 'test: %-10s passed in %3d s' "$name" $((SECONDS - begin))
    # The step's own summary: lintian's and hardening-check's verdicts, ctest's count.
    { grep -hE '^(package|fuzz|lint|boot): |^piuparts: [a-z]+: (passed|FAILED)|% tests passed' "$logs/$name.log" || true; } | sed 's/^/; /' | tr -d '\n'
    echo
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

# descendants PID...: the PIDs and all their descendants, among them those
# that left the step's process group for a session of their own.
descendants() {
  ps -e -o pid= -o ppid= | awk -v roots="$*" '
    BEGIN { n = split(roots, r, " "); for (i = 1; i <= n; i++) keep[r[i]] = 1 }
    { parent[$1] = $2 }
    END {
      do { grown = 0; for (p in parent) if (!(p in keep) && (parent[p] in keep)) { keep[p] = 1; grown = 1 } } while (grown)
      for (p in keep) print p
    }'
}

# any_alive PID...: whether any of them still runs (a zombie does not).
any_alive() { ps -o stat= -p "$(IFS=,; echo "$*")" 2> /dev/null | grep -qv '^Z'; }

# end_steps: ends the steps still running: SIGTERM to their groups and every
# descendant, SIGKILL to what is left five seconds later.
end_steps() {
  (( ${#running[@]} )) || return 0
  local procs groups
  mapfile -t procs < <(descendants "${running[@]}")
  groups=("${running[@]/#/-}")
  kill -TERM -- "${groups[@]}" "${procs[@]}" 2> /dev/null || true
  for _ in {1..50}; do any_alive "${procs[@]}" || break; sleep 0.1; done
  kill -KILL -- "${groups[@]}" "${procs[@]}" 2> /dev/null || true
  wait "${running[@]}" 2> /dev/null || true
  running=()
}
trap end_steps EXIT
for signal in INT TERM HUP; do
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
passed=0 failed=0
launch package env DEB_BUILD_OPTIONS=nocheck bash scripts/package.sh
package=${running[-1]}
launch package13 bash scripts/package.sh trixie
package13=${running[-1]}
# counted NAME PID: outcome, and the step counted as passed or failed.
counted() {
  if outcome "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)) && return 1; fi
}
waiting=()
if counted package "$package"; then
  echo "test: running the end-to-end cases against the packages' build, the boot cases beside them"
  launch boot env E2E_KEEP="$logs/e2e" bash e2e/boot/run.sh build-deb bookworm
  waiting+=(boot "${running[-1]}")
  obj=build-deb/proxywarden/obj-$(dpkg-architecture -qDEB_HOST_GNU_TYPE)
  launch e2e env E2E_KEEP="$logs/e2e" ctest --test-dir "$obj" -L e2e --output-on-failure -j 6
  waiting+=(e2e "${running[-1]}")
  launch piuparts bash scripts/piuparts.sh bookworm build-deb
  waiting+=(piuparts "${running[-1]}")
else
  failed=$((failed + 3))
  for name in e2e boot piuparts; do printf 'test: %-10s not run: it needs the packages\n' "$name"; done
fi
if counted package13 "$package13"; then
  launch boot13 env E2E_KEEP="$logs/e2e" bash e2e/boot/run.sh build-deb-trixie trixie
  waiting+=(boot13 "${running[-1]}")
  launch piuparts13 bash scripts/piuparts.sh trixie build-deb-trixie
  waiting+=(piuparts13 "${running[-1]}")
else
  failed=$((failed + 2))
  for name in boot13 piuparts13; do printf "test: %-10s not run: it needs Debian 13's packages\n" "$name"; done
fi
for ((i = 0; i < ${#waiting[@]}; i += 2)); do
  counted "${waiting[i]}" "${waiting[i + 1]}" || true
done
for i in "${!pids[@]}"; do
  counted "${background[$i]}" "${pids[$i]}" || true
done
echo "test: all steps in $SECONDS s (logs in build-logs/)"
echo "test: $passed passed, $failed failed"
[[ $failed == 0 ]]
