#!/usr/bin/env bash
# Builds vantuUpdate and starts it against the simulated device.
#
#   scripts/run.sh [devicesim options...]
#
# The simulator runs on a pseudo-terminal for as long as the tool is open.
# Without a display the tool runs on a virtual one (xvfb-run).
# The tool is built optimised (Release) in build-release/ at the top of the
# tree, apart from the Debug and sanitizer builds of scripts/test.sh;
# VANTU_RUN_BUILD_DIR chooses another directory.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${VANTU_RUN_BUILD_DIR:-$root/build-release}

# Without a display, imagemagick provides the screenshot command printed below.
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    "$root/scripts/deps.sh"
else
    "$root/scripts/deps.sh" imagemagick
fi

if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release
fi
cmake --build "$build_dir" --target vantuUpdate devicesim

# Qt wants a private runtime directory; without one it warns on every start.
runtime_dir=
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    runtime_dir=$(mktemp -d)
    export XDG_RUNTIME_DIR=$runtime_dir
fi

app=$build_dir/app/vantuUpdate
sim=$build_dir/tools/devicesim/devicesim

sim_out=$(mktemp)
sim_pid=
cleanup() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -f "$sim_out"
    if [ -n "$runtime_dir" ]; then
        rm -rf "$runtime_dir"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Its output (the port, then a line per finished update) shows on the
# terminal and is kept in a file to pick up the port from.
"$sim" "$@" > >(tee "$sim_out") &
sim_pid=$!

# The simulator announces its pseudo-terminal on its first line.
port=
for _ in $(seq 100); do
    port=$(sed -n 's/^port: //p' "$sim_out")
    if [ -n "$port" ] || ! kill -0 "$sim_pid" 2>/dev/null; then
        break
    fi
    sleep 0.1
done
if [ -z "$port" ]; then
    if kill -0 "$sim_pid" 2>/dev/null; then
        echo "run.sh: the simulator did not announce its port within 10 s" >&2
        exit 1
    fi
    # It has ended on its own (for example after --help): pass on its status.
    status=0
    wait "$sim_pid" || status=$?
    sim_pid=
    exit "$status"
fi

echo
echo "Simulated device on $port: type that path into the port box, then choose any file with File."
echo

status=0
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    "$app" || status=$?
else
    echo "No display: the window opens on a virtual X display and stays invisible."
    # The inner shell knows the virtual display and its authority file. It
    # ends a moment after the tool, so that a client that pressed End
    # (xdotool) or took a screenshot can hang up before xvfb-run stops the
    # display; it would report "X connection ... broken" otherwise.
    xvfb-run -a -s "-screen 0 800x600x24" bash -c '
        echo "To take a screenshot of it, from another terminal:"
        echo "  DISPLAY=$DISPLAY XAUTHORITY=$XAUTHORITY import -window root window.png"
        echo "Stop it with Ctrl-C."
        status=0
        "$0" || status=$?
        sleep 0.5
        exit "$status"' "$app" || status=$?
fi
exit "$status"
