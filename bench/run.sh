#!/usr/bin/env bash
# Builds the bench in Release and runs it: host turnaround, update time on a paced line, writes to
# the X connection, footprint and start-up of the update window; round trips beside the window's,
# 16 lines at once against one alone on paced lines, CPU per frame and memory of the console
# program, vantuflash; the station, vantustation, with 16 slots against one. Turnaround and paced figures are taken twice: offscreen, where painting
# costs nothing, and on an X server (Xvfb, started here), where every repaint that reaches the
# screen costs a write to the X connection, as on a user's display. Prints a table; the same
# figures go to a JSON file whose path is printed at the end.
#
#   bench/run.sh [--json FILE] [--quick] [--full]
#                [--only turnaround,paced,xwrites,footprint,startup,flash,gang,station,flashcpu,flashmem]
#                [--platforms offscreen,xcb] [--pairs N]
#                [--hosts window,minimal,port,raw] [--bauds 57600,921600] [--vantuflash FILE]
#                [--baseline DIR]
#
# --quick: small images, a smoke test. --full: the 16 MiB footprint update asks for every piece
# (about two and a half minutes more) instead of one piece per 1 KiB block. --pairs: runs of each
# host of a pair, taken in turns (default 3; medians are compared): the window and the minimal
# host, vantuflash and the window (flash), vantuflash on one line and on 16 (gang). --bauds: the
# line speeds of the paced and gang sections. The sections of vantuflash run the one built here
# unless --vantuflash names another; flashcpu takes the runs of flash and gang when they ran, and
# runs what is missing itself. --baseline DIR: the Release build folder of another checkout with
# the same bench; its bench host, vantuflash and start-up programs run before this build's, in
# turns, and every section ends with both builds' medians, [min, max] and the ratio after/before.
# VANTU_BENCH_BUILD_DIR chooses the build directory (default: build-bench/ at the top of the
# tree); the JSON goes to bench/bench-results.json in it unless --json says otherwise. The figures
# are only as quiet as the machine: run it with nothing else busy, and read the load printed with
# every row. On a machine shared with other work, VANTU_BENCH_NICE=-10 (root only) runs the X
# server and the bench, whose children inherit it, at that priority, so that the figures show the
# tool more than the neighbours.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${VANTU_BENCH_BUILD_DIR:-$root/build-bench}

"$root/scripts/deps.sh"

# The bench's own tools beyond the build's: strace counts the writes to the X connection.
if ! command -v strace >/dev/null 2>&1; then
    if [ "$(id -u)" -eq 0 ]; then as_root=(); else as_root=(sudo); fi
    echo "bench/run.sh: installing strace"
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -q --no-install-recommends strace
fi

cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build_dir" --target vantu_bench

priority=()
if [ -n "${VANTU_BENCH_NICE:-}" ]; then
    priority=(nice -n "$VANTU_BENCH_NICE")
fi

work=$(mktemp -d)
xvfb_pid=
cleanup() {
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# Qt wants a private runtime directory; without one it warns on every start.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    XDG_RUNTIME_DIR=$work/runtime
    mkdir -m 700 "$XDG_RUNTIME_DIR"
    export XDG_RUNTIME_DIR
fi

# A virtual X server of its own, on the first free display number (Xvfb writes it to fd 3 once
# it accepts connections), so that no desktop's compositor or load enters the figures.
"${priority[@]}" Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.1
done
if [ -s "$work/display" ]; then
    DISPLAY=:$(head -n1 "$work/display")
    export DISPLAY
    # The bench reads the server's CPU time around each update.
    export VANTU_BENCH_XSERVER_PID=$xvfb_pid
else
    echo "bench/run.sh: Xvfb did not start (see below); offscreen figures only" >&2
    cat "$work/xvfb.log" >&2
    unset DISPLAY
fi
# The driver sets the platform per section; Xvfb must not be left running on a failure.
unset QT_QPA_PLATFORM

"${priority[@]}" "$build_dir/bench/vantu_bench" "$@"
