# Runs inside cpack, once per generator.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_RYX_CONFIGURED_PREFIX STREQUAL "/usr")
    message(FATAL_ERROR
        "the Debian package must be built from a tree configured with -DCMAKE_INSTALL_PREFIX=/usr "
        "(this one uses ${CPACK_RYX_CONFIGURED_PREFIX}); see packaging/build-deb.sh")
endif()
