#!/usr/bin/env bash
# Builds the Debian packages the Debian way and checks them, for this machine's
# Debian release or for another one named by its suite, natively or for
# another architecture:
#
#   scripts/package.sh               # this machine's release, into build-deb/
#   scripts/package.sh trixie        # Debian 13, into build-deb-trixie/
#   scripts/package.sh trixie arm64  # Debian 13 for arm64, cross-built, into
#                                    # build-deb-trixie-arm64/
#   scripts/package.sh bookworm arm64  # Debian 12 (this machine's) for arm64,
#                                      # into build-deb-arm64/
#
# The checkout's files are copied to OUT/proxywarden/. For this machine's
# release, as root, `apt-get build-dep ./` installs the build dependencies, and
# there `dpkg-buildpackage -us -uc -b` builds OUT/proxywarden_VERSION_ARCH.deb
# and proxywarden-libunix_VERSION_ARCH.deb (running the unit tests on the way,
# unless DEB_BUILD_OPTIONS has nocheck); its build tree stays for the
# end-to-end cases. Another release or architecture builds with sbuild in
# unshare mode, as root, from a tarball of that release that
# scripts/sbuild-tarball.sh makes once with mmdebstrap and that holds every
# build dependency, lintian and the checks' tools: sbuild installs nothing
# and the build has no network. The
# unit tests run there unprivileged (root of a user namespace of sbuild's
# own, on subordinate ids of root). Where root has none in /etc/subuid and
# /etc/subgid, this script adds a range there only under CI (CI=true) or with
# PROXYWARDEN_GRANT_SUBIDS=1; elsewhere it prints the commands that add it
# and ends with status 77, skipped. A cross build's unit tests run under
# qemu-user, registered with binfmt_misc only inside a user namespace of this
# script's own that sbuild runs in: never on the machine. Installs what it
# runs with apt-get where missing (scripts/lib.sh's apt_need).
# Fails on any lintian error or warning (the release's own lintian: sbuild
# runs it in its chroot), on any hardening feature that hardening-check
# reports missing in the program or the helper library, and on a
# Static-Built-Using that names no GCC that built the program. Last, for this
# machine's release, it fetches from Debian's archive the packages that the
# package's end-to-end case installs beside them, into OUT/archives/: the
# sandbox has no network.
set -euo pipefail

# The subordinate uids and gids that sbuild maps for root: the unit tests make
# users of their own, up to the ids just under 4 million.
subids=4194304
# Where the sbuild tarballs and the emulator are kept.
cache=${PROXYWARDEN_SBUILD_CACHE:-/var/cache/proxywarden-sbuild}

# build_and_check OUT: builds OUT/proxywarden into OUT with dpkg-buildpackage
# and checks the packages, with the tools of the system it runs on.
build_and_check() {
  local out=$1 name status
  name=$(basename "$out")
  cd "$out/proxywarden"
  dpkg-buildpackage -us -uc -b > "$out/dpkg-buildpackage.log" 2>&1 ||
    { tail -n 60 "$out/dpkg-buildpackage.log"; echo "package: dpkg-buildpackage failed ($name/dpkg-buildpackage.log)"; exit 1; }
  cd "$out"
  echo "package: built $(built_debs "$name")"

  # Every package built (the program's, the helper library's and their debug
  # symbols'), with the info and pedantic tags shown (--display-info: --info
  # only explains the tags); lintian's note that it runs as root is left out.
  # The overridden tags are listed apart: shown, lintian would count them as
  # failures.
  status=0
  lintian --fail-on error,warning --display-info --pedantic proxywarden_*.changes > lintian.log 2>&1 || status=$?
  grep -v '^running with root privileges' lintian.log || true
  if [[ $status != 0 ]] || grep -qE '^[EW]: ' lintian.log; then
    echo "package: lintian reports errors or warnings"
    exit 1
  fi
  lintian --show-overrides proxywarden_*.changes 2>&1 | grep '^O: ' || true
  echo "package: lintian: no error, no warning"
  check_binaries "$out" "$out/proxywarden" "$(dpkg --print-architecture)"
}

# built_debs NAME: the packages in the working directory but the debug
# symbols', as NAME/FILE, on one line.
built_debs() {
  local deb built=()
  for deb in proxywarden*.deb; do
    [[ $deb == *dbgsym* ]] || built+=("$1/$deb")
  done
  echo "${built[*]}"
}

# check_binaries DEBS SOURCE ARCH: hardening-check on the program and the
# helper library of the packages in DEBS, built for ARCH in the source tree
# SOURCE, and the program's Static-Built-Using against the GCC that built it,
# with the tools and the package database of the system that built them.
# sbuild has neither check: it runs this in its chroot once the build is done
# (finished-build-commands), where the release's hardening-check, the
# compiler's start files, its runtime's packages and the build tree are.
check_binaries() {
  local debs=$1 source=$2 arch=$3 gnu installed
  gnu=$(dpkg-architecture -a"$arch" -qDEB_HOST_GNU_TYPE 2> /dev/null)
  # hardening-check fails on every feature it finds missing; a shared library
  # is no executable (PIE ignored), and stack clash protection shows only in
  # functions with large frames, so "unknown" passes. Its control-flow check
  # looks for x86's CET marks, which the linker records only when every object
  # linked in carries them: where the C library's start files lack them (as
  # Debian 12's and 13's do, and any other architecture's), no program can
  # have them, and that check is left out. Debian 13's also looks for
  # AArch64's branch protection marks, which only arm64 has.
  local options=() start
  for start in Scrt1.o crti.o crtn.o; do
    [[ $(readelf -n "$("$gnu-gcc" -print-file-name=$start)") == *'x86 feature: IBT, SHSTK'* ]] || options=(--nocfprotection)
  done
  if [[ $arch != arm64 && $(hardening-check --help 2>&1 || true) == *--nobranchprotection* ]]; then
    options+=(--nobranchprotection)
  fi
  installed=$(mktemp -d)
  for deb in "$debs"/proxywarden_*.deb "$debs"/proxywarden-libunix_*.deb; do dpkg-deb -x "$deb" "$installed"; done
  for file in usr/sbin/proxywarden usr/share/brantelbase/ressources/libunix.so; do
    hardening-check "${options[@]}" "$installed/$file" || { echo "package: hardening-check finds /$file lacking"; exit 1; }
  done
  rm -rf "$installed"
  echo "package: hardening-check passed"

  # Static-Built-Using names the source of the GCC whose C++ runtime is linked
  # in: gcc-N (= VERSION), or in a cross build gcc-N-cross (= ITS VERSION),
  # whose packages are versioned after the GCC they build (14.2.0-19cross1 for
  # GCC 14.2.0-19). The program's .comment (in the build tree's program: the
  # shipped one is stripped of it) records that GCC's version for what it
  # compiled: an installed package of the named source must be of it.
  local field comment version found=
  field=$(dpkg-deb -f "$debs"/proxywarden_*_"$arch".deb Static-Built-Using)
  comment=$(readelf -p .comment "$source/obj-$gnu/proxywarden")
  if [[ $field =~ ^gcc-[0-9]+(-cross)?\ \(=\ [^\)]+\)$ ]]; then
    while read -r version; do
      [[ $comment == *"(Debian ${version%cross*})"* ]] && found=yes
    done < <(dpkg-query -W -f '${source:Package} (= ${source:Version}) ${Version}\n' |
      awk -v field="$field" 'index($0, field " ") == 1 { print $NF }')
  fi
  if [[ -z $found ]]; then
    echo "package: Static-Built-Using ($field) names no GCC that built the program"
    exit 1
  fi
  echo "package: Static-Built-Using: $field"
}

# grant_subids: the subordinate uids and gids of root that sbuild maps into
# its user namespace. Where root has none, they are granted, a range added to
# /etc/subuid and /etc/subgid, only under CI (CI=true) or with
# PROXYWARDEN_GRANT_SUBIDS=1; elsewhere the script prints the commands that
# grant them and ends with status 77, skipped, the machine left as it is. A
# range that is too small is the administrator's to widen.
grant_subids() {
  local file count start missing=()
  for file in /etc/subuid /etc/subgid; do
    count=$(subids_of_root "$file")
    if [[ -z $count ]]; then
      missing+=("$file")
    elif ((count < subids)); then
      echo "package: root has $count subordinate ids in $file; sbuild's build needs $subids"
      exit 1
    fi
  done
  ((${#missing[@]})) || return 0
  if [[ ${CI:-} != true && ${PROXYWARDEN_GRANT_SUBIDS:-} != 1 ]]; then
    echo "package: skipped: sbuild needs $subids subordinate ids of root, and root has none in ${missing[*]}."
    echo "package: to grant them, run as root (PROXYWARDEN_GRANT_SUBIDS=1 has this script do it):"
    for file in "${missing[@]}"; do
      echo "  echo root:$(first_free_subid "$file"):$subids >> $file"
    done
    exit 77
  fi
  for file in "${missing[@]}"; do
    exec 8>> "$file"
    flock 8
    # Another run may have granted them meanwhile.
    if [[ -z $(subids_of_root "$file") ]]; then
      start=$(first_free_subid "$file")
      echo "root:$start:$subids" >> "$file"
      echo "package: granted root the subordinate ids $start to $((start + subids - 1)) in $file"
    fi
    exec 8>&-
  done
}
# subids_of_root FILE: the count of root's range in FILE, or nothing.
subids_of_root() { [[ ! -f $1 ]] || awk -F: '$1 == "root" { print $3; exit }' "$1"; }
# first_free_subid FILE: the first id past every range in FILE, 100000 at least.
first_free_subid() {
  if [[ -f $1 ]]; then
    awk -F: 'BEGIN { end = 100000 } NF == 3 && $2 + $3 > end { end = $2 + $3 } END { print end }' "$1"
  else
    echo 100000
  fi
}

# emulator ARCH: prints the binfmt_misc registration of Debian's qemu-user
# for ARCH, with this release's qemu-user-static unpacked, not installed (its
# installation would register it on the machine), into the cache.
emulator() {
  local arch=$1 qemu=$cache/qemu-user-static line interpreter
  if [[ ! -f $qemu/.unpacked ]]; then
    rm -rf "$qemu" && mkdir -p "$qemu/debs"
    (cd "$qemu/debs" && { apt-get download qemu-user-static || { apt-get update && apt-get download qemu-user-static; }; }) \
      > "$cache/qemu-user-static.log" 2>&1 ||
      { cat "$cache/qemu-user-static.log"; echo "package: cannot fetch Debian's qemu-user-static"; exit 1; }
    dpkg-deb -x "$qemu"/debs/qemu-user-static_*.deb "$qemu"
    touch "$qemu/.unpacked"
  fi
  line=$(cat "$qemu/usr/lib/binfmt.d/qemu-$(dpkg-architecture -a"$arch" -qDEB_HOST_GNU_CPU).conf")
  interpreter=$(cut -d: -f7 <<< "$line")
  # F opens the interpreter at registration: the chroot needs no copy of it.
  echo "${line/:$interpreter:/:$qemu$interpreter:}"
}

# in_own_user_namespace LOG SCRATCH COMMAND...: runs COMMAND, its output in
# LOG, as root of a user namespace and in a mount namespace of its own, with
# every id mapped to itself (sbuild maps its subordinate ids from there), and
# with binfmt_misc's instance of that namespace mounted at
# SCRATCH/binfmt_misc: what is registered there serves it and its
# descendants, and nothing else. The child waits on a FIFO until its ids are
# mapped. Where unshare makes no user namespace (it fails, or has none after
# 10 s) or a map cannot be written, it says what failed and ends the script
# at once, the child killed.
in_own_user_namespace() {
  local log=$1 scratch=$2 pid own ns='' status=0 go i
  shift 2
  mkfifo "$scratch/go"
  # shellcheck disable=SC2016 # the child's script, with its own arguments
  unshare --user --mount --propagation private -- bash -c \
    'read -r _ < "$0/go" && mkdir "$0/binfmt_misc" || exit
     mount -t binfmt_misc binfmt_misc "$0/binfmt_misc" ||
       { echo "package: binfmt_misc has no instance of a user namespace here (Linux 6.7 or later has); DEB_BUILD_OPTIONS=nocheck builds without running the tests"; exit 1; }
     exec "$@"' \
    "$scratch" "$@" > "$log" 2>&1 &
  pid=$!
  own=$(readlink /proc/self/ns/user)
  for ((i = 0; i < 500; i++)); do
    ns=$(readlink "/proc/$pid/ns/user" 2> /dev/null) || ns=''
    [[ $ns == "$own" ]] || break
    sleep 0.02
  done
  if [[ -z $ns ]]; then
    wait "$pid" || status=$?
    namespace_failed "$log" "$scratch" "unshare --user failed (status $status)"
  elif [[ $ns == "$own" ]]; then
    namespace_failed "$log" "$scratch" "unshare made no user namespace within 10 s" "$pid"
  fi
  for i in uid_map gid_map; do
    # A subshell, for the write's own error.
    if ! ns=$( (echo '0 0 4294967295' > "/proc/$pid/$i") 2>&1); then
      namespace_failed "$log" "$scratch" "cannot write the namespace's $i: ${ns##*: }" "$pid"
    fi
  done
  # Opened for reading and writing, the FIFO takes the line without waiting
  # for a reader: a child that has died meanwhile is only waited for.
  exec {go}<> "$scratch/go"
  echo >&"$go"
  wait "$pid" || status=$?
  exec {go}>&-
  return "$status"
}

# namespace_failed LOG SCRATCH WHAT [PID]: ends the script on a failed set-up
# of in_own_user_namespace: kills PID, prints LOG's end and what failed.
namespace_failed() {
  if [[ -n ${4:-} ]]; then
    kill -KILL "$4" 2> /dev/null || true
    wait "$4" 2> /dev/null || true
  fi
  rm -rf "$2"
  tail -n 5 "$1"
  echo "package: the user namespace for the emulator: $3; nothing was built"
  exit 1
}

# with_sbuild RELEASE ARCH OUT: builds OUT/proxywarden for RELEASE and ARCH
# with sbuild into OUT, and prints the checks' lines.
with_sbuild() {
  local release=$1 arch=$2 out=$3 name tarball status=0 build_options=${DEB_BUILD_OPTIONS:-}
  name=$(basename "$out")
  grant_subids
  apt_need sbuild mmdebstrap uidmap zstd
  tarball=$(scripts/sbuild-tarball.sh "$release" "$arch")
  # No apt update nor upgrade: the tarball holds what the build needs, and
  # sbuild's resolver finds it installed. The packages build without
  # fakeroot (Rules-Requires-Root: no), and a cross build with the cross
  # toolchain alone, whose own C library and C++ runtime it links. The
  # release's lintian, in the chroot, counts an error or a warning as a
  # failure; then the checks that sbuild has not.
  cat > "$out/sbuild.conf" << EOF
\$core_depends = ['build-essential:native'];
\$crossbuild_core_depends = { '$arch' => ['crossbuild-essential-$arch:native'] };
EOF
  cat >> "$out/sbuild.conf" << 'EOF'
$chroot_mode = 'unshare';
$apt_update = 0;
$apt_upgrade = 0;
$apt_distupgrade = 0;
$bd_uninstallable_explainer = '';
$run_lintian = 1;
$lintian_require_success = 1;
$lintian_opts = ['--fail-on', 'error,warning', '--display-info', '--pedantic'];
$run_piuparts = 0;
$run_autopkgtest = 0;
$log_colour = 0;
$external_commands = { 'finished-build-commands' =>
  ['bash %SBUILD_PKGBUILD_DIR/scripts/package.sh --check %SBUILD_BUILD_DIR %SBUILD_PKGBUILD_DIR %SBUILD_HOST_ARCH'] };
1;
EOF
  # The .changes carries the changelog's distribution, as dpkg-buildpackage's
  # would: lintian warns where they differ.
  local run=(env SBUILD_CONFIG="$out/sbuild.conf" sbuild --nolog --chroot="$tarball"
             --dist="$(dpkg-parsechangelog -l "$out/proxywarden/debian/changelog" -SDistribution)"
             --host="$arch" --build-dir="$out" "$out/proxywarden")
  if [[ $arch == "$(dpkg --print-architecture)" ]]; then
    env DEB_BUILD_OPTIONS="$build_options" "${run[@]}" > "$out/sbuild.log" 2>&1 || status=$?
  elif [[ $build_options == *nocheck* ]]; then
    env DEB_BUILD_OPTIONS="$build_options" "${run[@]}" --profiles=cross > "$out/sbuild.log" 2>&1 || status=$?
  else
    # The unit tests run under the emulator: the cross profile alone (sbuild's
    # default adds nocheck), and the builder can run the host's programs.
    local registration scratch
    registration=$(emulator "$arch")
    build_options+=" crossbuildcanrunhostbinaries"
    scratch=$(mktemp -d /tmp/proxywarden-package.XXXXXX)
    # shellcheck disable=SC2016 # the registration's script, with its own arguments
    in_own_user_namespace "$out/sbuild.log" "$scratch" sh -c 'printf "%s" "$1" > "$2/binfmt_misc/register" && shift 2 && exec "$@"' sh \
      "$registration" "$scratch" env DEB_BUILD_OPTIONS="${build_options# }" "${run[@]}" --profiles=cross || status=$?
    rm -rf "$scratch"
  fi
  if [[ $status != 0 ]]; then
    tail -n 80 "$out/sbuild.log"
    echo "package: sbuild failed ($name/sbuild.log)"
    exit 1
  fi
  cd "$out"
  echo "package: built $(built_debs "$name")"
  # lintian's tags, from the log's lintian section.
  sed -n '/^Running lintian\.\.\.$/,/^+---/p' sbuild.log | grep -E '^[EWIPNXO]: ' > lintian.log || true
  cat lintian.log
  if grep -qE '^[EW]: ' lintian.log; then
    echo "package: lintian reports errors or warnings"
    exit 1
  fi
  echo "package: lintian: no error, no warning"
  grep '^package: ' sbuild.log
  grep -E '^[0-9]+% tests passed' sbuild.log || true
}

if [[ ${1:-} == --check ]]; then
  check_binaries "$2" "$3" "$4"
  exit 0
fi

cd "$(dirname "$0")/.."
me=package
# shellcheck source=lib.sh
source scripts/lib.sh
# shellcheck source=/dev/null
host=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
build=$(dpkg --print-architecture)
release=${1:-$host}
arch=${2:-$build}
[[ $# -le 2 && $release =~ ^[a-z]+$ && $arch =~ ^[a-z0-9]+$ ]] ||
  { echo "usage: scripts/package.sh [RELEASE [ARCH]]" >&2; exit 2; }
# The version is debian/changelog's; the README and the docs name its files
# and the man page its version, which must follow it.
version=$(sed -n '1s/^proxywarden (\([^)]*\)).*$/\1/p' debian/changelog)
stale=$(grep -noE 'proxywarden(-libunix)?_[0-9][^_ ]*_|"proxywarden [0-9][^" ]*"' README.md docs/*.md docs/proxywarden.8 |
  grep -vF -e "_${version}_" -e "\"proxywarden $version\"" || true)
if [[ -z $version || -n $stale ]]; then
  echo "package: these name another version than debian/changelog's (${version:-none}):"
  printf '%s\n' "$stale"
  exit 1
fi
out=$PWD/build-deb
[[ $release == "$host" ]] || out+=-$release
[[ $arch == "$build" ]] || out+=-$arch
rm -rf "$out"
mkdir -p "$out/proxywarden"
# What a clean checkout would hold with the working tree's changes committed:
# the tracked files as they are in the tree, and the new ones git does not ignore.
if git rev-parse --is-inside-work-tree > /dev/null 2>&1; then
  # shellcheck disable=SC2016 # the script of sh -c, with its own arguments
  git ls-files -z --cached --others --exclude-standard |
    xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh |
    tar --null -T - -cf - | tar -xf - -C "$out/proxywarden"
else
  tar --exclude='./build*' --exclude=./stage -cf - . | tar -xf - -C "$out/proxywarden"
fi

if [[ $release != "$host" || $arch != "$build" ]]; then
  with_sbuild "$release" "$arch" "$out"
  exit 0
fi

# What building and checking need beyond the build dependencies, where it is
# missing (scripts/deps.sh installs it too); then the build dependencies.
{
  apt_need dpkg-dev lintian devscripts binutils &&
    cd "$out/proxywarden" && apt-get build-dep -y -o DPkg::Lock::Timeout=600 ./
} > "$out/build-dep.log" 2>&1 || { cat "$out/build-dep.log"; exit 1; }
build_and_check "$out"

mkdir archives
(cd archives && apt-get download squid squid-common sqlite3 > ../download.log 2>&1) ||
  { cat download.log; echo "package: cannot fetch Debian's squid and sqlite3 packages"; exit 1; }
fetched=(archives/*)
echo "package: fetched ${fetched[*]#archives/} for the package's end-to-end case"
