#!/bin/sh
# Runs a Windows test suite under Wine and shows its output. Under Wine a suite's output to a pipe
# is lost (to a file or a terminal it is not), so the suite writes it to a file (-o FILE,txt),
# which is shown afterwards; the suite's exit code is this script's.
#
#   tests/wine-suite.sh RUNNER... SUITE.exe [ARGUMENT...]
#
# RUNNER... is the Windows build's emulator (scripts/wine-run.sh and its options), SUITE.exe the
# suite, the arguments its own. Z: is the Linux root under Wine.
out=$(mktemp) || exit 1
status=0
"$@" -o "Z:$(printf '%s' "$out" | tr / '\\\\'),txt" || status=$?
cat "$out"
rm -f "$out"
exit "$status"
