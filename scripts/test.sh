#!/usr/bin/env bash
# Installs the dependencies, builds, and runs every test: the Debian package
# built with dpkg-buildpackage and checked with lintian and hardening-check, the
# unit tests and the end-to-end cases (the package's install, run and purge
# among them), then the unit tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer, the fuzz targets for a bounded time (FUZZ_SECONDS
# each, default 20), and clang-format and clang-tidy.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/package.sh
bash scripts/build.sh
(cd build && ctest --output-on-failure -j"$(nproc)")
bash scripts/sanitize.sh
bash scripts/fuzz.sh
bash scripts/lint.sh
