# shellcheck shell=bash
# The program's main job against the real Squid, run inside e2e/sandbox.sh by
# scripts/run.sh: what an administrator would see.
set -u
progress_files() {
  for file in /usr/share/brantelbase/ressources/logs/web/squid.quick.progress \
              /usr/share/brantelbase/ressources/logs/web/squid.quick.rprogress; do
    [[ -e "$file" ]] || continue
    # shellcheck disable=SC2016 # PHP's code
    printf '    %s: %s\n' "${file##*/}" "$(php -r 'echo json_encode(unserialize(file_get_contents($argv[1])));' "$file")"
  done
}
step() {
  echo
  echo "\$ proxywarden $*"
  /usr/sbin/proxywarden "$@"
  echo "  (exit status $?)"
  progress_files
}

mkdir -p site && echo "hello through the proxy" > site/index.html
php -S 127.0.0.1:8081 -t site >/dev/null 2>&1 &
sleep 0.5

step start
step pid
step ps
echo
echo "\$ curl -x http://127.0.0.1:3128 http://127.0.0.1:8081/"
for _ in 1 2 3 4 5 6 7 8 9 10; do curl -sf -x http://127.0.0.1:3128 http://127.0.0.1:8081/ && break; sleep 0.5; done
step restart
step pid
step reload-timeout
step pid
step restart-memory
step stop
step pid
echo
echo "The journal (/home/brantel/SQLITE/system_events.db):"
sqlite3 -header -column /home/brantel/SQLITE/system_events.db \
  'SELECT zDate, severity, subject, function, filename, removeafter - zDate AS kept FROM squid_admin_mysql ORDER BY ID'
