#!/usr/bin/env bash
# The benchmark: proxywarden's start-up, process-table walk and memory against
# the floor and the usual tools, inside a private sandbox. As root:
#   bash bench/run.sh   (ROUNDS=N rounds, ONLY="walk ps fast" a choice of scenarios)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh > /dev/null
apt-get install -y --no-install-recommends hyperfine python3 python3-psutil time > /dev/null
bash scripts/build.sh > /dev/null
tools=$(mktemp -d /tmp/proxywarden-bench.XXXXXX)
trap 'rm -rf "$tools"' EXIT
cc -O2 -Wall -Wextra -o "$tools/floor" bench/floor.c
cc -O2 -Wall -Wextra -o "$tools/spawn" bench/spawn.c
cp bench/psutil_pid.py bench/ratios.py build/fake_squid "$tools/"
chmod 755 "$tools"
e2e/sandbox.sh stage build/sandbox_init -- bash "$PWD/bench/inside.sh" "$tools"
