#!/usr/bin/env bash
# The Windows build, for real, and its checks under Wine: the test command's windows step.
#
#   scripts/check-windows.sh
#
# 1. Qt for Windows from scripts/windows-qt.sh: the prebuilt archive VANTU_WINDOWS_QT_ARCHIVE
#    (by default ../shared/windows/qt-6.4.2-mingw.tar.xz beside the tree, where CI keeps it, when
#    it is there) or what an earlier run left in the cache. Where neither is, the step says so in
#    one line, with the command that makes that Qt, and ends with status 0: the rest of the test
#    command runs.
# 2. The tool cross-compiled for 64-bit Windows with MinGW-w64 in build-windows/ at the top of the
#    tree (VANTU_WINDOWS_BUILD_DIR moves it): packaging/windows/toolchain-mingw-w64.cmake,
#    Release, warnings as errors; vantuUpdate.exe, vantuflash.exe and vantustation.exe linked.
#    A folder of the tree whose sources ship (protocol serial dialog app session flash station)
#    that gives no source to an installed program or a library one links is an error: a folder
#    that dropped out of the Windows build fails here, not on a user's machine.
# 3. CTest in build-windows/ (packaging/windows/checks.cmake), VANTU_TEST_JOBS at a time
#    (default 2), on a virtual X display of its own: the ZIP and the installer made by CPack, the
#    programs run under Wine from the build folder and from the unpacked ZIP, the windows opened
#    and closed, the resources read, the installer installed, installed again with the PATH
#    option and uninstalled.
# It installs what it needs from Debian (scripts/deps.sh) and prints how long each part took.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dir=${VANTU_WINDOWS_BUILD_DIR:-$root/build-windows}
jobs=${VANTU_TEST_JOBS:-2}
shared_archive=$root/../shared/windows/qt-6.4.2-mingw.tar.xz
if [ -z "${VANTU_WINDOWS_QT_ARCHIVE:-}" ] && [ -f "$shared_archive" ]; then
    VANTU_WINDOWS_QT_ARCHIVE=$(cd "$(dirname "$shared_archive")" && pwd)/$(basename "$shared_archive")
fi
export VANTU_WINDOWS_QT_ARCHIVE

fail() {
    echo "check-windows.sh: $*" >&2
    exit 1
}
times=()
part_start=$SECONDS
part_done() {
    times+=("$1 $((SECONDS - part_start)) s")
    part_start=$SECONDS
}

scratch=$(mktemp -d)
xvfb_pid=
# No Wine program outlives the step, also when a check failed: each prefix's are waited for, and
# ended after a bound (scripts/wine-run.sh --wait).
wine_ended=no
end_wine_programs() {
    local prefix status=0
    wine_ended=yes
    for prefix in "$dir/wine" "$dir/wine-installer"; do
        [ ! -d "$prefix" ] || "$root/scripts/wine-run.sh" --prefix "$prefix" --wait || status=1
    done
    return "$status"
}
cleanup() {
    [ "$wine_ended" = yes ] || end_wine_programs || true
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
    rm -rf "$scratch"
}
trap cleanup EXIT

qt_status=0
qt=$("$root/scripts/windows-qt.sh" --no-build 2>"$scratch/qt.log") || qt_status=$?
if [ "$qt_status" -eq 3 ]; then
    echo "windows: skipped, no Qt for Windows here (no archive in VANTU_WINDOWS_QT_ARCHIVE or ../shared/windows/, none in the cache); make it with: scripts/windows-qt.sh (about 45 minutes)"
    exit 0
fi
if [ "$qt_status" -ne 0 ]; then
    cat "$scratch/qt.log" >&2
    fail "no Qt for Windows (scripts/windows-qt.sh, above)"
fi
part_done "Qt for Windows"

"$root/scripts/deps.sh" g++-mingw-w64-x86-64-posix qt6-base-dev-tools wine64 nsis jq xvfb xdotool

# The file API query makes CMake write out the targets and their sources for the folder check.
mkdir -p "$dir/.cmake/api/v1/query"
touch "$dir/.cmake/api/v1/query/codemodel-v2"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTU_WERROR=ON \
    -DCMAKE_TOOLCHAIN_FILE="$root/packaging/windows/toolchain-mingw-w64.cmake" \
    -DVANTU_WINDOWS_QT="$qt" >"$dir/configure.log" 2>&1 ||
    { cat "$dir/configure.log" >&2; fail "the Windows build did not configure (above)"; }
part_done configure
cmake --build "$dir"
part_done build

# Every folder that ships on Windows gives sources to an installed program or to a library that
# one links, directly or through another library.
reply=$dir/.cmake/api/v1/reply
index=$(find "$reply" -name 'index-*.json' | sort | tail -n 1)
[ -n "$index" ] || fail "CMake wrote no file API reply in $reply"
codemodel=$reply/$(jq -r '.reply["codemodel-v2"].jsonFile' "$index")
targets=()
while IFS= read -r file; do
    targets+=("$reply/$file")
done < <(jq -r '.configurations[0].targets[].jsonFile' "$codemodel")
# shellcheck disable=SC2016 # jq's variables, not the shell's
sources=$(jq -r -n --arg root "$root/" '
    [inputs] as $targets
    | ($targets | map({key: .id, value: .}) | from_entries) as $byId
    | def closure: . as $set
        | ($set + ($set | map([.dependencies[]?.id | $byId[.] | select(.type | test("LIBRARY$"))])
            | add // []) | unique_by(.id)) as $grown
        | if ($grown | length) == ($set | length) then $set else ($grown | closure) end;
    $targets | map(select(.install)) | closure | .[].sources[]
    | select(.isGenerated | not) | .path | ltrimstr($root)' "${targets[@]}")
for folder in protocol serial dialog app session flash station; do
    [ -d "$root/$folder" ] || continue
    grep -q "^$folder/" <<<"$sources" ||
        fail "no source of $folder/ is in the Windows build's installed programs or their libraries"
done
part_done "folder check"

# One X display for every program the checks start: Wine's desktop keeps the display of the
# first program of a prefix (packaging/windows/check-window.sh).
mkfifo "$scratch/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$scratch/display" 2>"$scratch/xvfb.log" &
xvfb_pid=$!
read -r display <"$scratch/display" || fail "Xvfb did not start: $(cat "$scratch/xvfb.log")"
status=0
(cd "$dir" && DISPLAY=:$display ctest --output-on-failure --no-tests=error -j "$jobs") || status=$?
part_done "checks under Wine"

# The programs of the unpacked ZIP against devices on pseudo-terminals that COM ports of the
# prefix lead to (tests/tst_wine.cpp), from the Linux build of the tree.
if [ "$status" -eq 0 ]; then
    linux_build=${VANTU_BUILD_DIR:-$root/build}
    [ -f "$linux_build/CMakeCache.txt" ] ||
        fail "no Linux build in $linux_build to run tst_wine from (scripts/test.sh makes one)"
    cmake --build "$linux_build" --target tst_wine
    zip_tree=$(find "$dir/check/zip" -mindepth 1 -maxdepth 1 -type d | head -n 1)
    [ -x "$zip_tree/vantuflash.exe" ] || fail "no unpacked ZIP in $dir/check/zip"
    DISPLAY=:$display VANTU_WINDOWS_PROGRAMS=$zip_tree VANTU_WINDOWS_SUITES=$dir \
        VANTU_WINE_PREFIX=$dir/wine QT_QPA_PLATFORM=offscreen "$linux_build/tests/tst_wine" ||
        status=$?
    part_done "COM ports under Wine"
fi
end_wine_programs || status=$?
[ "$status" -eq 0 ] || fail "a check of the Windows build failed (above)"

echo "windows: $(printf '%s, ' "${times[@]}" | sed 's/, $//')"
