#!/usr/bin/env bash
# Runs the README's commands that install the tool without a package, as they are written there
# (the shell block after "Without a package" in the Installing section), with DESTDIR set to a
# scratch folder so that nothing lands on this machine, and checks what they put in place: every
# program of both packages with its manual page and desktop files, and with --component vantuflash
# the console package's files alone. The installed programs must start from there.
#
#   scripts/check-install.sh
#
# Run by scripts/test.sh after the package is built; exits non-zero when a line fails or a file
# is missing.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
fail() {
    echo "check-install.sh: $*" >&2
    exit 1
}

# The block: the first ```sh fence after the line that introduces it.
block=$(awk '/^Without a package, `cmake --install`/ { found = 1 }
    found && /^```sh$/ { inside = 1; next }
    inside && /^```$/ { exit }
    inside { print }' "$root/README.md")
[ -n "$block" ] || fail "README.md has no install block after \"Without a package\""
mapfile -t lines <<<"$block"
[ "${#lines[@]}" -eq 3 ] || fail "the README's install block has ${#lines[@]} lines, this check knows 3"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Each line as written, in the tree, with sudo standing for a root shell that keeps DESTDIR.
run_line() {
    local destdir=$1 line=$2
    echo "== install: $line (DESTDIR=$destdir)"
    (cd "$root" && DESTDIR=$destdir bash -c 'sudo() { if [ "$(id -u)" -eq 0 ]; then "$@"; else command sudo --preserve-env=DESTDIR "$@"; fi; }
        set -euo pipefail
        '"$line") || fail "\"$line\" failed"
}

run_line "$work/all" "${lines[0]}"
run_line "$work/all" "${lines[1]}"
run_line "$work/console" "${lines[2]}"

prefix=usr/local
for program in vantuUpdate vantustation vantuflash devicesim; do
    [ -x "$work/all/$prefix/bin/$program" ] || fail "$prefix/bin/$program was not installed"
    [ -f "$work/all/$prefix/share/man/man1/$program.1.gz" ] ||
        fail "the manual page of $program was not installed"
done
for file in share/applications/org.vantu.vantuUpdate.desktop \
    share/applications/org.vantu.vantustation.desktop \
    share/metainfo/org.vantu.vantuUpdate.metainfo.xml \
    share/icons/hicolor/48x48/apps/org.vantu.vantuUpdate.png; do
    [ -f "$work/all/$prefix/$file" ] || fail "$prefix/$file was not installed"
done
for file in lib/systemd/system/vantuflash@.service etc/logrotate.d/vantuflash; do
    [ -f "$work/all/$file" ] || fail "/$file was not installed"
    [ -f "$work/console/$file" ] || fail "/$file was not installed with --component vantuflash"
done

# The console package's component: its programs, none of the windows.
for program in vantuflash devicesim; do
    [ -x "$work/console/$prefix/bin/$program" ] ||
        fail "--component vantuflash did not install $program"
done
for program in vantuUpdate vantustation; do
    [ ! -e "$work/console/$prefix/bin/$program" ] ||
        fail "--component vantuflash installed $program, a window"
done

# Installed, they use the system's Qt: they start from where they were put.
version=$("$work/all/$prefix/bin/vantuflash" --version) || fail "the installed vantuflash does not start"
echo "$version" | grep -qx 'vantuflash [0-9.]*' || fail "the installed vantuflash said \"$version\""
"$work/console/$prefix/bin/devicesim" --help >/dev/null ||
    fail "the installed devicesim does not start"
echo "== install: the README's commands installed $(find "$work/all" -type f | wc -l) files"
