#!/usr/bin/env bash
# Builds the Debian package (scripts/package.sh) and checks it as a user gets
# it: the menu entry and the AppStream metadata validate, lintian finds no
# errors, the versions agree, and once installed with apt-get the tool starts
# from /usr/bin on a virtual X display, shows its window "vantuUpdate" without
# a word on standard error, and ends on Escape. The package is removed again
# at the end, also when a check fails (and also if it was installed before).
#
#   scripts/check-package.sh
#
# Needs root or sudo, for apt-get. Exits non-zero when a check fails.
# scripts/test.sh runs it last; its steps print as "== package: ...".
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
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
"$root/scripts/deps.sh" desktop-file-utils appstream lintian xdotool file
deb=$("$root/scripts/package.sh")
name=$(dpkg-deb -f "$deb" Package)
version=$(dpkg-deb -f "$deb" Version)
echo "$deb"
echo "  size $(stat -c %s "$deb") bytes, installed $(dpkg-deb -f "$deb" Installed-Size) KiB"
echo "  Depends: $(dpkg-deb -f "$deb" Depends)"
echo "  Suggests: $(dpkg-deb -f "$deb" Suggests)"

work=$(mktemp -d)
installed=
cleanup() {
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
"${lintian_as[@]}" lintian --fail-on error --display-info "$deb"
echo "no errors"

echo "== package: apt-get install $(basename "$deb")"
# Without recommended packages of the dependencies: what Depends names must
# be enough to run.
installed=yes
apt_get install --no-install-recommends "$deb" >/dev/null
[ "$(command -v vantuUpdate)" = /usr/bin/vantuUpdate ] ||
    fail "vantuUpdate is not on the PATH as /usr/bin/vantuUpdate"
echo "installed $name $(dpkg-query -W -f='${Version}' "$name")"

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

echo "== package: apt-get purge $name"
apt_get purge "$name" >/dev/null
installed=
[ ! -e /usr/bin/vantuUpdate ] || fail "/usr/bin/vantuUpdate is still there after removal"
echo "removed"

echo "check-package.sh: all checks passed in $((SECONDS - started)) s"
