# Runs inside cpack after the files are staged and before they are packed.

# A Debian package must own nothing under /usr/local and keep configuration in /etc, never
# /usr/etc.
file(GLOB_RECURSE _ryx_misplaced LIST_DIRECTORIES false RELATIVE "${CPACK_TEMPORARY_DIRECTORY}"
    "${CPACK_TEMPORARY_DIRECTORY}/usr/local/*" "${CPACK_TEMPORARY_DIRECTORY}/usr/etc/*")
if(_ryx_misplaced)
    list(JOIN _ryx_misplaced "\n  " _ryx_list)
    message(FATAL_ERROR "files installed outside the Debian layout:\n  ${_ryx_list}\n"
        "configure with -DCMAKE_INSTALL_PREFIX=/usr -DRYX_PYTHON_INSTALL_DIR=lib/python3/dist-packages")
endif()

# Distribution packages ship man pages compressed; man finds the page a ".so" line names also
# when it is compressed. -n keeps name and time out of the archive, so the package is
# reproducible.
file(GLOB _ryx_pages LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/usr/share/man/man*/*")
list(FILTER _ryx_pages EXCLUDE REGEX "\\.gz$")
foreach(_ryx_page IN LISTS _ryx_pages)
    execute_process(COMMAND gzip -9nf "${_ryx_page}" RESULT_VARIABLE _ryx_rc)
    if(NOT _ryx_rc EQUAL 0)
        message(FATAL_ERROR "gzip ${_ryx_page} failed")
    endif()
endforeach()
