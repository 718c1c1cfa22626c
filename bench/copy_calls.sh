#!/usr/bin/env bash
# System calls per file of the stamping copy (CopyContentTo with the backup set and owner) against
# cp -a, both copying the same 2,000-file tree in the given folder, counted with strace.
# Usage: bench/copy_calls.sh FOLDER [build folder]   (run as root: the copy sets file owners)
set -euo pipefail
cd "$(dirname "$0")/.."
folder=${1:?usage: bench/copy_calls.sh FOLDER [build folder]}
build=${2:-build/native-release}
command -v strace >/dev/null || { echo "copy_calls: strace is needed" >&2; exit 1; }
cmake --preset native-release -B "$build" >/dev/null
cmake --build "$build" --target zep_bench -j 2 >/dev/null
work=$(mktemp -d "$folder/zep-calls.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Calls after the marker, by name; the copy's own log is off, as in the benchmark.
TMPDIR=$work strace -f -qq -o "$work/zep.trace" "$build/bin/zep_bench" --copy-once "$work/copy"
ours=$(awk '/write\(-1, "copy ends"/ {on = 0} on {sub(/^[0-9]+ +/, ""); sub(/\(.*/, ""); print}
           /write\(-1, "copy starts"/ {on = 1}' \
    "$work/zep.trace" | sort | uniq -c | sort -rn)

mkdir -p "$work/tree" "$work/cp"
for folder_index in $(seq 0 39); do
    sub="$work/tree/level$((folder_index % 4))/folder$folder_index"
    mkdir -p "$sub"
    for file in $(seq 0 49); do head -c 16384 /dev/urandom >"$sub/file$file.dll"; done
done
strace -f -qq -o "$work/cp.trace" cp -a "$work/tree/." "$work/cp"
theirs=$(sed -e 's/^[0-9]* *//' -e 's/(.*//' "$work/cp.trace" | sort | uniq -c | sort -rn)

total() { awk '{n += $1} END {print n}'; }
echo "== CopyContentTo, calls by name"; echo "$ours"
echo "== cp -a, calls by name"; echo "$theirs"
awk -v a="$(total <<<"$ours")" -v b="$(total <<<"$theirs")" \
    'BEGIN {printf "calls per file: CopyContentTo %.1f, cp -a %.1f (2,000 files)\n", a / 2000, b / 2000}'
