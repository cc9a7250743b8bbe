# The Windows programs checked under Wine, as CTest tests of a cross build (`ctest` in
# build-windows/, which scripts/check-windows.sh runs): included by packaging/windows/CMakeLists.txt
# when the build has the Wine runner (packaging/windows/windows.cmake).
# - windows_zip and windows_installer_package make the ZIP and the installer with CPack (one
#   after the other: both build and install into this folder); the ZIP is unpacked into
#   check/zip/, as a user unpacks it.
# - windows_build_*: vantuflash.exe of the build folder, through CTest's emulator (the DLLs from
#   the Windows Qt and the MinGW runtime); windows_zip_*: the programs of the unpacked ZIP, with
#   nothing but what is next to them.
# - windows_zip_*_window: each window opens on a virtual X display with the windows platform
#   plugin and the Vista style from the ZIP's plugins/, and ends with status 0 when closed.
# - windows_zip_*_resources: each executable carries its icon and its version resource.
# - windows_zip_licenses: the licences of the libraries beside the programs, in licenses/.
# - windows_installer: install, install again with the PATH option, uninstall, all silent, in a
#   Wine prefix of its own (packaging/windows/check-installer.sh).

set(checks ${CMAKE_CURRENT_SOURCE_DIR})
set(expect ${checks}/expect.sh)
set(zip_tree ${PROJECT_BINARY_DIR}/check/zip/${CPACK_PACKAGE_FILE_NAME})
# Windows paths of the files the checks hand to the programs: Z: is the Linux root under Wine.
set(image ${PROJECT_BINARY_DIR}/check/image.vuf)
file(WRITE ${image} "A firmware image of a few bytes: vantuflash reads it, but no device answers.\n")
string(REPLACE "/" "\\" image_windows "Z:${image}")
string(REPLACE "/" "\\" missing_windows "Z:${PROJECT_BINARY_DIR}/check/no-such-image.vuf")

add_test(NAME windows_zip
    COMMAND ${CMAKE_COMMAND} -DBUILD=${PROJECT_BINARY_DIR} -DGENERATOR=ZIP
        -DPACKAGE=${PROJECT_BINARY_DIR}/${CPACK_PACKAGE_FILE_NAME}.zip
        -DUNPACK=${PROJECT_BINARY_DIR}/check/zip -P ${checks}/package.cmake)
add_test(NAME windows_installer_package
    COMMAND ${CMAKE_COMMAND} -DBUILD=${PROJECT_BINARY_DIR} -DGENERATOR=NSIS -P ${checks}/package.cmake)
set_tests_properties(windows_zip PROPERTIES FIXTURES_SETUP windows_zip RESOURCE_LOCK cpack)
set_tests_properties(windows_installer_package PROPERTIES
    FIXTURES_SETUP windows_installer RESOURCE_LOCK cpack)

# vantuflash's own checks, run with RUNNER... on the executable FLASH; the tests are named
# windows_<where>_vantuflash_<check>.
function(vantu_flash_checks where flash)
    set(run ${ARGN} ${flash})
    set(prefix windows_${where}_vantuflash)
    add_test(NAME ${prefix}_version
        COMMAND ${expect} --stdout "^vantuflash ${PROJECT_VERSION}$" -- ${run} --version)
    add_test(NAME ${prefix}_help
        COMMAND ${expect} --stdout "^Usage: " --stdout "^Exit codes:$" -- ${run} --help)
    add_test(NAME ${prefix}_list
        COMMAND ${expect} --stdout "^(COM[0-9]+|No serial ports present\\.)$" -- ${run} --list)
    add_test(NAME ${prefix}_missing_image
        COMMAND ${expect} --exit 2 --stdout "image-error"
            --stderr "Cannot use the image .*no-such-image\\.vuf: no such file"
            -- ${run} -p COM99 ${missing_windows})
    add_test(NAME ${prefix}_missing_port
        COMMAND ${expect} --exit 3 --stdout "open-failed"
            --stderr "Cannot open COM99: no such port \\((present: COM[0-9]+|no serial ports present)"
            -- ${run} --wait 1 -p COM99 ${image_windows})
    set(tests ${prefix}_version ${prefix}_help ${prefix}_list ${prefix}_missing_image
        ${prefix}_missing_port)
    set_tests_properties(${tests} PROPERTIES TIMEOUT 120)
    if(where STREQUAL "zip")
        set_tests_properties(${tests} PROPERTIES FIXTURES_REQUIRED windows_zip)
    endif()
endfunction()

vantu_flash_checks(build $<TARGET_FILE:vantuflash> ${CMAKE_CROSSCOMPILING_EMULATOR})
vantu_flash_checks(zip ${zip_tree}/vantuflash.exe ${VANTU_WINE_RUN})
# CTest puts the emulator in front of a test whose command is a program of the build by itself:
# the Windows test suites run so.
add_test(NAME windows_build_emulator COMMAND vantuflash --version)
set_tests_properties(windows_build_emulator PROPERTIES
    PASS_REGULAR_EXPRESSION "^vantuflash ${PROJECT_VERSION}" TIMEOUT 120)

get_property(programs GLOBAL PROPERTY VANTU_WINDOWS_PROGRAMS)
foreach(program IN LISTS programs)
    get_target_property(description ${program} VANTU_FILE_DESCRIPTION)
    add_test(NAME windows_zip_${program}_resources
        COMMAND ${expect}
            --stdout "^\"IDI_ICON1\" 14 /\\* RT_GROUP_ICON \\*/$"
            --stdout "VALUE \"ProductName\", \"${PROJECT_NAME}\"$"
            --stdout "VALUE \"FileDescription\", \"${description}\"$"
            --stdout "VALUE \"FileVersion\", \"${PROJECT_VERSION}\"$"
            --stdout "VALUE \"OriginalFilename\", \"${program}.exe\"$"
            -- ${CMAKE_RC_COMPILER} -J coff -O rc -i ${zip_tree}/${program}.exe)
    set_tests_properties(windows_zip_${program}_resources PROPERTIES FIXTURES_REQUIRED windows_zip)
endforeach()

# The licences of the libraries beside the programs, each the text it is named for.
add_test(NAME windows_zip_licenses
    COMMAND ${expect}
        --stdout "^Upstream-Name: qtbase-everywhere-src$"
        --stdout "^Upstream-Name: qtserialport-everywhere-src$"
        --stdout "GCC RUNTIME LIBRARY EXCEPTION"
        --stdout "^Upstream-Name: mingw-w64$"
        --stdout "^ +GNU LESSER GENERAL PUBLIC LICENSE$"
        --stdout "^ +GNU GENERAL PUBLIC LICENSE$"
        -- cat ${zip_tree}/licenses/Qt.txt ${zip_tree}/licenses/Qt-SerialPort.txt
            ${zip_tree}/licenses/GCC-runtime.txt ${zip_tree}/licenses/MinGW-w64.txt
            ${zip_tree}/licenses/LGPL-3.txt ${zip_tree}/licenses/GPL-3.txt)
set_tests_properties(windows_zip_licenses PROPERTIES FIXTURES_REQUIRED windows_zip)

foreach(window IN ITEMS vantuUpdate vantustation)
    add_test(NAME windows_zip_${window}_window
        COMMAND ${checks}/check-window.sh ${window} ${zip_tree}/${window}.exe
            plugins/platforms/qwindows.dll plugins/styles/qwindowsvistastyle.dll
            -- ${VANTU_WINE_RUN})
    set_tests_properties(windows_zip_${window}_window PROPERTIES
        FIXTURES_REQUIRED windows_zip TIMEOUT 180)
endforeach()

add_test(NAME windows_installer
    COMMAND ${checks}/check-installer.sh
        ${PROJECT_BINARY_DIR}/${CPACK_PACKAGE_FILE_NAME}.exe ${zip_tree}
        ${PROJECT_BINARY_DIR}/wine-installer)
set_tests_properties(windows_installer PROPERTIES
    FIXTURES_REQUIRED "windows_zip;windows_installer" TIMEOUT 300)
