# Installing and packaging vantuUpdate, included at the end of the top-level
# CMakeLists.txt: the names the desktop files and the packages share, the Linux
# data files (packaging/linux/), and CPack: a .deb on Linux
# (scripts/package.sh), a ZIP and, where NSIS is installed, an installer on
# Windows (`cpack` in the build folder after `cmake --build`).

# The Debian package, and the name of its documentation folder.
set(VANTU_PACKAGE_NAME vantuupdate)
# Reverse-DNS id: the name of the .desktop file, the icon and the metainfo file.
set(VANTU_APP_ID org.vantu.vantuUpdate)
# Date of the release named in project(VERSION); change both together, and add
# an entry to packaging/linux/changelog.
set(VANTU_RELEASE_DATE 2026-12-08)
set(VANTU_HOMEPAGE "https://example.org/vantuUpdate"
    CACHE STRING "Home page, for the package and the AppStream metadata")
set(VANTU_PACKAGE_MAINTAINER "vantuUpdate developers <vantuupdate@example.org>"
    CACHE STRING "Maintainer of the package, \"Name <address>\"")

if(UNIX AND NOT APPLE)
    add_subdirectory(packaging/linux)
endif()

set(CPACK_PACKAGE_NAME ${VANTU_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "vantuUpdate developers")
set(CPACK_PACKAGE_CONTACT ${VANTU_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_HOMEPAGE_URL ${VANTU_HOMEPAGE})
# The version comes from project(VERSION) by default; the summary from its DESCRIPTION.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# Lines of at most 80 characters, as Debian wants them; "." is an empty line.
set(CPACK_PACKAGE_DESCRIPTION [=[
vantuUpdate writes a firmware image into a device over a serial line
(57600 baud, 8 data bits, no parity, 1 stop bit).
.
In its one window the user picks the serial port the device is on and a .vuf
image. The tool finds the device, shows its firmware and hardware versions,
and sends the image in answer to the device's requests for data, with a
progress bar, a transmit and a receive light, and a status line that reports
every outcome.
.
The console program vantuflash does the same update from a terminal, a script
or a test station: several devices at once, with exit codes, JSON output and
a record of each update.
.
The simulated device devicesim plays a device on a pseudo-terminal, so that
both can be tried, and a technician trained, without hardware.
.
The package adds a desktop menu entry, manual pages, and optional udev rules
for USB serial adapters (in /usr/share/doc/vantuupdate/).]=])
set(CPACK_STRIP_FILES ON)
# Directories the packages create get the usual permissions whatever the umask.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
    # The install tree (bin\ with the Qt libraries and plugins that
    # qt_generate_deploy_app_script copies, see app/CMakeLists.txt) as a ZIP,
    # and as an installer with a Start menu entry where NSIS is found.
    set(CPACK_GENERATOR ZIP)
    find_program(VANTU_MAKENSIS makensis)
    if(VANTU_MAKENSIS)
        list(APPEND CPACK_GENERATOR NSIS)
    endif()
    set(CPACK_PACKAGE_FILE_NAME vantuUpdate-${PROJECT_VERSION}-win64)
    set(CPACK_PACKAGE_INSTALL_DIRECTORY vantuUpdate)
    set(CPACK_PACKAGE_EXECUTABLES vantuUpdate vantuUpdate)
    set(CPACK_NSIS_DISPLAY_NAME vantuUpdate)
    set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/app/icon/vantuupdate.ico)
    set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/app/icon/vantuupdate.ico)
    set(CPACK_NSIS_INSTALLED_ICON_NAME bin\\\\vantuUpdate.exe)
    set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
elseif(UNIX AND NOT APPLE)
    set(CPACK_GENERATOR DEB)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    # dpkg-shlibdeps finds the libraries the executable links; what Qt loads at
    # run time it cannot see: the platform plugins (xcb, offscreen: in
    # libqt6gui6 on Debian 12) and a font for the window's text.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6gui6 (>= 6.4), fonts-dejavu-core")
    # The platform plugin for Wayland sessions. Only suggested: it brings
    # Qt Quick and QML along (18 MB), and without it the tool runs through
    # XWayland, which every Wayland desktop has.
    set(CPACK_DEBIAN_PACKAGE_SUGGESTS "qt6-wayland")
endif()

include(CPack)
