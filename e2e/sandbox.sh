#!/usr/bin/env bash
# Runs a command inside a private sandbox for proxywarden: new mount, PID and
# network namespaces, a fresh /proc, loopback up, an init that reaps orphans,
# and private contents for every path the program and Squid use. The machine's
# own files, processes and network settings are never touched.
#
#   e2e/sandbox.sh STAGE INIT -- COMMAND [ARGUMENT...]
#
# STAGE is a DESTDIR install of proxywarden (its usr/ is laid over /usr); INIT
# is the built sandbox_init. /usr, /etc, /var and the other directories that
# packages write are overlays whose changes stay inside, so a test may put a
# fake proxy at /usr/sbin/squid or install and purge Debian packages. Inside,
# SANDBOX_SCRATCH names a private directory.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)

if [[ "${1:-}" != --inside ]]; then
  [[ $(id -u) == 0 ]] || { echo "sandbox.sh: must run as root; skipped" >&2; exit 77; }
  scratch=$(mktemp -d /tmp/proxywarden-sandbox.XXXXXX)
  status=0
  unshare --mount --pid --net --fork --propagation private -- "$0" --inside "$scratch" "$@" || status=$?
  rmdir "$scratch"
  exit "$status"
fi
scratch=$2
shift 2
stage=$(realpath "$1")
init=$(realpath "$2")
shift 2
case "$stage:$init:$here" in
  /run/*|*:/run/*) echo "sandbox.sh: nothing it uses may lie under /run, which it replaces" >&2; exit 2 ;;
esac
[[ "${1:-}" == -- ]] && shift

mount -t proc proc /proc
ip link set lo up

# Everything written inside lives in one tmpfs, gone with the mount namespace.
mount -t tmpfs -o mode=0755 sandbox "$scratch"
overlay() {
  local name=$1 dir=$2
  mkdir -p "$scratch/$name.upper" "$scratch/$name.work"
  mount -t overlay overlay -o "lowerdir=$dir,upperdir=$scratch/$name.upper,workdir=$scratch/$name.work" "$dir"
}
# Every directory that a package's files or scripts may write, dpkg's
# database and apt's cache among them: Debian packages installed and purged
# inside never reach the machine.
for dir in usr etc var home root opt srv boot; do overlay "$dir" "/$dir"; done
mount -t tmpfs -o mode=0755 run /run
# Squid keeps its shared memory segments in /dev/shm: a private one, so that
# none is left in the machine's.
mount -t tmpfs -o mode=1777 shm /dev/shm
export SANDBOX_SCRATCH="$scratch" TMPDIR="$scratch"

# The proxy user and group.
echo 'squid:x:800:800:Squid proxy:/run/squid:/usr/sbin/nologin' >> /etc/passwd
echo 'squid:x:800:' >> /etc/group

# The program as installed, and the proxy it controls.
cp -a "$stage/usr/." /usr/
mkdir -p /run/squid /etc/squid3 /var/log/squid /var/spool/squid
chown squid:squid /run/squid /var/log/squid /var/spool/squid
install -m 0644 "$here/squid.conf" /etc/squid3/squid.conf

# The appliance's side: the console's progress directory, settings, journal.
rm -rf /usr/share/brantelbase/ressources/logs /etc/brantelbase /home/brantel
mkdir -p /usr/share/brantelbase/ressources/logs/web /etc/brantelbase/settings /home/brantel/SQLITE
sqlite3 /home/brantel/SQLITE/system_events.db < /usr/share/proxywarden/system_events.sql

cd "$scratch"
exec "$init" "$@"
