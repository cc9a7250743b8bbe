#!/usr/bin/env bash
# Rotates a station's record log with logrotate while the installed vantuflash
# runs --repeat against the installed devicesim, and checks that no record is
# lost, torn or doubled: every result vantuflash printed (--json) is in the
# log or one of its rotated files, as one line of JSON, and nothing else is.
# The logrotate configuration is the installed snippet
# (/etc/logrotate.d/vantuflash) with its folder swapped for a temporary one.
#
#   scripts/check-logrotate.sh
#
# Needs the package vantuflash installed, logrotate and jq; run by
# scripts/check-package.sh. Exits non-zero when a check fails.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/processes.sh
. "$root/scripts/processes.sh"
snippet=/etc/logrotate.d/vantuflash
fail() {
    echo "check-logrotate.sh: $*" >&2
    exit 1
}
[ -f "$snippet" ] || fail "$snippet is not installed"

work=$(mktemp -d)
sim_pid=
flash_pid=
cleanup() {
    # shellcheck disable=SC2086 # empty when not running
    stop_groups $flash_pid $sim_pid
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

logs=$work/logs
mkdir -m 755 "$logs"
# Owned as the unit's LogsDirectory= is, so that the snippet's su user may rotate in it.
chmod 755 "$work"
chown vantuflash:vantuflash "$logs"
conf=$work/logrotate.conf
sed "s|/var/log/vantuflash/|$logs/|g" "$snippet" >"$conf"
grep -qF "$logs/*.jsonl {" "$conf" || fail "$snippet does not name /var/log/vantuflash/*.jsonl"
log=$logs/station1.jsonl

image=$work/board.vuf
head -c 4002 /dev/urandom >"$image"

# A board that restarts 300 ms after its update and comes back as the next
# one, under a name that stays.
link=$work/board
start_in_group "$work/devicesim.out" "$work/devicesim.err" \
    /usr/bin/devicesim --link "$link" --restart-after-done 300
sim_pid=$started_pid
wait_for_port "$work/devicesim.out" "$sim_pid" >/dev/null ||
    fail "devicesim announced no port: $(cat "$work/devicesim.err")"
[ -e "$link" ] || fail "devicesim made no link $link: $(cat "$work/devicesim.err")"

out=$work/vantuflash.out
start_in_group "$out" "$work/vantuflash.err" \
    env -u DISPLAY -u WAYLAND_DISPLAY /usr/bin/vantuflash --repeat --json -q -p "$link" \
    --log "$log" "$image"
flash_pid=$started_pid

# Waits until vantuflash has printed at least $1 results (60 s at most).
printed() { grep -c '"event":"result"' "$out" || true; }
wait_for_results() {
    wait_until printed "$1" "$flash_pid" && return 0
    kill -0 "$flash_pid" 2>/dev/null || fail "vantuflash ended early: $(cat "$work/vantuflash.err")"
    fail "vantuflash printed $(printed) results in 60 s, expected $1"
}

# Three rotations between boards, forced (-f), with a state file of this test.
for after in 2 4 6; do
    wait_for_results "$after"
    logrotate -f -s "$work/logrotate.state" "$conf"
    echo "rotated after $(printed) results: $(cd "$logs" && ls | tr '\n' ' ')"
done
wait_for_results 8

# A clean stop, as systemctl stop does it.
status=0
stop_group "$flash_pid" || status=$?
flash_pid=
[ "$status" -eq 130 ] || fail "vantuflash ended with status $status on SIGTERM, expected 130: $(cat "$work/vantuflash.err")"

# The rotated files as the snippet makes them: the newest one plain
# (delaycompress), the older ones compressed.
[ -f "$log.1" ] || fail "no $log.1 after three rotations"
gzip -t "$log.1" 2>/dev/null && fail "$log.1 is compressed; delaycompress keeps the newest rotated file plain"
for n in 2 3; do
    gzip -t "$log.$n.gz" || fail "$log.$n.gz is missing or not gzip"
done
[ ! -e "$log.4.gz" ] || fail "four rotated files after three rotations"

# Every line of every file is one JSON object (jq -R reads lines, fromjson
# fails on anything else); a file without a result record means a rotation
# came between no two records, so the test proved nothing.
records=$work/records
: >"$records"
for file in "$log" "$log.1" "$log.2.gz" "$log.3.gz"; do
    [ -e "$file" ] || continue
    zcat -f "$file" | jq -e -c -R 'fromjson | select(.event == "result")' >"$work/file.records" ||
        fail "$(basename "$file") holds a line that is not a JSON object: $(zcat -f "$file" | tail -n 3)"
    n=$(wc -l <"$work/file.records")
    [ "$n" -gt 0 ] || [ "$file" = "$log" ] || fail "$(basename "$file") holds no result record"
    cat "$work/file.records" >>"$records"
    echo "$(basename "$file"): $n records"
done

# The same records as the results printed, no more, no fewer.
jq -S -c 'select(.event == "result")' "$out" | sort >"$work/printed.sorted"
jq -S -c . "$records" | sort >"$work/logged.sorted"
if ! cmp -s "$work/printed.sorted" "$work/logged.sorted"; then
    diff "$work/printed.sorted" "$work/logged.sorted" >&2 || true
    fail "the log files do not hold exactly the results vantuflash printed"
fi
[ "$(sort -u "$work/logged.sorted" | wc -l)" -eq "$(wc -l <"$work/logged.sorted")" ] ||
    fail "a record is in the log files twice"
echo "$(wc -l <"$records") records across the log and its rotated files, the $(wc -l <"$work/printed.sorted") results vantuflash printed"
