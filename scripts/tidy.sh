#!/usr/bin/env bash
# Runs clang-tidy (the checks of .clang-tidy, and of a folder's own .clang-tidy where it has one)
# over the product folders with the compile commands of a configured build, and looks for
# file-scope statics where the tree's naming style holds; fails with status 1 when it finds
# anything.
#   scripts/tidy.sh [BUILD_DIR] [FILE...]
# BUILD_DIR defaults to build/clang (cmake --preset clang): clang-tidy then sees the flags clang++
# compiles with. FILEs, if any, limit the run to those and show clang-tidy's full output.
# Without clang-tidy 14 (Debian 12's and CI's: every version adds checks to the groups the file
# enables) the script reports "SKIPPED: ..." and succeeds; RYX_CLANG_TIDY names another binary to
# use anyway, RYX_TIDY_JOBS the number of parallel runs (2).
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
# What ships; tests, benchmarks and fuzz targets answer to the compilers' warnings only.
folders=(sampler ryxtop libryx ryz-helpers bindings sim exporter)

build="${1:-$src/build/clang}"
shift || true
if [ ! -f "$build/compile_commands.json" ]; then
    echo "tidy: no $build/compile_commands.json; configure a build first (cmake --preset clang)" >&2
    exit 2
fi
build="$(cd "$build" && pwd)"

major() { "$1" --version 2>/dev/null | sed -n 's/.*LLVM version \([0-9]*\).*/\1/p'; }

tool="${RYX_CLANG_TIDY:-}"
if [ -n "$tool" ] && ! command -v "$tool" >/dev/null; then
    echo "tidy: RYX_CLANG_TIDY=$tool is not a program" >&2
    exit 2
elif [ -z "$tool" ]; then
    for candidate in clang-tidy-14 clang-tidy; do
        if command -v "$candidate" >/dev/null && [ "$(major "$candidate")" = 14 ]; then
            tool="$candidate"
            break
        fi
    done
fi
if [ -z "$tool" ]; then
    if command -v clang-tidy >/dev/null; then
        echo "SKIPPED: clang-tidy $(major clang-tidy) enables other checks than clang-tidy 14," \
            "which the tree follows (set RYX_CLANG_TIDY to use it anyway)"
    else
        echo "SKIPPED: clang-tidy 14 is not installed (scripts/install-deps.sh installs it)"
    fi
    exit 0
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/ryx-tidy.XXXXXX")"
trap 'rm -rf "$work"' EXIT

# One compile command per product source (a fuzz target compiles some of them a second time),
# written as a database of its own, so that each file is checked once.
RYX_TIDY_FOLDERS="${folders[*]}" /usr/bin/python3 - "$src" "$build/compile_commands.json" "$work" "$@" <<'EOF'
import json, os, sys

src, db, work, wanted = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
folders = os.environ["RYX_TIDY_FOLDERS"].split()
wanted = {os.path.realpath(w) for w in wanted}
chosen = {}
for entry in json.load(open(db)):
    path = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
    rel = os.path.relpath(path, src)
    if rel.split(os.sep)[0] not in folders or (wanted and path not in wanted):
        continue
    command = entry.get("command") or " ".join(entry.get("arguments", []))
    if path not in chosen or "fuzzer" in chosen[path][1]:
        chosen[path] = (entry, command)
missing = wanted - set(chosen)
if missing:
    sys.exit("tidy: not compiled in this build: " + " ".join(sorted(missing)))
with open(os.path.join(work, "compile_commands.json"), "w") as f:
    json.dump([entry for entry, _ in chosen.values()], f)
with open(os.path.join(work, "files"), "w") as f:
    f.write("".join(p + "\0" for p in sorted(chosen)))
EOF

count=$(tr -cd '\0' <"$work/files" | wc -c)
if [ "$count" -eq 0 ]; then
    echo "tidy: $build compiles no file of ${folders[*]}" >&2
    exit 2
fi

# Findings in the product folders' own headers count too, once each.
alternatives="$(IFS='|'; printf '%s' "${folders[*]}")"
header_filter="^$(printf '%s' "$src" | sed 's/[][\.*^$()+?{}|]/\\&/g')/($alternatives)/"
mkdir "$work/logs"
export tool work header_filter
xargs -0 -n 1 -P "${RYX_TIDY_JOBS:-2}" sh -c '
    log="$work/logs/$(printf "%s" "$1" | tr / _)"
    "$tool" -p "$work" --quiet --header-filter="$header_filter" "$1" >"$log" 2>&1 ||
        echo "$1" >>"$work/failed"' sh <"$work/files"

# clang-tidy 14 has no check for it: where the tree's naming style holds (a source's folder has a
# .clang-tidy that enables it), file-local functions and objects sit in anonymous namespaces, never
# behind a file-scope static.
tr '\0' '\n' <"$work/files" | while IFS= read -r f; do
    grep -qs readability-identifier-naming "$(dirname "$f")/.clang-tidy" || continue
    grep -nE '^(template <[^>]*> )?static ' "$f" |
        sed "s|^\([0-9]*\):.*|$f:\1:1: warning: file-scope static: file-local names go in an anonymous namespace [file-local-static]|" ||
        true
done >"$work/logs/file-local-static"

if [ $# -gt 0 ]; then
    cat "$work"/logs/*
fi
{ cat "$work"/logs/* | grep -E '^[^ ]+:[0-9]+:[0-9]+: (warning|error): .*\]$' || true; } |
    while IFS= read -r line; do printf '%s\n' "${line#"$src"/}"; done | sort -u >"$work/findings"
if [ -s "$work/findings" ]; then
    cat "$work/findings"
    echo "tidy: $(wc -l <"$work/findings") findings ($tool, $count files):" >&2
    sed 's/.*\[\(.*\)\]$/\1/' "$work/findings" | sort | uniq -c | sort -rn >&2
    exit 1
fi
if [ -s "$work/failed" ]; then
    # A failure without a finding: clang-tidy itself could not run.
    while read -r f; do
        cat "$work/logs/$(printf '%s' "$f" | tr / _)" >&2
    done <"$work/failed"
    echo "tidy: $tool failed on: $(tr '\n' ' ' <"$work/failed")" >&2
    exit 1
fi
echo "tidy: $count files pass .clang-tidy ($tool)"
