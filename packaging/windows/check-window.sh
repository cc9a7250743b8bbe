#!/usr/bin/env bash
# Starts a window program of the tool under Wine on the X display DISPLAY, with Qt's windows
# platform plugin (the one a Windows user gets), waits until its window shows with TITLE (an
# extended regular expression, matched whole), then closes it from outside as Windows closes a
# window (Wine's taskkill, which sends WM_CLOSE to the program's top-level windows, as the title
# bar's close button does), and checks that the program ends with status 0. Qt's messages go to
# standard error (QT_FORCE_STDERR_LOGGING: a window program has no console), with the plugins Qt
# loads (QT_DEBUG_PLUGINS): PLUGIN... are the plugin files that must be loaded from the program's
# own folder, and no warning may come. The Windows checks under Wine
# (packaging/windows/checks.cmake).
#
#   check-window.sh TITLE PROGRAM.exe [PLUGIN]... -- RUNNER...
#
# RUNNER is the command that runs a Windows program (scripts/wine-run.sh --prefix DIR). Every
# program of a Wine prefix must have the same DISPLAY while the prefix runs: Wine's desktop
# process takes the display of the first program and keeps it, and a window of a later program
# shows on no other (scripts/check-windows.sh runs all the checks on one virtual display).
set -euo pipefail

[ $# -ge 4 ] || { echo "usage: check-window.sh TITLE PROGRAM.exe [PLUGIN]... -- RUNNER..." >&2; exit 2; }
title=$1
program=$2
shift 2
plugins=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
    plugins+=("$1")
    shift
done
[ $# -ge 2 ] || { echo "check-window.sh: no runner after --" >&2; exit 2; }
shift
runner=("$@")
name=$(basename "$program")

fail() {
    echo "check-window.sh: $name: $*" >&2
    if [ -s "$err" ]; then
        echo "--- standard error:" >&2
        cat "$err" >&2
    fi
    exit 1
}

[ -n "${DISPLAY:-}" ] || { echo "check-window.sh: no X display (DISPLAY)" >&2; exit 1; }
scratch=$(mktemp -d)
err=$scratch/stderr
program_pid=
watch_pid=
cleanup() {
    local pid
    for pid in "$watch_pid" "$program_pid"; do
        if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
            kill "$pid" 2>/dev/null || true
            wait "$pid" 2>/dev/null || true
        fi
    done
    rm -rf "$scratch"
}
trap cleanup EXIT

unset QT_QPA_PLATFORM
QT_FORCE_STDERR_LOGGING=1 QT_DEBUG_PLUGINS=1 QT_MESSAGE_PATTERN='%{type}: %{message}' \
    "${runner[@]}" "$program" >"$scratch/stdout" 2>"$err" &
program_pid=$!

# Until the window shows or the program ends, whichever comes first.
xdotool search --sync --onlyvisible --name "^($title)\$" >"$scratch/window" 2>/dev/null &
watch_pid=$!
wait -n "$watch_pid" "$program_pid" || true
if ! kill -0 "$program_pid" 2>/dev/null; then
    status=0
    wait "$program_pid" || status=$?
    program_pid=
    fail "ended with status $status before its window showed"
fi
wait "$watch_pid" || fail "xdotool could not search the display"
watch_pid=
window=$(head -n 1 "$scratch/window")
echo "$name: window \"$(xdotool getwindowname "$window")\", $(xdotool getwindowgeometry "$window" |
    sed -n 's/^ *Geometry: //p')"

"${runner[@]}" taskkill /IM "$name" >/dev/null || fail "taskkill could not close it"
status=0
wait "$program_pid" || status=$?
program_pid=
[ "$status" -eq 0 ] || fail "ended with status $status after WM_CLOSE"
[ ! -s "$scratch/stdout" ] || fail "wrote to standard output: $(cat "$scratch/stdout")"

folder=$(cd "$(dirname "$program")" && pwd)
for plugin in "${plugins[@]}"; do
    # Qt names the file as Windows does: Z: and forward slashes.
    grep -qF "\"Z:$folder/$plugin\" loaded library" "$err" ||
        fail "did not load $plugin from its folder $folder"
done
# Wine 8 lacks two calls of Windows 10 that Qt makes for sharp text on high-resolution screens
# (per-monitor DPI awareness V2, scaling of the title bar); Qt says so and goes on without them.
wine_lacks='SetProcessDpiAwarenessContext\(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2\) failed|EnableNonClientDpiScaling\(\) failed for HWND .*\(Call not implemented\.\)'
warnings=$(grep -E '^(warning|critical|fatal): ' "$err" | grep -vE "$wine_lacks" || true)
[ -z "$warnings" ] || fail "Qt warned: $warnings"
echo "$name: closed with status 0, plugins ${plugins[*]:-(none checked)} loaded from its folder"
