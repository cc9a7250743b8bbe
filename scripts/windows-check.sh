#!/usr/bin/env bash
# The Windows compile check. Compiles every C++ source that ships on Windows (the window and every
# program the Windows build installs, with the project libraries they link) with Debian's
# MinGW-w64 cross compiler against the Linux Qt's headers, syntax only, warnings as errors; and
# compiles the Windows resource script with windres. It catches code that builds on Linux only:
# a POSIX header or call outside #ifdef Q_OS_UNIX, a Linux type where Windows has another (a
# serial port's handle is a HANDLE there, not an int), a Windows branch nobody has compiled.
#
#   scripts/windows-check.sh [--print]
#
# Nothing is hand-listed: the project is configured as a Windows build with the cross compiler
# (CMake only, nothing is built) in build-windows-check/ at the top of the tree
# (VANTU_WINDOWS_CHECK_DIR moves it), and the sources are read from that configuration's
# targets through CMake's file API: every installed target and the libraries it links. So new
# files and new programs are checked without editing this script. Each folder below that exists
# must contribute sources, else the check fails: a folder that drops out of the Windows build is
# an error, not a silent pass.
#
# What it cannot check: linking (there is no Qt for Windows here, so an undefined or missing
# Windows symbol goes unseen), and the Windows Qt's own configuration: the Linux Qt's qconfig.h
# and feature headers stand in for the Windows ones, so code under a QT_CONFIG() feature that
# differs between the two is compiled as Linux has it. Generated code (moc, rcc) is not compiled.
# Warnings count as errors, as in the Linux build; the Qt headers are system headers here as there,
# so their own warnings under MinGW are not reported. A source is checked again only when it, a
# header it includes or its command changed (about a second when nothing did). Exits non-zero on
# any error or warning. --print prints each source's check command, shell-quoted, instead.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dir=${VANTU_WINDOWS_CHECK_DIR:-$root/build-windows-check}
jobs=$(nproc)
print_only=no
case "${1:-}" in
--print) print_only=yes ;;
"") ;;
*)
    echo "usage: scripts/windows-check.sh [--print]" >&2
    exit 2
    ;;
esac
started=$(date +%s%N)

# Folders whose sources ship on Windows; each one present in the tree must have sources checked.
expected_folders=(protocol serial dialog app session flash station)

cxx=x86_64-w64-mingw32-g++-posix
windres=x86_64-w64-mingw32-windres
# -Wno-attributes: the Linux Qt's headers declare no dllimport, which MinGW would otherwise warn
# about on every exported class. UNICODE and _UNICODE are what a Windows Qt defines for its users.
cxx_flags=(-std=c++17 -fsyntax-only -pipe -Wall -Wextra -Werror -Wno-attributes
    -DUNICODE -D_UNICODE)
windres_flags=(-DUNICODE -D_UNICODE -O coff)

"$root/scripts/deps.sh" g++-mingw-w64-x86-64-posix jq

fail() {
    echo "windows-check.sh: $*" >&2
    exit 1
}

# The project as a Windows build: the cross compiler, the Linux Qt's CMake packages, and
# scripts/windows-check.cmake, which lets CMake accept the Linux Qt's libraries for a Windows
# target. The file API query asks CMake to write the targets out.
qt_cmake_dir=$(dirname "$(dpkg -L qt6-base-dev | grep -m1 '/cmake/Qt6/Qt6Config\.cmake$')")
mkdir -p "$dir/.cmake/api/v1/query"
touch "$dir/.cmake/api/v1/query/codemodel-v2"
if ! cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_RC_COMPILER="$windres" -DQt6_DIR="$qt_cmake_dir" \
    -DCMAKE_PROJECT_INCLUDE="$root/scripts/windows-check.cmake" >"$dir/configure.log" 2>&1; then
    cat "$dir/configure.log" >&2
    fail "CMake could not configure the project as a Windows build (log above)"
fi

reply=$dir/.cmake/api/v1/reply
index=$(find "$reply" -name 'index-*.json' | sort | tail -n 1)
[ -n "$index" ] || fail "CMake wrote no file API reply in $reply"
codemodel=$reply/$(jq -r '.reply["codemodel-v2"].jsonFile' "$index")
targets=()
while IFS= read -r file; do
    targets+=("$reply/$file")
done < <(jq -r '.configurations[0].targets[].jsonFile' "$codemodel")

# One JSON object per source of the installed targets and the libraries they link,
# transitively: the target, the source, the file the check leaves when it passes, and the command
# that checks it. Include folders: the project's own and the Qt folders (found next to QtCore's);
# the Linux mkspecs and /usr/include, which the Linux Qt's CMake packages bring along, would pull
# Linux headers into a Windows compile.
to_json() { printf '%s\n' "$@" | jq -R . | jq -s -c .; }
# shellcheck disable=SC2016 # jq's variables, not the shell's
checks=$(jq -c -n --arg root "$root" --arg dir "$dir" \
    --argjson cxx "$(to_json "$cxx" "${cxx_flags[@]}")" \
    --argjson windres "$(to_json "$windres" "${windres_flags[@]}")" '
    [inputs] as $targets
    | ($targets | map({key: .id, value: .}) | from_entries) as $byId
    | def libraries: [.dependencies[]?.id | $byId[.] | select(.type | test("LIBRARY$"))];
      def closure: . as $set
        | ($set + ($set | map(libraries) | add // []) | unique_by(.id)) as $grown
        | if ($grown | length) == ($set | length) then $set else ($grown | closure) end;
    ($targets | map(select(.install))) | closure | sort_by(.name)[]
    | . as $target
    | .sources[]
    | select(.compileGroupIndex != null and (.isGenerated | not))
    | $target.compileGroups[.compileGroupIndex] as $group
    | (if (.path | startswith("/")) then .path else "\($root)/\(.path)" end) as $path
    | "\($dir)/checked/\($target.name)/\($path | ltrimstr($root + "/"))" as $stamp
    | ($group.includes // []) as $all
    | ([$all[].path | select(endswith("/QtCore"))] | first // "" | sub("/QtCore$"; "")) as $qt
    | [$all[]
        | select(((.path | startswith($root + "/")) and (.path | startswith($dir + "/") | not))
            or ($qt != "" and (.path == $qt or (.path | test("^\($qt)/Qt[A-Za-z]+$")))))
        | if $group.language == "CXX" and .isSystem then "-isystem", .path else "-I" + .path end
      ] as $includes
    | [$group.defines[]?.define | "-D" + .] as $defines
    | {target: $target.name, source: ($path | ltrimstr($root + "/")), path: $path, stamp: $stamp,
       rule: "check_\($group.language | ascii_downcase)",
       command: (
        if $group.language == "CXX" then
            $cxx + $defines + $includes + ["-MMD", "-MF", "\($stamp).d", "-MT", $stamp, $path]
        elif $group.language == "RC" then
            $windres + $defines + $includes + [$path, "\($stamp).res"]
        else
            error("\($path) (\($target.name)): no check for \($group.language) sources")
        end)}
    ' "${targets[@]}")
[ -n "$checks" ] || fail "no installed target has sources in the Windows configuration"

sources=$(jq -r .source <<<"$checks")
for folder in "${expected_folders[@]}"; do
    [ -d "$root/$folder" ] || continue
    grep -q "^$folder/" <<<"$sources" ||
        fail "no source of $folder/ is in the Windows build's installed targets or their libraries"
done

if [ "$print_only" = yes ]; then
    jq -r '.command | @sh' <<<"$checks"
    exit 0
fi

# A Ninja file of the checks (in a folder of its own: CMake's Ninja files next door would tidy
# away the record of the checks), so that a source is checked again only when it, a header it
# includes (the compiler's dependency list) or its command changed, and every source is checked
# even after a failure (-k 0).
mkdir -p "$dir/checked"
# shellcheck disable=SC2016 # jq's variables, not the shell's
jq -r -n '
    def path_escape: gsub("\\$"; "$$") | gsub(" "; "$ ") | gsub(":"; "$:");
    "# Written by scripts/windows-check.sh.",
    "rule check_cxx",
    "  command = $check && touch \"$out\"",
    "  description = $description",
    "  depfile = $out.d",
    "  deps = gcc",
    "rule check_rc",
    "  command = $check && touch \"$out\"",
    "  description = $description",
    "",
    (inputs
        | "build \(.stamp | path_escape): \(.rule) \(.path | path_escape)",
          "  check = \(.command | @sh | gsub("\\$"; "$$"))",
          "  description = \(.target): \(.source)")
    ' <<<"$checks" >"$dir/checked/build.ninja"

echo "windows-check: $(wc -l <<<"$checks") sources of $(jq -r .target <<<"$checks" | sort -u |
    paste -sd' ' | sed 's/ /, /g') (checked again where they changed)"
status=0
ninja -C "$dir/checked" -k 0 -j "$jobs" || status=$?

elapsed_ms=$((($(date +%s%N) - started) / 1000000))
elapsed="$((elapsed_ms / 1000)).$((elapsed_ms % 1000 / 100)) s"
[ "$status" -eq 0 ] || fail "a Windows compile failed (above), after $elapsed"
echo "windows-check: every source compiles for Windows, in $elapsed"
