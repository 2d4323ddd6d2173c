#!/usr/bin/env bash
# The whole test suite: dependencies, then the release and the sanitizer build, each built and
# run under ctest, and the clang build, built only. Extra arguments go to ctest (e.g. -R viewer).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

# The Debian packages, built once for every preset: the package test (tests/packaging) takes
# them from RYX_DEB_DIR instead of building its own. They are built with Debian's flags
# (dpkg-buildflags), never with a preset's sanitizers, so every preset tests the same packages.
# A caller's RYX_DEB_DIR (packages built already) is used as it is.
if [ -z "${RYX_DEB_DIR:-}" ]; then
    echo "=== Debian packages" >&2
    export RYX_DEB_DIR="$PWD/build/deb-test"
    packaging/build-deb.sh "$RYX_DEB_DIR"
fi

# Warnings are errors here, with both compilers; RYX_WERROR=OFF for a compiler newer than
# Debian 12's that warns about more. Exported for the fuzz test's own clang build.
export RYX_WERROR="${RYX_WERROR:-ON}"

presets=(${RYX_PRESETS:-release asan clang})
for preset in "${presets[@]}"; do
    echo "=== $preset build" >&2
    cmake --preset "$preset" -DRYX_WERROR="$RYX_WERROR" >/dev/null
    cmake --build --preset "$preset"
    case "$preset" in
    # Built for clang++'s warnings and clang-tidy's checks; the tests ran against the g++ builds.
    clang) ctest --preset clang -L tidy ;;
    *) ctest --preset "$preset" "$@" ;;
    esac
done
