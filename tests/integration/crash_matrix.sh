#!/usr/bin/env bash
# The crash matrix: breaks a run at each of its mutating file-system calls in turn (killed, or the call
# failing with EIO or ENOSPC) through the fault-injection library, recovers, and checks the result.
#
# Usage: crash_matrix.sh [options] --setup CMD --run CMD --recover CMD --check CMD
# or, sourced, the function zep_crash_matrix with the same arguments (the commands may then name the
# sourcing script's functions; the run command's only if exported with export -f).
#
# Each run gets a fresh empty folder, $ZEP_MATRIX_DIR, which is also the working folder of every command:
#   --setup CMD      makes the fixture there (machine root, product and data folders, saved records)
#   --run CMD        the run to break, in a new bash (bash -c CMD) that preloads the library into each
#                    program it starts: it should start one (else see --program and --children)
#   --recover CMD    what follows a crash (the rollback the run left scheduled); must exit 0
#   --check CMD      exits 0 when the result is right; its output is shown when it is not
# The commands see ZEP_MATRIX_DIR, ZEP_MATRIX_MODE (list, kill, eio, enospc), ZEP_MATRIX_POINT (0 in the
# list run), ZEP_MATRIX_STATUS (the run's exit status: recover and check) and ZEP_MATRIX_LIST (the run's
# list of points); all but the run are evaluated in a subshell of the driver.
#
# Options:
#   --preload VALUE    LD_PRELOAD for the run (default: $ZEP_FAULTS_PRELOAD)
#   --program NAME     only this executable counts (ZEP_FAULT_PROGRAM); needed when the run command
#                      starts the program through another one (a wrapper, a shell pipeline)
#   --children share   the program's children count too, on one shared counter (default: only it)
#   --include PATHS    count only calls on objects below these ':'-separated folders
#   --exclude PATHS    ignore calls on objects below these folders (the log folder, say)
#                      a relative folder in either is taken below the run's own $ZEP_MATRIX_DIR
#   --modes LIST       ','-separated, of kill, eio, enospc (default: all three)
#   --fails K          with eio and enospc, how many calls fail from the chosen one on; 0 = all (default 1)
#   --stride S         every S-th point only: 1, 1+S, 1+2S, ...
#   --limit L          at most L points per mode, spread evenly over the chosen ones
#   --points LIST      exactly these ','-separated points (to repeat a failure)
#   --jobs J           J runs at once (default 1)
#   --timeout SECONDS  a run taking longer fails (default 120)
#   --work DIR         where the matrix's temporary folder goes (default: $TMPDIR or /tmp)
#   --keep             keep the temporary folder (runs of failures are always listed)
# Exit status: 0 when every run passed, 1 when one failed, 2 when the matrix could not run.

zep_crash_matrix() (
    set -u
    local setup="" run="" recover="" check="" preload="${ZEP_FAULTS_PRELOAD:-}" program="" children=""
    local include="" exclude="" modes="kill,eio,enospc" fails=1 stride=1 limit=0 points="" jobs=1
    local timeout=120 workParent="${TMPDIR:-/tmp}" keep=0
    usage() {
        echo "crash matrix: $*" >&2
        echo "usage: crash_matrix.sh [options] --setup CMD --run CMD --recover CMD --check CMD" >&2
        exit 2
    }
    while [ $# -gt 0 ]; do
        case $1 in
        --keep)
            keep=1
            shift
            continue
            ;;
        --setup | --run | --recover | --check | --preload | --program | --children | --include | --exclude | \
            --modes | --fails | --stride | --limit | --points | --jobs | --timeout | --work)
            [ $# -ge 2 ] || usage "$1 needs a value"
            ;;
        *) usage "unknown option $1" ;;
        esac
        case $1 in
        --setup) setup=$2 ;;
        --run) run=$2 ;;
        --recover) recover=$2 ;;
        --check) check=$2 ;;
        --preload) preload=$2 ;;
        --program) program=$2 ;;
        --children) children=$2 ;;
        --include) include=$2 ;;
        --exclude) exclude=$2 ;;
        --modes) modes=$2 ;;
        --fails) fails=$2 ;;
        --stride) stride=$2 ;;
        --limit) limit=$2 ;;
        --points) points=$2 ;;
        --jobs) jobs=$2 ;;
        --timeout) timeout=$2 ;;
        --work) workParent=$2 ;;
        esac
        shift 2
    done
    [ -n "$setup" ] && [ -n "$run" ] && [ -n "$recover" ] && [ -n "$check" ] ||
        usage "--setup, --run, --recover and --check are all needed"
    [ -n "$preload" ] || usage "no library: give --preload or set ZEP_FAULTS_PRELOAD"
    local file
    for file in $preload; do
        [ -f "$file" ] || usage "no library at $file"
    done
    [ -z "$children" ] || [ "$children" = share ] || [ "$children" = none ] || usage "--children is share or none"
    local number
    for number in "$fails" "$stride" "$limit" "$jobs" "$timeout"; do
        [[ $number =~ ^[0-9]+$ ]] || usage "not a number: $number"
    done
    [ "$stride" -ge 1 ] && [ "$jobs" -ge 1 ] && [ "$timeout" -ge 1 ] || usage "--stride, --jobs and --timeout start at 1"
    [[ -z $points || $points =~ ^[0-9]+(,[0-9]+)*$ ]] || usage "--points is a ','-separated list of numbers"
    local mode
    local -a modeList
    IFS=, read -r -a modeList <<<"$modes"
    [ ${#modeList[@]} -gt 0 ] || usage "no modes"
    for mode in "${modeList[@]}"; do
        case $mode in
        kill | eio | enospc) ;;
        *) usage "unknown mode $mode" ;;
        esac
    done

    local work
    work=$(mktemp -d "$workParent/zep-crash-matrix.XXXXXX") || exit 2
    if [ "$keep" -eq 0 ]; then
        trap 'rm -rf "$work"' EXIT
    fi
    mkdir "$work/results"

    # The prefixes of the run in dir: relative ones below it.
    prefixes() {
        local list=$1 dir=$2 out="" prefix
        local -a parts
        IFS=: read -r -a parts <<<"$list"
        for prefix in "${parts[@]}"; do
            [ -n "$prefix" ] || continue
            [ "${prefix:0:1}" = / ] || prefix=$dir/$prefix
            out=${out:+$out:}$prefix
        done
        printf '%s' "$out"
    }

    # one_run MODE POINT: fixture, run (under faults), recovery and check, in a folder of their own; writes
    # the outcome to results/MODE-POINT: "pass", or "fail" and the reason, then details.
    one_run() {
        local mode=$1 point=$2
        local dir=$work/$mode-$point result=$work/results/$mode-$point
        mkdir "$dir"
        export ZEP_MATRIX_DIR=$dir ZEP_MATRIX_MODE=$mode ZEP_MATRIX_POINT=$point ZEP_MATRIX_LIST=$dir.points
        unset ZEP_MATRIX_STATUS
        if ! (cd "$dir" && eval "$setup") >"$dir.setup.out" 2>&1; then
            {
                echo "fail setup failed"
                cat "$dir.setup.out"
            } >"$result"
            return
        fi
        local -a faults=(ZEP_FAULT_MODE="$mode" ZEP_FAULT_LIST="$dir.points")
        [ "$mode" = list ] || faults+=(ZEP_FAULT_AT="$point" ZEP_FAULT_FAILS="$fails")
        [ -z "$program" ] || faults+=(ZEP_FAULT_PROGRAM="$program")
        [ "$children" != share ] || faults+=(ZEP_FAULT_CHILDREN=share ZEP_FAULT_COUNTER="$dir.counter")
        [ -z "$include" ] || faults+=(ZEP_FAULT_INCLUDE="$(prefixes "$include" "$dir")")
        [ -z "$exclude" ] || faults+=(ZEP_FAULT_EXCLUDE="$(prefixes "$exclude" "$dir")")
        # timeout and the shell run without the library; only what the command starts gets it.
        local started=$SECONDS status
        (cd "$dir" && env "${faults[@]}" timeout --kill-after=5 "$timeout" \
            bash -c 'export LD_PRELOAD=$1; eval "$2"' run "$preload" "$run") >"$dir.run.out" 2>&1
        status=$?
        export ZEP_MATRIX_STATUS=$status
        if [ "$status" -eq 124 ] || [ $((SECONDS - started)) -ge "$timeout" ]; then
            {
                echo "fail the run did not end within $timeout s"
                tail -n 20 "$dir.run.out"
            } >"$result"
            return
        fi
        if [ "$mode" != list ] && ! awk -F '\t' -v point="$point" -v mode="$mode" \
            '$1 == point && $5 == mode { found = 1 } END { exit !found }' "$dir.points" 2>/dev/null; then
            {
                echo "fail the run ended (status $status) before point $point"
                tail -n 20 "$dir.run.out"
            } >"$result"
            return
        fi
        if ! (cd "$dir" && eval "$recover") >"$dir.recover.out" 2>&1; then
            {
                echo "fail recovery failed (run status $status)"
                tail -n 20 "$dir.recover.out"
            } >"$result"
            return
        fi
        if ! (cd "$dir" && eval "$check") >"$dir.check.out" 2>&1; then
            {
                echo "fail check failed (run status $status)"
                head -n 30 "$dir.check.out"
            } >"$result"
            return
        fi
        echo pass >"$result"
        [ "$keep" -eq 1 ] || [ "$mode" = list ] || rm -rf "$dir" "$dir".*
    }

    # The list run: how many points the run has, and the proof that the check accepts an unbroken run.
    one_run list 0
    local outcome
    outcome=$(head -n 1 "$work/results/list-0")
    if [ "$outcome" != pass ]; then
        echo "crash matrix: the run without faults does not pass: ${outcome#fail }" >&2
        tail -n +2 "$work/results/list-0" | sed 's/^/    /' >&2
        echo "crash matrix: its folder: $work/list-0" >&2
        trap - EXIT
        exit 1
    fi
    local listed=$work/list.points
    # A run without points leaves no list.
    cat "$work/list-0.points" >"$listed" 2>/dev/null
    local total processes
    total=$(awk -F '\t' '$1 > max { max = $1 } END { print max + 0 }' "$listed")
    if [ "$total" -eq 0 ]; then
        echo "crash matrix: the run makes no mutating file-system call (is the library loaded?)" >&2
        exit 1
    fi
    # Without a shared counter each program the command starts counts from 1 on its own: their points
    # would share numbers.
    processes=$(cut -f2 "$listed" | sort -u | wc -l)
    if [ "$processes" -gt 1 ] && [ "$children" != share ]; then
        echo "crash matrix: $processes processes of the run count on counters of their own; name the one to" \
            "break with --program, or count them all on one with --children share" >&2
        exit 2
    fi

    local -a chosen=()
    if [ -n "$points" ]; then
        IFS=, read -r -a chosen <<<"$points"
        for number in "${chosen[@]}"; do
            [ "$number" -ge 1 ] && [ "$number" -le "$total" ] || usage "point $number is not in 1..$total"
        done
    else
        for ((number = 1; number <= total; number += stride)); do
            chosen+=("$number")
        done
        if [ "$limit" -gt 0 ] && [ ${#chosen[@]} -gt "$limit" ]; then
            local -a spread=()
            local k count=${#chosen[@]}
            for ((k = 0; k < limit; ++k)); do
                if [ "$limit" -eq 1 ]; then
                    spread+=("${chosen[0]}")
                else
                    spread+=("${chosen[$(((k * (count - 1) + (limit - 1) / 2) / (limit - 1)))]}")
                fi
            done
            chosen=("${spread[@]}")
        fi
    fi
    echo "crash matrix: $total points; modes ${modeList[*]}; ${#chosen[@]} points each"

    # What point N is, as the list run saw it, with its folder written as <dir>.
    describe() {
        awk -F '\t' -v point="$1" -v dir="$work/list-0" '$1 == point {
            text = $3 " " $4; while ((i = index(text, dir)) > 0) text = substr(text, 1, i - 1) "<dir>" substr(text, i + length(dir))
            print text; exit }' "$listed"
    }

    local running=0
    for mode in "${modeList[@]}"; do
        for number in "${chosen[@]}"; do
            if [ "$jobs" -eq 1 ]; then
                one_run "$mode" "$number"
            else
                one_run "$mode" "$number" &
                running=$((running + 1))
                if [ "$running" -ge "$jobs" ]; then
                    wait -n
                    running=$((running - 1))
                fi
            fi
        done
    done
    wait

    local runs=0 passed=0 failed=0
    local -a failures=()
    for mode in "${modeList[@]}"; do
        for number in "${chosen[@]}"; do
            runs=$((runs + 1))
            outcome=$(head -n 1 "$work/results/$mode-$number")
            if [ "$outcome" = pass ]; then
                passed=$((passed + 1))
                continue
            fi
            failed=$((failed + 1))
            failures+=("$mode@$number")
            echo "FAIL $mode at point $number ($(describe "$number")): ${outcome#fail }"
            tail -n +2 "$work/results/$mode-$number" | sed 's/^/    /'
            echo "    its folder: $work/$mode-$number"
        done
    done
    echo "crash matrix: $total points, $runs runs: $passed passed, $failed failed"
    if [ "$failed" -gt 0 ]; then
        echo "failures: ${failures[*]}"
        trap - EXIT
        exit 1
    fi
)

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    zep_crash_matrix "$@"
fi
