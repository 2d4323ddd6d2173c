#!/usr/bin/env bash
# Installs the Debian packages needed to build and test ryxkit, only when one is missing.
set -euo pipefail

pkgs=(
    g++ clang clang-format-14 clang-tidy-14 cmake ninja-build pkg-config
    libncurses-dev python3 python3-dev libgtest-dev libclang-rt-14-dev
    util-linux tmux procps groff-base man-db user-mode-linux
    build-essential dpkg-dev debhelper dh-python lintian
    libmicrohttpd-dev libgnutls28-dev libcrypt-dev
    prometheus openssl
)

missing=()
for p in "${pkgs[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "install-deps: installing ${missing[*]}" >&2
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
