# Debian package of everything `cmake --install` installs: one binary package, "ryxkit".
#
# Build it from a tree configured for the system prefix, so that GNUInstallDirs picks the
# multiarch library directory and /etc:
#   cmake -S . -B build/deb -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
#         -DCMAKE_INSTALL_PREFIX=/usr -DRYX_PYTHON_INSTALL_DIR=lib/python3/dist-packages \
#         -DRYX_BUILD_TESTS=OFF
#   cmake --build build/deb && (cd build/deb && cpack -G DEB)
# packaging/build-deb.sh does exactly that.

set(RYX_PACKAGE_CONTACT "ryxkit maintainers <maintainers@ryxkit.invalid>"
    CACHE STRING "Maintainer field of the Debian package")
set(RYX_PACKAGE_REVISION "1" CACHE STRING "Debian revision of the package (the part after the dash)")

set(CPACK_PACKAGE_NAME "ryxkit")
set(CPACK_PACKAGE_VENDOR "ryxkit")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${RYX_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "statistics viewer and domain tools for RYX containers")
set(CPACK_PACKAGE_DESCRIPTION
"Tools for Linux hosts whose kernel confines every user in a resource-limited
RYX container: the statistics viewer ryxps, the domain helper programs with
which a user manages the containers of their own web domains, the container
library libryx with its headers and administration command, and the Python
module _ryzmap giving access to the domain registry.")
set(CPACK_RESOURCE_FILE_README "${PROJECT_SOURCE_DIR}/README.md")

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_PACKAGE_RELEASE "${RYX_PACKAGE_REVISION}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "admin")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion")

# The module is built against one interpreter's ABI (its file name carries the version tag),
# so the package only works with that minor release.
set(_ryx_py "${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}")
math(EXPR _ryx_py_next "${Python3_VERSION_MINOR} + 1")
set(_ryx_depends "python3 (>= ${_ryx_py}), python3 (<< ${Python3_VERSION_MAJOR}.${_ryx_py_next})")

# Library dependencies come from the binaries themselves when dpkg-shlibdeps is there (it also
# catches the sanitizer runtimes of an instrumented build); otherwise a fixed list for the
# libraries every build links.
find_program(RYX_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(RYX_DPKG_SHLIBDEPS)
if(RYX_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    # libryx is part of this very package; dpkg-shlibdeps must find it here, not on the host.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${CMAKE_BINARY_DIR}/libryx")
else()
    string(APPEND _ryx_depends ", libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1, libncursesw6, libtinfo6")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${_ryx_depends}")
# The package ships libryx.so.0: a shlibs entry for packages built against it (cpack adds the
# ldconfig call to postinst and postrm by itself). Written by hand because cpack's generated
# one would also look at the Python module, which has no soname.
configure_file(${CMAKE_CURRENT_LIST_DIR}/deb/shlibs.in ${CMAKE_BINARY_DIR}/packaging/deb/shlibs @ONLY)
# postinst: ldconfig, and the migration of a registry and container state of earlier versions.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${CMAKE_BINARY_DIR}/packaging/deb/shlibs"
    "${CMAKE_CURRENT_LIST_DIR}/deb/postinst")
# Installed binaries are stripped, as in any distribution package.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Any other prefix would put the library in lib/ instead of the multiarch directory and the
# configuration under /usr/etc: refuse at packaging time rather than ship that.
set(CPACK_RYX_CONFIGURED_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/cpack-project.cmake")
set(CPACK_PRE_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/cpack-staging.cmake")

set(CPACK_SOURCE_GENERATOR "TGZ")
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "__pycache__" "\\\\.pyc$")

include(CPack)
