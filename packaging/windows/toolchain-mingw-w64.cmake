# Cross compiling for 64-bit Windows on Debian with MinGW-w64 (g++-mingw-w64-x86-64-posix): the
# tool's Windows build (scripts/check-windows.sh, in build-windows/) and Qt for Windows itself
# (scripts/windows-qt.sh) both use this file.
#
#   cmake -S . -B build-windows -G Ninja -DCMAKE_BUILD_TYPE=Release \
#       -DCMAKE_TOOLCHAIN_FILE=packaging/windows/toolchain-mingw-w64.cmake \
#       -DVANTU_WINDOWS_QT=$(scripts/windows-qt.sh)
#
# VANTU_WINDOWS_QT is the prefix of a Qt for Windows (its bin/, lib/cmake/, plugins/). moc, rcc
# and uic come from the Linux Qt of the same version (qt6-base-dev-tools), which QT_HOST_PATH
# names. The POSIX flavour of the compiler is the one whose runtime has std::thread and
# std::mutex, which Qt needs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
# try_compile() reads this file again in a project of its own: it needs the Qt prefix as well.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VANTU_WINDOWS_QT)
if(VANTU_WINDOWS_QT)
    list(APPEND CMAKE_FIND_ROOT_PATH "${VANTU_WINDOWS_QT}")
    list(APPEND CMAKE_PREFIX_PATH "${VANTU_WINDOWS_QT}")
endif()
# Programs (moc, windres, objdump) are the build machine's; libraries, headers and packages are
# Windows ones only, never the Linux Qt's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)
