# The Debian package that scripts/package.sh built with dpkg-buildpackage
# (PROXYWARDEN_DEB names another): installed with dpkg, run, and purged.
source "$E2E_LIB"

deb=${PROXYWARDEN_DEB:-$(ls "$(dirname "$E2E_LIB")"/../build-deb/proxywarden_*_amd64.deb 2>/dev/null | head -n 1)}
if [[ -z "$deb" || ! -f "$deb" ]]; then
  echo "FAILED no package to install: build it with bash scripts/package.sh (scripts/test.sh does) or name it in PROXYWARDEN_DEB"
  exit 1
fi
echo "package: $deb ($(date -r "$deb" '+%F %T'))"

# Take away what the sandbox installed from the stage, so that only the
# package's files are there.
rm -f /usr/sbin/proxywarden /usr/share/brantelbase/ressources/libunix.so /usr/share/man/man8/proxywarden.8
rm -rf /usr/share/proxywarden

check "the package's section" "admin" "$(dpkg-deb -f "$deb" Section)"
# SQLite is loaded at run time and named by hand; the C library comes from
# dpkg-shlibdeps, and the C++ runtime is linked in.
check_match "its dependencies" "^libsqlite3-0 \(>= 3\.22\.0\), libc6 \(>= 2\.[0-9]+\)$" "$(dpkg-deb -f "$deb" Depends)"
check "its recommendations" "squid" "$(dpkg-deb -f "$deb" Recommends)"
check "its files" "./usr/sbin/proxywarden
./usr/share/brantelbase/ressources/libunix.so
./usr/share/doc/proxywarden/changelog.gz
./usr/share/doc/proxywarden/copyright
./usr/share/lintian/overrides/proxywarden
./usr/share/man/man8/proxywarden.8.gz
./usr/share/proxywarden/system_events.sql" "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)"

status=0
dpkg -i "$deb" > dpkg.log 2>&1 || status=$?
check "dpkg -i" "0" "$status"
[[ $status == 0 ]] || cat dpkg.log
check "installed" "install ok installed" "$(dpkg-query -W -f '${Status}' proxywarden)"
check "the man page reads" "0" "$(man -l /usr/share/man/man8/proxywarden.8.gz > /dev/null 2>&1; echo $?)"

pw pid
check_ran "pid from the package" 0
check "pid from the package: output" "PID of main proxy service is [None]
" "$OUT"
pw start
check_ran "start from the package" 0
check_match "start from the package: started" "success pid [0-9]+\.\.\.$" "$(last_line "$OUT")"
pid=$(cat "$PIDFILE")
pw stop
check_ran "stop from the package" 0
check "stop from the package: progress" "100 'Stopping {success}...'" "$(decoded "$PROGRESS")"
# Both events reach the journal through the system's SQLite, loaded on the way.
check "the package's journal" "2|Success Starting proxy service with PID $pid||Proxy Service|proxywarden|0
1|Success Stopping proxy service||Proxy Service|proxywarden|0" "$(journal)"

# Purging leaves none of the package's files, and none of its own directories.
mapfile -t paths < <(dpkg -L proxywarden)
files=() dirs=()
for path in "${paths[@]}"; do
  if [[ -d "$path" && ! -L "$path" ]]; then dirs+=("$path"); else files+=("$path"); fi
done
check "files listed by dpkg -L" "7" "${#files[@]}"
status=0
dpkg --purge proxywarden > dpkg.log 2>&1 || status=$?
check "dpkg --purge" "0" "$status"
check "purged" "" "$(dpkg-query -W -f '${Status}' proxywarden 2>/dev/null)"
left=()
for path in "${files[@]}"; do [[ -e "$path" || -L "$path" ]] && left+=("$path"); done
# A directory stays only while another package owns it or something else is in it.
for path in "${dirs[@]}"; do
  [[ -d "$path" ]] || continue
  dpkg -S "$path" > /dev/null 2>&1 && continue
  [[ -n "$(ls -A "$path")" ]] && continue
  left+=("$path/")
done
check "left behind by the purge" "" "${left[*]}"
check "no program left" "" "$(command -v proxywarden)"

finish
