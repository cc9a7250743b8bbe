# Install-time script (packaging/windows/CMakeLists.txt): copies next to the installed programs
# every DLL that they and the installed Qt plugins import, directly or through another DLL, from
# the folders VANTU_DEPLOY_DLL_DIRS (the Windows Qt's bin/, the MinGW-w64 runtime). The imports
# are read from the files themselves (objdump -p on a cross build), so the list follows what the
# programs link. Windows' own DLLs stay out: API sets by their names (api-ms-*, ext-ms-*), the
# others because they are found in no folder of ours and MinGW-w64 links them through an import
# library of its own (VANTU_DEPLOY_IMPORT_LIBRARIES); on a Windows machine, because they are in
# the Windows folder. Any other DLL that cannot be found fails the install.
set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(programs "")
foreach(program IN LISTS VANTU_DEPLOY_PROGRAMS)
    list(APPEND programs "${root}/${program}")
endforeach()
set(plugins "")
foreach(plugin IN LISTS VANTU_DEPLOY_PLUGINS)
    list(APPEND plugins "${root}/${plugin}")
endforeach()

# CMake looks a DLL up by its name in lower case, which a case-sensitive file system (a cross build
# on Linux) does not find as Qt6Core.dll: the folders are offered as links in lower case.
set(dll_dirs ${VANTU_DEPLOY_DLL_DIRS})
if(NOT CMAKE_HOST_WIN32)
    set(lower "${VANTU_DEPLOY_WORK}/lower-case-dlls")
    file(REMOVE_RECURSE "${lower}")
    set(dll_dirs "")
    set(index 0)
    foreach(dir IN LISTS VANTU_DEPLOY_DLL_DIRS)
        math(EXPR index "${index} + 1")
        file(MAKE_DIRECTORY "${lower}/${index}")
        file(GLOB dir_dlls "${dir}/*.dll")
        foreach(dll IN LISTS dir_dlls)
            get_filename_component(name "${dll}" NAME)
            string(TOLOWER "${name}" name)
            file(CREATE_LINK "${dll}" "${lower}/${index}/${name}" SYMBOLIC)
        endforeach()
        list(APPEND dll_dirs "${lower}/${index}")
    endforeach()
endif()

set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM windows+pe)
if(VANTU_DEPLOY_OBJDUMP)
    set(CMAKE_GET_RUNTIME_DEPENDENCIES_TOOL objdump)
    set(CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND "${VANTU_DEPLOY_OBJDUMP}")
endif()
file(GET_RUNTIME_DEPENDENCIES
    EXECUTABLES ${programs}
    MODULES ${plugins}
    DIRECTORIES ${dll_dirs}
    PRE_EXCLUDE_REGEXES "^api-ms-" "^ext-ms-"
    POST_EXCLUDE_REGEXES "^[A-Za-z]:[/\\\\][Ww][Ii][Nn][Dd][Oo][Ww][Ss][/\\\\]"
    RESOLVED_DEPENDENCIES_VAR dlls
    UNRESOLVED_DEPENDENCIES_VAR unresolved)

set(missing "")
foreach(name IN LISTS unresolved)
    string(REGEX REPLACE "\\.dll$" "" base "${name}")
    if(NOT VANTU_DEPLOY_IMPORT_LIBRARIES OR NOT EXISTS "${VANTU_DEPLOY_IMPORT_LIBRARIES}/lib${base}.a")
        list(APPEND missing "${name}")
    endif()
endforeach()
if(missing)
    list(JOIN missing ", " missing)
    message(FATAL_ERROR "The Windows programs or Qt plugins import ${missing}, found in none of "
        "${VANTU_DEPLOY_DLL_DIRS}")
endif()
if(NOT dlls)
    message(FATAL_ERROR "The Windows programs import no DLL from ${VANTU_DEPLOY_DLL_DIRS}")
endif()

set(files "")
foreach(dll IN LISTS dlls)
    # The file itself, under its own name, where a link was found.
    file(REAL_PATH "${dll}" file)
    list(APPEND files "${file}")
endforeach()
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${VANTU_DEPLOY_DESTINATION}"
    TYPE SHARED_LIBRARY FILES ${files})

# Stripped as the programs are (install/strip, CPack): the MinGW runtime and Qt come with their
# symbols, three quarters of their size.
if(CMAKE_INSTALL_DO_STRIP AND VANTU_DEPLOY_STRIP)
    set(stripped ${plugins})
    foreach(file IN LISTS files)
        get_filename_component(name "${file}" NAME)
        list(APPEND stripped "${root}/${VANTU_DEPLOY_DESTINATION}/${name}")
    endforeach()
    execute_process(COMMAND "${VANTU_DEPLOY_STRIP}" ${stripped} COMMAND_ERROR_IS_FATAL ANY)
endif()
