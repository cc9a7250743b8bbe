#!/bin/sh
# Runs a test on a virtual X display with the xcb platform, as on a real desktop, inside a D-Bus
# session of its own in which the accessibility bus can start, so that Qt's bridge to assistive
# technology is active and sends the events a screen reader gets (the test is told so by
# VANTU_EXPECT_ACCESSIBILITY). Exits 77 (skipped) where no virtual display can be started.
command -v xvfb-run >/dev/null 2>&1 || exit 77
export QT_QPA_PLATFORM=xcb
if ! command -v dbus-run-session >/dev/null 2>&1 || [ ! -x /usr/libexec/at-spi-bus-launcher ]; then
    exec xvfb-run -a -s "-screen 0 1366x768x24" "$@"
fi
# The accessibility bus has its socket in the runtime directory: a private one for this run.
runtime=$(mktemp -d) || exit 1
chmod 700 "$runtime"
status=0
# Qt's bridge waits for the accessibility bus rather than starting it: one call starts it first.
XDG_RUNTIME_DIR=$runtime QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 VANTU_EXPECT_ACCESSIBILITY=1 \
    xvfb-run -a -s "-screen 0 1366x768x24" dbus-run-session -- sh -c '
        dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus \
            org.a11y.Bus.GetAddress >/dev/null || { echo "under-xvfb.sh: the accessibility bus did not start" >&2; exit 1; }
        exec "$@"' sh "$@" || status=$?
rm -rf "$runtime"
exit "$status"
