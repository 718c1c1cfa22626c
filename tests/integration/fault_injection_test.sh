#!/usr/bin/env bash
# The fault-injection library: which calls it counts and which it leaves alone, each mode at its point
# with no side effect of a failed call, path filters, which processes count, threads, configuration
# errors, and the real program under it. Usage: fault_injection_test.sh native <program> <preload> <probe>
source "$(dirname "$0")/lib.sh"
zep_init "$1" "$2"
preload=$3
probe=$4
work=$zep_root/work

# faulty VARIABLE=VALUE... -- COMMAND...: runs COMMAND under the library; keeps its output and status.
faulty() {
    local -a variables=()
    while [ "$1" != -- ]; do
        variables+=("$1")
        shift
    done
    shift
    out=$(env "${variables[@]}" LD_PRELOAD="$preload" "$@" 2>&1)
    status=$?
}

# fresh: an empty work folder and no list.
fresh() {
    rm -rf "$work" "$zep_root/points"
    mkdir "$work"
}

# The list's points as "call path[ -> path]" with the work folder written as W, one a line.
points() {
    awk -F '\t' -v w="$work" '{ t = $3 " " $4; gsub(w, "W", t); print t }' "$zep_root/points" 2>/dev/null
}

# The probe's "calls" and the points they are, in order; every other step is one that must not count.
expected_calls='open W/a
write W/a
fsync W/a
rename W/a -> W/b
mkdir W/d
symlinkat W/d/l -> ../b
chmod W/b
openat W/d/c
pwrite W/d/c
writev W/d/c
ftruncate W/d/c
fchmod W/d/c
fchown W/d/c
copy_file_range W/d/c
fsync W/d
link W/b -> W/d/h
fopen W/s
unlinkat W/d/h
unlink W/d/l
unlinkat W/d/c
rmdir W/d
open W/e'
# The step of the probe's output that makes each point.
steps=("open a" "write a" "fsync a" "rename a b" "mkdir d" "symlinkat d/l" "chmod b" "openat d/c" "pwrite d/c"
    "writev d/c" "ftruncate d/c" "fchmod d/c" "fchown d/c" "copy_file_range b d/c" "fsync d" "link b d/h"
    "fopen s" "unlinkat d/h" "unlink d/l" "unlinkat d/c" "rmdir d" "open e keeps errno")

# List mode: exactly the mutating calls, numbered, all from the probe; nothing on standard streams, pipes,
# devices or reads.
fresh
faulty ZEP_FAULT_MODE=list ZEP_FAULT_LIST="$zep_root/points" -- "$probe" calls "$work"
check "list run exits 0 ($status)" [ "$status" -eq 0 ]
check "the list run's steps all succeed: $out" [ "$(grep -vc ': ok$' <<<"$out")" -eq 0 ]
actual=$(points)
check "the listed points differ:
$actual" [ "$actual" = "$expected_calls" ]
check "points are numbered 1..22" [ "$(cut -f1 "$zep_root/points" | tr '\n' ' ')" = "$(seq -s ' ' 1 22) " ]
check "every point is the probe's" [ "$(cut -f2 "$zep_root/points" | sort -u | wc -l)" -eq 1 ]

# Every function the library wraps: counted once, under its own name, on its object in the folder; and
# each failing with EIO, with no effect (only the two files made beforehand by raw system calls remain).
fresh
faulty ZEP_FAULT_MODE=list ZEP_FAULT_LIST="$zep_root/points" -- "$probe" every "$work"
check "every wrapped function: $(wc -l <<<"$out") calls, $(wc -l <"$zep_root/points") points" \
    [ "$(cut -f3 "$zep_root/points")" = "$(cut -d: -f1 <<<"$out")" ] && [ "$(wc -l <<<"$out")" -eq 82 ]
check "a wrapped function's point is outside its folder" [ "$(cut -f4 "$zep_root/points" | grep -vc "^$work/")" -eq 0 ]
fresh
faulty ZEP_FAULT_MODE=eio ZEP_FAULT_AT=1 ZEP_FAULT_FAILS=0 -- "$probe" every "$work"
check "wrapped functions not failing with EIO: $(grep -v ': EIO$' <<<"$out")" [ "$(grep -vc ': EIO$' <<<"$out")" -eq 0 ]
check "failed calls made $(ls -A "$work" | tr '\n' ' ')" [ "$(ls -A "$work" | tr '\n' ' ')" = "file source " ]

# EIO and ENOSPC at each point: that step fails with the error, the list marks it, no other step fails with it.
for mode in eio enospc; do
    errname=$([ $mode = eio ] && echo EIO || echo ENOSPC)
    for point in $(seq 1 22); do
        fresh
        faulty ZEP_FAULT_MODE=$mode ZEP_FAULT_AT=$point ZEP_FAULT_LIST="$zep_root/points" -- "$probe" calls "$work"
        step=${steps[$((point - 1))]}
        check "$mode at $point: step $step does not fail with $errname:
$out" grep -qxF "$step: $errname" <<<"$out"
        check "$mode at $point: more than one step fails with $errname" [ "$(grep -c ": $errname\$" <<<"$out")" -eq 1 ]
        check "$mode at $point: the list does not mark it" \
            [ "$(awk -F '\t' -v m=$mode '$5 == m { print $1 }' "$zep_root/points")" = "$point" ]
    done
done

# A failed call has no effect: what it would have made, moved or removed is as it was.
fresh
faulty ZEP_FAULT_MODE=eio ZEP_FAULT_AT=1 -- "$probe" calls "$work"
check "a failed create made a file" [ ! -e "$work/a" ] && [ ! -e "$work/b" ]
fresh
faulty ZEP_FAULT_MODE=eio ZEP_FAULT_AT=4 -- "$probe" calls "$work"
check "a failed rename moved its file" [ -f "$work/a" ] && [ ! -e "$work/b" ]
fresh
faulty ZEP_FAULT_MODE=enospc ZEP_FAULT_AT=5 -- "$probe" calls "$work"
check "a failed mkdir made a folder" [ ! -e "$work/d" ]
fresh
faulty ZEP_FAULT_MODE=eio ZEP_FAULT_AT=7 -- "$probe" calls "$work"
check "a failed chmod changed the mode" [ "$(stat -c %a "$work/b")" = 644 ]
fresh
faulty ZEP_FAULT_MODE=eio ZEP_FAULT_AT=18 -- "$probe" calls "$work"
check "a failed unlinkat removed its file" [ -f "$work/d/h" ]
fresh
faulty ZEP_FAULT_MODE=eio ZEP_FAULT_AT=21 -- "$probe" calls "$work"
check "a failed rmdir removed its folder" [ -d "$work/d" ]

# ZEP_FAULT_FAILS=0: every point from the chosen one fails.
fresh
faulty ZEP_FAULT_MODE=eio ZEP_FAULT_AT=19 ZEP_FAULT_FAILS=0 -- "$probe" calls "$work"
check "with FAILS=0 the points from 19 on do not all fail:
$out" [ "$(grep -E '^(unlink d/l|unlinkat d/c|rmdir d|open e keeps errno): EIO$' -c <<<"$out")" -eq 4 ]
check "with FAILS=0 a point before 19 fails" [ "$(grep -c ': EIO$' <<<"$out")" -eq 4 ]

# Kill: the process dies at the point, before the call.
fresh
faulty ZEP_FAULT_MODE=kill ZEP_FAULT_AT=10 ZEP_FAULT_LIST="$zep_root/points" -- "$probe" calls "$work"
check "kill at 10 exits $status, not 137" [ "$status" -eq 137 ]
check "kill at 10: the list does not end at it" [ "$(tail -n 1 "$zep_root/points" | cut -f1,5)" = "10	kill" ]
check "kill at 10: the pwrite before it is missing or the writev at it happened" \
    [ "$(stat -c %s "$work/d/c" 2>/dev/null)" = 13 ]

# Path filters: only calls below the included folders count, none below the excluded ones; a call on two
# paths counts when either is in.
fresh
faulty ZEP_FAULT_MODE=list ZEP_FAULT_LIST="$zep_root/points" ZEP_FAULT_EXCLUDE="$work/d:/nowhere" -- \
    "$probe" calls "$work"
actual=$(points | tr '\n' '|')
check "exclude lists $actual" [ "$actual" = "open W/a|write W/a|fsync W/a|rename W/a -> W/b|chmod W/b|link W/b -> W/d/h|fopen W/s|open W/e|" ]
fresh
faulty ZEP_FAULT_MODE=list ZEP_FAULT_LIST="$zep_root/points" ZEP_FAULT_INCLUDE="$work/d/" -- "$probe" calls "$work"
check "include lists $(points | wc -l) points, not 15" [ "$(points | wc -l)" -eq 15 ]
check "include lists a point outside" [ "$(points | grep -vc 'W/d')" -eq 0 ]
fresh
faulty ZEP_FAULT_MODE=list ZEP_FAULT_LIST="$zep_root/points" ZEP_FAULT_INCLUDE="$work/d" ZEP_FAULT_EXCLUDE="$work/d" \
    -- "$probe" calls "$work"
check "a folder both included and excluded counts" [ ! -e "$zep_root/points" ]

# Which processes count. By default only the first: it takes the configuration out of its environment,
# so a wrapping shell counts and the probe it starts does not; with ZEP_FAULT_PROGRAM only that program.
fresh
faulty ZEP_FAULT_MODE=list ZEP_FAULT_LIST="$zep_root/points" -- bash -c "\"$probe\" calls \"$work\"; true"
check "the probe under a shell counted" [ ! -e "$zep_root/points" ]
# What stays of LD_PRELOAD: whatever else it held (a sanitizer's runtime).
rest=$(tr ' :' '\n\n' <<<"$preload" | grep -v '/libzep_faults\.so$' | paste -sd ' ')
check "the probe under a shell still sees the configuration" [ "$(env LD_PRELOAD="$preload" ZEP_FAULT_MODE=list \
    ZEP_FAULT_LIST=/nowhere bash -c 'echo "${LD_PRELOAD-unset}|${ZEP_FAULT_MODE-unset}|${ZEP_FAULT_LIST-unset}"')" = \
    "${rest:-unset}|unset|unset" ]
fresh
faulty ZEP_FAULT_MODE=list ZEP_FAULT_LIST="$zep_root/points" ZEP_FAULT_PROGRAM="$(basename "$probe")" -- \
    bash -c "\"$probe\" calls \"$work\"; true"
check "ZEP_FAULT_PROGRAM: the probe under a shell lists $(points | wc -l) points, not 22" [ "$(points)" = "$expected_calls" ]

# Children: by default neither a forked nor a spawned child counts; with ZEP_FAULT_CHILDREN=share both do,
# on the parent's counter, and a fault can hit them.
fresh
faulty ZEP_FAULT_MODE=list ZEP_FAULT_LIST="$zep_root/points" -- "$probe" children "$work"
check "children: $out" [ "$status" -eq 0 ] && [ -f "$work/forked" ] && [ -f "$work/spawned" ]
check "children counted: $(points | tr '\n' '|')" [ "$(points)" = "open W/parent" ]
fresh
faulty ZEP_FAULT_MODE=list ZEP_FAULT_LIST="$zep_root/points" ZEP_FAULT_CHILDREN=share \
    ZEP_FAULT_COUNTER="$zep_root/counter" -- "$probe" children "$work"
check "shared count lists $(points | tr '\n' '|')" \
    [ "$(points | tr '\n' '|')" = "open W/parent|open W/forked|open W/spawned|" ]
check "shared count: three processes" [ "$(cut -f2 "$zep_root/points" | sort -u | wc -l)" -eq 3 ]
check "shared count numbers 1..3" [ "$(cut -f1 "$zep_root/points" | tr '\n' ' ')" = "1 2 3 " ]
fresh
rm -f "$zep_root/counter"
faulty ZEP_FAULT_MODE=eio ZEP_FAULT_AT=3 ZEP_FAULT_CHILDREN=share ZEP_FAULT_COUNTER="$zep_root/counter" -- \
    "$probe" children "$work"
check "a shared fault did not hit the spawned child: $out" [ "$status" -ne 0 ] && [ ! -e "$work/spawned" ] &&
    grep -q 'Input/output error' <<<"$out"

# Threads: every call gets a number of its own.
fresh
faulty ZEP_FAULT_MODE=list ZEP_FAULT_LIST="$zep_root/points" -- "$probe" threads "$work" 4 250
check "threads: $out" [ "$out" = "failed writes: 0" ]
check "threads: numbers repeat or are missing" [ "$(cut -f1 "$zep_root/points" | sort -n | uniq | tr '\n' ' ')" = "$(seq -s ' ' 1 1004) " ]
fresh
faulty ZEP_FAULT_MODE=enospc ZEP_FAULT_AT=500 ZEP_FAULT_LIST="$zep_root/points" -- "$probe" threads "$work" 4 250
check "threads with one fault: $out" [ "$out" = "failed writes: 1" ]

# A configuration the library does not understand stops the process before it does anything.
for config in "ZEP_FAULT_MODE=crash ZEP_FAULT_AT=1|ZEP_FAULT_MODE must be list, kill, eio or enospc, not crash" \
    "ZEP_FAULT_MODE=kill|ZEP_FAULT_AT must name a point from 1 for mode kill" \
    "ZEP_FAULT_MODE=eio ZEP_FAULT_AT=x1|not a number: ZEP_FAULT_AT" \
    "ZEP_FAULT_MODE=list|list mode needs ZEP_FAULT_LIST" \
    "ZEP_FAULT_MODE=list ZEP_FAULT_LIST=/x ZEP_FAULT_AT=3|ZEP_FAULT_AT has no meaning in list mode" \
    "ZEP_FAULT_MODE=kill ZEP_FAULT_AT=1 ZEP_FAULT_POINT=2|unknown variable: ZEP_FAULT_POINT=2" \
    "ZEP_FAULT_AT=1|ZEP_FAULT_MODE is not set, but is ZEP_FAULT_AT" \
    "ZEP_FAULT_MODE=eio ZEP_FAULT_AT=1 ZEP_FAULT_CHILDREN=share|ZEP_FAULT_CHILDREN=share and ZEP_FAULT_COUNTER go together" \
    "ZEP_FAULT_MODE=eio ZEP_FAULT_AT=1 ZEP_FAULT_CHILDREN=all|ZEP_FAULT_CHILDREN must be none or share, not all" \
    "ZEP_FAULT_MODE=eio ZEP_FAULT_AT=1 ZEP_FAULT_EXCLUDE=/a:b|not an absolute path in ZEP_FAULT_EXCLUDE"; do
    fresh
    read -r -a variables <<<"${config%%|*}"
    faulty "${variables[@]}" -- "$probe" calls "$work"
    check "${config%%|*}: status $status, output: $out" [ "$status" -eq 125 ] && [ "$out" = "zep_faults: ${config#*|}" ]
    check "${config%%|*}: the probe ran" [ -z "$(ls -A "$work")" ]
done

# The real program: a notifier's points are its log's; excluding the log folder leaves none. Whichever of
# them fails, the run still ends with its own exit code.
faulty ZEP_MACHINE_ROOT="$zep_root" ZEP_FAULT_MODE=list ZEP_FAULT_LIST="$zep_root/points" -- \
    "$zep_program" -mode notifier -op install
total=$(wc -l <"$zep_root/points")
check "the notifier lists $total points, not all in its log folder" \
    [ "$total" -gt 2 ] && [ "$(cut -f4 "$zep_root/points" | grep -vcF "$zep_logdir")" -eq 0 ]
check "the notifier's log file is missing from its points" grep -qF "open	$zep_logdir/ZEPMaintenance2-notifier.log" \
    "$zep_root/points"
mv "$zep_root/points" "$zep_root/points.notifier"
rm -rf "$zep_logdir"
faulty ZEP_MACHINE_ROOT="$zep_root" ZEP_FAULT_MODE=list ZEP_FAULT_LIST="$zep_root/points" ZEP_FAULT_EXCLUDE="$zep_logdir" \
    -- "$zep_program" -mode notifier -op install
check "the notifier has points outside its log folder" [ ! -e "$zep_root/points" ]
# Only a log folder that cannot be created ends the run with -1 (code 134, docs/logging.md).
folder_point=$(awk -F '\t' '$3 == "mkdir" { print $1 }' "$zep_root/points.notifier")
check "the notifier does not create its log folder" [ -n "$folder_point" ]
for mode in eio kill; do
    for point in $(seq 1 "$total"); do
        rm -rf "$zep_logdir"
        faulty ZEP_MACHINE_ROOT="$zep_root" ZEP_FAULT_MODE=$mode ZEP_FAULT_AT="$point" -- \
            "$zep_program" -mode notifier -op install
        expected=$([ $mode = kill ] && echo 137 || { [ "$point" = "$folder_point" ] && echo 255 || echo 0; })
        check "the notifier with $mode at its point $point ends with $status" [ "$status" -eq "$expected" ]
    done
done

zep_finish
