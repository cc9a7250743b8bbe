#!/usr/bin/env bash
# Builds vantuUpdate and starts it against the simulated device.
#
#   scripts/run.sh [devicesim options...]
#
# The simulator runs on a pseudo-terminal for as long as the tool is open.
# Without a display the tool runs on a virtual one (xvfb-run). Ctrl-C ends the
# tool first, then the virtual display, then the simulator, without a word.
# The tool is built optimised (Release) in build-release/ at the top of the
# tree, apart from the Debug and sanitizer builds of scripts/test.sh;
# VANTU_RUN_BUILD_DIR chooses another directory.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/processes.sh
. "$root/scripts/processes.sh"
build_dir=${VANTU_RUN_BUILD_DIR:-$root/build-release}

# Without a display, imagemagick provides the screenshot command printed below.
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    "$root/scripts/deps.sh"
else
    "$root/scripts/deps.sh" imagemagick
fi

if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTU_BUILD_TESTS=OFF
fi
# Every program and document, so that `cmake --install` works on this folder too.
cmake --build "$build_dir"

# Qt wants a private runtime directory; without one it warns on every start.
runtime_dir=
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    runtime_dir=$(mktemp -d)
    export XDG_RUNTIME_DIR=$runtime_dir
fi

app=$build_dir/app/vantuUpdate
sim=$build_dir/tools/devicesim/devicesim

sim_out=$(mktemp)
app_pid_file=$(mktemp)
sim_pid=
cleanup() {
    if [ -n "$sim_pid" ]; then
        stop_group "$sim_pid" || true
    fi
    rm -f "$sim_out" "$app_pid_file"
    if [ -n "$runtime_dir" ]; then
        rm -rf "$runtime_dir"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Its output (the port, then a line per finished update) shows on the
# terminal and is kept in a file to pick up the port from. Ctrl-C on the
# terminal must not reach it (nor tee) before the tool has ended, or the tool
# would see its port go: it runs in a session of its own (setsid; it does not
# fork here, so $! is the simulator) and is ended by cleanup.
setsid "$sim" "$@" > >(trap '' INT && exec tee "$sim_out") &
sim_pid=$!

# The simulator announces its pseudo-terminal on its first line.
if ! port=$(wait_for_port "$sim_out" "$sim_pid"); then
    if kill -0 "$sim_pid" 2>/dev/null; then
        echo "run.sh: the simulator did not announce its port" >&2
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
    # Ctrl-C reaches the tool and this script; the tool ends, then cleanup
    # ends the simulator.
    "$app" || status=$?
    exit "$status"
fi

echo "No display: the window opens on a virtual X display and stays invisible."
# Ctrl-C on the terminal would reach the X server and the tool at once, and
# the tool, losing its display first, would report "The X11 connection
# broke". So the virtual display and the tool run in a session of their own,
# out of the terminal's reach, and Ctrl-C reaches this script alone, which
# ends the tool (SIGTERM); the inner shell then ends a moment after the tool,
# so that a client that pressed End (xdotool) or took a screenshot can hang
# up, and xvfb-run stops the display.
setsid xvfb-run -a -s "-screen 0 800x600x24" bash -c '
    echo "To take a screenshot of it, from another terminal:"
    echo "  DISPLAY=$DISPLAY XAUTHORITY=$XAUTHORITY import -window root window.png"
    echo "Stop it with Ctrl-C."
    "$0" &
    echo "$!" >"$1"
    status=0
    wait "$!" || status=$?
    sleep 0.5
    exit "$status"' "$app" "$app_pid_file" &
display_pid=$!

interrupted=
trap 'interrupted=130' INT
trap 'interrupted=143' TERM
# Polled rather than waited for, so that a signal is acted on at once. A tool
# that does not end within 5 s of SIGTERM is killed.
polls_after_signal=0
while kill -0 "$display_pid" 2>/dev/null; do
    if [ -n "$interrupted" ]; then
        app_pid=$(cat "$app_pid_file")
        if [ -n "$app_pid" ]; then
            if [ "$polls_after_signal" -eq 0 ]; then
                kill -TERM "$app_pid" 2>/dev/null || true
            elif [ "$polls_after_signal" -eq 50 ]; then
                kill -KILL "$app_pid" 2>/dev/null || true
            fi
            polls_after_signal=$((polls_after_signal + 1))
        fi
    fi
    # Ctrl-C ends this sleep too.
    sleep 0.1 || true
done
wait "$display_pid" || status=$?
exit "${interrupted:-$status}"
