#!/usr/bin/env bash
# Builds the Debian package of vantuUpdate and prints its path.
#
#   scripts/package.sh
#
# The tool is built optimised (Release) in build-package/ at the top of the
# tree, apart from the test and run builds; VANTU_PACKAGE_BUILD_DIR chooses
# another directory. Progress goes to standard error, the path of the .deb
# alone to standard output, so that `deb=$(scripts/package.sh)` works.
# Install the package with `sudo apt-get install ./build-package/<file>.deb`.
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
    # The programs the package carries and their documents (packaging/linux/CMakeLists.txt).
    cmake --build "$build_dir" --target package-contents
} >&2

cpack_out=$(cd "$build_dir" && cpack -G DEB)
echo "$cpack_out" >&2
deb=$(sed -n 's/^CPack: - package: \(.*\.deb\) generated\.$/\1/p' <<<"$cpack_out")
if [ -z "$deb" ] || [ ! -f "$deb" ]; then
    echo "package.sh: cpack did not report a .deb" >&2
    exit 1
fi
echo "$deb"
