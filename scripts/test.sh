#!/usr/bin/env bash
# Builds vantuUpdate with warnings as errors and runs the whole test suite
# headless. Exits non-zero on any build or test failure.
#
#   scripts/test.sh
#
# Steps, each announced with what it runs, and followed by how long it took:
# - build: a Debug build with AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer
#   in build/, so that every suite runs with them: any report fails the test;
# - tests: every suite, two at a time (most of them wait on the line and its timers), the
#   soak's tally printed;
# - unprivileged: as root, the suites that touch files and ports once more as an
#   ordinary user (vantu-test, created if missing and removed again at the end, also
#   after a failure or Ctrl-C; a vantu-test that was there before is left), so that no
#   case is skipped for root's rights;
# - windows: the Windows programs cross-compiled with MinGW-w64 and a Qt for Windows in
#   build-windows/, packaged as a ZIP and an installer, and run, installed and uninstalled under
#   Wine (scripts/check-windows.sh); skipped, in one line that says how to make it, where no Qt
#   for Windows can be had;
# - fuzz: each fuzz target for VANTU_FUZZ_SECONDS (default 12) in build-fuzz/;
# - package: the package validated, installed, started and removed again
#   (scripts/check-package.sh), and the README's commands that install without a package run as
#   written into a scratch folder (scripts/check-install.sh). It is built in build-package/ from the end of the build step
#   on, at the lowest priority, beside the steps in between, which mostly wait on lines and
#   timers.
#
# VANTU_BUILD_DIR chooses the build directory (default: build/ at the top of the tree).
# VANTU_TEST_JOBS sets how many suites run at once (default 2).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/processes.sh
. "$root/scripts/processes.sh"
build_dir=${VANTU_BUILD_DIR:-$root/build}
build_dir=$(mkdir -p "$build_dir" && cd "$build_dir" && pwd)
fuzz_seconds=${VANTU_FUZZ_SECONDS:-12}
test_jobs=${VANTU_TEST_JOBS:-2}
test_user=vantu-test
started=$(date +%s)

# The tests' own needs beyond the build's: python3 reads the station's CSV export as a spreadsheet
# would, and a D-Bus session with the accessibility bus lets the xcb run see what a screen reader
# is told. The package's tools are installed here too: the package builds beside the other steps,
# and its own deps.sh call must then find nothing to install while another step's may.
"$root/scripts/deps.sh" python3 dbus-bin dbus-daemon at-spi2-core dpkg-dev file

# Announces a step; step_done prints how long it took.
step() {
    step_name=$1
    step_start=$(date +%s)
    echo "== $step_name: $2"
}
step_done() {
    echo "== $step_name: done in $(($(date +%s) - step_start)) s"
}

# Prints the soak's tally from a ctest log (ctest shows a test's output only when it fails).
print_soak_tally() {
    sed -n 's/^QINFO  : SoakTest::tally() /   /p' "$1"
}

# Any sanitizer report makes the test process fail.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

build() {
    step build "configure and build in $build_dir with the sanitizers"
    cmake -S "$root" -B "$build_dir" -G Ninja -DVANTU_WERROR=ON -DCMAKE_BUILD_TYPE=Debug \
        -DVANTU_SANITIZE=ON
    cmake --build "$build_dir"
    step_done
}

run_tests() {
    step tests "every suite, $test_jobs at a time, the soak's 60 seeded updates with line and device faults among them"
    (cd "$build_dir" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure --no-tests=error \
        -j "$test_jobs")
    print_soak_tally "$build_dir/Testing/Temporary/LastTest.log"
    step_done
}

# Runs the suites that touch files and ports as an ordinary user. The test user needs to reach the
# build and source folders: folders above them that others may not enter (a clone in /root) get
# search permission for others until this script ends.
restore_modes=()
created_test_user=
scratch=
package_pid=
package_log=
restore() {
    local entry
    if [ -n "$package_pid" ]; then
        # The whole group: the package's build (cmake, ninja, the compilers) with it.
        stop_group "$package_pid" || true
    fi
    if [ -n "$package_log" ]; then
        rm -f "$package_log"
    fi
    for entry in "${restore_modes[@]}"; do
        chmod "${entry%% *}" "${entry#* }" || true
    done
    if [ -n "$scratch" ]; then
        rm -rf "$scratch"
    fi
    if [ -n "$created_test_user" ]; then
        # userdel refuses while a process of the user still runs (one that outlived an
        # interrupt); the user then stays, and the message says how to remove it.
        if userdel "$test_user"; then
            echo "== unprivileged: removed user $test_user, made for this run"
        else
            echo "test.sh: could not remove user $test_user; remove it with: userdel $test_user" >&2
        fi
    fi
}
trap restore EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

as_test_user() {
    runuser -u "$test_user" -- "$@"
}

open_path_for_test_user() {
    local path=$1 dir=
    local IFS=/
    for part in ${path#/}; do
        dir=$dir/$part
        if ! as_test_user test -x "$dir"; then
            restore_modes+=("$(stat -c %a "$dir") $dir")
            chmod o+x "$dir"
            echo "   (search permission for others on $dir until the tests end)"
        fi
    done
}

run_unprivileged() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "== unprivileged: the tests above ran as $(id -un) already"
        return
    fi
    step unprivileged "the suites that touch files and ports as user $test_user, $test_jobs at a time"
    if ! id -u "$test_user" >/dev/null 2>&1; then
        created_test_user=yes
        useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin \
            "$test_user"
    fi
    open_path_for_test_user "$build_dir"
    open_path_for_test_user "$root"
    # A port's lock file whose holder has ended is stale. One of root's, left by a program killed
    # in the pass before, would keep the test user from the next port of that number: only its
    # owner may remove it from the lock folder. Each one removed is named: a test left it.
    local lock holder
    for lock in /run/lock/LCK..*; do
        [ -f "$lock" ] || continue
        holder=$(awk '{ print $1; exit }' "$lock" 2>/dev/null || true)
        if [[ $holder =~ ^[0-9]+$ ]] && ! kill -0 "$holder" 2>/dev/null; then
            rm -f "$lock"
            echo "   (removed $lock, left by process $holder, which has ended)"
        fi
    done
    if ! as_test_user test -r "$build_dir/tests/CTestTestfile.cmake" ||
        ! as_test_user test -x "$build_dir/tests/tst_transfer"; then
        echo "test.sh: user $test_user cannot read $build_dir" >&2
        exit 1
    fi

    # ctest writes its logs where it runs: in a folder of the test user's that holds the test
    # list of the build folder (whose test commands have absolute paths), next to a home and a
    # temporary folder of its own.
    scratch=$(mktemp -d)
    mkdir -p "$scratch/home" "$scratch/tmp" "$scratch/runtime" "$scratch/ctest"
    (cd "$build_dir" && find . -name CTestTestfile.cmake -exec cp --parents {} "$scratch/ctest/" \;)
    chmod 700 "$scratch/runtime"
    chown -R "$test_user": "$scratch"
    chmod 755 "$scratch"

    # The soak has no case that depends on rights, and the test without serial ports needs root
    # to make its mount namespace.
    local status=0
    (cd "$scratch/ctest" && as_test_user env HOME="$scratch/home" TMPDIR="$scratch/tmp" \
        XDG_RUNTIME_DIR="$scratch/runtime" QT_QPA_PLATFORM=offscreen VANTU_UNPRIVILEGED_PASS=1 \
        ASAN_OPTIONS="$ASAN_OPTIONS" UBSAN_OPTIONS="$UBSAN_OPTIONS" \
        ctest --output-on-failure --no-tests=error -j "$test_jobs" \
        -E '^(tst_soak|tst_window_noports)$') ||
        status=$?
    local log=$scratch/ctest/Testing/Temporary/LastTest.log
    # A case that skips for any reason is listed; one that skips for root's sake fails the pass.
    local skipped
    skipped=$(grep -E '^SKIP   : ' "$log" | sed 's/^SKIP   : /   skipped: /' || true)
    if [ -n "$skipped" ]; then
        echo "$skipped"
    fi
    if grep -qiE '^SKIP   : .*root' "$log"; then
        echo "test.sh: the unprivileged pass skipped a case meant for it" >&2
        status=1
    fi
    rm -rf "$scratch"
    scratch=
    [ "$status" -eq 0 ] || exit "$status"
    step_done
}

build
package_log=$(mktemp)
# A process group of its own (setsid), so that a failing step ends the package's build too.
setsid nice -n 19 "$root/scripts/package.sh" >"$package_log" 2>&1 &
package_pid=$!
run_tests
run_unprivileged

step windows "the Windows programs built with MinGW-w64, packaged, and checked under Wine"
"$root/scripts/check-windows.sh"
step_done

# Each fuzz target for a bounded time; a crash or sanitizer report fails the run.
step fuzz "build with clang, then each of 3 targets for ${fuzz_seconds} s from the committed corpus"
VANTU_FUZZ_BUILD_ONLY=1 "$root/fuzz/run.sh"
"$root/fuzz/run.sh" "$fuzz_seconds"
step_done

step "package" "check the Debian packages, install them, start them, remove them; the README's install commands"
if ! wait "$package_pid"; then
    package_pid=
    cat "$package_log" >&2
    echo "test.sh: the package did not build" >&2
    exit 1
fi
package_pid=
rm -f "$package_log"
"$root/scripts/check-package.sh"
"$root/scripts/check-install.sh"
step_done

echo "== all configurations passed in $(($(date +%s) - started)) s"
