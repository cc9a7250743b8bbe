#!/bin/sh
# Runs a test on a virtual X display with the xcb platform, as on a real desktop. Exits 77
# (skipped) where no virtual display can be started.
command -v xvfb-run >/dev/null 2>&1 || exit 77
QT_QPA_PLATFORM=xcb exec xvfb-run -a -s "-screen 0 1366x768x24" "$@"
