# Runs inside cpack after the files are staged and before they are packed: a Debian package
# must own nothing under /usr/local and keep configuration in /etc, never /usr/etc.
file(GLOB_RECURSE _ryx_misplaced LIST_DIRECTORIES false RELATIVE "${CPACK_TEMPORARY_DIRECTORY}"
    "${CPACK_TEMPORARY_DIRECTORY}/usr/local/*" "${CPACK_TEMPORARY_DIRECTORY}/usr/etc/*")
if(_ryx_misplaced)
    list(JOIN _ryx_misplaced "\n  " _ryx_list)
    message(FATAL_ERROR "files installed outside the Debian layout:\n  ${_ryx_list}\n"
        "configure with -DCMAKE_INSTALL_PREFIX=/usr -DRYX_PYTHON_INSTALL_DIR=lib/python3/dist-packages")
endif()
