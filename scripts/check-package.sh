#!/usr/bin/env bash
# Builds the two Debian packages (scripts/package.sh) and checks them as a user
# gets them: the console package vantuflash (vantuflash, devicesim, the
# station's systemd unit and logrotate snippet) and the window's package
# vantuupdate. Together they carry every program the build has, each in its
# package with a manual page that renders without a warning; the console
# package depends on no Qt Gui, Qt Widgets or font; the menu entry and the
# AppStream metadata validate, lintian finds no errors and no warnings in
# either, the versions agree. The console package is installed alone first,
# as on a headless station: its programs link no Qt Gui or Widgets, answer
# --help (and vantuflash --list), the installed vantuflash updates the
# installed devicesim on a pseudo-terminal with an image the device then
# reports byte for byte (the dry run a user can do after installing),
# systemd-analyze verifies the unit with an instance and rates its hardening, logrotate
# rotates the records during a --repeat run without losing one
# (scripts/check-logrotate.sh), and rsyslog ships them to a receiver that is
# stopped and started again, each exactly once (scripts/check-shipping.sh).
# Then the window's package is installed: the tool and the station start from
# /usr/bin on a virtual X display, show their windows ("vantuUpdate", and a
# title that begins with "vantustation") without a word on standard error, and
# end on Escape and Ctrl+Q. The packages are removed again at the end, also
# when a check fails (and also if they were installed before).
#
#   scripts/check-package.sh
#
# Needs root or sudo, for apt-get. Exits non-zero when a check fails.
# scripts/test.sh runs it last; its steps print as "== package: ...".
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/processes.sh
. "$root/scripts/processes.sh"
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
# Purges those of the named packages that dpkg knows (apt-get fails on a name
# it has never seen).
purge_known() {
    local package known=()
    for package in "$@"; do
        if dpkg-query -W "$package" >/dev/null 2>&1; then
            known+=("$package")
        fi
    done
    [ "${#known[@]}" -eq 0 ] || apt_get purge "${known[@]}" >/dev/null
}

echo "== package: build"
"$root/scripts/deps.sh" desktop-file-utils appstream lintian xdotool file man-db systemd logrotate jq
mapfile -t debs < <("$root/scripts/package.sh")
[ "${#debs[@]}" -eq 2 ] || fail "scripts/package.sh made ${#debs[@]} packages, expected 2: ${debs[*]}"
flash_deb=
window_deb=
for deb in "${debs[@]}"; do
    case $(dpkg-deb -f "$deb" Package) in
    vantuflash) flash_deb=$deb ;;
    vantuupdate) window_deb=$deb ;;
    *) fail "unexpected package $(dpkg-deb -f "$deb" Package) ($deb)" ;;
    esac
    echo "$deb"
    echo "  size $(stat -c %s "$deb") bytes, installed $(dpkg-deb -f "$deb" Installed-Size) KiB"
    echo "  Depends: $(dpkg-deb -f "$deb" Depends)"
    echo "  Suggests: $(dpkg-deb -f "$deb" Suggests)"
done
[ -n "$flash_deb" ] && [ -n "$window_deb" ] || fail "expected the packages vantuflash and vantuupdate: ${debs[*]}"
flash_name=vantuflash
name=vantuupdate
version=$(dpkg-deb -f "$window_deb" Version)
[ "$(dpkg-deb -f "$flash_deb" Version)" = "$version" ] ||
    fail "vantuflash is version $(dpkg-deb -f "$flash_deb" Version), vantuupdate $version"

work=$(mktemp -d)
installed=
sim_pid=
cleanup() {
    if [ -n "$sim_pid" ]; then
        stop_group "$sim_pid" || true
    fi
    if [ -n "$installed" ]; then
        echo "== package: removing $name $flash_name"
        purge_known "$name" "$flash_name" ||
            echo "check-package.sh: could not remove $name $flash_name" >&2
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
# apt-get reads local packages as its unprivileged _apt user.
chmod 755 "$work"
cp "$flash_deb" "$window_deb" "$work/"
flash_deb=$work/$(basename "$flash_deb")
window_deb=$work/$(basename "$window_deb")

# The files as they are in each package: $work/tree-PACKAGE.
tree_of() { echo "$work/tree-$1"; }
dpkg-deb -x "$flash_deb" "$(tree_of "$flash_name")"
dpkg-deb -x "$window_deb" "$(tree_of "$name")"
tree=$(tree_of "$name")
# The tool's and the station's: a menu entry and metainfo each.
mapfile -t desktops < <(find "$tree/usr/share/applications" -name '*.desktop' | sort)
mapfile -t metainfos < <(find "$tree/usr/share/metainfo" -name '*.metainfo.xml' | sort)
[ "${#desktops[@]}" -eq 2 ] && [ "${#metainfos[@]}" -eq 2 ] ||
    fail "the package $name has ${#desktops[@]} menu entries and ${#metainfos[@]} metainfo files, expected 2 of each"

# Every program the build has must be in its package, and in that one only,
# with its manual page: the list ("program package" a line) comes from the
# build (packaging/linux/CMakeLists.txt), not from here.
echo "== package: programs and manual pages"
programs=()
declare -A package_of
while read -r program package; do
    programs+=("$program")
    package_of[$program]=$package
done <"$build_dir/packaged-programs.txt"
for expected in "vantuUpdate $name" "vantustation $name" "vantuflash $flash_name" "devicesim $flash_name"; do
    grep -qxF "$expected" "$build_dir/packaged-programs.txt" ||
        fail "$build_dir/packaged-programs.txt does not list \"$expected\""
done
for program in "${programs[@]}"; do
    package=${package_of[$program]}
    other=$name
    [ "$package" != "$name" ] || other=$flash_name
    ptree=$(tree_of "$package")
    [ -x "$ptree/usr/bin/$program" ] ||
        fail "the build has $program, but the package $package has no /usr/bin/$program"
    [ ! -e "$(tree_of "$other")/usr/bin/$program" ] || fail "$program is in the package $other too"
    page=$ptree/usr/share/man/man1/$program.1.gz
    [ -f "$page" ] || fail "the package $package has no manual page for $program (${page#"$ptree"})"
    [ ! -e "$(tree_of "$other")/usr/share/man/man1/$program.1.gz" ] ||
        fail "the manual page of $program is in the package $other too"
    # As lintian reads them: any warning of man or groff fails.
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "the manual page of $program does not render cleanly: $warnings"
    echo "$package: /usr/bin/$program, ${page#"$ptree"}"
done

# The console package is what a headless station installs: the station's
# files are in it, the window's are not, and nothing it depends on is Qt Gui,
# Qt Widgets or a font.
echo "== package: $flash_name for a headless station"
flash_tree=$(tree_of "$flash_name")
for file in /lib/systemd/system/vantuflash@.service /etc/logrotate.d/vantuflash \
    /usr/share/doc/$flash_name/station.conf.example /usr/share/doc/$flash_name/70-vantuupdate-serial.rules \
    /usr/share/doc/$flash_name/copyright /usr/share/doc/$flash_name/changelog.gz; do
    [ -f "$flash_tree$file" ] || fail "the package $flash_name has no $file"
done
for dir in usr/share/applications usr/share/icons usr/share/metainfo; do
    [ ! -e "$flash_tree/$dir" ] || fail "the package $flash_name has /$dir, which belongs to the window's package"
done
conffiles=$(dpkg-deb -I "$flash_deb" conffiles 2>/dev/null || true)
[ "$conffiles" = /etc/logrotate.d/vantuflash ] ||
    fail "the package $flash_name's conffiles are \"$conffiles\", expected /etc/logrotate.d/vantuflash"
flash_depends=$(dpkg-deb -f "$flash_deb" Depends)
if grep -qE '(^|, *)(libqt6gui6|libqt6widgets6|libqt6opengl6|libgl1|libx11-6|libxcb[^ ,]*|fonts-[^ ,]*)( |,|$)' <<<"$flash_depends"; then
    fail "the package $flash_name depends on a display library or a font: $flash_depends"
fi
grep -q 'libqt6serialport6' <<<"$flash_depends" || fail "the package $flash_name does not depend on Qt Serial Port: $flash_depends"
echo "Depends: $flash_depends"
echo "conffiles: $conffiles"

for desktop in "${desktops[@]}"; do
    echo "== package: desktop-file-validate ${desktop#"$tree"}"
    desktop-file-validate "$desktop"
    echo "ok"
done

# validate-tree also checks that the metainfo's launchable .desktop file is there.
echo "== package: appstreamcli validate-tree --no-net"
appstreamcli validate-tree --no-net "$tree"

echo "== package: icons"
for desktop in "${desktops[@]}"; do
    icon=$(sed -n 's/^Icon=//p' "$desktop")
    for size in 16 24 32 48 64 96 128; do
        png=$tree/usr/share/icons/hicolor/${size}x${size}/apps/$icon.png
        [ -f "$png" ] || fail "no ${size}x${size} icon $icon.png"
        file -b "$png" | grep -q "PNG image data, $size x $size," ||
            fail "${png#"$tree"} is not a $size x $size PNG: $(file -b "$png")"
    done
    echo "$icon: 16 to 128 px"
done

echo "== package: versions"
for metainfo in "${metainfos[@]}"; do
    metainfo_version=$(sed -n 's/.*<release version="\([^"]*\)".*/\1/p' "$metainfo" | head -n 1)
    [ "$metainfo_version" = "$version" ] ||
        fail "${metainfo#"$tree"}'s latest release is $metainfo_version, the package is $version"
done
for package in "$name" "$flash_name"; do
    changelog_version=$(zcat "$(tree_of "$package")/usr/share/doc/$package/changelog.gz" | sed -n '1s/^[^ ]* (\([^)]*\)).*/\1/p')
    [ "$changelog_version" = "$version" ] ||
        fail "the changelog of $package's latest entry is $changelog_version, the package is $version"
done
echo "packages, metainfo and changelogs: $version"

# Lintian warns when run as root; any user who can read the package will do.
echo "== package: lintian"
lintian_as=()
if [ "$(id -u)" -eq 0 ]; then
    lintian_as=(runuser -u nobody --)
fi
for deb in "$flash_deb" "$window_deb"; do
    "${lintian_as[@]}" lintian --fail-on error,warning --display-info "$deb"
    echo "$(basename "$deb"): no errors, no warnings"
done

# Installed programs of a package: on the PATH, with their manual page.
check_installed() {
    local package=$1 program list=()
    for program in "${programs[@]}"; do
        [ "${package_of[$program]}" = "$package" ] || continue
        [ "$(command -v "$program")" = "/usr/bin/$program" ] ||
            fail "$program is not on the PATH as /usr/bin/$program"
        [ "$(man -w "$program")" = "/usr/share/man/man1/$program.1.gz" ] ||
            fail "man -w $program does not find /usr/share/man/man1/$program.1.gz"
        list+=("$program")
    done
    echo "installed $package $(dpkg-query -W -f='${Version}' "$package"): ${list[*]}"
}

# The headless station: the console package alone (removed first, with the
# window's, if they were installed before).
echo "== package: apt-get install $(basename "$flash_deb") without $name"
installed=yes
purge_known "$name" "$flash_name"
# Without recommended packages of the dependencies: what Depends names must
# be enough to run.
apt_get install --no-install-recommends "$flash_deb" >/dev/null
[ "$(dpkg-query -W -f='${db:Status-Status}' "$name" 2>/dev/null || true)" != installed ] ||
    fail "$name was installed along with $flash_name"
check_installed "$flash_name"
for program in vantuflash devicesim; do
    linked=$(ldd "/usr/bin/$program" | grep -oE 'libQt6(Gui|Widgets|OpenGL|XcbQpa)[^ ]*' || true)
    [ -z "$linked" ] || fail "/usr/bin/$program links $linked"
done
echo "vantuflash and devicesim link no Qt Gui or Widgets"

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
start_in_group "$sim_out" "$work/devicesim.err" /usr/bin/devicesim --exit-after-update
sim_pid=$started_pid
port=$(wait_for_port "$sim_out" "$sim_pid") ||
    fail "devicesim announced no port: $(cat "$work/devicesim.err")"
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

# The installed unit, as an instance: systemd-analyze verify reads a template
# only through an instance name, so a copy named vantuflash@station1.service
# is verified (which also checks that ExecStart's program is there). It
# reports problems on standard error, some of them with status 0: any output
# at all fails the check.
echo "== package: systemd-analyze verify vantuflash@station1.service"
unit=/lib/systemd/system/vantuflash@.service
[ -f "$unit" ] || fail "$unit is not installed"
mkdir "$work/units"
cp "$unit" "$work/units/vantuflash@station1.service"
status=0
verify=$(systemd-analyze verify --man=no "$work/units/vantuflash@station1.service" 2>&1) || status=$?
[ "$status" -eq 0 ] && [ -z "$verify" ] ||
    fail "systemd-analyze verify vantuflash@station1.service (status $status): $verify"
echo "no errors, no warnings"

# The unit's hardening, as systemd rates it (0 is the least exposure, 10 the most; --threshold
# counts in tenths of that): the station needs no capability, no network and no device but
# serial ports.
echo "== package: systemd-analyze security vantuflash@station1.service"
status=0
security=$(systemd-analyze security --offline=yes --threshold=20 --no-pager \
    "$work/units/vantuflash@station1.service" 2>&1) || status=$?
grep 'Overall exposure level' <<<"$security" || true
[ "$status" -eq 0 ] || fail "the unit is exposed above 2.0: $(grep '✗' <<<"$security")"

# The records rotated by the installed logrotate snippet during a --repeat run.
echo "== package: logrotate during vantuflash --repeat"
"$root/scripts/check-logrotate.sh"

# The records shipped to a central rsyslog as the README's recipe does, across its restart.
echo "== package: records shipped with rsyslog over RELP"
"$root/scripts/check-shipping.sh"

# The window's package on top: the desktop machine.
echo "== package: apt-get install $(basename "$window_deb")"
apt_get install --no-install-recommends "$window_deb" >/dev/null
check_installed "$name"

# The installed window programs on a virtual X display, through the xcb platform plugin the
# package depends on. xdotool looks for a viewable window whose title begins as given; a key then
# ends the program as a user would (Escape ends the tool's dialog, Ctrl+Q the station, which asks
# nothing while no board is being updated). Every wait is bounded; the program must say nothing on
# standard error.
XDG_RUNTIME_DIR=$work/runtime
mkdir -m 700 "$XDG_RUNTIME_DIR"
export XDG_RUNTIME_DIR
smoke_run() {
    local program=$1 title=$2 key=$3 status=0 log=$work/smoke-$1.log
    echo "== package: smoke run: /usr/bin/$program on a virtual X display"
    timeout 60 xvfb-run -a -s "-screen 0 1366x768x24" bash -c '
        program=$0 title=$1 key=$2 log=$3
        "/usr/bin/$program" 2>"$log" &
        pid=$!
        window=$(timeout 20 xdotool search --sync --onlyvisible --name "$title" | head -n 1)
        if [ -z "$window" ]; then
            echo "no window titled $title within 20 s" >&2
            kill "$pid"
            exit 1
        fi
        echo "window $window: $(xdotool getwindowname "$window")"
        xdotool windowfocus --sync "$window" key "$key"
        for _ in $(seq 100); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        if kill -0 "$pid" 2>/dev/null; then
            echo "$program did not end within 10 s of $key" >&2
            kill "$pid"
            exit 1
        fi
        wait "$pid"' "$program" "$title" "$key" "$log" || status=$?
    if [ -s "$log" ]; then
        echo "$program wrote to standard error:" >&2
        cat "$log" >&2
        status=1
    fi
    [ "$status" -eq 0 ] || fail "smoke run of $program failed (status $status)"
    echo "the window showed and $program ended with status 0"
}
smoke_run vantuUpdate '^vantuUpdate$' Escape
smoke_run vantustation '^vantustation' ctrl+q

echo "== package: apt-get purge $name $flash_name"
apt_get purge "$name" "$flash_name" >/dev/null
installed=
for program in "${programs[@]}"; do
    [ ! -e "/usr/bin/$program" ] || fail "/usr/bin/$program is still there after removal"
done
for file in /lib/systemd/system/vantuflash@.service /etc/logrotate.d/vantuflash; do
    [ ! -e "$file" ] || fail "$file is still there after purging"
done
echo "removed"

echo "check-package.sh: all checks passed in $((SECONDS - started)) s"
