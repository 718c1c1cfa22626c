#!/usr/bin/env bash
# Builds the release preset and runs the benchmarks: the system wrappers, then the settings store's write
# latency idle and against another user's locks; each prints its ratios at the end.
# Usage: bench/run.sh [build folder]   (run as root: the copy benchmark sets file owners, and only root
# writes the settings store)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/native-release}"
cmake --preset native-release -B "$build" >/dev/null
cmake --build "$build" --target zep_bench zep_store_bench -j 2
"$build/bin/zep_bench" --benchmark_counters_tabular=true
"$build/bin/zep_store_bench" --benchmark_counters_tabular=true
