#!/usr/bin/env bash
# Makes Qt 6.4.2 for 64-bit Windows (MinGW-w64, shared libraries, Release) for the tool's Windows
# build, and prints its prefix: the folder with bin/, lib/cmake/ and plugins/ that
# packaging/windows/toolchain-mingw-w64.cmake takes as VANTU_WINDOWS_QT.
#
#   scripts/windows-qt.sh [--no-build]
#
# The Qt is kept in a cache folder outside the tree (VANTU_WINDOWS_QT_CACHE, by default
# ${XDG_CACHE_HOME:-~/.cache}/vantu) and reused from there; nothing is made twice. It comes
# - from a prebuilt archive when VANTU_WINDOWS_QT_ARCHIVE names one (qt-6.4.2-mingw.tar.xz, which
#   unpacks to qt6-mingw/): the archive's SHA-256 is checked against packaging/windows/SHA256SUMS
#   before anything is unpacked;
# - else from the cache, when an earlier run left a Qt there;
# - else from sources, about 45 minutes on 2 cores, at the lowest priority: qtbase from Debian's
#   qt6-base source package (apt-get source, through a deb-src entry for the archive and suites
#   this machine's apt uses, in a private apt state: the system's apt configuration is not
#   touched) and Qt Serial Port 6.4.2 from its source archive (VANTU_QTSERIALPORT_SOURCE, by default
#   ../shared/windows/qtserialport-everywhere-src-6.4.2.tar.xz beside the tree), checked against
#   its SHA-256. Core, Gui, Widgets, Network, Test and SerialPort; the windows, offscreen and
#   minimal platform plugins, the Windows Vista style and the image format plugins. Tablets are
#   left out (Debian's source lacks their header).
# With --no-build it never builds: when neither an archive nor the cache has a Qt it says so on
# standard error and exits with status 3.
#
# Progress goes to standard error, the prefix alone to standard output.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
qt_version=6.4.2
cache=${VANTU_WINDOWS_QT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vantu}
archive=${VANTU_WINDOWS_QT_ARCHIVE:-}
serialport_source=${VANTU_QTSERIALPORT_SOURCE:-$root/../shared/windows/qtserialport-everywhere-src-$qt_version.tar.xz}
sums=$root/packaging/windows/SHA256SUMS
toolchain=$root/packaging/windows/toolchain-mingw-w64.cmake
build=yes
case "${1:-}" in
--no-build) build=no ;;
"") ;;
*)
    echo "usage: scripts/windows-qt.sh [--no-build]" >&2
    exit 2
    ;;
esac

say() { echo "windows-qt.sh: $*" >&2; }
fail() {
    say "$*"
    exit 1
}
# The SHA-256 that packaging/windows/SHA256SUMS expects of the file named $1.
expected_sum() {
    awk -v name="$1" '$2 == name { print $1 }' "$sums"
}
# Fails unless file $1 has the SHA-256 listed for the name $2.
check_sum() {
    local want got
    want=$(expected_sum "$2")
    [ -n "$want" ] || fail "no SHA-256 for $2 in $sums"
    got=$(sha256sum "$1" | cut -d' ' -f1)
    [ "$got" = "$want" ] || fail "$1 has SHA-256 $got, not $want ($2 in $sums)"
}

# A cache entry is a folder with qt6-mingw/ in it and a file `complete`, written last: a run that
# was stopped half way leaves no entry that counts. Archives get an entry per SHA-256 (so a new
# archive never mixes with an old one), the build from sources one of its own.
archive_name=qt-$qt_version-mingw.tar.xz
archive_entry=$cache/qt-$qt_version-mingw-$(expected_sum "$archive_name" | cut -c1-16)
source_entry=$cache/qt-$qt_version-mingw-source

found() {
    echo "$1/qt6-mingw"
    exit 0
}

if [ -n "$archive" ]; then
    [ -f "$archive" ] || fail "VANTU_WINDOWS_QT_ARCHIVE names $archive, which is not there"
    [ -f "$archive_entry/complete" ] && found "$archive_entry"
    "$root/scripts/deps.sh" xz-utils >&2
    check_sum "$archive" "$archive_name"
    say "unpacking $archive into $archive_entry"
    rm -rf "$archive_entry"
    mkdir -p "$archive_entry"
    tar -xJf "$archive" -C "$archive_entry"
    [ -f "$archive_entry/qt6-mingw/lib/cmake/Qt6/Qt6Config.cmake" ] ||
        fail "$archive holds no qt6-mingw/lib/cmake/Qt6/Qt6Config.cmake"
    touch "$archive_entry/complete"
    found "$archive_entry"
fi

[ -f "$source_entry/complete" ] && found "$source_entry"
[ -f "$archive_entry/complete" ] && found "$archive_entry"

if [ "$build" = no ]; then
    say "no Qt for Windows in $cache and no archive (VANTU_WINDOWS_QT_ARCHIVE)"
    exit 3
fi

# From sources.
"$root/scripts/deps.sh" g++-mingw-w64-x86-64-posix qt6-base-dev-tools xz-utils >&2
[ -f "$serialport_source" ] ||
    fail "no Qt Serial Port source at $serialport_source; get qtserialport-everywhere-src-$qt_version.tar.xz from https://download.qt.io/archive/qt/6.4/$qt_version/submodules/ and name it in VANTU_QTSERIALPORT_SOURCE"
check_sum "$serialport_source" "qtserialport-everywhere-src-$qt_version.tar.xz"

work=$source_entry.work
prefix=$source_entry/qt6-mingw
started=$SECONDS
rm -rf "$source_entry"
mkdir -p "$work" "$source_entry"
# The build runs at the lowest priority: 45 minutes of both cores, on a machine people use.
niced() { nice -n 19 "$@"; }

# qtbase: Debian's source package, through a private apt state whose only sources are deb-src
# twins of the system's deb entries (one-line .list files and deb822 .sources files).
apt_dir=$work/apt
mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$list" ] || continue
    sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$list"
done >"$apt_dir/sources.list"
for sources in /etc/apt/sources.list.d/*.sources; do
    [ -f "$sources" ] || continue
    # Each stanza of type deb gets the type deb-src; the others are dropped.
    awk 'BEGIN { RS = ""; FS = "\n" }
        {
            keep = 0; out = ""
            for (i = 1; i <= NF; i++) {
                line = $i
                if (line ~ /^Types:/) {
                    n = split(substr(line, 7), types, /[ \t]+/)
                    for (j = 1; j <= n; j++) if (types[j] == "deb") keep = 1
                    line = "Types: deb-src"
                }
                out = out line "\n"
            }
            if (keep) printf "%s\n", out
        }' \
        "$sources" >"$apt_dir/sources.list.d/$(basename "$sources")"
done
# apt downloads as the user _apt where it can: let it into the folder.
chmod 755 "$work" "$apt_dir"
apt_private=(-o Dir::Etc::SourceList="$apt_dir/sources.list"
    -o Dir::Etc::SourceParts="$apt_dir/sources.list.d"
    -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache")
say "downloading Debian's qt6-base source package"
apt-get -q "${apt_private[@]}" update >&2
(cd "$work" && apt-get -q "${apt_private[@]}" source --download-only qt6-base >&2)
orig=$(find "$work" -maxdepth 1 -name "qt6-base_$qt_version*.orig.tar.xz" | head -n 1)
[ -n "$orig" ] || fail "apt-get source qt6-base gave no qt6-base_$qt_version*.orig.tar.xz (another Qt version?)"
mkdir -p "$work/qtbase"
tar -xJf "$orig" -C "$work/qtbase" --strip-components=1

say "building qtbase, about 45 minutes on 2 cores (progress in $work/qtbase-build.log)"
niced cmake -S "$work/qtbase" -B "$work/qtbase-build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release \
    -DQT_QMAKE_TARGET_MKSPEC=win32-g++ \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DBUILD_SHARED_LIBS=ON \
    -DFEATURE_sql=OFF -DFEATURE_opengl=OFF -DFEATURE_dbus=OFF -DFEATURE_printsupport=OFF \
    -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_vulkan=OFF \
    -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_png=OFF \
    -DFEATURE_system_jpeg=OFF -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_freetype=OFF \
    -DFEATURE_system_doubleconversion=OFF -DFEATURE_openssl=OFF -DFEATURE_schannel=ON \
    -DFEATURE_zstd=OFF -DFEATURE_icu=OFF -DINPUT_opengl=no -DFEATURE_tabletevent=OFF \
    >"$work/qtbase-configure.log" 2>&1 ||
    fail "qtbase did not configure; see $work/qtbase-configure.log"
niced cmake --build "$work/qtbase-build" >"$work/qtbase-build.log" 2>&1 ||
    fail "qtbase did not build; see $work/qtbase-build.log"
cmake --install "$work/qtbase-build" >/dev/null
say "qtbase built in $(((SECONDS - started) / 60)) min"

say "building Qt Serial Port"
mkdir -p "$work/qtserialport"
tar -xJf "$serialport_source" -C "$work/qtserialport" --strip-components=1
niced "$prefix/bin/qt-cmake" -S "$work/qtserialport" -B "$work/qtserialport-build" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release >"$work/qtserialport-configure.log" 2>&1 ||
    fail "Qt Serial Port did not configure; see $work/qtserialport-configure.log"
niced cmake --build "$work/qtserialport-build" >"$work/qtserialport-build.log" 2>&1 ||
    fail "Qt Serial Port did not build; see $work/qtserialport-build.log"
cmake --install "$work/qtserialport-build" >/dev/null

for needed in lib/cmake/Qt6SerialPort/Qt6SerialPortConfig.cmake plugins/platforms/qwindows.dll \
    plugins/styles/qwindowsvistastyle.dll bin/Qt6Widgets.dll bin/Qt6Test.dll; do
    [ -e "$prefix/$needed" ] || fail "the build installed no $needed"
done
touch "$source_entry/complete"
rm -rf "$work"
say "Qt $qt_version for Windows built from sources in $(((SECONDS - started) / 60)) min: $prefix"
found "$source_entry"
