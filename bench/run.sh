#!/usr/bin/env bash
# Builds the release preset and runs the benchmarks: the system wrappers, then the settings store's write
# latency idle and against another user's locks, a progress message's way to the dialog; each prints its
# ratios at the end.
# Usage: bench/run.sh [--in FOLDER] [build folder]
#   --in FOLDER  the folder the benchmarks' files are made in (default: the system's temporary folder),
#                to compare file systems, e.g. one with reflink copies
# Run as root: the copy benchmark sets file owners, and only root writes the settings store.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = --in ]; then
    export TMPDIR=${2:?--in needs a folder}
    shift 2
fi
build="${1:-build/native-release}"
cmake --preset native-release -B "$build" >/dev/null
cmake --build "$build" --target zep_bench zep_store_bench zep_gui_bench -j 2
"$build/bin/zep_bench" --benchmark_counters_tabular=true
"$build/bin/zep_store_bench" --benchmark_counters_tabular=true
"$build/bin/zep_gui_bench" --benchmark_counters_tabular=true
