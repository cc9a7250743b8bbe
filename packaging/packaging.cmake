# Installing and packaging vantuUpdate, included at the end of the top-level
# CMakeLists.txt: the names the desktop files and the packages share, the Linux
# data files (packaging/linux/), and CPack: a .deb on Linux
# (scripts/package.sh), a ZIP and an installer for Windows (packaging/windows/,
# scripts/check-windows.sh).

# The Debian packages, each the install component of the same name, and the names of their
# documentation folders: the window's package (also the name of the source the two are built
# from), and the console package a headless station installs alone.
set(VANTU_PACKAGE_NAME vantuupdate)
set(VANTU_FLASH_PACKAGE_NAME vantuflash)
# Reverse-DNS ids of the tool and the station: the names of their .desktop files, icons and
# metainfo files.
set(VANTU_APP_ID org.vantu.vantuUpdate)
set(VANTU_STATION_APP_ID org.vantu.vantustation)
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
# The ZIP and the installer on Windows, which hold everything, use this one; the
# two Debian packages have their own (below).
set(CPACK_PACKAGE_DESCRIPTION [=[
vantuUpdate writes a firmware image into a device over a serial line
(57600 baud, 8 data bits, no parity, 1 stop bit).
.
In its one window the user picks the serial port the device is on and a .vuf
image. The tool finds the device, shows its firmware and hardware versions,
and sends the image in answer to the device's requests for data.
.
The console program vantuflash does the same update from a terminal, a script
or a test station; the simulated device devicesim plays a device.]=])
set(CPACK_STRIP_FILES ON)
# Directories the packages create get the usual permissions whatever the umask.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
    # One ZIP and one installer (packaging/windows/NSIS.template.in) for 64-bit Windows, each
    # with every component: the install tree, a folder to unpack anywhere or install.
    set(CPACK_MONOLITHIC_INSTALL ON)
    set(CPACK_GENERATOR ZIP NSIS)
    set(CPACK_PACKAGE_FILE_NAME vantuUpdate-${PROJECT_VERSION}-win64)
    set(CPACK_PACKAGE_INSTALL_DIRECTORY vantuUpdate)
    # The uninstall entry's name: the same for every version, so that an installer finds and
    # removes the version installed before it.
    set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY vantuUpdate)
    set(CPACK_MODULE_PATH ${PROJECT_SOURCE_DIR}/packaging/windows)
    set(CPACK_NSIS_DISPLAY_NAME vantuUpdate)
    set(CPACK_NSIS_PACKAGE_NAME vantuUpdate)
    # The Start menu entries: the two windows. vantuflash is started from a command prompt.
    set(CPACK_PACKAGE_EXECUTABLES vantuUpdate vantuUpdate vantustation vantustation)
    set(CPACK_NSIS_EXECUTABLES_DIRECTORY .)
    set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/app/icon/vantuupdate.ico)
    set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/app/icon/vantuupdate.ico)
    set(CPACK_NSIS_INSTALLED_ICON_NAME vantuUpdate.exe)
    # The version resources, the DLLs and plugins next to the programs, the checks under Wine
    # (CTest's, in a cross build: enable_testing() must come from the top folder).
    if(VANTU_WINE_RUN)
        enable_testing()
    endif()
    add_subdirectory(packaging/windows)
elseif(UNIX AND NOT APPLE)
    set(CPACK_GENERATOR DEB)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    # One package per install component (app/, flash/, tools/devicesim/ and
    # packaging/linux/ name them), both built from the source vantuupdate.
    set(CPACK_DEB_COMPONENT_INSTALL ON)
    set(CPACK_COMPONENTS_ALL ${VANTU_FLASH_PACKAGE_NAME} ${VANTU_PACKAGE_NAME})
    set(CPACK_DEBIAN_PACKAGE_SOURCE ${VANTU_PACKAGE_NAME})
    set(CPACK_DEBIAN_VANTUFLASH_PACKAGE_NAME ${VANTU_FLASH_PACKAGE_NAME})
    set(CPACK_DEBIAN_VANTUUPDATE_PACKAGE_NAME ${VANTU_PACKAGE_NAME})
    # Each package's own summary line, the first line of its description:
    # packaging/cpack-options.cmake keeps CPack from putting the project's
    # summary above both.
    set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack-options.cmake)
    # dpkg-shlibdeps finds the libraries each package's executables link: Qt
    # Core and Serial Port for vantuflash and devicesim, Qt Gui and Widgets for
    # the window.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    # Control files with the usual permissions (dpkg wants 0644 for conffiles).
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

    # The console package: nothing beyond what its programs link, so that a
    # headless station gets no Qt Gui, no Qt Widgets and no fonts. The
    # logrotate snippet is a conffile (packaging/linux/CMakeLists.txt writes
    # the list). logrotate is recommended, so that a station installed as it
    # comes rotates its records; adduser makes the unit's system user
    # (postinst); rsyslog's RELP module ships the records (the README's
    # recipe), and is only suggested.
    set(CPACK_DEBIAN_VANTUFLASH_DESCRIPTION [=[
Firmware update over a serial line: console program and simulated device
vantuflash writes a firmware image into a device over a serial line
(57600 baud, 8 data bits, no parity, 1 stop bit) from a terminal, a script, a
test station or a CI runner: several devices at once, with exit codes, JSON
output and a record of each update. It needs no display.
.
With --repeat it updates board after board on a fixture; the systemd template
unit vantuflash@.service runs it so as a service, one instance per options
file in /etc/vantuflash/, as the system user vantuflash, its records in
/var/log/vantuflash/, rotated by logrotate and readable by the group
vantuflash, so that a log shipper (an example for rsyslog is included) can
send them to a central place.
.
The simulated device devicesim plays a device on a pseudo-terminal, so that
vantuflash (and the window, package vantuupdate) can be tried without
hardware.
.
The package also holds optional udev rules for USB serial adapters (in
/usr/share/doc/vantuflash/).]=])
    set(CPACK_DEBIAN_VANTUFLASH_PACKAGE_DEPENDS "adduser")
    set(CPACK_DEBIAN_VANTUFLASH_PACKAGE_RECOMMENDS "logrotate")
    set(CPACK_DEBIAN_VANTUFLASH_PACKAGE_SUGGESTS "rsyslog-relp")
    set(CPACK_DEBIAN_VANTUFLASH_PACKAGE_CONTROL_EXTRA
        ${PROJECT_BINARY_DIR}/deb-${VANTU_FLASH_PACKAGE_NAME}/conffiles
        ${PROJECT_BINARY_DIR}/deb-${VANTU_FLASH_PACKAGE_NAME}/postinst)

    # The window's package. What Qt loads at run time dpkg-shlibdeps cannot
    # see: the platform plugins (xcb, offscreen: in libqt6gui6 on Debian 12)
    # and a font for the window's text. It depends on the console package of
    # the same version: whoever installs the window keeps the simulated device
    # to try it without a device, and the console program beside it, as
    # before the split; and the two always come from one build. The template
    # unit this brings along does nothing until an instance is enabled.
    set(CPACK_DEBIAN_VANTUUPDATE_DESCRIPTION [=[
Firmware update over a serial line: desktop windows
vantuUpdate writes a firmware image into a device over a serial line
(57600 baud, 8 data bits, no parity, 1 stop bit).
.
In its one window the user picks the serial port the device is on and a .vuf
image. The tool finds the device, shows its firmware and hardware versions,
and sends the image in answer to the device's requests for data, with a
progress bar, a transmit and a receive light, and a status line that reports
every outcome.
.
vantustation is the window for an operator at a production fixture: a tile
per slot with its state in words, its progress and its counters; each slot
updates every new board put on it, and every board gets a record.
.
The package adds desktop menu entries and manual pages. The console program
vantuflash and the simulated device devicesim come with the package vantuflash,
which a headless station installs alone.]=])
    set(CPACK_DEBIAN_VANTUUPDATE_PACKAGE_DEPENDS
        "${VANTU_FLASH_PACKAGE_NAME} (= ${PROJECT_VERSION}), libqt6gui6 (>= 6.4), fonts-dejavu-core")
    # The platform plugin for Wayland sessions. Only suggested: it brings
    # Qt Quick and QML along (18 MB), and without it the tool runs through
    # XWayland, which every Wayland desktop has.
    set(CPACK_DEBIAN_VANTUUPDATE_PACKAGE_SUGGESTS "qt6-wayland")
endif()

include(CPack)
