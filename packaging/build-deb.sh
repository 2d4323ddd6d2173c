#!/usr/bin/env bash
# Builds the Debian package in build/deb (or $1): configures a tree for the /usr prefix without
# the test suite, builds it and runs cpack. The .deb is left in that directory.
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$src/build/deb}"

# Debian keeps packaged extension modules in the version-independent dist-packages directory.
cmake -S "$src" -B "$out" -G Ninja \
    -DCMAKE_BUILD_TYPE="${CMAKE_BUILD_TYPE:-RelWithDebInfo}" \
    -DCMAKE_INSTALL_PREFIX=/usr \
    -DRYX_PYTHON_INSTALL_DIR=lib/python3/dist-packages \
    -DRYX_BUILD_TESTS=OFF \
    -DRYX_SANITIZE="${RYX_SANITIZE:-}"
cmake --build "$out"
cd "$out" && cpack -G DEB
