#!/usr/bin/env bash
# A whole update against a shell doing the same steps, in the same run, for one shape of update:
#   mixed     10,000 files of 100 KiB (1 GiB in 200 folders), 2,000 replaced (200 MiB), 100 deleted
#   full      the same product, all 10,000 files replaced
#   small5k   5,000 files of 4 KiB (50 folders), all replaced
#   small20k  20,000 files of 4 KiB (200 folders), all replaced
#   small100k 100,000 files of 4 KiB (1,000 folders), all replaced
# The worker's time is measured with its 300 ms pause after each progress message taken out (counted
# from its log and reported apart); the shell's steps are cp -a of the backup, sha1sum -c of the update,
# cp of the new files, rm of the deleted ones and rm -rf of the backup, and the same followed by sync
# for the worker's durability. Peak memory is the worker's maximum RSS, user CPU its user time.
# --in runs it in FOLDER (for another file system); --xfs in an XFS image with shared blocks (reflink),
# made and mounted for the run, where both the worker's and cp's copies share their sources' blocks.
# Usage: bench/update_bench.sh [--in FOLDER | --xfs] [--runs N] [--shape SHAPE] [build folder]   (as root)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=3
shape=mixed
xfs=
while [ $# -gt 0 ]; do
    case $1 in
    --in) export TMPDIR=${2:?--in needs a folder}; shift 2 ;;
    --xfs) xfs=1; shift ;;
    --runs) runs=${2:?--runs needs a number}; shift 2 ;;
    --shape) shape=${2:?--shape needs a shape}; shift 2 ;;
    *) break ;;
    esac
done
# folders, files per folder, bytes per file, every how many-th file is replaced, files deleted
case $shape in
mixed) folders=200 per=50 size=102400 every=5 deleted=100 ;;
full) folders=200 per=50 size=102400 every=1 deleted=0 ;;
small5k) folders=50 per=100 size=4096 every=1 deleted=0 ;;
small20k) folders=200 per=100 size=4096 every=1 deleted=0 ;;
small100k) folders=1000 per=100 size=4096 every=1 deleted=0 ;;
*) echo "unknown shape: $shape (mixed, full, small5k, small20k, small100k)" >&2; exit 2 ;;
esac
build="${1:-build/native-release}"
cmake --preset native-release -B "$build" >/dev/null
cmake --build "$build" --target zepmaintenance zcf zepreg zep_dialog_host -j 2 >/dev/null
bin=$(cd "$build/bin" && pwd)
key=$PWD/tests/keys/development-private.pem

image= mounted=
cleanup() {
    rm -rf "${work:-}"
    if [ -n "$mounted" ]; then umount "$mounted" && rmdir "$mounted"; fi
    if [ -n "$image" ]; then rm -f "$image"; fi
}
trap cleanup EXIT
if [ -n "$xfs" ]; then
    image=$(mktemp "${TMPDIR:-/tmp}/zep-bench-xfs.XXXXXX")
    truncate -s 16G "$image"
    mkfs.xfs -q -f -m reflink=1 "$image"
    mounted=$(mktemp -d)
    mount -o loop "$image" "$mounted"
    export TMPDIR=$mounted
fi
echo "file system: $(df -T "${TMPDIR:-/tmp}" | awk 'NR == 2 { print $2 }') at ${TMPDIR:-/tmp}"
work=$(mktemp -d)
pristine="$work/pristine"
export ZEP_MACHINE_ROOT="$work/machine"

echo "shape $shape: making the product ($((folders * per)) files of $size bytes) and the update ..."
mkdir -p "$pristine/product" "$pristine/update"
: >"$pristine/update/._ZEP_UPGRADE_delete"
for d in $(seq -w 0 $((folders - 1))); do
    mkdir -p "$pristine/product/folder$d" "$pristine/update/folder$d"
    # One random stream a folder, cut into its files.
    head -c $((per * size)) /dev/urandom | split -b "$size" -d -a 3 - "$pristine/product/folder$d/file"
    for n in $(seq -f '%03g' 0 "$every" $((per - 1))); do
        head -c "$size" /dev/urandom >"$pristine/update/folder$d/file$n"
    done
done
# Deleted: ten files of each of the first folders that are not replaced.
left=$deleted
for d in $(seq -w 0 $((folders - 1))); do
    for n in $(seq -f '%03g' 1 $((per - 1))); do
        [ "$left" -gt 0 ] && [ $((10#$n % every)) -ne 0 ] || continue
        printf 'folder%s\\file%s\r\n' "$d" "$n" >>"$pristine/update/._ZEP_UPGRADE_delete"
        left=$((left - 1))
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

# Where the worker's time went, from its log: each stage from the line that opens it to the one that
# opens the next, without the pauses after the progress messages sent within it.
stages() {
    awk '
    function at(line) { split(substr(line, 12, 12), t, /[:,]/); return t[1] * 3600 + t[2] * 60 + t[3] + t[4] / 1000 }
    function mark(name, line) { if (!(name in seen)) { seen[name] = 1; order[++n] = name; start[name] = at(line) } }
    /Hold: Folder held/ { holds++; mark(holds == 1 ? "read" : "backup", $0) }
    /ScanDir:/ && holds == 1 { mark("check", $0) }
    /msg.msg: Removing old files/ { mark("delete", $0) }
    /msg.msg: Copying new files/ { mark("copy", $0) }
    /Upgrade successfully finished/ { mark("finish", $0) }
    /msg.msg: Update successfully finished/ { mark("clean", $0) }
    /wWinMain exit/ { mark("end", $0) }
    /WriteSynch/ { pauses[n] += 0.3 }
    END {
        for (i = 1; i < n; i++) {
            printf "%s%s %.2f s", (i > 1 ? ", " : ""), order[i], start[order[i + 1]] - start[order[i]] - pauses[i]
        }
        print ""
    }' "$1"
}

worker_run() {
    fresh
    local pipe="ZEPMaintenance_bench_$RANDOM"
    "$bin/zep_dialog_host" -lang 2 -listen "$pipe" >/dev/null 2>&1 &
    local listener=$!
    local start end
    start=$(seconds)
    /usr/bin/time -f '%M %U %S' -o "$work/rss" "$bin/zepmaintenance" -mode worker -op update -pp "$product/" \
        -dp "$data/" -guiPipe "$pipe" -lang 2 </dev/null >/dev/null 2>&1 ||
        grep -a ' ERROR ' "$ZEP_MACHINE_ROOT/var/lib/Z.EP Maintenance2/ZEPMaintenance2-worker.log" | head -n 3 >&2
    end=$(seconds)
    wait "$listener" || true
    local messages
    local log="$ZEP_MACHINE_ROOT/var/lib/Z.EP Maintenance2/ZEPMaintenance2-worker.log"
    messages=$(grep -c 'Pipe - WriteSynch' "$log")
    stages "$log" >"$work/stages"
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
    sync
    echo "$end $start $(seconds)"
}

worker_times=() pause_times=() shell_times=() synced_times=() rss=() cpu=() sys=()
for run in $(seq "$runs"); do
    read -r end start messages peak user system < <(worker_run)
    cpu+=("$user")
    sys+=("$system")
    pause=$(awk -v m="$messages" 'BEGIN { print m * 0.3 }')
    worker_times+=("$(awk -v e="$end" -v s="$start" -v p="$pause" 'BEGIN { print e - s - p }')")
    pause_times+=("$pause")
    rss+=("$peak")
    read -r end start synced < <(shell_run)
    shell_times+=("$(awk -v e="$end" -v s="$start" 'BEGIN { print e - s }')")
    synced_times+=("$(awk -v e="$synced" -v s="$start" 'BEGIN { print e - s }')")
    printf 'run %d: worker %.2f s (+ %.1f s of pauses after %d messages, user CPU %.2f s, system CPU %.2f s, peak RSS %d KiB), shell %.2f s, with sync %.2f s\n' \
        "$run" "${worker_times[-1]}" "$pause" "$messages" "$user" "$system" "$peak" "${shell_times[-1]}" "${synced_times[-1]}"
    echo "  worker stages: $(cat "$work/stages")"
done

median() { printf '%s\n' "$@" | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
w=$(median "${worker_times[@]}")
s=$(median "${shell_times[@]}")
y=$(median "${synced_times[@]}")
printf 'median (%s): worker %.2f s without pauses, shell %.2f s, shell+sync %.2f s; ratio worker/shell %.2f, worker/(shell+sync) %.2f; user CPU %.2f s; pauses %.1f s; peak RSS %d KiB\n' \
    "$shape" "$w" "$s" "$y" "$(awk -v w="$w" -v s="$s" 'BEGIN { print w / s }')" "$(awk -v w="$w" -v s="$y" 'BEGIN { print w / s }')" \
    "$(median "${cpu[@]}")" "$(median "${pause_times[@]}")" "$(median "${rss[@]}")"
