#!/bin/sh
# Runs a command on a system where the test itself plugs USB serial adapters in and out: in a
# private mount namespace with an empty /sys/class/tty (where the ports are listed from), an empty
# /run/udev (what udev knows of each port), and a /dev and a /run that take new entries in memory,
# all of it in a private file system mounted on a new temporary folder (not over /tmp, where the
# build and the sources may be). Nothing outside the namespace changes. VANTU_FAKE_ADAPTERS names
# the folder of that file system where the test keeps what it mounts (tests/fakeadapter.h). Exits
# 77 (skipped) where the namespace cannot be made (not root, no overlay file system).

# /dev and /run as overlays: what is there stays, what the test adds lives in the private layers.
overlay() {
    mkdir -p "$layers$1/upper" "$layers$1/work" "$layers$1/root" &&
        mount -t overlay "fake-adapters$1" \
            -o "lowerdir=$1,upperdir=$layers$1/upper,workdir=$layers$1/work" "$layers$1/root"
}

# The file systems mounted under the old /dev go along to the new one, so that /dev/ptmx finds
# its pts beside it.
moveSubmounts() {
    for sub in pts shm mqueue hugepages; do
        if mountpoint -q "$1/$sub"; then
            mount --move "$1/$sub" "$layers$1/root/$sub" || return 1
        fi
    done
}

setUp() {
    mount -t tmpfs fake-adapters "$layers" &&
        overlay /dev && moveSubmounts /dev && mount --move "$layers/dev/root" /dev &&
        overlay /run && mount --move "$layers/run/root" /run &&
        mkdir -p /run/udev && mount -t tmpfs fake-adapters-udev /run/udev &&
        mount -t tmpfs fake-adapters-tty /sys/class/tty
}

if [ "$1" = "--inside" ]; then
    layers=$2
    shift 2
    setUp || exit 77
    mkdir -p "$layers/adapters" || exit 77
    VANTU_FAKE_ADAPTERS="$layers/adapters" exec "$@"
fi
unshare --mount true 2>/dev/null || exit 77
layers=$(mktemp -d) || exit 77
status=0
unshare --mount --propagation private "$0" --inside "$layers" "$@" || status=$?
rmdir "$layers" 2>/dev/null
exit "$status"
