#!/usr/bin/env bash
# Runs a Windows program under Wine (Debian's wine64; Debian 12 has no 32-bit Wine) in a private
# Wine prefix, and exits with the program's exit code; its standard streams are the script's.
#
#   scripts/wine-run.sh --prefix DIR [--dlls DIR]... PROGRAM.exe [ARGUMENT]...
#   scripts/wine-run.sh --prefix DIR --wait
#
# --prefix  the Wine prefix (the Windows machine: C:, the registry), made on first use (about
#           15 s) and reused after; the Windows build keeps one in build-windows/wine/.
# --dlls    a Linux folder whose DLLs the program may load (the Windows Qt's bin/, the MinGW
#           runtime's folders), put on the program's Windows PATH. Qt finds its plugins from
#           where Qt6Core.dll is. Without any, the program finds only what is next to it and
#           Windows' own DLLs, as on a machine where it was unpacked.
# --wait    instead of running a program: waits until every program in the prefix has ended
#           (an uninstaller goes on in a copy of itself after it returns) and Wine has written
#           the prefix's registry to its files. What still runs after two minutes is a fault: it
#           is ended, and the script says so and exits with 1.
#
# The Windows build's CMAKE_CROSSCOMPILING_EMULATOR is this script (packaging/windows/windows.cmake),
# so that CTest runs the build's Windows executables through it. Wine prints nothing of its own
# (WINEDEBUG=-all); its menu builder is off, so that nothing a program installs reaches the Linux
# desktop's menus. QT_* variables reach the program (Wine on its own keeps them back).
set -euo pipefail

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
prefix=
dll_path=
wait_only=no
usage() {
    echo "usage: scripts/wine-run.sh --prefix DIR [--dlls DIR]... PROGRAM.exe [ARGUMENT]..." >&2
    echo "       scripts/wine-run.sh --prefix DIR --wait" >&2
    exit 2
}
while [ $# -gt 0 ]; do
    case $1 in
    --prefix)
        [ $# -ge 2 ] || usage
        prefix=$2
        shift 2
        ;;
    --dlls)
        [ $# -ge 2 ] || usage
        # Z: is the Linux root in every Wine prefix.
        dll_path+="${dll_path:+;}Z:${2//\//\\}"
        shift 2
        ;;
    --wait)
        wait_only=yes
        shift
        ;;
    --*) usage ;;
    *) break ;;
    esac
done
[ -n "$prefix" ] || usage
if [ "$wait_only" = yes ]; then
    [ $# -eq 0 ] || usage
    if ! WINEPREFIX=$prefix timeout 120 "$wineserver" --wait; then
        echo "wine-run.sh: programs of the prefix $prefix still ran after 120 s: ended" >&2
        WINEPREFIX=$prefix "$wineserver" -k || true
        exit 1
    fi
    exit 0
fi
[ $# -ge 1 ] || usage
if [ ! -x "$wine" ]; then
    echo "wine-run.sh: no $wine; install it with: scripts/deps.sh wine64" >&2
    exit 127
fi

export WINEPREFIX=$prefix WINEDEBUG=-all
# No menu entries on the Linux desktop; no offer to download Wine's .NET and HTML engines.
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=;mshtml="

# The prefix is made once, under a lock: CTest starts several programs at once.
if [ ! -f "$prefix/.made" ]; then
    mkdir -p "$(dirname "$prefix")"
    exec 9>"$prefix.lock"
    flock 9
    if [ ! -f "$prefix/.made" ]; then
        rm -rf "$prefix"
        if ! "$wine" wineboot -i >"$prefix.log" 2>&1; then
            cat "$prefix.log" >&2
            echo "wine-run.sh: could not make the Wine prefix $prefix" >&2
            exit 1
        fi
        touch "$prefix/.made"
    fi
    exec 9>&-
fi

# Wine keeps the Linux side's QT_* variables from Windows programs (a Linux desktop's Qt settings
# would mislead a Windows Qt) and passes WINEQT_* on as QT_* instead: a QT_* variable given to
# this script is meant for the program (QT_QPA_PLATFORM=offscreen in a test), so it goes on so.
while IFS= read -r name; do
    export "WINE$name=${!name}"
done < <(compgen -e | grep '^QT_' || true)

# An empty WINEPATH would put an empty folder first on the PATH, which leads Wine's cmd astray.
if [ -n "$dll_path" ]; then
    export WINEPATH=$dll_path
else
    unset WINEPATH
fi
exec "$wine" "$@"
