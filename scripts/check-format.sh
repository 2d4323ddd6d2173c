#!/usr/bin/env bash
# Fails when a C or C++ file of the tree is not formatted as the tree's .clang-format says.
#   scripts/check-format.sh          check every C and C++ file
#   scripts/check-format.sh --fix    reformat them in place
# The files: those of the git checkout (tracked, and new ones not ignored); outside a checkout,
# every C and C++ file but the build directories'. The formatter is clang-format 14, Debian 12's
# and CI's: other versions lay out some constructs differently, so without it the check reports
# "SKIPPED: ..." and succeeds. RYX_CLANG_FORMAT names another binary to use anyway.
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
cd "$src"

fix=0
case "${1:-}" in
--fix) fix=1 ;;
"") ;;
*) echo "usage: scripts/check-format.sh [--fix]" >&2; exit 2 ;;
esac

major() { "$1" --version 2>/dev/null | sed -n 's/.*clang-format version \([0-9]*\).*/\1/p'; }

tool="${RYX_CLANG_FORMAT:-}"
if [ -n "$tool" ] && ! command -v "$tool" >/dev/null; then
    echo "check-format: RYX_CLANG_FORMAT=$tool is not a program" >&2
    exit 2
elif [ -z "$tool" ]; then
    for candidate in clang-format-14 clang-format; do
        if command -v "$candidate" >/dev/null && [ "$(major "$candidate")" = 14 ]; then
            tool="$candidate"
            break
        fi
    done
fi
if [ -z "$tool" ]; then
    if command -v clang-format >/dev/null; then
        echo "SKIPPED: clang-format $(major clang-format) formats differently from clang-format 14," \
            "which the tree follows (set RYX_CLANG_FORMAT to use it anyway)"
    else
        echo "SKIPPED: clang-format 14 is not installed (scripts/install-deps.sh installs it)"
    fi
    exit 0
fi

files=()
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    while IFS= read -r -d '' f; do
        [ -f "$f" ] && files+=("$f")
    done < <(git ls-files -z --cached --others --exclude-standard -- \
        '*.c' '*.h' '*.cc' '*.cpp' '*.cxx' '*.hh' '*.hpp')
else
    while IFS= read -r -d '' f; do
        files+=("$f")
    done < <(find . \( -path './build*' -o -path './obj-*' -o -path ./debian -o -name '.?*' \) \
        -prune -o -type f \( -name '*.c' -o -name '*.h' -o -name '*.cc' -o -name '*.cpp' \
        -o -name '*.cxx' -o -name '*.hh' -o -name '*.hpp' \) -print0 | sort -z)
fi
if [ ${#files[@]} -eq 0 ]; then
    echo "check-format: no C or C++ file found under $src" >&2
    exit 1
fi

if ((fix)); then
    printf '%s\0' "${files[@]}" | xargs -0 "$tool" -i --style=file
    exit 0
fi

# One diagnostic per misplaced token, each naming its file; the summary names each file once.
report="$(printf '%s\0' "${files[@]}" |
    xargs -0 -n 20 -P 2 "$tool" --dry-run -Werror --style=file 2>&1 || true)"
bad=()
if [ -n "$report" ]; then
    mapfile -t bad < <(printf '%s\n' "$report" |
        sed -n 's/^\(.*\):[0-9]*:[0-9]*: error: code should be clang-formatted.*/\1/p' | sort -u)
fi
if [ -n "$report" ] && [ ${#bad[@]} -eq 0 ]; then
    printf '%s\n' "$report" >&2
    echo "check-format: $tool failed" >&2
    exit 1
elif [ -n "$report" ]; then
    printf '%s\n' "$report" | head -n 200
    echo "check-format: ${#bad[@]} of ${#files[@]} files are not formatted ($tool):" >&2
    printf '  %s\n' "${bad[@]}" >&2
    echo "check-format: scripts/check-format.sh --fix reformats them" >&2
    exit 1
fi
echo "check-format: ${#files[@]} files formatted as .clang-format says ($tool)"
