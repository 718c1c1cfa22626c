#!/usr/bin/env bash
# Runs every fuzz target of the fuzz preset: scripts/fuzz.sh [SECONDS-EACH] [TARGET...]
# (default 600 s each, all targets; ZEP_FUZZ_RUNS=N stops a target after N inputs instead). Each target keeps a growing corpus in build/fuzz/corpus/<target>,
# started from the seeds the build made; a crash leaves its input in build/fuzz/crashes/ and fails.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-600}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_container fuzz_manifest fuzz_command_line fuzz_pe_version fuzz_msi_package)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" >/dev/null

bin=build/fuzz/bin
mkdir -p build/fuzz/crashes
# Leaks inside libraries we cannot change, each explained in the file.
export LSAN_OPTIONS="suppressions=$PWD/tests/fuzz/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
status=0
for target in "${targets[@]}"; do
    corpus=build/fuzz/corpus/$target
    mkdir -p "$corpus"
    log=build/fuzz/$target.log
    # Command lines are short; long inputs only slow the grammar's target down.
    extra=()
    [ "$target" != fuzz_command_line ] || extra=(-max_len=256)
    # The library's frames (built without frame pointers) are seen only by the slow unwinder, which the
    # suppressions need.
    unwind=
    [ "$target" != fuzz_msi_package ] || unwind=fast_unwind_on_malloc=0
    limit=(-max_total_time="$seconds")
    [ -z "${ZEP_FUZZ_RUNS:-}" ] || limit=(-runs="$ZEP_FUZZ_RUNS")
    echo "== fuzz $target: ${limit[*]}"
    if ! ASAN_OPTIONS="${unwind}${ASAN_OPTIONS:+:$ASAN_OPTIONS}" "$bin/$target" "$corpus" "$bin/fuzz-seeds/$target" "${limit[@]}" "${extra[@]}" -timeout=10 \
        -rss_limit_mb=2048 -artifact_prefix="build/fuzz/crashes/$target-" -print_final_stats=1 >"$log" 2>&1; then
        echo "FAIL: $target found a fault; see $log and build/fuzz/crashes/"
        tail -n 30 "$log"
        status=1
        continue
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    echo "$target: ${runs:-?} executions, no fault"
done
exit $status
