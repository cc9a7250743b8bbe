#!/usr/bin/env bash
# Checks the Windows installer as an IT department uses it, under Wine, in a Wine prefix made
# fresh for it (a Windows machine on which nothing was ever installed):
# 1. silently (/S) into a folder of the user's (/D=), without the PATH option: every file of the
#    install tree TREE is there, and the uninstaller; the installed vantuflash answers --version
#    from that folder; the Start menu entries of both windows point at their programs; the
#    uninstall entry is written; the PATH is as it was;
# 2. again, silently, into the default folder, with the PATH option (/PATH): the first
#    installation is gone, the PATH has the install folder at its end, and vantuflash starts by
#    its name alone from another folder;
# 3. the uninstaller, silently: no file is left that was not there before the first install
#    (NSIS's uninstaller runs from a copy of itself in the user's Temp folder, which Windows
#    removes at the next start: Temp is not compared), no registry entry names the tool, the
#    PATH is exactly as before. The Windows checks under Wine (packaging/windows/checks.cmake).
#
#   check-installer.sh INSTALLER.exe TREE PREFIX
#
# PREFIX is removed and made again.
set -euo pipefail

[ $# -eq 3 ] || { echo "usage: check-installer.sh INSTALLER.exe TREE PREFIX" >&2; exit 2; }
installer=$1
tree=$2
prefix=$3
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

fail() {
    echo "check-installer.sh: $*" >&2
    exit 1
}
run() { "$root/scripts/wine-run.sh" --prefix "$prefix" "$@"; }
# Until every program in the prefix has ended and the registry is on disk.
settle() { run --wait; }
step() { echo "-- $*"; }

# The files of drive C:, but for the temporary folders.
drive_files() {
    (cd "$prefix/drive_c" && find . \( -path './users/*/Temp' -o -path './windows/temp' \) -prune \
        -o -print | sort)
}
environment_key='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\vantuUpdate'
system_path() {
    run reg query "$environment_key" /v Path | tr -d '\r' | sed -n 's/^ *Path *REG_[A-Z_]* *//p'
}
# The registry entries that name the tool (the registry files, once Wine has written them).
registry_mentions() {
    grep -i vantu "$prefix/system.reg" "$prefix/user.reg" || true
}
unix_path() { # C:\Some\Folder -> $prefix/drive_c/Some/Folder
    local path=${1#C:\\}
    echo "$prefix/drive_c/${path//\\//}"
}
start_menu="$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/vantuUpdate"

# Checks the installation in the Windows folder $1.
check_installed() {
    local folder=$1 dir name
    dir=$(unix_path "$folder")
    diff <(cd "$tree" && find . -type f | sort) \
        <(cd "$dir" && find . -type f ! -name Uninstall.exe | sort) ||
        fail "$folder holds other files than the install tree (above: < tree, > installed)"
    [ -f "$dir/Uninstall.exe" ] || fail "no uninstaller in $folder"
    run "$folder\\vantuflash.exe" --version | tr -d '\r' | grep -qx 'vantuflash [0-9.]*' ||
        fail "the installed vantuflash.exe does not answer --version"
    for name in vantuUpdate vantustation; do
        [ -f "$start_menu/$name.lnk" ] || fail "no Start menu entry $name"
        strings "$start_menu/$name.lnk" | grep -qxF "$folder\\$name.exe" ||
            fail "the Start menu entry $name does not start $folder\\$name.exe"
    done
    run reg query "$uninstall_key" /v InstallLocation | tr -d '\r' | grep -qF "$folder" ||
        fail "the uninstall entry does not name $folder"
}

step "a fresh Wine prefix"
rm -rf "$prefix" "$prefix.lock" "$prefix.log"
run cmd /c exit 0
settle
# The folder the first installation goes into is one the user has, C:\Tools.
mkdir "$prefix/drive_c/Tools"
files_before=$(drive_files)
path_before=$(system_path)
[ -n "$path_before" ] || fail "the system PATH cannot be read"
[ -z "$(registry_mentions)" ] || fail "the fresh prefix names the tool already"

step "install silently into C:\\Tools\\vantuUpdate, without the PATH option"
run "$installer" /S '/D=C:\Tools\vantuUpdate' || fail "the installer failed (status $?)"
settle
check_installed 'C:\Tools\vantuUpdate'
[ "$(system_path)" = "$path_before" ] || fail "the PATH changed without /PATH: $(system_path)"

step "install again, silently, into the default folder, with /PATH"
run "$installer" /S /PATH || fail "the installer failed (status $?)"
settle
[ ! -e "$(unix_path 'C:\Tools\vantuUpdate')" ] || fail "the earlier installation in C:\\Tools is still there"
check_installed 'C:\Program Files\vantuUpdate'
[ "$(system_path)" = "$path_before;C:\\Program Files\\vantuUpdate" ] ||
    fail "the PATH is not the old one with the install folder added: $(system_path)"
(cd "$prefix/drive_c" && run cmd /c vantuflash --version) | tr -d '\r' | grep -qx 'vantuflash [0-9.]*' ||
    fail "vantuflash does not start by its name from another folder"

step "uninstall silently"
run 'C:\Program Files\vantuUpdate\Uninstall.exe' /S || fail "the uninstaller failed (status $?)"
settle
diff <(echo "$files_before") <(drive_files) ||
    fail "the files on C: are not those before the installation (above: < before, > after)"
[ "$(system_path)" = "$path_before" ] || fail "the PATH is not the one before: $(system_path)"
mentions=$(registry_mentions)
[ -z "$mentions" ] || fail "registry entries name the tool after uninstalling: $mentions"
echo "installed twice and uninstalled: nothing left"
