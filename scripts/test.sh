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
#   lint      clang-format and clang-tidy.
# The last three need nothing from the first two and run beside them, their
# builds, the fuzzing and lint at the lowest CPU priority, taking what the
# package's build and the end-to-end cases, which mostly wait, leave free.
# Each step writes its output to build-logs/STEP.log and prints one line with
# its outcome and time; a failed step also prints the end of its log.
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
    printf 'test: %-8s passed in %3d s' "$name" $((SECONDS - begin))
    # The step's own summary: lintian's and hardening-check's verdicts, ctest's count.
    { grep -hE '^(package|fuzz|lint): |% tests passed' "$logs/$name.log" || true; } | sed 's/^/; /' | tr -d '\n'
    echo
  else
    printf 'test: %-8s FAILED in %3d s (status %d); the end of build-logs/%s.log:\n' \
      "$name" $((SECONDS - begin)) "$status" "$name"
    tail -n 60 "$logs/$name.log" | sed 's/^/    /'
  fi
  return "$status"
}

echo "test: installing the dependencies with apt-get"
step deps bash scripts/deps.sh

echo "test: building the packages; the sanitizer build, the fuzz targets and lint beside it"
# Their lines are printed once the foreground steps are done. The sanitizer's
# unit tests, which start and time processes of their own, run at the usual
# priority once their build is done.
background=(sanitize fuzz lint)
pids=()
step sanitize sh -c 'nice -n 19 bash scripts/sanitize.sh build && bash scripts/sanitize.sh test' \
  > "$logs/sanitize.outcome" &
pids+=($!)
for name in fuzz lint; do
  step "$name" nice -n 19 bash "scripts/$name.sh" > "$logs/$name.outcome" &
  pids+=($!)
done
passed=0 failed=0
if step package env DEB_BUILD_OPTIONS=nocheck bash scripts/package.sh; then
  passed=$((passed + 1))
  echo "test: running the end-to-end cases against the packages' build"
  obj=build-deb/proxywarden/obj-$(dpkg-architecture -qDEB_HOST_GNU_TYPE)
  if step e2e env E2E_KEEP="$logs/e2e" ctest --test-dir "$obj" -L e2e --output-on-failure -j 6; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
  fi
else
  failed=$((failed + 2))
  echo "test: e2e      not run: it needs the packages"
fi
for i in "${!pids[@]}"; do
  if wait "${pids[$i]}"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
  cat "$logs/${background[$i]}.outcome"
done
echo "test: all steps in $SECONDS s (logs in build-logs/)"
echo "test: $passed passed, $failed failed"
[[ $failed == 0 ]]
