#!/usr/bin/env bash
# The crash-matrix driver and the tree recorder, on the probe's small update with its backup: a right
# rollback passes at every point in every mode, a wrong one fails at exactly the points where it leaves
# the update's files behind; point selection, parallel runs, time-outs and the driver's refusals.
# Usage: crash_matrix_test.sh <preload> <probe> <zep_tree>
source "$(dirname "$0")/lib.sh"
preload=$1
probe=$2
tree=$3
matrix=$(cd "$(dirname "$0")" && pwd)/crash_matrix.sh
# A file system without a disk's flushes keeps the many small runs quick; a killed process loses nothing
# there that it would keep on a disk.
base=$([ -w /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")
work=$(mktemp -d "$base/zep-crash-matrix-test.XXXXXX")
trap 'rm -rf "$work"' EXIT

# ---- zep_tree: equal trees, then each kind of difference, reported by name ----

mkdir -p "$work/t/a/sub" && printf one >"$work/t/a/file" && printf two >"$work/t/a/sub/x" &&
    ln -s file "$work/t/a/link" && printf 'odd' >"$work/t/a/tab	and
newline"
cp -a "$work/t/a" "$work/t/b"
"$tree" record "$work/t/a" >"$work/t/a.rec"
check "record of a tree: $(cat "$work/t/a.rec")" [ "$(cut -f1,2 "$work/t/a.rec" | tr '\n' '|')" = \
    ".	d|file	f|link	l|sub	d|sub/x	f|tab\\tand\\nnewline	f|" ]
check "a file's line" grep -qxF "file	f	0644	$(id -u)	$(id -g)	3	$(printf one | sha1sum | cut -d' ' -f1)	-" "$work/t/a.rec"
check "a link's line" grep -qxF "link	l	0777	$(id -u)	$(id -g)	4	-	file" "$work/t/a.rec"
out=$("$tree" compare "$work/t/a.rec" "$work/t/b")
check "equal trees compare unequal: $out" [ $? -eq 0 ] && [ -z "$out" ]
printf One >"$work/t/b/file"
chmod 600 "$work/t/b/sub/x"
ln -sfn sub "$work/t/b/link"
rm "$work/t/b/tab"*
mkdir "$work/t/b/new"
out=$("$tree" compare "$work/t/a.rec" "$work/t/b")
status=$?
expected="file: content sha1 $(printf one | sha1sum | cut -d' ' -f1) -> $(printf One | sha1sum | cut -d' ' -f1)
link: link target file -> sub
sub/x: mode 0644 -> 0600
only in $work/t/a.rec: tab\\tand\\nnewline
only in $work/t/b: new"
check "differences: status $status, reported:
$out" [ "$status" -eq 1 ] && [ "$out" = "$expected" ]
rm -r "$work/t/b/new" && mkdir "$work/t/b/new" && rm -r "$work/t/b/sub" && printf x >"$work/t/b/sub"
out=$("$tree" compare "$work/t/b" "$work/t/a")
check "a folder become a file: $out" grep -qxF "sub: type f -> d" <<<"$out"
if [ "$(id -u)" -eq 0 ]; then
    cp -a "$work/t/a" "$work/t/c" && chown -h 65534:65534 "$work/t/c/link"
    out=$("$tree" compare "$work/t/a" "$work/t/c")
    check "owner: $out" [ "$out" = "link: uid $(id -u) -> 65534
link: gid $(id -g) -> 65534" ]
fi
cp -a "$work/t/a" "$work/t/d"
if setfattr -n user.zep -v 1 "$work/t/d/file" 2>/dev/null; then
    out=$("$tree" compare "$work/t/a" "$work/t/d")
    check "attributes compared without --xattrs" [ -z "$out" ]
    out=$("$tree" compare "$work/t/a" "$work/t/d" --xattrs)
    check "attributes: $out" grep -qx "file: xattrs - -> user.zep=[0-9a-f]\{40\}" <<<"$out"
fi
"$tree" compare "$work/t/a" "$work/t/missing" 2>/dev/null
check "a missing record is an error" [ $? -eq 2 ]

# ---- The matrix on the probe's update ----

template=$work/template
mkdir -p "$template/product"
printf 'alpha\n' >"$template/product/a"
printf 'bravo\n' >"$template/product/b"
printf 'charlie\n' >"$template/product/c" && chmod 755 "$template/product/c"
printf 'delta\n' >"$template/product/d"
"$tree" record "$template/product" >"$template/original.rec"
cp -a "$template/product" "$work/updated"
printf 'alpha, second edition\n' >"$work/updated/a" && rm "$work/updated/b" && printf 'echo\n' >"$work/updated/e" &&
    chmod 700 "$work/updated/c"
"$tree" record "$work/updated" >"$template/updated.rec"

export preload probe tree template
setup='cp -a "$template/." .'
run='"$probe" update product'
recover='"$probe" rollback product'
wrong='"$probe" rollback product --wrong'
# The product is either as it was or fully updated, and no backup is left.
# shellcheck disable=SC2016
verify='! ls -d product.* 2>/dev/null && { "$tree" compare original.rec product >/dev/null || "$tree" compare updated.rec product; }'

# The points, as the library lists them for one run of the update.
mkdir "$work/listing" && cp -a "$template/." "$work/listing"
(cd "$work/listing" && ZEP_FAULT_MODE=list ZEP_FAULT_LIST="$work/listing.points" LD_PRELOAD=$preload "$probe" update product)
total=$(wc -l <"$work/listing.points")
at() { awk -F '\t' -v call="$1" -v target="$2" '$3 == call && $4 == target { print $1; exit }' "$work/listing.points"; }
p=$work/listing/product
open_a=$(at open "$p/.new-a")
renamed_a=$(at rename "$p/.new-a -> $p/a")
open_e=$(at open "$p/.new-e")
committed=$(at rename "$p.backup -> $p.backup.done")
check "the update's points are not found: $open_a $renamed_a $open_e $committed" \
    [ -n "$open_a" ] && [ -n "$renamed_a" ] && [ -n "$open_e" ] && [ -n "$committed" ]

# both RECOVERY: the matrix killing at every point, then failing calls at every other one (the same
# roads at half the cost); their output and a line "status N" after each.
both() {
    local recovery=$1
    bash "$matrix" --preload "$preload" --work "$work" --jobs 2 --modes kill --setup "$setup" --run "$run" \
        --recover "$recovery" --check "$verify" 2>&1
    echo "status $?"
    bash "$matrix" --preload "$preload" --work "$work" --jobs 2 --modes eio,enospc --stride 2 --setup "$setup" \
        --run "$run" --recover "$recovery" --check "$verify" 2>&1
    echo "status $?"
}
halves=$(((total + 1) / 2))
out=$(both "$recover")
check "a right rollback:
$out" [ "$(grep -c '^status 0$' <<<"$out")" -eq 2 ] &&
    grep -qxF "crash matrix: $total points, $total runs: $total passed, 0 failed" <<<"$out" &&
    grep -qxF "crash matrix: $total points, $((2 * halves)) runs: $((2 * halves)) passed, 0 failed" <<<"$out"

# The wrong rollback leaves an added file where the update had made one and the backup was still there:
# from the first write into .new-a to its rename, and from the first write into .new-e to the commit. The
# update stops at a failing call as it does when killed, so every mode fails at the same points.
expected=""
for mode in kill eio enospc; do
    [ "$mode" = eio ] && expected="${expected% }|"
    for point in $(seq $((open_a + 1)) "$renamed_a") $(seq $((open_e + 1)) "$committed"); do
        [ "$mode" = kill ] || [ $(((point - 1) % 2)) -eq 0 ] && expected+="$mode@$point "
    done
done
out=$(both "$wrong")
check "a wrong rollback: $(grep '^status' <<<"$out" | tr '\n' ' ')" [ "$(grep -c '^status 1$' <<<"$out")" -eq 2 ]
actual=$(sed -n 's/^failures: //p' <<<"$out" | paste -sd '|')
check "a wrong rollback fails elsewhere:
$actual
expected: ${expected% }" [ "$actual" = "${expected% }" ]
check "a failure is not shown with its call and the check's output:
$out" grep -qF "FAIL kill at point $committed (rename <dir>/product.backup -> <dir>/product.backup.done): check failed (run status 137)
    only in product: e" <<<"$out"
check "the failing run's folder is not kept" [ -d "$(grep -m1 -o "its folder: .*" <<<"$out" | cut -d' ' -f3)/product" ]

# Point selection: every tenth; at most three, spread; named ones.
out=$(bash "$matrix" --preload "$preload" --work "$work" --modes kill --stride 10 --setup "$setup" --run "$run" \
    --recover "$wrong" --check "$verify" 2>&1)
chosen=$(seq 1 10 "$total" | wc -l)
check "--stride 10: $out" grep -qxF "crash matrix: $total points; modes kill; $chosen points each" <<<"$out"
out=$(bash "$matrix" --preload "$preload" --work "$work" --modes kill,eio --limit 3 --setup "$setup" --run "$run" \
    --recover "$recover" --check "$verify" 2>&1)
check "--limit 3: $out" grep -qxF "crash matrix: $total points, 6 runs: 6 passed, 0 failed" <<<"$out"
out=$(bash "$matrix" --preload "$preload" --work "$work" --modes enospc --points "$open_a,$committed" --setup "$setup" \
    --run "$run" --recover "$wrong" --check "$verify" 2>&1)
check "--points: $out" grep -qxF "failures: enospc@$committed" <<<"$out"

# Sourced, the driver takes the sourcing script's functions as its commands.
make_fixture() { cp -a "$template/." .; }
roll_back() { "$probe" rollback product; }
out=$(source "$matrix" && zep_crash_matrix --preload "$preload" --work "$work" --modes eio --limit 4 \
    --setup make_fixture --run "$run" --recover roll_back --check "$verify" 2>&1)
check "sourced: $out" grep -qxF "crash matrix: $total points, 4 runs: 4 passed, 0 failed" <<<"$out"

# Refusals: a check that fails without faults, a run without points, points that a run does not reach,
# programs counting on counters of their own, a run that does not end, and options that make no sense.
out=$(bash "$matrix" --preload "$preload" --work "$work" --setup "$setup" --run "$run" --recover true --check false 2>&1)
check "a failing unbroken run: $? $out" [ $? -eq 1 ] && grep -qF "the run without faults does not pass: check failed" <<<"$out"
out=$(bash "$matrix" --preload "$preload" --work "$work" --setup true --run true --recover true --check true 2>&1)
check "a run without points: $out" grep -qF "the run makes no mutating file-system call" <<<"$out"
# shellcheck disable=SC2016
out=$(bash "$matrix" --preload "$preload" --work "$work" --modes kill --points 3 --setup "$setup" \
    --run '[ "$ZEP_MATRIX_MODE" != list ] || '"$run" --recover "$recover" --check "$verify" 2>&1)
check "an unreached point: $out" grep -qF "FAIL kill at point 3 (" <<<"$out" &&
    grep -qF "the run ended (status 0) before point 3" <<<"$out"
out=$(bash "$matrix" --preload "$preload" --work "$work" --setup "$setup" --run "$run; $run" --recover "$recover" \
    --check true 2>&1)
check "two programs counting apart: $? $out" grep -qF "2 processes of the run count on counters of their own" <<<"$out"
out=$(bash "$matrix" --preload "$preload" --work "$work" --children share --modes kill --points 1 --setup "$setup" \
    --run "$run; $run" --recover "$recover" --check true 2>&1)
shared=$(sed -n 's/^crash matrix: \([0-9]*\) points;.*/\1/p' <<<"$out")
check "two programs on one counter: $out" [ "${shared:-0}" -gt "$total" ] && grep -qF "1 runs: 1 passed" <<<"$out"
started=$SECONDS
out=$(bash "$matrix" --preload "$preload" --work "$work" --timeout 1 --program "$(basename "$probe")" --setup "$setup" \
    --run "$run && sleep 60" --recover true --check true 2>&1)
check "a run that does not end: $out" grep -qF "the run without faults does not pass: the run did not end within 1 s" <<<"$out"
check "the run that did not end was not stopped" [ $((SECONDS - started)) -lt 30 ]
for options in "--run x --recover x --check x" "--setup x --run x --recover x --check x --modes kill,crash" \
    "--setup x --run x --recover x --check x --stride 0" "--setup x --run x --recover x --check x --preload /nowhere"; do
    # shellcheck disable=SC2086
    bash "$matrix" --preload "$preload" --work "$work" $options >/dev/null 2>&1
    check "options $options: status $?" [ $? -eq 2 ]
done
before=$(find "$work" -maxdepth 1 -name 'zep-crash-matrix.*' | wc -l)
bash "$matrix" --preload "$preload" --work "$work" --modes kill --limit 1 --setup "$setup" --run "$run" \
    --recover "$recover" --check "$verify" >/dev/null 2>&1
check "a passing matrix leaves its temporary folder" \
    [ "$(find "$work" -maxdepth 1 -name 'zep-crash-matrix.*' | wc -l)" -eq "$before" ]

zep_finish
