#!/usr/bin/env bash
# Builds the bench in Release and runs it: host turnaround, update time on a paced line,
# footprint and start-up of the update window. Prints a table; the same figures go to a JSON file
# whose path is printed at the end.
#
#   bench/run.sh [--json FILE] [--quick] [--full] [--only turnaround,paced,footprint,startup]
#                [--hosts window,port,raw] [--bauds 57600,921600]
#
# --quick: small images, a smoke test. --full: the 16 MiB footprint update asks for every piece
# (about two and a half minutes more) instead of one piece per 1 KiB block.
# VANTU_BENCH_BUILD_DIR chooses the build directory (default: build-bench/ at the top of the
# tree); the JSON goes to bench/bench-results.json in it unless --json says otherwise. The figures
# are only as quiet as the machine: run it with nothing else busy.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${VANTU_BENCH_BUILD_DIR:-$root/build-bench}

"$root/scripts/deps.sh"

cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build_dir" --target vantu_bench

export QT_QPA_PLATFORM=offscreen
# Qt wants a private runtime directory; without one it warns on every start.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    XDG_RUNTIME_DIR=$(mktemp -d)
    export XDG_RUNTIME_DIR
    trap 'rm -rf "$XDG_RUNTIME_DIR"' EXIT
fi

"$build_dir/bench/vantu_bench" "$@"
