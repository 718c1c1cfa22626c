#!/usr/bin/env bash
# A whole update against a shell doing the same steps, in the same run: a product of 10,000 files
# (1 GiB in 200 folders), an update replacing 2,000 of them (200 MiB) and deleting 100. The worker's
# time is measured with its 300 ms pause after each progress message taken out (counted from its log
# and reported apart); the shell's steps are cp -a of the backup, sha1sum -c of the update, cp of the new
# files, rm of the deleted ones and rm -rf of the backup. Peak memory is the worker's maximum RSS.
# Usage: bench/update_bench.sh [--in FOLDER] [--runs N] [build folder]   (as root)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=3
while [ $# -gt 0 ]; do
    case $1 in
    --in) export TMPDIR=${2:?--in needs a folder}; shift 2 ;;
    --runs) runs=${2:?--runs needs a number}; shift 2 ;;
    *) break ;;
    esac
done
build="${1:-build/native-release}"
cmake --preset native-release -B "$build" >/dev/null
cmake --build "$build" --target zepmaintenance zcf zepreg zep_dialog_host -j 2 >/dev/null
bin=$(cd "$build/bin" && pwd)
key=$PWD/tests/keys/development-private.pem

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
pristine="$work/pristine"
export ZEP_MACHINE_ROOT="$work/machine"

echo "making the product (10,000 files, 1 GiB) and the update (2,000 files, 200 MiB) ..."
mkdir -p "$pristine/product" "$pristine/update"
# 100 KiB of random bytes per file, made from one stream: folder d of file f gets a slice of its own.
for d in $(seq -w 0 199); do
    mkdir -p "$pristine/product/folder$d"
    head -c $((50 * 102400)) /dev/urandom | split -b 102400 -d -a 2 - "$pristine/product/folder$d/file"
done
# Every fifth file replaced (file00, file05, ... file45 of each folder); ten files of each of the first ten
# folders deleted.
for d in $(seq -w 0 199); do
    mkdir -p "$pristine/update/folder$d"
    for n in 00 05 10 15 20 25 30 35 40 45; do
        head -c 102400 /dev/urandom >"$pristine/update/folder$d/file$n"
    done
done
: >"$pristine/update/._ZEP_UPGRADE_delete"
for d in $(seq -f '%03g' 0 9); do
    for n in 11 12 13 14 16 17 18 19 21 22; do
        printf 'folder%s\\file%s\r\n' "$d" "$n" >>"$pristine/update/._ZEP_UPGRADE_delete"
    done
done
"$bin/zcf" manifest "$pristine/update" --out "$work/manifest.xml" >/dev/null
"$bin/zcf" sign --key "$key" --in "$work/manifest.xml" --out "$pristine/update/zep_upgrade.xml.zcf" >/dev/null
(cd "$pristine/update" && find . -type f ! -name '._ZEP_UPGRADE_delete' ! -name '*.zcf' -print0 |
    xargs -0 sha1sum >"$work/update.sha1")
echo "product: $(find "$pristine/product" -type f | wc -l) files, $(du -sh "$pristine/product" | cut -f1);" \
    "update: $(find "$pristine/update" -type f | wc -l) files, $(du -sh "$pristine/update" | cut -f1)"

product="$ZEP_MACHINE_ROOT/opt/product"
data="$ZEP_MACHINE_ROOT/data"
fresh() {
    rm -rf "$ZEP_MACHINE_ROOT"
    mkdir -p "$ZEP_MACHINE_ROOT/var/lib" "$ZEP_MACHINE_ROOT/opt" "$data"
    cp -a "$pristine/product" "$product"
    cp -a "$pristine/update" "$data/update"
    # What install records: the product folder the worker may update.
    "$bin/zepreg" add 'HKLM\software\ZEP\Z.EP Maintenance2\product' /v productPath /d "$product" /f >/dev/null
    sync
}

seconds() { date +%s.%N; }

worker_run() {
    fresh
    local pipe="ZEPMaintenance_bench_$RANDOM"
    "$bin/zep_dialog_host" -lang 2 -listen "$pipe" >/dev/null 2>&1 &
    local listener=$!
    local start end
    start=$(seconds)
    /usr/bin/time -f '%M' -o "$work/rss" "$bin/zepmaintenance" -mode worker -op update -pp "$product/" \
        -dp "$data/" -guiPipe "$pipe" -lang 2 </dev/null >/dev/null 2>&1 ||
        grep -a ' ERROR ' "$ZEP_MACHINE_ROOT/var/lib/Z.EP Maintenance2/ZEPMaintenance2-worker.log" | head -n 3 >&2
    end=$(seconds)
    wait "$listener" || true
    local messages
    messages=$(grep -c 'Pipe - WriteSynch' "$ZEP_MACHINE_ROOT/var/lib/Z.EP Maintenance2/ZEPMaintenance2-worker.log")
    echo "$end $start $messages $(tail -n 1 "$work/rss")"
}

shell_run() {
    fresh
    local start end
    start=$(seconds)
    cp -a "$product" "$data/backup"
    (cd "$data/update" && sha1sum --quiet -c "$work/update.sha1")
    (cd "$data/update" && cp -r --preserve=mode . "$product/")
    rm -f "$product/._ZEP_UPGRADE_delete" "$product/zep_upgrade.xml.zcf"
    tr -d '\r' <"$data/update/._ZEP_UPGRADE_delete" | tr '\\' '/' | (cd "$product" && xargs rm -f)
    rm -rf "$data/backup" "$data/update"
    end=$(seconds)
    echo "$end $start"
}

worker_times=() pause_times=() shell_times=() rss=()
for run in $(seq "$runs"); do
    read -r end start messages peak < <(worker_run)
    pause=$(awk -v m="$messages" 'BEGIN { print m * 0.3 }')
    worker_times+=("$(awk -v e="$end" -v s="$start" -v p="$pause" 'BEGIN { print e - s - p }')")
    pause_times+=("$pause")
    rss+=("$peak")
    read -r end start < <(shell_run)
    shell_times+=("$(awk -v e="$end" -v s="$start" 'BEGIN { print e - s }')")
    printf 'run %d: worker %.2f s (+ %.1f s of pauses after %d messages, peak RSS %d KiB), shell %.2f s\n' \
        "$run" "${worker_times[-1]}" "$pause" "$messages" "$peak" "${shell_times[-1]}"
done

median() { printf '%s\n' "$@" | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
w=$(median "${worker_times[@]}")
s=$(median "${shell_times[@]}")
printf 'median: worker %.2f s without pauses, shell %.2f s; ratio worker/shell %.2f; pauses %.1f s; peak RSS %d KiB\n' \
    "$w" "$s" "$(awk -v w="$w" -v s="$s" 'BEGIN { print w / s }')" "$(median "${pause_times[@]}")" "$(median "${rss[@]}")"
