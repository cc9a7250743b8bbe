# Read by cpack for each generator (CPACK_PROJECT_CONFIG_FILE, set in
# packaging/packaging.cmake). The two Debian packages each begin their
# description (CPACK_DEBIAN_<COMPONENT>_DESCRIPTION) with a summary line of
# their own; CPack would put CPACK_PACKAGE_DESCRIPTION_SUMMARY above each, so
# it is left out for the DEB generator.
if(CPACK_GENERATOR STREQUAL "DEB")
    unset(CPACK_PACKAGE_DESCRIPTION_SUMMARY)
endif()
