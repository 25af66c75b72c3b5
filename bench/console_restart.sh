# shellcheck shell=bash
# shellcheck disable=SC2154 # machine, here and release are e2e/boot/run.sh's
# The console's restart and stop, timed through PHP and sudo as the web console
# runs them, beside `systemctl restart squid` of Debian's own unit with the same
# squid.conf, in a Debian booted with systemd: a case for e2e/boot/run.sh.
#
#   PHP_DEBS=DIR bash e2e/boot/run.sh DEB_DIR RELEASE bench/console_restart.sh
#
# DIR holds php-cli and sudo for RELEASE with what they need beyond the boot
# root (the container has no network): `apt-get install -d php-cli sudo` in a
# chroot of that root. Prints one line per scenario: the times of ROUNDS runs
# (5 by default) and their median, in seconds.
rounds=${ROUNDS:-5}
mkdir -p "$machine/root/php"
cp "$PHP_DEBS"/*.deb "$machine/root/php/"
inside sh -c 'dpkg -i /root/php/*.deb' > /dev/null
inside systemctl stop squid.service
echo 'APT::Get::Assume-Yes "true";' > "$machine/etc/apt/apt.conf.d/90yes"
steps=$(sed -n '/^<!-- appliance steps/,/^```$/p' "$here/../../README.md" | sed '1,2d;$d')
inside env DEBIAN_FRONTEND=noninteractive bash -ec "cd /root/debs; $steps" > /dev/null
echo 'www-data ALL=(root) NOPASSWD: /usr/sbin/proxywarden' > "$machine/etc/sudoers.d/proxywarden"
chmod 440 "$machine/etc/sudoers.d/proxywarden"

# timed LABEL COMMAND: runs COMMAND ROUNDS times, and prints the times and
# the last line of each run's output, each once with its count.
timed() {
  local label=$1 times=() i began
  shift
  : > "$machine/root/timed.out"
  for ((i = 0; i < rounds; i++)); do
    began=$EPOCHREALTIME
    inside "$@" 2>&1 | tail -n 1 >> "$machine/root/timed.out"
    times+=("$(awk "BEGIN { printf \"%.2f\", $EPOCHREALTIME - $began }")")
  done
  printf 'timing: %s: %s; median %s s; ended with: %s\n' "$label" "${times[*]}" \
    "$(printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((rounds + 1) / 2))p")" \
    "$(sort "$machine/root/timed.out" | uniq -c | sed 's/^ *//' | paste -sd ';')"
}
console() { echo "runuser -u www-data -- php -r 'passthru(\"sudo -n /usr/sbin/proxywarden $1\");'"; }

inside /usr/sbin/proxywarden start > /dev/null
timed "$release: console restart (PHP, sudo)" sh -c "$(console restart)"
inside /usr/sbin/proxywarden stop > /dev/null
# The stop alone, each after a start that is not timed.
stops=()
: > "$machine/root/stops.out"
for ((i = 0; i < rounds; i++)); do
  inside /usr/sbin/proxywarden start > /dev/null
  began=$EPOCHREALTIME
  inside sh -c "$(console stop)" 2>&1 | tail -n 1 >> "$machine/root/stops.out"
  stops+=("$(awk "BEGIN { printf \"%.2f\", $EPOCHREALTIME - $began }")")
done
printf 'timing: %s: console stop (PHP, sudo): %s; median %s s; ended with: %s\n' "$release" "${stops[*]}" \
  "$(printf '%s\n' "${stops[@]}" | sort -n | sed -n "$(((rounds + 1) / 2))p")" \
  "$(sort "$machine/root/stops.out" | uniq -c | sed 's/^ *//' | paste -sd ';')"

# Debian's own unit, with the same squid.conf (its drop-in holds it off while
# /etc/squid3/squid.conf exists).
inside sh -c 'cp /etc/squid3/squid.conf /etc/squid/squid.conf && mv /etc/squid3/squid.conf /root/'
inside systemctl start squid.service
timed "$release: systemctl restart squid (Debian's unit)" systemctl restart squid.service
inside systemctl stop squid.service
