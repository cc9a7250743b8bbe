#!/usr/bin/env bash
# A long soak of whole updates, outside the test command: the tst_soak suite with more seeds.
#
#   scripts/soak.sh [runs]
#
# runs is the number of seeded updates (default 1000; the test command runs 60). Each one goes
# through the real window (offscreen) and its real serial port against the simulated device on a
# pseudo-terminal, with line faults and endings chosen by its seed, so seed N always makes the same
# run. Every run must end with the exact image on the device and "Firmware is updated", or with the
# status text of the fault that ended it. Prints a line per run and the tally at the end; the whole
# output is also kept in the log file named at the end. Runs under nice, on one core.
#
# VANTU_BUILD_DIR chooses the build directory (default: build/ at the top of the tree); it is
# configured (Debug) if it is not yet.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${VANTU_BUILD_DIR:-$root/build}

runs=${1:-1000}
if ! [[ $runs =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: scripts/soak.sh [runs]" >&2
    exit 2
fi

"$root/scripts/deps.sh"
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug
fi
nice -n 10 cmake --build "$build_dir" --target tst_soak

log=$build_dir/soak-$runs.log
# A run that hangs fails inside the suite within seconds; this only stops a process that no longer
# gets anywhere at all.
limit=$((runs * 5 + 300))
echo "== soak: $runs seeded updates, about $((runs / 2)) s on an idle machine (stopped after ${limit} s)"
start=$(date +%s)
status=0
# -maxwarnings 0: QTest stops printing after 2000 messages, which would cut the tally off.
QT_QPA_PLATFORM=offscreen VANTU_SOAK_RUNS=$runs \
    timeout --kill-after=10 "$limit" nice -n 10 \
    "$build_dir/tests/tst_soak" -maxwarnings 0 >"$log" 2>&1 || status=$?
elapsed=$(($(date +%s) - start))

# The per-run lines are in the log; the failures and the tally go to the terminal too.
grep -E '^(FAIL!|   Loc:|XPASS)' "$log" || true
sed -n '/SoakTest::tally()/,$p' "$log" | grep -E '^QINFO|^Totals|^FAIL' | sed 's/^QINFO  : SoakTest::tally() //'
echo "== soak: $runs runs, ${elapsed} s wall time, exit status $status; whole output in $log"
exit "$status"
