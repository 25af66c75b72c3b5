#!/usr/bin/env bash
# Boots a Debian 12 with systemd as PID 1 in a container (systemd-nspawn), with
# proxywarden's two packages installed beside Debian's squid, runs the boot
# case (case.sh) against it, and ends the container:
#
#   e2e/boot/run.sh DEB_DIR [CASE]
#
# DEB_DIR holds proxywarden_*.deb and proxywarden-libunix_*.deb (scripts/package.sh
# builds them into build-deb/). The container starts from the root that root.sh
# keeps (made first when missing), under an overlay whose changes live in a
# tmpfs: the cached root never changes. Everything runs in a mount namespace of
# its own, with a private /run, so the machine's mounts and /run stay as they
# were; the container gets a cgroup made for it, removed at the end, and no
# network. With E2E_KEEP=DIR, a failed run leaves the container's console and
# journal in DIR/boot.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

if [[ "${1:-}" != --inside ]]; then
  [[ ($# == 1 || $# == 2) && -d "$1" ]] || { echo "usage: e2e/boot/run.sh DEB_DIR [CASE]" >&2; exit 2; }
  [[ $(id -u) == 0 ]] || { echo "run.sh: must run as root; skipped" >&2; exit 77; }
  for tool in systemd-nspawn debootstrap nsenter; do
    command -v "$tool" > /dev/null || { echo "run.sh: $tool is missing (bash scripts/deps.sh installs it)" >&2; exit 1; }
  done
  debs=$(realpath "$1")
  for name in proxywarden proxywarden-libunix; do
    [[ -n "$(ls "$debs/${name}"_*.deb 2> /dev/null)" ]] || { echo "run.sh: no ${name}_*.deb in $debs" >&2; exit 1; }
  done
  case_file=$(realpath "${2:-$here/case.sh}")
  root=$("$here/root.sh")
  scratch=$(mktemp -d /tmp/proxywarden-boot.XXXXXX)
  exec unshare --mount --propagation private -- "$0" --inside "$scratch" "$root" "$debs" "$case_file"
fi
scratch=$2 root=$3 debs=$4 case_file=$5
begin=$SECONDS
# An interrupted run ends its container too.
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# The container's cgroup, in the machine's cgroup2 hierarchy; nspawn splits
# it into its own part and the container's. On a machine whose systemd
# hierarchy is still the old one, nspawn makes the same cgroups there too.
name=$(basename "$scratch")
if [[ $(stat -fc %T /sys/fs/cgroup) == cgroup2fs ]]; then
  cgroup=/sys/fs/cgroup$(sed -n 's/^0:://p' /proc/self/cgroup)
else
  cgroup=/sys/fs/cgroup/unified$(sed -n 's/^0:://p' /proc/self/cgroup)
fi
cgroup=${cgroup%/}/$name
cgroups=("$cgroup")
if [[ $(stat -fc %T /sys/fs/cgroup/systemd 2> /dev/null) == cgroupfs ]]; then
  legacy=/sys/fs/cgroup/systemd$(sed -n 's/^[0-9]*:name=systemd://p' /proc/self/cgroup)
  cgroups+=("${legacy%/}/$name")
fi
# contained COMMAND...: in a subshell, becomes COMMAND in the container's cgroup.
contained() {
  mkdir -p "$cgroup"
  echo "$BASHPID" > "$cgroup/cgroup.procs"
  exec "$@"
}
# Removes the container's cgroups and those its systemd made, deepest first.
remove_cgroups() {
  local dir
  for dir in "${cgroups[@]}"; do
    for ((i = 0; i < 100; i++)); do
      [[ -d "$dir" ]] || break
      find "$dir" -depth -type d -exec rmdir {} + 2> /dev/null || sleep 0.05
    done
    [[ ! -d "$dir" ]] || { echo "run.sh: cannot remove the cgroup $dir" >&2; return 1; }
  done
}

leader=
nspawn_pid=
teardown() {
  # Killing the container's PID 1 ends every process of its PID namespace.
  [[ -z "$leader" ]] || kill -KILL "$leader" 2> /dev/null || true
  if [[ -n "$nspawn_pid" ]]; then
    for ((i = 0; i < 200; i++)); do kill -0 "$nspawn_pid" 2> /dev/null || break; sleep 0.05; done
    kill -KILL "$nspawn_pid" 2> /dev/null || true
    wait "$nspawn_pid" 2> /dev/null || true
  fi
  remove_cgroups || true
  umount -R "$scratch" 2> /dev/null || true
  rmdir "$scratch"
}
trap teardown EXIT

# The container's files: the cached root below, the changes in a tmpfs gone
# with this mount namespace. nspawn keeps its own state under /run.
mount -t tmpfs -o mode=0755 boot "$scratch"
mount -t tmpfs -o mode=0755 run /run
mkdir "$scratch/upper" "$scratch/work" "$scratch/root"
mount -t overlay overlay -o "lowerdir=$root,upperdir=$scratch/upper,workdir=$scratch/work" "$scratch/root"
machine=$scratch/root
export SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1
nspawn=(systemd-nspawn --quiet --register=no --keep-unit --private-network -D "$machine")

# The packages under test and the appliance's files, set up as the README's
# appliance steps do, before the boot: the container has no network, and the
# boot is what starts the appliance's proxy. Debian's Squid, started last,
# waits one second instead of thirty at its stop.
mkdir "$machine/root/debs"
cp "$debs"/proxywarden_*.deb "$debs"/proxywarden-libunix_*.deb "$machine/root/debs/"
(contained "${nspawn[@]}" --pipe /bin/sh -ec '
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y --no-install-recommends /root/debs/*.deb
  install -d /etc/squid3 && cp -n /usr/share/proxywarden/squid.conf /etc/squid3/
  install -d /usr/share/brantelbase/ressources/logs/web /home/brantel/SQLITE
  sqlite3 /home/brantel/SQLITE/system_events.db < /usr/share/proxywarden/system_events.sql
  mkdir -p /etc/squid/conf.d && echo "shutdown_lifetime 1 seconds" > /etc/squid/conf.d/quick-stop.conf
') < /dev/null > "$scratch/install.log" 2>&1 || { cat "$scratch/install.log"; echo "run.sh: the packages did not install"; exit 1; }
remove_cgroups
installed=$SECONDS

# The boot; the console's output goes to a file.
contained "${nspawn[@]}" --console=passive -b < /dev/null > "$scratch/console.log" 2>&1 &
nspawn_pid=$!

# The container's PID 1: the process of nspawn's that is PID 1 of a PID
# namespace of its own.
container_init() {
  local pid
  for pid in $(find "$cgroup" -name cgroup.procs -exec cat {} + 2> /dev/null); do
    [[ $(awk '$1 == "NSpid:" { print $NF }' "/proc/$pid/status" 2> /dev/null) == 1 ]] && { echo "$pid"; return 0; }
  done
  return 1
}
source "$here/../lib.sh"
wait_until 60 container_init > /dev/null || { cat "$scratch/console.log"; echo "run.sh: the container did not start"; exit 1; }
leader=$(container_init)

# inside COMMAND...: runs COMMAND in the container, as an administrator's shell
# there would: its namespaces, root and working directory, and a plain environment.
inside() {
  timeout -k 5 300 nsenter --target "$leader" --mount --uts --ipc --net --pid --cgroup --root --wd -- \
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"
}
booted() { [[ $(inside systemctl is-system-running 2> /dev/null) =~ ^(running|degraded)$ ]]; }
if ! wait_until 120 booted; then
  cat "$scratch/console.log"
  echo "run.sh: the container did not finish booting: $(inside systemctl is-system-running 2>&1)"
  exit 1
fi
booted=$SECONDS

status=0
source "$case_file" || status=$?
if [[ $status != 0 && -n "${E2E_KEEP:-}" ]]; then
  keep=$(realpath -m "$E2E_KEEP")/boot
  rm -rf "$keep" && mkdir -p "$keep"
  cp "$scratch/console.log" "$scratch/install.log" "$keep/"
  inside journalctl -b --no-pager > "$keep/journal.log" 2>&1 || true
  echo "the container's console and journal are kept in $keep"
fi
echo "boot: $checks checks, $failures failed; packages installed in $((installed - begin)) s, booted in $((booted - installed)) s, the case took $((SECONDS - booted)) s"
exit "$status"
