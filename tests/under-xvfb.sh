#!/bin/sh
# Runs a test on a virtual X display with the xcb platform, as on a real desktop, inside a D-Bus
# session of its own in which the accessibility bus can start, so that Qt's bridge to assistive
# technology is active and sends the events a screen reader gets (the test is told so by
# VANTU_EXPECT_ACCESSIBILITY). The display has the three screens of the fixture PCs the station
# window must fit, 1024x768, 1366x768 and 1920x1080 (named to the test in VANTU_SCREENS), the
# first of them where windows open unless told otherwise. Exits 77 (skipped) where no virtual
# display can be started.
command -v xvfb-run >/dev/null 2>&1 || exit 77
export QT_QPA_PLATFORM=xcb
export VANTU_SCREENS="1024x768 1366x768 1920x1080"
screens="-screen 0 1024x768x24 -screen 1 1366x768x24 -screen 2 1920x1080x24"
if ! command -v dbus-run-session >/dev/null 2>&1 || [ ! -x /usr/libexec/at-spi-bus-launcher ]; then
    exec xvfb-run -a -s "$screens" "$@"
fi
# The accessibility bus has its socket in the runtime directory: a private one for this run.
runtime=$(mktemp -d) || exit 1
chmod 700 "$runtime"
status=0
# Qt's bridge waits for the accessibility bus rather than starting it: one call starts it first.
XDG_RUNTIME_DIR=$runtime QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 VANTU_EXPECT_ACCESSIBILITY=1 \
    xvfb-run -a -s "$screens" dbus-run-session -- sh -c '
        dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus \
            org.a11y.Bus.GetAddress >/dev/null || { echo "under-xvfb.sh: the accessibility bus did not start" >&2; exit 1; }
        exec "$@"' sh "$@" || status=$?
rm -rf "$runtime"
exit "$status"
