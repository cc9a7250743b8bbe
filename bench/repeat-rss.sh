#!/usr/bin/env bash
# Memory of a long run, as on a station that runs for days: one simulated fixture whose board
# restarts after each update (devicesim --restart-after-done), and the resident set of the
# program, from /proc, once each number of boards is in its record log. The program is
# vantuflash --repeat, or with --station the station window, vantustation --start (offscreen).
# For one build folder or several, one after the other:
#
#   bench/repeat-rss.sh [--station] [--boards 10,100,200,500,1000] BUILD_DIR [BUILD_DIR ...]
#
# BUILD_DIR: a build folder with flash/vantuflash (or station/vantustation) and
# tools/devicesim/devicesim (Release for figures). About three boards a second: 1000 boards take
# five and a half minutes a build.
set -euo pipefail

boards=10,100,200,500,1000
station=
while (($# > 0)); do
    case $1 in
    --boards) boards=$2; shift 2 ;;
    --station) station=yes; shift ;;
    *) break ;;
    esac
done
if (($# == 0)); then
    sed -n '2,12p' "$0" >&2
    exit 1
fi

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/processes.sh
. "$root/scripts/processes.sh"
work=$(mktemp -d)
device=
flash=
cleanup() {
    # shellcheck disable=SC2086 # empty when not running
    stop_groups $flash $device
    rm -rf "$work"
}
trap cleanup EXIT
head -c 256 /dev/urandom >"$work/image.vuf"

seconds_since() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }'; }

printf '%-40s %7s %8s %8s\n' build boards "RSS kB" seconds
for build in "$@"; do
    link=$work/fixture
    start_in_group "$work/device.log" "$work/device.err" \
        "$build/tools/devicesim/devicesim" --link "$link" --restart-after-done 20
    device=$started_pid
    if ! wait_for_port "$work/device.log" "$device" >/dev/null; then
        echo "repeat-rss: devicesim announced no port: $(cat "$work/device.err")" >&2
        exit 1
    fi
    log=$work/records.jsonl
    rm -f "$log" # counted from the start, before the program has made it
    if [[ -n $station ]]; then
        start_in_group /dev/null "$work/flash.err" env QT_QPA_PLATFORM=offscreen \
            "$build/station/vantustation" --start -p "$link" --log "$log" "$work/image.vuf"
    else
        start_in_group /dev/null "$work/flash.err" "$build/flash/vantuflash" --json -q --repeat \
            -p "$link" --log "$log" "$work/image.vuf"
    fi
    flash=$started_pid
    start=$EPOCHREALTIME
    for n in ${boards//,/ }; do
        while (($( [[ -f $log ]] && wc -l <"$log" || echo 0) < n)); do
            if ! kill -0 "$flash" 2>/dev/null; then
                echo "repeat-rss: the program ended early: $(cat "$work/flash.err")" >&2
                exit 1
            fi
            sleep 0.05
        done
        rss=$(awk '/^VmRSS/ { print $2 }' "/proc/$flash/status")
        printf '%-40s %7d %8d %8s\n' "$build" "$n" "$rss" "$(seconds_since "$start")"
    done
    stop_group "$flash" || true
    stop_group "$device" || true
    flash=
    device=
    rm -f "$link"
done
