#!/usr/bin/env bash
# The whole test suite: dependencies, then the release and the sanitizer build, each built and
# run under ctest. Extra arguments go to ctest (e.g. -R viewer).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

presets=(${RYX_PRESETS:-release asan})
for preset in "${presets[@]}"; do
    echo "=== $preset build" >&2
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset" "$@"
done
