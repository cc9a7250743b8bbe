#!/usr/bin/env bash
# Builds the Debian packages of vantuUpdate and prints their paths, one a line:
# vantuflash (the console program, the simulated device and the station's
# systemd unit and logrotate snippet: what a headless station installs) and
# vantuupdate (the update window and the station window, which depend on vantuflash).
#
#   scripts/package.sh
#
# The tool is built optimised (Release) in build-package/ at the top of the
# tree, apart from the test and run builds; VANTU_PACKAGE_BUILD_DIR chooses
# another directory. Progress goes to standard error, the paths of the .debs
# alone to standard output, so that `mapfile -t debs < <(scripts/package.sh)`
# works. Install them with `sudo apt-get install ./build-package/<file>.deb`.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${VANTU_PACKAGE_BUILD_DIR:-$root/build-package}

# dpkg-shlibdeps (dpkg-dev) works out the library dependencies; CPack uses
# file to find the binaries it should ask about.
"$root/scripts/deps.sh" dpkg-dev file >&2

# Debian's compiler and linker flags for packages, hardening included
# (fortified libc calls, stack protector, read-only relocations, bind now).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(cd "$root" && dpkg-buildflags --get CPPFLAGS) $(cd "$root" && dpkg-buildflags --get CXXFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)

{
    cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTU_BUILD_TESTS=OFF \
        -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >/dev/null
    # The programs the packages carry and their documents (packaging/linux/CMakeLists.txt).
    cmake --build "$build_dir" --target package-contents
} >&2

cpack_out=$(cd "$build_dir" && cpack -G DEB)
echo "$cpack_out" >&2
mapfile -t debs < <(sed -n 's/^CPack: - package: \(.*\.deb\) generated\.$/\1/p' <<<"$cpack_out")
if [ "${#debs[@]}" -ne 2 ]; then
    echo "package.sh: cpack reported ${#debs[@]} .deb files, expected 2 (vantuflash, vantuupdate)" >&2
    exit 1
fi
for deb in "${debs[@]}"; do
    if [ ! -f "$deb" ]; then
        echo "package.sh: cpack reported $deb, which is not there" >&2
        exit 1
    fi
    echo "$deb"
done
