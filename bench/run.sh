#!/usr/bin/env bash
# Builds the release preset and runs the system-wrapper benchmarks; prints both ratios at the end.
# Usage: bench/run.sh [build folder]   (run as root: the copy benchmark sets file owners)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/native-release}"
cmake --preset native-release -B "$build" >/dev/null
cmake --build "$build" --target zep_bench -j 2
"$build/bin/zep_bench" --benchmark_counters_tabular=true
