#!/usr/bin/env bash
# The main job: installs what is missing, builds, and shows ryxps live on a simulated host.
# In a terminal: top mode (press q to quit). Otherwise: a few interval-mode tables.
# Arguments, if any, replace the ryxps options (e.g. scripts/run.sh -p -d -c 2).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

preset=release
build=build/$preset
cmake --preset "$preset" >/dev/null
cmake --build "$build" --target ryxps ryxsim ryxinfo ryxctl \
    ryz-limits-helper ryz-registry-helper ryz-stats-helper

ryxsim=$PWD/$build/sim/ryxsim
ryxps=$PWD/$build/ryxtop/ryxps

# The host needs a private mount namespace. As root it has its users and their domains; without
# root (no sudo) an unprivileged user namespace still shows the load, without the domains.
sudo=()
if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null; then
        sudo=(sudo)
    elif ! unshare --user --map-root-user --mount true 2>/dev/null; then
        echo "run.sh: the simulated host needs root, sudo or unprivileged user namespaces" >&2
        exit 1
    fi
fi

if [ $# -gt 0 ]; then
    exec "${sudo[@]}" "$ryxsim" -- "$ryxps" "$@"
elif [ -t 1 ]; then
    echo "ryxps -t on the simulated host; press q to quit" >&2
    sleep 1
    exec "${sudo[@]}" "$ryxsim" -- "$ryxps" -t -L -s cpu
else
    # Each table is one interval of a second, sorted by CPU, with the reseller column.
    exec "${sudo[@]}" "$ryxsim" -- /bin/sh -c '
        for pass in 1 2 3; do
            [ "$pass" = 1 ] || echo
            "$0" -L -d -c 1 -s cpu || exit
        done' "$ryxps"
fi
