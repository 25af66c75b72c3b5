# The Debian package: built by cpack, installed with dpkg, and run.
source "$E2E_LIB"

# Take away what the sandbox installed from the stage, so that only the
# package's files are there.
rm -f /usr/sbin/proxywarden /usr/share/brantelbase/ressources/libunix.so /usr/share/man/man8/proxywarden.8
rm -rf /usr/share/proxywarden

cpack -G DEB -B "$SANDBOX_SCRATCH/package" --config "$E2E_BUILD/CPackConfig.cmake" > cpack.log 2>&1 || cat cpack.log
deb=$(ls "$SANDBOX_SCRATCH"/package/proxywarden_*_amd64.deb 2>/dev/null || ls "$SANDBOX_SCRATCH"/package/proxywarden_*.deb)
check "the package's section" "admin" "$(dpkg-deb -f "$deb" Section)"
# The C++ runtime and SQLite are linked in; what is left comes from dpkg-shlibdeps.
check_match "its library dependencies" "^libc6 \(>= 2\.[0-9]+\)$" "$(dpkg-deb -f "$deb" Depends)"
check "its files" "./usr/sbin/proxywarden
./usr/share/brantelbase/ressources/libunix.so
./usr/share/man/man8/proxywarden.8
./usr/share/proxywarden/system_events.sql" "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)"

dpkg -i "$deb" > dpkg.log 2>&1
check "dpkg -i" "0" "$?"
check "installed" "install ok installed" "$(dpkg-query -W -f '${Status}' proxywarden)"

pw pid
check_ran "pid from the package" 0
check "pid from the package: output" "PID of main proxy service is [None]
" "$OUT"
pw start
check_ran "start from the package" 0
check_match "start from the package: started" "success pid [0-9]+\.\.\.$" "$(last_line "$OUT")"
pw stop
check_ran "stop from the package" 0

finish
