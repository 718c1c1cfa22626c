# Shared helpers of the integration tests: run the real program in a sandboxed machine and read its logs.
# Usage from a test: source lib.sh; zep_init <native|wine> <program>; zep_run ARGS...; expect_* ...

set -u
zep_failures=0
zep_checks=0

zep_init() {
    zep_kind=$1
    zep_program=$2
    if [ "$zep_kind" = wine ]; then
        : "${WINEPREFIX:?the wine tests need WINEPREFIX}"
        export WINEDEBUG=-all
        zep_wine=${ZEP_WINE64:-/usr/lib/wine/wine64}
        zep_logdir="$WINEPREFIX/drive_c/ProgramData/Z.EP Maintenance2"
        zep_root=
    else
        zep_root=$(mktemp -d)
        trap 'rm -rf "$zep_root"' EXIT
        mkdir -p "$zep_root/var/lib"
        export ZEP_MACHINE_ROOT=$zep_root
        zep_logdir="$zep_root/var/lib/Z.EP Maintenance2"
    fi
}

# Runs the program with the given arguments on a clean log folder; sets zep_status.
zep_run() {
    rm -rf "$zep_logdir"
    if [ "$zep_kind" = wine ]; then
        "$zep_wine" "$zep_program" "$@" </dev/null >/dev/null 2>&1
        zep_status=$?
        # The exit code comes back as the low byte, as it does natively.
        zep_status=$((zep_status & 255))
    else
        "$zep_program" "$@" </dev/null >/dev/null 2>&1
        zep_status=$?
    fi
}

# zep_run_served PEER OUTPUT ARGS...: zep_run with ARGS and -guiPipe W while the pipe peer PEER serves W;
# what the worker sent, a line each ("<id> <text>"), goes to messages, the peer's output kept in OUTPUT.
zep_run_served() {
    local peer=$1 output=$2
    shift 2
    if [ "$zep_kind" = wine ]; then
        "$zep_wine" "$peer" --serve W >"$output" 2>&1 &
    else
        "$peer" --serve W >"$output" 2>&1 &
    fi
    local listener=$!
    zep_run "$@" -guiPipe W
    wait "$listener"
    messages=$(tr -d '\r' <"$output")
}

# expect_messages_sent DESCRIPTION LINES: the worker sent exactly these messages (zep_run_served).
expect_messages_sent() {
    zep_checks=$((zep_checks + 1))
    [ "$messages" = "$2" ] || fail "$1: the worker sent
$messages"
}

# The messages of a log file, one a line: the part after " - ", without BOM and CR.
zep_messages() {
    sed -e '1s/^\xEF\xBB\xBF//' -e 's/\r$//' -e 's/^[^]]*\] [A-Z?]* *[^ ]* - //' "$zep_logdir/$1"
}

fail() {
    echo "FAIL: $*" >&2
    zep_failures=$((zep_failures + 1))
}

expect_status() {
    zep_checks=$((zep_checks + 1))
    [ "$zep_status" -eq "$1" ] || fail "$2: exit code $zep_status, expected $1"
}

# expect_messages FILE DESCRIPTION LINE...: the log's messages are exactly these lines, in order.
expect_messages() {
    zep_checks=$((zep_checks + 1))
    local file=$1 what=$2
    shift 2
    local expected actual
    expected=$(printf '%s\n' "$@")
    actual=$(zep_messages "$file" 2>/dev/null)
    [ "$actual" = "$expected" ] || fail "$what: log messages differ
--- expected
$expected
--- actual
$actual"
}

# expect_line FILE DESCRIPTION LEVEL MESSAGE: some line has this level label and this exact message.
expect_line() {
    zep_checks=$((zep_checks + 1))
    local file=$1 what=$2 level=$3 message=$4
    sed -e '1s/^\xEF\xBB\xBF//' -e 's/\r$//' "$zep_logdir/$file" 2>/dev/null |
        grep -F -- "] $(printf '%-5s' "$level") " | grep -qF -- " - $message" ||
        fail "$what: no $level line \"$message\" in $file"
}

# wait_until DESCRIPTION COMMAND...: runs COMMAND until it succeeds, for at most a minute. A failure
# also shows what zep_failure_context prints, where the test defines it (the screen, say).
wait_until() {
    local what=$1 _
    shift
    zep_checks=$((zep_checks + 1))
    for _ in $(seq 600); do
        "$@" && return 0
        sleep 0.1
    done
    if declare -F zep_failure_context >/dev/null; then
        what="$what
$(zep_failure_context)"
    fi
    fail "$what"
    return 1
}

# check DESCRIPTION COMMAND...: the command succeeds.
check() {
    zep_checks=$((zep_checks + 1))
    local what=$1
    shift
    "$@" || fail "$what"
}

# not COMMAND...: the command fails (for check, which runs a command, not a pipeline).
not() {
    ! "$@"
}

# register_product ZEPREG FOLDER: what install records, the product folder the worker may update or roll
# back, in the settings store of $ZEP_MACHINE_ROOT.
register_product() {
    "$1" add 'HKLM\software\ZEP\Z.EP Maintenance2\product' /v productPath /d "$2" /f >/dev/null ||
        fail "the product could not be registered"
}

# tree FOLDER: one line per object below it (type, mode, owner, size, content hash, path), sorted.
tree() {
    (cd "$1" && find . -mindepth 1 -printf '%y %m %U:%G %s %p\n' | sort -k5 | while read -r type mode owner size path; do
        if [ "$type" = f ]; then
            echo "$type $mode $owner $size $(sha1sum <"$path" | cut -d' ' -f1) $path"
        else
            echo "$type $mode $owner - - $path"
        fi
    done)
}

# script PATH TEXT: an executable shell script holding TEXT, its folder made.
script() {
    mkdir -p "$(dirname "$1")"
    printf '#!/bin/sh\n%s\n' "$2" >"$1"
    chmod 755 "$1"
}

zep_finish() {
    echo "$((zep_checks - zep_failures)) of $zep_checks checks passed"
    [ "$zep_failures" -eq 0 ]
}
