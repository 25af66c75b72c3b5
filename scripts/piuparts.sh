#!/usr/bin/env bash
# Debian's installation test of the two packages (piuparts), as root:
#
#   bash scripts/piuparts.sh [DEB_DIR]
#
# DEB_DIR (build-deb/ by default, where scripts/package.sh builds) holds
# proxywarden_*.deb and proxywarden-libunix_*.deb. One piuparts run, in a fresh
# Debian 12 chroot with the mirrors that apt uses on this machine, installs and
# purges both packages together, then installs them with apt from a local
# repository, upgrades to them from the files and purges them; any file left,
# changed or missing, any process left running or any failed maintainer
# script fails it. The local repository holds the same packages labelled one
# step older (VERSION~0), since apt would take the same version for the one
# installed and run none of the upgrade's maintainer scripts. The chroot
# starts from a base tarball made once with debootstrap and kept in
# /var/cache/proxywarden-piuparts/ (about 3 minutes to make; delete it to have
# it made anew; PIUPARTS_CACHE names another place). The log goes to
# DEB_DIR/piuparts.log.
set -euo pipefail
cd "$(dirname "$0")/.."
debs=$(realpath "${1:-build-deb}")
cache=${PIUPARTS_CACHE:-/var/cache/proxywarden-piuparts}
base=$cache/bookworm.tar.gz
log=$debs/piuparts.log
[[ $(id -u) == 0 ]] || { echo "piuparts: must run as root" >&2; exit 1; }
command -v piuparts > /dev/null && command -v debootstrap > /dev/null ||
  { echo "piuparts: needs Debian's piuparts and debootstrap packages" >&2; exit 1; }
shopt -s nullglob
files=("$debs"/proxywarden_*.deb "$debs"/proxywarden-libunix_*.deb)
if [[ ${#files[@]} != 2 ]]; then
  echo "piuparts: want one proxywarden and one proxywarden-libunix package in $debs, found ${#files[@]}" >&2
  exit 1
fi

# The suites' mirrors as apt on this machine knows them.
mirror_of() {
  apt-get indextargets --format '$(REPO_URI) $(CODENAME)' 'Identifier: Packages' | awk -v s="$1" '$2 == s { print $1; exit }'
}
mirror=$(mirror_of bookworm)
updates=$(mirror_of bookworm-updates)
security=$(mirror_of bookworm-security)
[[ -n "$mirror" ]] || { echo "piuparts: apt knows no mirror for bookworm (apt-get update?)" >&2; exit 1; }

work=$(mktemp -d /tmp/proxywarden-piuparts.XXXXXX)
# piuparts unmounts what it mounted in its chroot under $work, even when
# interrupted; anything still mounted is left alone.
trap 'rm -rf --one-file-system "$work"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

if [[ ! -s "$base" ]]; then
  echo "piuparts: making the base tarball $base with debootstrap"
  mkdir -p "$cache"
  begin=$SECONDS
  # eatmydata spares the chroot's dpkg its fsyncs; piuparts uses it when there.
  debootstrap --variant=minbase --include=eatmydata bookworm "$work/root" "$mirror" > "$work/debootstrap.log" 2>&1 ||
    { tail -n 30 "$work/debootstrap.log"; echo "piuparts: debootstrap failed" >&2; exit 1; }
  tar -C "$work/root" -czf "$work/base.tar.gz" .
  mv "$work/base.tar.gz" "$base"
  rm -rf "$work/root"
  echo "piuparts: base tarball made in $((SECONDS - begin)) s"
fi

# The local repository from which the upgrade test installs the packages
# first, bind-mounted into the chroot at the same path; the files to test lie
# beside it.
mkdir "$work/repo" "$work/debs"
cp "${files[@]}" "$work/debs/"
for deb in "${files[@]}"; do
  tree=$work/tree
  dpkg-deb -R "$deb" "$tree"
  version=$(dpkg-deb -f "$deb" Version)
  sed -i "s/^Version: .*/Version: $version~0/; s/(= $version)/(= $version~0)/g" "$tree/DEBIAN/control"
  dpkg-deb -b --root-owner-group "$tree" "$work/repo/" > /dev/null
  rm -rf "$tree"
done
(cd "$work/repo" && dpkg-scanpackages . > Packages 2> /dev/null)
extra=(--extra-repo="deb [trusted=yes] file://$work/repo ./")
[[ -z "$updates" ]] || extra+=(--extra-repo="deb $updates bookworm-updates main")
[[ -z "$security" ]] || extra+=(--extra-repo="deb $security bookworm-security main")

begin=$SECONDS
status=0
rm -f "$log"
piuparts --basetgz="$base" --distribution=bookworm --mirror="$mirror" "${extra[@]}" \
  --bindmount="$work/repo" --tmpdir="$work" --logfile="$log" \
  "$work"/debs/proxywarden_*.deb "$work"/debs/proxywarden-libunix_*.deb > /dev/null 2>&1 || status=$?
grep -E '(PASS|FAIL|SKIP): ' "$log" | sed -E 's/^([0-9ms.]+) [A-Z]+: (.*)$/piuparts: \2 (at \1)/' || true
if [[ $status != 0 ]]; then
  tail -n 40 "$log"
  echo "piuparts: FAILED in $((SECONDS - begin)) s (log in $log)"
  exit 1
fi
echo "piuparts: passed in $((SECONDS - begin)) s (log in $log)"
