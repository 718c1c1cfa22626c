#!/usr/bin/env bash
# The update benchmark's table: every shape on the temporary folder's file system and on an XFS image
# with shared blocks, one Markdown row each from update_bench.sh's medians.
# Usage: bench/update_table.sh [--runs N] [shape ...]   (as root; default: every shape but small100k)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=1
if [ "${1:-}" = --runs ]; then
    runs=${2:?--runs needs a number}
    shift 2
fi
shapes=("$@")
[ ${#shapes[@]} -gt 0 ] || shapes=(mixed full small5k small20k)
echo "| file system | shape | worker | shell | shell+sync | ratio | ratio with sync | user CPU | peak RSS | worker stages |"
echo "|---|---|---|---|---|---|---|---|---|---|"
for where in ext4 xfs; do
    for shape in "${shapes[@]}"; do
        options=(--runs "$runs" --shape "$shape")
        [ "$where" = ext4 ] || options+=(--xfs)
        out=$(bash bench/update_bench.sh "${options[@]}" 2>&1) || { echo "$out" >&2; exit 1; }
        fs=$(sed -n 's/^file system: \([^ ]*\) .*/\1/p' <<<"$out")
        stages=$(grep 'worker stages:' <<<"$out" | tail -n 1 | sed 's/.*worker stages: //')
        sed -n 's/^median ([^)]*): worker \([0-9.]*\) s without pauses, shell \([0-9.]*\) s, shell+sync \([0-9.]*\) s; ratio worker\/shell \([0-9.]*\), worker\/(shell+sync) \([0-9.]*\); user CPU \([0-9.]*\) s; pauses [0-9.]* s; peak RSS \([0-9]*\) KiB$/\1 \2 \3 \4 \5 \6 \7/p' <<<"$out" |
            while read -r w s y r ry u m; do
                printf '| %s | %s | %s s | %s s | %s s | %s | %s | %s s | %.1f MiB | %s |\n' \
                    "$fs" "$shape" "$w" "$s" "$y" "$r" "$ry" "$u" "$(awk -v k="$m" 'BEGIN { print k / 1024 }')" "$stages"
            done
    done
done
