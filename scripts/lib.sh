# shellcheck shell=bash
# What the set-up and test scripts share, sourced by them (scripts/*.sh,
# e2e/boot/*.sh) after `set -euo pipefail`:
#
#   cached         a root, tarball or image kept outside the checkout: made
#                  once under a lock, made again when its stamp differs or
#                  when its maker died;
#   debian_mirror  the Debian mirror that apt uses on this machine, or
#                  PROXYWARDEN_MIRROR;
#   apt_need       installs with apt-get the packages that are missing.
#
# Their messages go to standard error, after "$me: " (the script sets me; by
# default it is the script's file name).

me=${me:-$(basename "$0")}

# cached [--lock FILE] PATH STAMP TEXT MAKER...: makes PATH, a directory or a
# file, unless it is there and the file STAMP holds TEXT (with STAMP empty:
# unless it is there). STAMP lies inside PATH (a root's own stamp) or beside
# it. MAKER... NEW makes it at NEW, PATH's name with .new before its first dot
# (bookworm.new, trixie-amd64.new.tar.zst), in a subshell with errexit on and
# the lock's descriptor closed, its output in LOG, PATH's name up to its first
# dot with .log (bookworm.log, trixie-amd64.log). Then TEXT goes to STAMP and
# NEW takes PATH's place in one rename: a PATH that is there was made whole,
# and a maker that died left only NEW, which the next maker removes. All of it
# holds an exclusive lock on FILE (by default PATH's name up to its first dot
# with .lock), released on return: runs that ask at the same time wait for one
# another. Fails, with the log's end, where the maker fails or makes nothing.
cached() {
  local lock='' path stamp text dir base stem new log fd begin status errexit=''
  if [[ $1 == --lock ]]; then
    lock=$2
    shift 2
  fi
  path=$1 stamp=$2 text=$3
  shift 3
  dir=$(dirname "$path") base=$(basename "$path")
  stem=${base%%.*}
  new=$dir/$stem.new${base#"$stem"}
  log=$dir/$stem.log
  lock=${lock:-$dir/$stem.lock}
  mkdir -p "$dir"
  exec {fd}> "$lock"
  flock "$fd"
  if [[ (-d $path || -s $path) && (-z $stamp || "$(cat "$stamp" 2> /dev/null)" == "$text") ]]; then
    exec {fd}>&-
    return 0
  fi
  # A maker that died may have left its mounts below NEW: nothing beyond them
  # is removed.
  if ! rm -rf --one-file-system "$new" "$path"; then
    echo "$me: cannot remove $new or $path" >&2
    exec {fd}>&-
    return 1
  fi
  [[ -z $stamp || $stamp == "$path"/* ]] || rm -f "$stamp"
  echo "$me: making $path (a few minutes; log in $log)" >&2
  begin=$SECONDS
  [[ $- != *e* ]] || errexit=yes
  set +e
  (
    exec {fd}>&-
    set -e
    "$@" "$new"
  ) > "$log" 2>&1 < /dev/null
  status=$?
  [[ -z $errexit ]] || set -e
  if [[ $status != 0 || ! -e $new ]]; then
    tail -n 30 "$log" >&2
    echo "$me: making $path failed (status $status; log in $log)" >&2
    rm -rf --one-file-system "$new"
    exec {fd}>&-
    return 1
  fi
  [[ $stamp != "$path"/* ]] || echo "$text" > "$new/${stamp#"$path"/}"
  mv -T "$new" "$path"
  [[ -z $stamp || $stamp == "$path"/* ]] || echo "$text" > "$stamp"
  echo "$me: made $path in $((SECONDS - begin)) s" >&2
  exec {fd}>&-
}

# apt_sources: "URI SUITE" for each suite of main that apt fetches packages
# (deb) from on this machine, from the one-line sources and then the deb822
# ones, in apt's order.
apt_sources() {
  local file
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [[ -f $file ]] || continue
    awk '$1 == "deb" { sub(/\[[^]]*\] */, ""); if (/ main( |$)/) print $2, $3 }' "$file"
  done
  for file in /etc/apt/sources.list.d/*.sources; do
    [[ -f $file ]] || continue
    awk 'BEGIN { RS = ""; FS = "\n" }
         { uris = ""; suites = ""; main = 0; deb = 0; off = 0
           for (i = 1; i <= NF; i++) {
             if ($i ~ /^URIs:/) uris = substr($i, 6)
             if ($i ~ /^Suites:/) suites = substr($i, 8)
             if ($i ~ /^Components:/ && $i ~ /[ \t]main([ \t]|$)/) main = 1
             if ($i ~ /^Types:/ && $i ~ /[ \t]deb([ \t]|$)/) deb = 1
             if ($i ~ /^Enabled:[ \t]*no/) off = 1 }
           if (!main || !deb || off) next
           nu = split(uris, u, /[ \t]+/); ns = split(suites, s, /[ \t]+/)
           for (j = 1; j <= nu; j++) for (k = 1; k <= ns; k++) if (u[j] != "" && s[k] != "") print u[j], s[k] }' "$file"
  done
}

# debian_mirror release|updates|security: the Debian mirror of this
# machine's release, the first that apt fetches main from for a plain suite
# name (bookworm, stable) on a URI ending in /debian; of the release's updates
# suite (bookworm-updates) there; or of its security suite
# (bookworm-security). Another release comes from the same places.
# PROXYWARDEN_MIRROR, where set, is the mirror of the release and of its
# updates (the older names PROXYWARDEN_E2E_MIRROR and
# PROXYWARDEN_AUTOPKGTEST_MIRROR are read too). Prints
# http://deb.debian.org/debian for the release where apt has no such source,
# and nothing for updates or security where it has none.
debian_mirror() {
  local kind=$1 uri
  uri=${PROXYWARDEN_MIRROR:-${PROXYWARDEN_E2E_MIRROR:-${PROXYWARDEN_AUTOPKGTEST_MIRROR:-}}}
  if [[ -z $uri || $kind == security ]]; then
    uri=$(apt_sources | awk -v kind="$kind" '
      kind == "release" && $2 ~ /^[a-z]+$/ && $1 ~ /\/debian\/?$/ ||
      kind == "updates" && $2 ~ /^[a-z]+-updates$/ && $1 ~ /\/debian\/?$/ ||
      kind == "security" && $2 ~ /^[a-z]+(-security|\/updates)$/ { print $1; exit }')
  fi
  [[ -n $uri || $kind != release ]] || uri=http://deb.debian.org/debian
  [[ -z $uri ]] || echo "$uri"
}

# apt_need PACKAGE...: installs with apt-get (its lists updated first) those
# of the packages that are not installed, holding off other runs of
# apt_need meanwhile; fails with apt's output where that fails. A package
# that is there is left as it is.
apt_need() {
  local package missing=() log
  for package; do
    [[ $(dpkg-query -W -f '${db:Status-Status}' "$package" 2> /dev/null) == installed ]] || missing+=("$package")
  done
  ((${#missing[@]})) || return 0
  echo "$me: installing ${missing[*]} with apt-get" >&2
  log=$(mktemp /tmp/proxywarden-apt.XXXXXX)
  # Another apt run on the machine is waited for, not failed on; flock -o
  # keeps its lock from what apt starts.
  if ! flock -o /run/lock/proxywarden-apt.lock sh -c 'apt-get update &&
      DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=600 "$@"' \
      sh "${missing[@]}" > "$log" 2>&1 < /dev/null; then
    tail -n 30 "$log" >&2
    echo "$me: cannot install ${missing[*]}" >&2
    rm -f "$log"
    return 1
  fi
  rm -f "$log"
}
