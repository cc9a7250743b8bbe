#!/usr/bin/env bash
# Builds the Debian package (scripts/package.sh) and checks it as a user gets
# it: it carries every program the build has (the tool, the simulated device
# devicesim, the console program vantuflash) with a manual page each that
# renders without a warning, the menu entry and the AppStream metadata
# validate, lintian finds no errors and no warnings, the versions agree; once
# installed with apt-get the tool starts from /usr/bin on a virtual X display,
# shows its window "vantuUpdate" without a word on standard error, and ends on
# Escape; the console programs answer --help (and vantuflash --list); and the
# installed vantuflash updates the installed devicesim on a pseudo-terminal
# with an image the device then reports byte for byte: the dry run a user can
# do after installing. The package is removed again at the end, also when a
# check fails (and also if it was installed before).
#
#   scripts/check-package.sh
#
# Needs root or sudo, for apt-get. Exits non-zero when a check fails.
# scripts/test.sh runs it last; its steps print as "== package: ...".
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${VANTU_PACKAGE_BUILD_DIR:-$root/build-package}
started=$SECONDS

as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    else
        sudo "$@"
    fi
}
apt_get() {
    # Wait for another apt-get or dpkg rather than fail on its lock.
    as_root env DEBIAN_FRONTEND=noninteractive \
        apt-get -y -q -o DPkg::Lock::Timeout=300 "$@"
}
fail() {
    echo "check-package.sh: $*" >&2
    exit 1
}

echo "== package: build"
"$root/scripts/deps.sh" desktop-file-utils appstream lintian xdotool file man-db
deb=$("$root/scripts/package.sh")
name=$(dpkg-deb -f "$deb" Package)
version=$(dpkg-deb -f "$deb" Version)
echo "$deb"
echo "  size $(stat -c %s "$deb") bytes, installed $(dpkg-deb -f "$deb" Installed-Size) KiB"
echo "  Depends: $(dpkg-deb -f "$deb" Depends)"
echo "  Suggests: $(dpkg-deb -f "$deb" Suggests)"

work=$(mktemp -d)
installed=
sim_pid=
cleanup() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    if [ -n "$installed" ]; then
        echo "== package: removing $name"
        apt_get purge "$name" >/dev/null || echo "check-package.sh: could not remove $name" >&2
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
# apt-get reads local packages as its unprivileged _apt user.
chmod 755 "$work"
cp "$deb" "$work/"
deb=$work/$(basename "$deb")

# The files as they are in the package.
tree=$work/tree
dpkg-deb -x "$deb" "$tree"
desktop=$(find "$tree/usr/share/applications" -name '*.desktop')
metainfo=$(find "$tree/usr/share/metainfo" -name '*.metainfo.xml')

# Every program the build has must be in the package, with its manual page: the
# list comes from the build (packaging/linux/CMakeLists.txt), not from here.
echo "== package: programs and manual pages"
mapfile -t programs <"$build_dir/packaged-programs.txt"
[ "${programs[0]:-}" = vantuUpdate ] || fail "$build_dir/packaged-programs.txt does not list vantuUpdate first"
for program in vantuflash devicesim; do
    grep -qxF "$program" "$build_dir/packaged-programs.txt" ||
        fail "$build_dir/packaged-programs.txt does not list $program"
done
for program in "${programs[@]}"; do
    [ -x "$tree/usr/bin/$program" ] ||
        fail "the build has $program, but the package has no /usr/bin/$program"
    page=$tree/usr/share/man/man1/$program.1.gz
    [ -f "$page" ] || fail "the package has no manual page for $program (${page#"$tree"})"
    # As lintian reads them: any warning of man or groff fails.
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "the manual page of $program does not render cleanly: $warnings"
    echo "/usr/bin/$program, ${page#"$tree"}"
done

echo "== package: desktop-file-validate ${desktop#"$tree"}"
desktop-file-validate "$desktop"
echo "ok"

# validate-tree also checks that the metainfo's launchable .desktop file is there.
echo "== package: appstreamcli validate-tree --no-net"
appstreamcli validate-tree --no-net "$tree"

echo "== package: icons"
icon=$(sed -n 's/^Icon=//p' "$desktop")
for size in 16 24 32 48 64 96 128; do
    png=$tree/usr/share/icons/hicolor/${size}x${size}/apps/$icon.png
    [ -f "$png" ] || fail "no ${size}x${size} icon $icon.png"
    file -b "$png" | grep -q "PNG image data, $size x $size," ||
        fail "${png#"$tree"} is not a $size x $size PNG: $(file -b "$png")"
done
echo "$icon: 16 to 128 px"

echo "== package: versions"
metainfo_version=$(sed -n 's/.*<release version="\([^"]*\)".*/\1/p' "$metainfo" | head -n 1)
changelog_version=$(zcat "$tree/usr/share/doc/$name/changelog.gz" | sed -n '1s/^[^ ]* (\([^)]*\)).*/\1/p')
[ "$metainfo_version" = "$version" ] ||
    fail "the metainfo's latest release is $metainfo_version, the package is $version"
[ "$changelog_version" = "$version" ] ||
    fail "the changelog's latest entry is $changelog_version, the package is $version"
echo "package, metainfo and changelog: $version"

# Lintian warns when run as root; any user who can read the package will do.
echo "== package: lintian"
lintian_as=()
if [ "$(id -u)" -eq 0 ]; then
    lintian_as=(runuser -u nobody --)
fi
"${lintian_as[@]}" lintian --fail-on error,warning --display-info "$deb"
echo "no errors, no warnings"

echo "== package: apt-get install $(basename "$deb")"
# Without recommended packages of the dependencies: what Depends names must
# be enough to run.
installed=yes
apt_get install --no-install-recommends "$deb" >/dev/null
for program in "${programs[@]}"; do
    [ "$(command -v "$program")" = "/usr/bin/$program" ] ||
        fail "$program is not on the PATH as /usr/bin/$program"
    [ "$(man -w "$program")" = "/usr/share/man/man1/$program.1.gz" ] ||
        fail "man -w $program does not find /usr/share/man/man1/$program.1.gz"
done
echo "installed $name $(dpkg-query -W -f='${Version}' "$name"): ${programs[*]}"

# The installed tool on a virtual X display, through the xcb platform plugin
# the package depends on. xdotool looks for a viewable window with the exact
# title; Escape then ends the dialog as a user would. Every wait is bounded.
echo "== package: smoke run: /usr/bin/vantuUpdate on a virtual X display"
XDG_RUNTIME_DIR=$work/runtime
mkdir -m 700 "$XDG_RUNTIME_DIR"
export XDG_RUNTIME_DIR
log=$work/smoke.log
status=0
timeout 60 xvfb-run -a -s "-screen 0 800x600x24" bash -c '
    log=$0
    /usr/bin/vantuUpdate 2>"$log" &
    pid=$!
    window=$(timeout 20 xdotool search --sync --onlyvisible --name "^vantuUpdate\$" | head -n 1)
    if [ -z "$window" ]; then
        echo "no window titled vantuUpdate within 20 s" >&2
        kill "$pid"
        exit 1
    fi
    echo "window $window: $(xdotool getwindowname "$window")"
    xdotool windowfocus --sync "$window" key Escape
    for _ in $(seq 100); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
        echo "the tool did not end within 10 s of Escape" >&2
        kill "$pid"
        exit 1
    fi
    wait "$pid"' "$log" || status=$?
if [ -s "$log" ]; then
    echo "the tool wrote to standard error:" >&2
    cat "$log" >&2
    status=1
fi
[ "$status" -eq 0 ] || fail "smoke run failed (status $status)"
echo "the window showed and the tool ended with status 0"

# The console programs, without a display: each call bounded, exit status 0 and
# nothing on standard error. Run in a command substitution, a failure ends the
# script through set -e after fail has said why.
run_console() {
    local out=$work/console.out err=$work/console.err status=0
    env -u DISPLAY -u WAYLAND_DISPLAY timeout 30 "$@" >"$out" 2>"$err" || status=$?
    [ "$status" -eq 0 ] || fail "$* ended with status $status: $(cat "$err")"
    [ ! -s "$err" ] || fail "$* wrote to standard error: $(cat "$err")"
    cat "$out"
}
echo "== package: devicesim --help"
help=$(run_console /usr/bin/devicesim --help)
grep -q 'pseudo-terminal' <<<"$help" || fail "devicesim --help does not explain its pseudo-terminal"
echo "ok"
echo "== package: vantuflash --help"
help=$(run_console /usr/bin/vantuflash --help)
if ! grep -qi 'exit' <<<"$help" || ! grep -q '130' <<<"$help"; then
    fail "vantuflash --help does not list the exit codes"
fi
echo "ok"
echo "== package: vantuflash --list"
run_console /usr/bin/vantuflash --list
echo "ok"

# The dry run: the installed device on a pseudo-terminal, updated by the
# installed console program. The image's length is no multiple of 4, so the
# last piece is padded, and its last byte is not zero, so that the device's
# unpadded copy is the image itself.
echo "== package: dry run: /usr/bin/vantuflash updates /usr/bin/devicesim"
image=$work/dry-run.vuf
head -c 10002 /dev/urandom >"$image"
printf '\x5a' >>"$image"
sim_out=$work/devicesim.out
/usr/bin/devicesim --exit-after-update </dev/null >"$sim_out" 2>"$work/devicesim.err" &
sim_pid=$!
port=
for _ in $(seq 100); do
    port=$(sed -n 's/^port: //p' "$sim_out")
    [ -z "$port" ] || break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
done
[ -n "$port" ] || fail "devicesim announced no port within 10 s: $(cat "$work/devicesim.err")"
status=0
env -u DISPLAY -u WAYLAND_DISPLAY timeout 60 /usr/bin/vantuflash -p "$port" "$image" || status=$?
[ "$status" -eq 0 ] || fail "vantuflash -p $port ended with status $status"
for _ in $(seq 100); do
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$sim_pid" 2>/dev/null && fail "devicesim did not end within 10 s of the update"
wait "$sim_pid" || fail "devicesim ended with status $?: $(cat "$work/devicesim.err")"
sim_pid=
# What the device received, with the zeros of the last piece and without.
padded=$work/dry-run.padded
cp "$image" "$padded"
truncate --size=%4 "$padded"
for kind in image unpadded; do
    file=$image
    [ "$kind" = unpadded ] || file=$padded
    expected="$kind: $(stat -c %s "$file") bytes sha256 $(sha256sum <"$file" | cut -d' ' -f1)"
    received=$(grep "^$kind: " "$sim_out" || true)
    [ "$received" = "$expected" ] ||
        fail "the device received another image: \"$received\", expected \"$expected\""
    echo "devicesim on $port: $received"
done

echo "== package: apt-get purge $name"
apt_get purge "$name" >/dev/null
installed=
for program in "${programs[@]}"; do
    [ ! -e "/usr/bin/$program" ] || fail "/usr/bin/$program is still there after removal"
done
echo "removed"

echo "check-package.sh: all checks passed in $((SECONDS - started)) s"
