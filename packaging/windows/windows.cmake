# The Windows build's settings that must come before the programs are defined, included from the
# top-level CMakeLists.txt on Windows: the install tree's layout, the list of Windows programs, and
# the Wine runner that CTest starts them with when they are cross-compiled on Linux. The rest
# (version resources, deployment, the checks under Wine) is in packaging/windows/CMakeLists.txt.

# A flat install tree, as a Windows program is handed out: the programs in the top folder next to
# the DLLs they load, the Qt plugins below it (packaging/windows/qt.conf says where). A variable,
# not the cache entry: Qt's packages have made that one ("bin") already, and GNUInstallDirs
# keeps a variable that is set.
set(CMAKE_INSTALL_BINDIR .)

# vantu_windows_program(<target> DESCRIPTION <text> ICON <file.ico>) makes <target> a Windows
# program: it gets a version resource (product name, <text> as its file description, the
# project's version) with the icon that Explorer shows and its windows use, and its DLLs and the
# Qt plugins are installed next to it.
function(vantu_windows_program target)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "DESCRIPTION;ICON" "")
    if(NOT arg_DESCRIPTION OR NOT arg_ICON)
        message(FATAL_ERROR "vantu_windows_program(${target}): DESCRIPTION and ICON are needed")
    endif()
    set_target_properties(${target} PROPERTIES
        VANTU_FILE_DESCRIPTION "${arg_DESCRIPTION}"
        VANTU_ICON "${arg_ICON}")
    set_property(GLOBAL APPEND PROPERTY VANTU_WINDOWS_PROGRAMS ${target})
endfunction()

# Folders whose DLLs the programs load: the Windows Qt's bin/ and the MinGW-w64 runtime's folders
# (libstdc++, libgcc_s, winpthread), which the compiler knows. The install rules copy from them, and
# the Wine runner puts them on the Windows PATH of a program started from the build folder.
set(VANTU_WINDOWS_DLL_DIRS "")
get_target_property(qt_configurations Qt6::Core IMPORTED_CONFIGURATIONS)
list(GET qt_configurations 0 qt_configuration)
get_target_property(qt_core Qt6::Core IMPORTED_LOCATION_${qt_configuration})
get_filename_component(qt_bin "${qt_core}" DIRECTORY)
list(APPEND VANTU_WINDOWS_DLL_DIRS "${qt_bin}")
if(MINGW)
    foreach(runtime IN ITEMS libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${runtime}
            OUTPUT_VARIABLE runtime_path OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(NOT IS_ABSOLUTE "${runtime_path}")
            message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know where ${runtime} is")
        endif()
        get_filename_component(runtime_dir "${runtime_path}" DIRECTORY)
        get_filename_component(runtime_dir "${runtime_dir}" REALPATH)
        list(APPEND VANTU_WINDOWS_DLL_DIRS "${runtime_dir}")
    endforeach()
    list(REMOVE_DUPLICATES VANTU_WINDOWS_DLL_DIRS)
endif()

# Cross-compiled on Linux, the programs run under Wine in a prefix of this build folder's own:
# VANTU_WINE_RUN as they run from an unpacked folder (nothing but what is next to them), and
# CTest's emulator with the DLL folders above, for the programs in the build folder.
if(CMAKE_CROSSCOMPILING AND CMAKE_HOST_UNIX)
    set(VANTU_WINE_RUN ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh --prefix ${PROJECT_BINARY_DIR}/wine)
    if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
        set(CMAKE_CROSSCOMPILING_EMULATOR ${VANTU_WINE_RUN})
        foreach(dir IN LISTS VANTU_WINDOWS_DLL_DIRS)
            list(APPEND CMAKE_CROSSCOMPILING_EMULATOR --dlls ${dir})
        endforeach()
    endif()
    # The same runner, one argument a line, for what runs the build's programs from outside
    # CTest (tests/tst_wine.cpp).
    string(REPLACE ";" "\n" runner "${CMAKE_CROSSCOMPILING_EMULATOR}")
    file(WRITE ${PROJECT_BINARY_DIR}/wine-runner.txt "${runner}\n")
endif()
