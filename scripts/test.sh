#!/usr/bin/env bash
# Builds vantuUpdate with warnings as errors and runs the whole test suite
# headless. Exits non-zero on any build or test failure.
#
#   scripts/test.sh
#
# VANTU_BUILD_DIR chooses the build directory (default: build/ at the top of
# the tree).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${VANTU_BUILD_DIR:-$root/build}

"$root/scripts/deps.sh"

# Configure, build and test one configuration in its own build directory.
# Extra arguments go to the CMake configure step.
run_configuration() {
    local name=$1 dir=$2
    shift 2
    echo "== $name: configure $dir"
    cmake -S "$root" -B "$dir" -G Ninja -DVANTU_WERROR=ON "$@"
    echo "== $name: build"
    cmake --build "$dir"
    echo "== $name: test"
    (cd "$dir" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure --no-tests=error)
}

run_configuration debug "$build_dir" -DCMAKE_BUILD_TYPE=Debug

# The same suite under AddressSanitizer (with LeakSanitizer) and UndefinedBehaviorSanitizer:
# any report makes the test process fail.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_configuration sanitize "$build_dir-sanitize" -DCMAKE_BUILD_TYPE=Debug -DVANTU_SANITIZE=ON

# Each fuzz target for a bounded time; a crash or sanitizer report fails the run.
echo "== fuzz"
"$root/fuzz/run.sh" "${VANTU_FUZZ_SECONDS:-30}"

"$root/scripts/check-package.sh"

echo "== all configurations passed"
