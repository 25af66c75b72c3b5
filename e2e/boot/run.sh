#!/usr/bin/env bash
# Boots a Debian with systemd as PID 1 in a container (systemd-nspawn), with
# Debian's squid installed and running, runs the boot case (case.sh) against
# it, which installs proxywarden's two packages there and boots it again, and
# ends the container:
#
#   e2e/boot/run.sh DEB_DIR [RELEASE [CASE]]
#
# DEB_DIR holds proxywarden_*.deb and proxywarden-libunix_*.deb built on
# RELEASE (bookworm, the default, or trixie; scripts/package.sh builds them).
# The container starts from the root of that release that root.sh keeps (made
# first when missing), under an overlay whose changes live in a tmpfs: the
# cached root never changes, and the container's changes last across its
# boots. Everything runs in a mount namespace of its own, with a private /run,
# so the machine's mounts and /run stay as they were; the container gets a
# cgroup made for it, removed at the end, and no network. With E2E_KEEP=DIR, a
# failed run leaves the container's console and journal in DIR/boot-RELEASE.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

if [[ "${1:-}" != --inside ]]; then
  [[ $# -ge 1 && $# -le 3 && -d "$1" ]] || { echo "usage: e2e/boot/run.sh DEB_DIR [RELEASE [CASE]]" >&2; exit 2; }
  [[ $(id -u) == 0 ]] || { echo "run.sh: must run as root; skipped" >&2; exit 77; }
  for tool in systemd-nspawn debootstrap nsenter; do
    command -v "$tool" > /dev/null || { echo "run.sh: $tool is missing (bash scripts/deps.sh installs it)" >&2; exit 1; }
  done
  debs=$(realpath "$1")
  for name in proxywarden proxywarden-libunix; do
    [[ -n "$(ls "$debs/${name}"_*.deb 2> /dev/null)" ]] || { echo "run.sh: no ${name}_*.deb in $debs" >&2; exit 1; }
  done
  release=${2:-bookworm}
  case_file=$(realpath "${3:-$here/case.sh}")
  root=$("$here/root.sh" "$release")
  scratch=$(mktemp -d /tmp/proxywarden-boot.XXXXXX)
  exec unshare --mount --propagation private -- "$0" --inside "$scratch" "$root" "$debs" "$case_file" "$release"
fi
scratch=$2 root=$3 debs=$4 case_file=$5 release=$6
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
# shellcheck disable=SC2317 # run by the EXIT trap
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

# The packages under test, for the case to install as the README's appliance
# steps do, once the container has booted: its network is private, and
# everything else they need is in the root. Debian's Squid waits one second
# instead of thirty at its stop.
mkdir "$machine/root/debs"
cp "$debs"/proxywarden_*.deb "$debs"/proxywarden-libunix_*.deb "$machine/root/debs/"
mkdir -p "$machine/etc/squid/conf.d"
echo "shutdown_lifetime 1 seconds" > "$machine/etc/squid/conf.d/quick-stop.conf"
# shellcheck source=../lib.sh
source "$here/../lib.sh"

# The container's PID 1: the process of nspawn's that is PID 1 of a PID
# namespace of its own.
# shellcheck disable=SC2317 # run by wait_until
container_init() {
  local pid
  while read -r pid; do
    [[ $(awk '$1 == "NSpid:" { print $NF }' "/proc/$pid/status" 2> /dev/null) == 1 ]] && { echo "$pid"; return 0; }
  done < <(find "$cgroup" -name cgroup.procs -exec cat {} + 2> /dev/null)
  return 1
}

# inside COMMAND...: runs COMMAND in the container, as an administrator's shell
# there would: its namespaces, root and working directory, and a plain environment.
inside() {
  timeout -k 5 300 nsenter --target "$leader" --mount --uts --ipc --net --pid --cgroup --root --wd -- \
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"
}
# shellcheck disable=SC2317 # run by wait_until
booted() { [[ $(inside systemctl is-system-running 2> /dev/null) =~ ^(running|degraded)$ ]]; }

# boot: boots the container, its console's output appended to a file, and
# waits until systemd has finished starting it. Sets leader.
boot() {
  contained "${nspawn[@]}" --console=passive -b < /dev/null >> "$scratch/console.log" 2>&1 &
  nspawn_pid=$!
  # One look that finds it: PID 1 moves to a cgroup of its own as it boots,
  # and a look during that move can miss it.
  leader=$(wait_until 60 container_init) || { cat "$scratch/console.log"; echo "run.sh: the container did not start"; exit 1; }
  if ! wait_until 120 booted; then
    cat "$scratch/console.log"
    echo "run.sh: the container did not finish booting: $(inside systemctl is-system-running 2>&1)"
    exit 1
  fi
}

# power_off: shuts the container down cleanly and waits for it to end; false
# when it did not within two minutes.
power_off() {
  inside systemctl poweroff || return 1
  local i
  for ((i = 0; i < 2400; i++)); do kill -0 "$nspawn_pid" 2> /dev/null || break; sleep 0.05; done
  kill -0 "$nspawn_pid" 2> /dev/null && return 1
  wait "$nspawn_pid" || true
  nspawn_pid='' leader=''
  remove_cgroups
}

boot
booted=$SECONDS

status=0
# shellcheck source=case.sh
source "$case_file" || status=$?
if [[ $status != 0 && -n "${E2E_KEEP:-}" ]]; then
  keep=$(realpath -m "$E2E_KEEP")/boot-$release
  rm -rf "$keep" && mkdir -p "$keep"
  cp "$scratch/console.log" "$keep/"
  [[ -z $leader ]] || inside journalctl --no-pager > "$keep/journal.log" 2>&1 || true
  echo "the container's console and journal are kept in $keep"
fi
echo "boot: $release: $checks checks, $failures failed; booted in $((booted - begin)) s, the case took $((SECONDS - booted)) s"
exit "$status"
