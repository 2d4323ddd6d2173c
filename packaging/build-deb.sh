#!/usr/bin/env bash
# Builds the Debian packages (debian/) with dpkg-buildpackage and leaves the .deb files, the
# debug symbol packages (.ddeb) and the .changes and .buildinfo files in OUTDIR (default
# build/deb). The build runs in a scratch copy of the source under $TMPDIR, so the checkout
# stays clean and two builds can run at once.
#   packaging/build-deb.sh [OUTDIR]
# Debian's build flags apply (dpkg-buildflags), whatever configuration the caller tests.
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
out="$(mkdir -p "${1:-$src/build/deb}" && cd "${1:-$src/build/deb}" && pwd)"

version="$(dpkg-parsechangelog -l "$src/debian/changelog" -S Version)"
work="$(mktemp -d "${TMPDIR:-/tmp}/ryxkit-deb.XXXXXX")"
trap 'rm -rf "$work"' EXIT
tree="$work/ryxkit-${version%-*}"
mkdir "$tree"

# The files of the checkout as they are now (tracked, and new ones not ignored), never a build
# tree; outside a git checkout, everything but the build directories.
if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$src" && git ls-files -z --cached --others --exclude-standard |
        xargs -0 sh -c 'for f; do [ -e "$f" ] || [ -L "$f" ] && printf "%s\0" "$f"; done' sh |
        tar --null -T - -cf -) | tar -xf - -C "$tree"
else
    tar -C "$src" --exclude='./build*' --exclude=./.git --exclude=__pycache__ -cf - . |
        tar -xf - -C "$tree"
fi

(cd "$tree" && dpkg-buildpackage -us -uc -b)

shopt -s nullglob
built=("$work"/*.deb "$work"/*.ddeb "$work"/*.changes "$work"/*.buildinfo)
# Only this build's files in OUTDIR: a stale package of another version would be installed
# alongside by a careless "dpkg -i OUTDIR/*.deb".
rm -f "$out"/*.deb "$out"/*.ddeb "$out"/*.changes "$out"/*.buildinfo
mv "${built[@]}" "$out"/
ls -l "$out"
