#!/usr/bin/env bash
# Ships a station's records to a central place with rsyslog, as the README's recipe does, and
# checks that every record arrives exactly once although the central side is down for part of
# the shift. Everything runs as on a station, as far as a machine without a running systemd
# allows:
# - vantuflash --repeat runs with the installed unit's command line, user, groups and umask,
#   into a records folder made as the unit's LogsDirectory= makes it, against devicesim;
# - the shipper is a real rsyslogd with the installed station recipe (its folder, host and port
#   swapped for the test's), run as an unprivileged user whose only extra group is the records'
#   group; a user without that group must not read the records;
# - the receiver is a second rsyslogd with the installed central recipe, on loopback, stopped
#   mid-shift and started again.
# The README must show both recipes as the package installs them.
#
#   scripts/check-shipping.sh
#
# Needs the package vantuflash installed and root (for the users); installs rsyslog and
# rsyslog-relp. Run by scripts/check-package.sh. Exits non-zero when a check fails.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/processes.sh
. "$root/scripts/processes.sh"
unit=/lib/systemd/system/vantuflash@.service
docs=/usr/share/doc/vantuflash
fail() {
    echo "check-shipping.sh: $*" >&2
    exit 1
}
[ -f "$unit" ] || fail "$unit is not installed"
[ "$(id -u)" -eq 0 ] || fail "needs root, to run each part as its own user"
"$root/scripts/deps.sh" rsyslog rsyslog-relp

# The unit's settings, as systemd reads them (the last of a key counts).
setting() { sed -n "s/^$1=//p" "$unit" | tail -n 1; }
user=$(setting User)
group=$(setting Group)
umask_value=$(setting UMask)
extra_groups=$(setting SupplementaryGroups)
logs_mode=$(setting LogsDirectoryMode)
exec_start=$(setting ExecStart)
[ -n "$user" ] && [ "$user" != root ] || fail "the unit names no unprivileged User="
[ "$(setting DynamicUser)" != yes ] || fail "DynamicUser= puts the records where no shipper can read them"
[ "$(setting LogsDirectory)" = vantuflash ] || fail "the unit's LogsDirectory= is not vantuflash"
getent passwd "$user" >/dev/null || fail "the package made no user $user"
getent group "$group" >/dev/null || fail "the package made no group $group"

work=$(mktemp -d)
pids=()
cleanup() {
    stop_groups "${pids[@]}"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
chmod 755 "$work"

# The recipes as installed, and as the README shows them: each file is a block of the README.
for recipe in rsyslog-station.conf.example rsyslog-central.conf.example; do
    [ -f "$docs/$recipe" ] || fail "$docs/$recipe is not installed"
    first=$(head -n 1 "$docs/$recipe")
    awk -v first="$first" '
        $0 == first { inside = 1 }
        inside && /^```/ { exit }
        inside { print }' "$root/README.md" >"$work/readme-recipe"
    if ! cmp -s "$docs/$recipe" "$work/readme-recipe"; then
        diff "$docs/$recipe" "$work/readme-recipe" >&2 || true
        fail "README.md does not show $recipe as installed"
    fi
done
echo "README.md shows both recipes as installed"

# The records folder as LogsDirectory= makes it: the unit's user and group, the unit's mode.
logs=$work/log/vantuflash
mkdir -p "$logs"
chown "$user:$group" "$logs"
chmod "$logs_mode" "$logs"
log=$logs/station1.jsonl

# A free port on loopback for the receiver: nothing answers a connection to it.
port=
for _ in $(seq 50); do
    candidate=$((20000 + RANDOM % 40000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then
        port=$candidate
        break
    fi
done
[ -n "$port" ] || fail "no free port on loopback"

# Sender and receiver, each an unprivileged rsyslogd with its own configuration, work folder and
# pid file: the recipes with the folders, the host and the port swapped for the test's.
shipper=nobody
for side in sender receiver; do
    mkdir -p "$work/$side/spool"
done
mkdir -p "$work/receiver/central"
{
    echo "global(workDirectory=\"$work/sender/spool\")"
    sed -e "s|/var/log/vantuflash/|$logs/|" -e "s|records.example.org|127.0.0.1|" \
        -e "s|Port=\"2514\"|Port=\"$port\"|" "$docs/rsyslog-station.conf.example"
} >"$work/sender/rsyslog.conf"
{
    echo "global(workDirectory=\"$work/receiver/spool\")"
    sed -e "s|/var/log/vantuflash-central/|$work/receiver/central/|" \
        -e "s|port=\"2514\"|port=\"$port\"|" "$docs/rsyslog-central.conf.example"
} >"$work/receiver/rsyslog.conf"
grep -qF "$logs/*.jsonl" "$work/sender/rsyslog.conf" || fail "the station recipe does not read /var/log/vantuflash/*.jsonl"
grep -qF "Port=\"$port\"" "$work/sender/rsyslog.conf" || fail "the station recipe names no Port=\"2514\""
grep -qF "port=\"$port\"" "$work/receiver/rsyslog.conf" || fail "the central recipe names no port=\"2514\""
chown -R "$shipper" "$work/sender" "$work/receiver"
rsyslogd -N1 -f "$work/sender/rsyslog.conf" >/dev/null 2>"$work/sender/check.err" ||
    fail "rsyslogd finds the station recipe wrong: $(cat "$work/sender/check.err")"

receiver_pid=
start_receiver() {
    setsid setpriv --reuid="$shipper" --regid=nogroup --clear-groups \
        rsyslogd -n -f "$work/receiver/rsyslog.conf" -i "$work/receiver/rsyslogd.pid" \
        </dev/null >>"$work/receiver/out" 2>&1 &
    receiver_pid=$!
    pids+=("$receiver_pid")
    for _ in $(seq 100); do
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
        kill -0 "$receiver_pid" 2>/dev/null || fail "the receiver ended: $(cat "$work/receiver/out")"
        sleep 0.1
    done
    fail "the receiver does not listen on port $port within 10 s"
}
stop_receiver() {
    stop_group "$receiver_pid" || true
}
received() { cat "$work/receiver/central/"*.jsonl 2>/dev/null | wc -l; }
logged() { [ -f "$log" ] && wc -l <"$log" || echo 0; }
# Waits until $1 (a function) counts at least $2, 60 s at most.
expect_count() {
    wait_until "$1" "$2" || fail "$1: $("$1") after 60 s, expected $2"
}

# A board on a fixture, restarting after each update as the next one; run as the unit's user
# like vantuflash, so that the pseudo-terminal is that user's.
as_unit=(setpriv --reuid="$user" --regid="$group" --init-groups)
mkdir "$work/fixture"
chown "$user:$group" "$work/fixture"
link=$work/fixture/board
start_in_group "$work/devicesim.out" "$work/devicesim.err" \
    "${as_unit[@]}" /usr/bin/devicesim --link "$link" --restart-after-done 300
pids+=("$started_pid")
wait_for_port "$work/devicesim.out" "$started_pid" >/dev/null ||
    fail "devicesim announced no port: $(cat "$work/devicesim.err")"
[ -e "$link" ] || fail "devicesim made no link $link: $(cat "$work/devicesim.err")"
image=$work/board.vuf
head -c 3002 /dev/urandom >"$image"
chmod 644 "$image"

start_receiver
# The unit's command line with its options file's variables: $VAR split at spaces, ${VAR} one
# word each, as systemd expands them.
VANTUFLASH_PORTS="-q -p $link"
VANTUFLASH_LOG=$log
VANTUFLASH_IMAGE=$image
command=$(sed -e 's/\${\([A-Z_]*\)}/"${\1}"/g' <<<"$exec_start")
eval "set -- $command"
[ "$1" = /usr/bin/vantuflash ] || fail "the unit does not run /usr/bin/vantuflash: $exec_start"
supplementary=${extra_groups// /,}
(
    umask "$umask_value"
    exec setsid setpriv --reuid="$user" --regid="$group" --groups="$supplementary" \
        env -u DISPLAY -u WAYLAND_DISPLAY "$@" </dev/null >"$work/vantuflash.out" 2>&1
) &
flash_pid=$!
pids+=("$flash_pid")

# The records and their folder as the recipe needs them: the records' group reads, others not.
expect_count logged 1
[ "$(stat -c '%U:%G %a' "$logs")" = "$user:$group ${logs_mode#0}" ] ||
    fail "the records folder is $(stat -c '%U:%G %a' "$logs")"
[ "$(stat -c '%U:%G %a' "$log")" = "$user:$group 640" ] ||
    fail "the record log is $(stat -c '%U:%G %a' "$log"), expected $user:$group 640"
setpriv --reuid="$shipper" --regid=nogroup --clear-groups head -c 1 "$log" >/dev/null 2>&1 &&
    fail "$shipper reads the records without the group $group"
setpriv --reuid="$shipper" --regid=nogroup --groups="$group" head -c 1 "$log" >/dev/null ||
    fail "$shipper cannot read the records in the group $group"
echo "records: $(stat -c '%U:%G %a' "$logs") folder, $(stat -c '%U:%G %a' "$log") file; group $group reads, others do not"

setsid setpriv --reuid="$shipper" --regid=nogroup --groups="$group" \
    rsyslogd -n -f "$work/sender/rsyslog.conf" -i "$work/sender/rsyslogd.pid" \
    </dev/null >"$work/sender/out" 2>&1 &
pids+=($!)

# A shift: records shipped, the central side down for a while, then up again.
expect_count logged 3
expect_count received 3
stop_receiver
down_from=$(logged)
expect_count logged $((down_from + 3))
echo "receiver stopped at $down_from records, started again at $(logged)"
start_receiver
expect_count logged $((down_from + 5))

# A clean stop, as systemctl stop does it.
status=0
stop_group "$flash_pid" || status=$?
[ "$status" -eq 130 ] || fail "vantuflash ended with status $status on SIGTERM, expected 130: $(cat "$work/vantuflash.out")"
total=$(logged)
expect_count received "$total"

# Every record exactly once, as the station wrote it.
sort "$log" >"$work/logged.sorted"
cat "$work/receiver/central/"*.jsonl | sort >"$work/received.sorted"
if ! cmp -s "$work/logged.sorted" "$work/received.sorted"; then
    diff "$work/logged.sorted" "$work/received.sorted" >&2 || true
    fail "the receiver does not hold exactly the station's records"
fi
[ "$(sort -u "$work/received.sorted" | wc -l)" -eq "$total" ] || fail "a record arrived twice"
echo "$total records shipped, each exactly once, across a stop of the receiver"
