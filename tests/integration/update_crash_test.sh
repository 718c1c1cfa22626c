#!/usr/bin/env bash
# The crash matrix of the update: the worker's update killed at each of its mutating file-system calls,
# and failed there with EIO and with ENOSPC; then what the next logon does: the rollback the run left
# scheduled in RunOnce, run as the platform runs it (the value taken out first) but in worker mode, as
# the service chain would start it. Every time, the product must be as it was (each of its objects with
# its content, mode and owner) or fully updated.
# Usage: update_crash_test.sh <zepmaintenance> <zcf> <zep_pipe_peer> <zepreg> <zep_tree> <preload> <source>
#   ZEP_CRASH_STRIDE=S tests every S-th point only (default 1: every point).
set -u
# The commands run in each run's own folder: every path made absolute.
worker=$(realpath "$1")
zcf=$(realpath "$2")
listener_program=$(realpath "$3")
zepreg=$(realpath "$4")
tree=$(realpath "$5")
preload=$6
source_dir=$(realpath "$7")
key="$source_dir/tests/keys/development-private.pem"
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/crash_matrix.sh"

template=$(mktemp -d)
trap 'rm -rf "$template"' EXIT
product_folder="opt/ZEP Client"
data_folder="home/user/ZEP data"
runonce='HKLM\software\microsoft\windows\currentversion\runonce'
value='Z.EP Maintenance Service2 - Rollback'

# The machine every run starts from: version 1 installed, version 2 signed in the data folder, and the
# records of the product before and after an unbroken update.
make_template() {
    local root="$template/root" product="$template/root/$product_folder" update="$template/root/$data_folder/update"
    mkdir -p "$product/lib" "$product/docs" "$product/obsolete/sub" "$root/var/lib"
    script "$product/client.sh" 'echo client 1'
    echo "core 1" >"$product/lib/core.dll"
    echo "old library" >"$product/lib/old.dll"
    echo "read me 1" >"$product/docs/readme.txt"
    echo "gone with its folder" >"$product/obsolete/sub/x.txt"
    echo "removed by the manifest" >"$product/remove-me.txt"
    mkdir -p "$update/lib" "$update/docs" "$update/setup" "$update/tools"
    script "$update/client.sh" 'echo client 2'
    echo "core 2" >"$update/lib/core.dll"
    echo "new library" >"$update/lib/new.dll"
    echo "read me 2" >"$update/docs/readme.txt"
    script "$update/setup/prereq.sh" 'exit 0'
    script "$update/tools/post.sh" 'exit 0'
    printf 'lib\\old.dll\r\n\r\nobsolete\r\nobsolete\\sub\r\n' >"$update/._ZEP_UPGRADE_delete"
    "$zcf" manifest "$update" --setup-folder setup --delete-file remove-me.txt --run-file 'tools\post.sh' \
        --run-after client.sh --out "$template/manifest.xml" >/dev/null || return 1
    "$zcf" sign --key "$key" --in "$template/manifest.xml" --out "$update/zep_upgrade.xml.zcf" >/dev/null || return 1
    # The settings store made once, as on a machine that has run the program before.
    ZEP_MACHINE_ROOT=$root "$zepreg" add 'HKLM\software\ZEP' /v Version /d 1 /f >/dev/null || return 1
    "$tree" record "$product" >"$template/original.rec"
    cp -a "$root" "$template/updated-root"
    ZEP_MACHINE_ROOT="$template/updated-root" register_product "$zepreg" "$template/updated-root/$product_folder"
    (export ZEP_MACHINE_ROOT="$template/updated-root"
        "$listener_program" --serve T >/dev/null 2>&1 &
        "$worker" -mode worker -op update -pp "$template/updated-root/$product_folder/" \
            -dp "$template/updated-root/$data_folder/" -guiPipe T -lang 2 </dev/null >/dev/null 2>&1
        status=$?
        wait
        exit $status) || return 1
    "$tree" record "$template/updated-root/$product_folder" >"$template/updated.rec"
    rm -rf "$template/updated-root"
}

setup() {
    cp -a "$template/root" root
    ZEP_MACHINE_ROOT=$PWD/root register_product "$zepreg" "$PWD/root/$product_folder"
}

# The worker with a listener on its pipe; only the worker counts (--program).
run() {
    export ZEP_MACHINE_ROOT=$ZEP_MATRIX_DIR/root
    "$listener_program" --serve W --connect-limit 20000 >/dev/null 2>&1 &
    local listener=$!
    "$worker" -mode worker -op update -pp "$ZEP_MATRIX_DIR/root/$product_folder/" \
        -dp "$ZEP_MATRIX_DIR/root/$data_folder/" -guiPipe W -lang 2 </dev/null >/dev/null 2>&1
    local status=$?
    # A worker that died before it connected leaves the listener waiting.
    kill "$listener" 2>/dev/null
    wait
    return $status
}

# The next logon: the scheduled command, taken out of RunOnce before it runs, in worker mode. Its own
# failure is the check's to judge by the product it leaves.
recover() {
    export ZEP_MACHINE_ROOT=$ZEP_MATRIX_DIR/root
    local command
    command=$("$zepreg" query "$runonce" /v "$value" 2>/dev/null | sed -n "s/^ *$value *REG_SZ *//p")
    [ -n "$command" ] || return 0
    "$zepreg" delete "$runonce" /v "$value" /f >/dev/null || return 1
    local pp dp lang
    pp=$(sed -n 's/.* -pp "\([^"]*\)".*/\1/p' <<<"$command")
    dp=$(sed -n 's/.* -dp "\([^"]*\)".*/\1/p' <<<"$command")
    lang=$(sed -n 's/.* -lang \([0-9]\)$/\1/p' <<<"$command")
    [[ "$command" == *" -mode loader -op rollback -pp \"$pp\" -dp \"$dp\" -lang $lang" ]] || {
        echo "an unexpected rollback command: $command"
        return 1
    }
    "$listener_program" --serve R --connect-limit 20000 >/dev/null 2>&1 &
    local listener=$!
    "$worker" -mode worker -op rollback -pp "$pp" -dp "$dp" -lang "$lang" -guiPipe R </dev/null >/dev/null 2>&1
    kill "$listener" 2>/dev/null
    wait
    return 0
}

# As it was: every object of the product before, unchanged (what the update added may stay); or as the
# unbroken update leaves it. A run that reported success must have updated it.
check() {
    local product="$ZEP_MATRIX_DIR/root/$product_folder"
    if [ "$ZEP_MATRIX_STATUS" -eq 0 ]; then
        "$tree" compare "$template/updated.rec" "$product"
        return
    fi
    "$tree" compare "$template/updated.rec" "$product" >/dev/null && return 0
    "$tree" record "$product" >"$ZEP_MATRIX_DIR/now.rec"
    if grep -q '\.zep-copy-[0-9a-f]*\.tmp' "$ZEP_MATRIX_DIR/now.rec"; then
        echo "a half-written copy was left in the product:"
        grep '\.zep-copy-' "$ZEP_MATRIX_DIR/now.rec"
        return 1
    fi
    local missing
    missing=$(LC_ALL=C comm -23 <(grep -v $'^\\.\t' "$template/original.rec" | LC_ALL=C sort) \
        <(LC_ALL=C sort "$ZEP_MATRIX_DIR/now.rec"))
    [ -z "$missing" ] && return 0
    echo "neither as it was nor updated; of what it was, these differ or are missing:"
    echo "$missing"
    return 1
}

export -f run
# Named apart from the driver's own variables, which its children would see in their place.
export worker listener_program product_folder data_folder

make_template || {
    echo "FAIL: the template machine could not be made"
    exit 1
}
zep_crash_matrix --program "$(basename "$worker")" --preload "$preload" \
    --exclude "root/var/lib/Z.EP Maintenance2" --stride "${ZEP_CRASH_STRIDE:-1}" --jobs 2 \
    --work "${ZEP_CRASH_WORK:-/dev/shm}" ${ZEP_CRASH_KEEP:+--keep} --setup setup --run run --recover recover --check check
