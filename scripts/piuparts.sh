#!/usr/bin/env bash
# Debian's installation test of the two packages (piuparts), as root, with the
# piuparts of the release the packages are for:
#
#   bash scripts/piuparts.sh RELEASE [DEB_DIR]
#
# RELEASE is bookworm (Debian 12) or trixie (Debian 13). DEB_DIR holds
# proxywarden_*.deb and proxywarden-libunix_*.deb; by default it is where
# scripts/package.sh builds them: build-deb/ for this machine's release,
# build-deb-RELEASE/ for another. One piuparts run, in a fresh chroot of
# RELEASE with the mirrors that apt uses on this machine (another release's
# suites from the same places; PROXYWARDEN_MIRROR overrides the release's
# and its updates'), installs and purges both packages together,
# then installs them with apt from a local repository, upgrades to them from
# the files and purges them; any file left, changed or missing, any process
# left running or any failed maintainer script fails it. The local repository
# holds the packages of the previous version (debian/changelog's second
# entry), built from the commit that version was released from (the list
# below, or else the last commit whose debian/changelog names it first) with
# the tools the project builds that release with: for this machine's release
# dpkg-buildpackage on this machine, for another that commit's own
# scripts/package.sh (sbuild), both without the tests. They are built once and
# kept in CACHE/previous-RELEASE/COMMIT/. Where that commit is not in the
# checkout's history (a shallow clone, a copy without git), the repository
# holds the same packages labelled one step older (VERSION~0) instead, and a
# line says so: apt would take the same version for the one installed and run
# none of the upgrade's maintainer scripts. The previous version's build logs
# to CACHE/previous-RELEASE/COMMIT.log. The chroot starts from a base tarball
# made once with debootstrap and kept in CACHE/RELEASE.tar.gz (CACHE is
# /var/cache/proxywarden-piuparts, or PIUPARTS_CACHE); it holds eatmydata,
# which piuparts runs the chroot's dpkg under. The log goes to
# DEB_DIR/piuparts.log.
#
# Each run lives in mount and PID namespaces of its own, so that whatever
# piuparts leaves mounted or running, interrupted too, ends with them. For
# this machine's release, this machine's piuparts runs. Each release's
# piuparts knows only its own release's files (an older one fails a newer
# chroot on files that are not the packages'), so another release's runs in a
# root of that release made once with debootstrap, CACHE/RELEASE-tools, which
# stays as it is: entered under an overlay whose changes live in a tmpfs, with
# this machine's network, since piuparts fetches the packages' dependencies
# from Debian's mirror. Whatever is missing of the caches is made again, the
# tools root also when its list of packages changes (scripts/lib.sh's
# cached); runs that make them at the same time wait for one another; delete
# one to have it made anew. Installs piuparts, debootstrap and dpkg-dev with
# apt-get where missing.
set -euo pipefail

# The commit that each earlier version was released from, where it is not the
# last commit whose debian/changelog names that version first.
declare -A released_from=([1.0.0]=3b6347f207ba948c1c51c69f6a14ff7e076959b5)

# in_root ROOT SCRATCH PATH... -- COMMAND...: runs COMMAND chrooted in ROOT,
# which stays as it is: the changes go to an overlay whose upper layer lives in
# a tmpfs on SCRATCH; each PATH is bound at the same path inside. Runs in the
# run's namespaces, which take every mount with them.
in_root() {
  local root=$1 scratch=$2 merged=$2/root path
  shift 2
  mount -t tmpfs -o mode=0755 piuparts-root "$scratch"
  mkdir "$scratch/upper" "$scratch/work" "$merged"
  mount -t overlay overlay -o "lowerdir=$root,upperdir=$scratch/upper,workdir=$scratch/work" "$merged"
  mount -t proc proc "$merged/proc"
  mount --rbind /sys "$merged/sys"
  mount --rbind /dev "$merged/dev"
  # The name service as this machine has it now, for the mirror's name.
  rm -f "$merged/etc/resolv.conf" "$merged/etc/hosts"
  cp -L /etc/resolv.conf /etc/hosts "$merged/etc/"
  while [[ $1 != -- ]]; do
    path=$1
    shift
    if [[ -d $path ]]; then
      mkdir -p "$merged$path"
    else
      mkdir -p "$(dirname "$merged$path")" && touch "$merged$path"
    fi
    mount --bind "$path" "$merged$path"
  done
  shift
  exec chroot "$merged" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"
}

if [[ ${1:-} == --in-root ]]; then
  shift
  in_root "$@"
fi

cd "$(dirname "$0")/.."
# shellcheck source=/dev/null
host=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
release=${1:-}
[[ $# -ge 1 && $# -le 2 && ($release == bookworm || $release == trixie) ]] ||
  { echo "usage: scripts/piuparts.sh bookworm|trixie [DEB_DIR]" >&2; exit 2; }
if [[ $release == "$host" ]]; then
  debs=${2:-build-deb}
else
  debs=${2:-build-deb-$release}
fi
me="piuparts: $release"
# shellcheck source=lib.sh
source scripts/lib.sh
[[ -d $debs ]] || { echo "piuparts: $release: no directory $debs (scripts/package.sh first)" >&2; exit 1; }
debs=$(realpath "$debs")
cache=${PIUPARTS_CACHE:-/var/cache/proxywarden-piuparts}
base=$cache/$release.tar.gz
tools=$cache/$release-tools
# What the tools root holds; it is made again when this list changes.
tool_packages=piuparts,debootstrap,eatmydata,mount
log=$debs/piuparts.log
[[ $(id -u) == 0 ]] || { echo "piuparts: must run as root" >&2; exit 1; }
shopt -s nullglob
files=("$debs"/proxywarden_*.deb "$debs"/proxywarden-libunix_*.deb)
if [[ ${#files[@]} != 2 ]]; then
  echo "piuparts: $release: want one proxywarden and one proxywarden-libunix package in $debs, found ${#files[@]}" >&2
  exit 1
fi

work=$(mktemp -d /tmp/proxywarden-piuparts.XXXXXX)
# piuparts' mounts live in its namespaces (below): none is left under $work;
# what the killed namespaces' processes still write as they end is waited for.
trap 'rm -rf --one-file-system "$work" 2> /dev/null || { sleep 1; rm -rf --one-file-system "$work"; }' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# This machine's tools, where missing: its piuparts only for its own release.
if [[ $release == "$host" ]]; then
  apt_need debootstrap dpkg-dev piuparts
else
  apt_need debootstrap dpkg-dev
fi

# The mirrors as apt on this machine knows them; another release's suites
# come from where this machine's release's do.
mirror=$(debian_mirror release)
updates=$(debian_mirror updates)
security=$(debian_mirror security)

# make_base NEW: the base tarball at NEW, a minimal root of the release with
# eatmydata, made with debootstrap in a mount namespace of its own that takes
# debootstrap's mounts with it.
make_base() {
  unshare --mount --propagation private -- debootstrap --variant=minbase --include=eatmydata "$release" "$work/root" "$mirror"
  tar -C "$work/root" -czf "$1" .
  rm -rf "$work/root"
}
# make_tools NEW: the tools root at NEW, the same way.
make_tools() {
  unshare --mount --propagation private -- debootstrap --variant=minbase --include="$tool_packages" "$release" "$1" "$mirror"
  rm -rf "$1"/var/cache/apt/archives/*.deb "$1"/var/lib/apt/lists/*_Packages
}
# The base tarball is made where it is missing, and the tools root where it
# is missing or holds another list of packages; both under the release's lock.
cached "$base" "" "" make_base
[[ $release == "$host" ]] ||
  cached --lock "$cache/$release.lock" "$tools" "$tools/.proxywarden-piuparts-packages" "$tool_packages" make_tools

# The packages of the version before this one, for the upgrade test: made
# once per commit and release.
version=$(dpkg-deb -f "${files[0]}" Version)
previous_version=$(dpkg-parsechangelog -l debian/changelog -o1 -c1 -SVersion 2> /dev/null || true)
changelog_top() { git show "$1:debian/changelog" 2> /dev/null | sed -n '1s/^proxywarden (\([^)]*\)).*$/\1/p'; }
# released_commit VERSION: the commit VERSION was released from, as listed
# above, or else the last commit on the first-parent history whose
# debian/changelog names it first.
released_commit() {
  local commit newer=
  if [[ -n ${released_from[$1]:-} ]]; then
    echo "${released_from[$1]}"
    return
  fi
  while read -r commit; do
    if [[ $(changelog_top "$commit") == "$1" ]]; then
      git rev-parse "${newer:-HEAD}${newer:+^}"
      return
    fi
    newer=$commit
  done < <(git rev-list --first-parent HEAD -- debian/changelog 2> /dev/null)
}
previous=
why=
if [[ -z $previous_version ]] || ! dpkg --compare-versions "$previous_version" lt "$version"; then
  why="debian/changelog names no version before $version"
elif ! git rev-parse --git-dir > /dev/null 2>&1; then
  why="the checkout is no git clone"
else
  commit=$(released_commit "$previous_version")
  if [[ -z $commit ]] || ! git cat-file -e "$commit^{commit}" 2> /dev/null ||
     [[ $(changelog_top "$commit") != "$previous_version" ]]; then
    why="the commit of $previous_version${commit:+ (${commit:0:7})} is not in the checkout's history"
    [[ $(git rev-parse --is-shallow-repository) != true ]] || why+=" (a shallow clone)"
  else
    previous=$cache/previous-$release/$commit
  fi
fi
# make_previous NEW: the packages of the previous version, built from its
# commit into NEW.
make_previous() {
  local build=$work/previous built
  mkdir -p "$build/proxywarden"
  git archive "$commit" | tar -x -C "$build/proxywarden"
  if [[ $release == "$host" ]]; then
    # As scripts/package.sh builds for this machine, without the tests.
    built=$build
    (
      cd "$build/proxywarden"
      dpkg-checkbuilddeps -Pnocheck 2> /dev/null || apt-get build-dep -y -Pnocheck -o DPkg::Lock::Timeout=600 ./
      DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -us -uc -b -Pnocheck
    )
  else
    # That commit's own scripts/package.sh, with sbuild, without the tests.
    built=$build/proxywarden/build-deb-$release
    (
      cd "$build/proxywarden"
      DEB_BUILD_OPTIONS=nocheck DEB_BUILD_PROFILES=nocheck bash scripts/package.sh "$release"
    )
  fi
  mkdir -p "$1"
  cp "$built"/proxywarden_"$previous_version"_*.deb "$built"/proxywarden-libunix_"$previous_version"_*.deb "$1/"
  rm -rf "$build"
}
[[ -z $previous ]] || cached "$previous" "" "" make_previous

# The local repository from which the upgrade test installs the packages
# first, bind-mounted into the chroot at the same path; the files to test lie
# beside it.
mkdir "$work/repo" "$work/debs"
cp "${files[@]}" "$work/debs/"
if [[ -n $previous ]]; then
  echo "piuparts: $release: the upgrade starts from $previous_version, built from ${commit:0:7}"
  cp "$previous"/*.deb "$work/repo/"
else
  echo "piuparts: $release: $why: the upgrade starts from this build relabelled $version~0"
  for deb in "${files[@]}"; do
    tree=$work/tree
    dpkg-deb -R "$deb" "$tree"
    sed -i "s/^Version: .*/Version: $version~0/; s/(= $version)/(= $version~0)/g" "$tree/DEBIAN/control"
    dpkg-deb -b --root-owner-group "$tree" "$work/repo/" > /dev/null
    rm -rf "$tree"
  done
fi
(cd "$work/repo" && dpkg-scanpackages . > Packages 2> /dev/null)
extra=(--extra-repo="deb [trusted=yes] file://$work/repo ./")
[[ -z "$updates" ]] || extra+=(--extra-repo="deb $updates $release-updates main")
[[ -z "$security" ]] || extra+=(--extra-repo="deb $security $release-security main")
run=(piuparts --basetgz="$base" --distribution="$release" --mirror="$mirror" "${extra[@]}"
     --bindmount="$work/repo" --tmpdir="$work" --logfile="$work/piuparts.log"
     "$work"/debs/proxywarden_*.deb "$work"/debs/proxywarden-libunix_*.deb)
# In mount and PID namespaces of its own, so that whatever piuparts leaves
# mounted or running, when interrupted too, ends with them.
namespaces=(unshare --mount --propagation private --pid --fork --kill-child)
if [[ $release == "$host" ]]; then
  run=("${namespaces[@]}" --mount-proc -- "${run[@]}")
else
  mkdir "$work/scratch"
  run=("${namespaces[@]}" -- bash "$PWD/scripts/piuparts.sh" --in-root "$tools" "$work/scratch" "$work" "$base" -- "${run[@]}")
fi

begin=$SECONDS
status=0
rm -f "$log"
"${run[@]}" > "$work/run.log" 2>&1 &
child=$!
# A signal ends the run at once: unshare ignores INT and TERM, and piuparts,
# the namespace's first process, ignores TERM; killed, unshare takes the
# namespaces with it.
trap 'kill -KILL $child 2> /dev/null; exit 130' INT
trap 'kill -KILL $child 2> /dev/null; exit 143' TERM
trap 'kill -KILL $child 2> /dev/null; exit 129' HUP
wait "$child" || status=$?
if [[ -s "$work/piuparts.log" ]]; then
  cp "$work/piuparts.log" "$log"
else
  cp "$work/run.log" "$log"
fi
grep -E '(PASS|FAIL|SKIP): ' "$log" | sed -E "s/^([0-9ms.]+) [A-Z]+: (.*)$/piuparts: $release: \2 (at \1)/" || true
if [[ $status != 0 ]]; then
  # piuparts' errors with the lines that say what they found; the log's end
  # where it has none (piuparts could not start, say).
  errors=$(awk '/^[0-9]+m[0-9.]+s ERROR: / { show = 1; print; next } /^[0-9]+m[0-9.]+s / { show = 0 } show' "$log")
  if [[ -n $errors ]]; then
    printf '%s\n' "$errors"
  else
    tail -n 40 "$log"
  fi
  echo "piuparts: $release: FAILED in $((SECONDS - begin)) s (log in $log)"
  exit 1
fi
echo "piuparts: $release: passed in $((SECONDS - begin)) s (log in $log)"
