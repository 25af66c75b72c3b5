#!/usr/bin/env bash
# Installs what building and testing proxywarden needs, from Debian's packages.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends \
  cmake make g++ pkg-config libsqlite3-dev sqlite3 libgtest-dev libgmock-dev util-linux man-db
