#!/usr/bin/env bash
# Installs the Debian packages needed to build, test and run vantuUpdate.
# Does nothing (and runs no apt-get) when they are all present already.
# Called by the other scripts; can also be run on its own.
#
#   scripts/deps.sh [package...]
#
# Packages named on the command line are installed too (the other scripts ask
# for what only they need, such as the package checkers).
set -euo pipefail

packages=(
    cmake
    ninja-build
    g++
    qt6-base-dev
    qt6-serialport-dev
    libgl-dev
    libxkbcommon-dev  # found by Qt's Gui package at configure time (else "Could NOT find XKB")
    fonts-dejavu-core # real font metrics for the offscreen window tests
    xvfb              # run.sh without a display
    xauth
    "$@"
)

if ! command -v dpkg-query >/dev/null 2>&1 || ! command -v apt-get >/dev/null 2>&1; then
    echo "deps.sh: not a Debian-like system; make sure these (or their equivalents) are installed:" >&2
    echo "  ${packages[*]}" >&2
    exit 0
fi

# One dpkg-query call for all of them; packages dpkg has never heard of are
# reported on stderr and simply do not appear as installed.
installed=$(dpkg-query -W -f='${Package} ${db:Status-Status}\n' "${packages[@]}" 2>/dev/null |
    awk '$2 == "installed" { sub(/:.*/, "", $1); print $1 }' || true)

missing=()
for p in "${packages[@]}"; do
    if ! grep -qxF -- "$p" <<<"$installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
    as_root=()
elif command -v sudo >/dev/null 2>&1; then
    as_root=(sudo)
else
    echo "deps.sh: missing packages: ${missing[*]}" >&2
    echo "deps.sh: run this script as root, or install sudo" >&2
    exit 1
fi

echo "deps.sh: installing ${missing[*]}"
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends "${missing[@]}"
