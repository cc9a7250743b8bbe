# Included by scripts/windows-check.sh right after project(): lets the project configure as a
# Windows build with the MinGW-w64 cross compiler and the Linux Qt, only so that the check can
# read the Windows targets' source lists. Nothing is built or linked in this configuration.
#
# The Linux Qt's libraries are shared libraries without import libraries, which CMake insists on
# for a Windows target that links them: a placeholder satisfies it, at the end of the configure
# step, when every folder has imported what it needs (global, so that the top folder can reach
# what a subfolder imported).
set(CMAKE_FIND_PACKAGE_TARGETS_GLOBAL ON)
function(_vantu_placeholder_implibs directory)
    get_property(targets DIRECTORY "${directory}" PROPERTY IMPORTED_TARGETS)
    foreach(target IN LISTS targets)
        get_target_property(type ${target} TYPE)
        if(NOT type STREQUAL "SHARED_LIBRARY")
            continue()
        endif()
        set(placeholder "${CMAKE_BINARY_DIR}/no-import-library.dll.a")
        set_target_properties(${target} PROPERTIES IMPORTED_IMPLIB "${placeholder}")
        get_target_property(configurations ${target} IMPORTED_CONFIGURATIONS)
        foreach(configuration IN LISTS configurations)
            set_target_properties(${target} PROPERTIES IMPORTED_IMPLIB_${configuration} "${placeholder}")
        endforeach()
    endforeach()
    get_property(subdirectories DIRECTORY "${directory}" PROPERTY SUBDIRECTORIES)
    foreach(subdirectory IN LISTS subdirectories)
        _vantu_placeholder_implibs("${subdirectory}")
    endforeach()
endfunction()
cmake_language(DEFER DIRECTORY "${CMAKE_SOURCE_DIR}" CALL _vantu_placeholder_implibs "${CMAKE_SOURCE_DIR}")
