# Makes one package of the Windows build with CPack, for the checks under Wine
# (packaging/windows/checks.cmake); a ZIP is unpacked as a user unpacks it.
#
#   cmake -DBUILD=<build folder> -DGENERATOR=ZIP|NSIS [-DPACKAGE=<file> -DUNPACK=<folder>] -P package.cmake
execute_process(COMMAND ${CMAKE_CPACK_COMMAND} -G ${GENERATOR}
    WORKING_DIRECTORY ${BUILD} COMMAND_ERROR_IS_FATAL ANY)
if(UNPACK)
    file(REMOVE_RECURSE ${UNPACK})
    file(ARCHIVE_EXTRACT INPUT ${PACKAGE} DESTINATION ${UNPACK})
    message(STATUS "Unpacked ${PACKAGE} into ${UNPACK}")
endif()
