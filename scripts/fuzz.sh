#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (ASan + UBSan + coverage) in a build directory
# of their own, replays each target's seed corpus, then fuzzes each target for a while.
#
#   scripts/fuzz.sh [--build-dir DIR] [--seconds N] [--replay-only] [--jobs N] [TARGET...]
#
# New inputs collect in DIR/corpus/<target> (the seeds in fuzz/corpus stay as they are); a
# finding is written to DIR/artifacts/ and makes the script fail. Without clang and libFuzzer the
# script reports "SKIPPED: ..." and succeeds, so that the test suite can call it anywhere.
# RYX_WERROR=ON (scripts/test.sh sets it) makes compiler warnings errors in that build too.
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"

build="$src/build/fuzz"
seconds=60
replay_only=0
jobs=2
targets=()
while (($#)); do
    case "$1" in
    --build-dir) build="$2"; shift 2 ;;
    --seconds) seconds="$2"; shift 2 ;;
    --replay-only) replay_only=1; shift ;;
    --jobs) jobs="$2"; shift 2 ;;
    -h | --help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
    esac
done
if ((${#targets[@]} == 0)); then
    targets=(list_reader_fuzzer proc_sources_fuzzer column_format_fuzzer registry_fuzzer
             helper_numbers_fuzzer tree_source_fuzzer)
fi

cc="${RYX_FUZZ_CC:-clang}"
cxx="${RYX_FUZZ_CXX:-clang++}"
if ! command -v "$cxx" >/dev/null || ! command -v "$cc" >/dev/null; then
    echo "SKIPPED: $cxx is not installed (libFuzzer needs clang)"
    exit 0
fi
probe_dir="$(mktemp -d)"
trap 'rm -rf "$probe_dir"' EXIT
printf '%s\n' '#include <cstdint>' '#include <cstddef>' \
    'extern "C" int LLVMFuzzerTestOneInput(const uint8_t *, size_t) { return 0; }' \
    >"$probe_dir/probe.cpp"
if ! "$cxx" -fsanitize=fuzzer,address,undefined "$probe_dir/probe.cpp" -o "$probe_dir/probe" \
    >/dev/null 2>&1; then
    echo "SKIPPED: $cxx cannot link libFuzzer (install the compiler runtime, libclang-rt-dev)"
    exit 0
fi

# Whole-tree coverage instrumentation; only the fuzz targets link the fuzzer's main.
cmake -S "$src" -B "$build" -G Ninja \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DRYX_SANITIZE=address,undefined -DRYX_WERROR="${RYX_WERROR:-OFF}" \
    -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
    -DRYX_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target "${targets[@]}" -j "$jobs"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
# The targets' own output (rendered tables, the parsers' messages) goes nowhere; the fuzzer's
# and the sanitizers' reports still reach stderr.
common=(-close_fd_mask=3 -timeout=20 -rss_limit_mb=2048)

failed=()
summary=()
mkdir -p "$build/artifacts"
for t in "${targets[@]}"; do
    bin="$build/fuzz/$t"
    seeds="$src/fuzz/corpus/$t"
    work="$build/corpus/$t"
    log="$build/$t.log"
    mkdir -p "$work"
    seed_files=()
    if [[ -d "$seeds" ]]; then
        mapfile -t seed_files < <(find "$seeds" -type f | sort)
    fi
    echo "=== $t: replaying ${#seed_files[@]} seeds" >&2
    if ((${#seed_files[@]})) && ! "$bin" "${common[@]}" "${seed_files[@]}" >"$log" 2>&1; then
        cat "$log" >&2
        failed+=("$t (seed replay)")
        continue
    fi
    ((replay_only)) && continue
    echo "=== $t: fuzzing for ${seconds}s" >&2
    dirs=("$work")
    [[ -d "$seeds" ]] && dirs+=("$seeds")
    if ! "$bin" "${common[@]}" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$t-" "${dirs[@]}" >"$log" 2>&1; then
        tail -n 60 "$log" >&2
        failed+=("$t")
        continue
    fi
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 || true)
    ft=$(grep -o 'ft: [0-9]*' "$log" | tail -n 1 || true)
    corp=$(find "$work" -type f | wc -l)
    summary+=("$t: ${execs:-?} executions, ${cov:-cov: ?}, ${ft:-ft: ?}, $corp inputs in the corpus")
done

for line in "${summary[@]}"; do
    echo "$line"
done
if ((${#failed[@]})); then
    echo "fuzz.sh: findings in: ${failed[*]} (inputs under $build/artifacts)" >&2
    exit 1
fi
