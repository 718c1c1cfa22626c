#!/usr/bin/env bash
# Every option check of the command line, seen from outside: a notifier run per case, its exit code
# and its log lines. Usage: notifier_options_test.sh <native|wine> <program>
source "$(dirname "$0")/lib.sh"
zep_init "$1" "$2"

log=ZEPMaintenance2-notifier.log

# check_error DESCRIPTION LINE [EXCEPTION LINE] -- ARGUMENTS...: exit 255 with these error lines.
check_error() {
    local what=$1 line=$2 exception="IMException occured. (exCode: 137, exText: Unknown error.)"
    shift 2
    if [ "$1" != -- ]; then
        exception=$1
        shift
    fi
    shift
    zep_run -mode notifier "$@"
    expect_status 255 "$what"
    [ -z "$line" ] || expect_line $log "$what" ERROR "$line"
    expect_line $log "$what" ERROR "$exception"
    expect_line $log "$what" INFO "wWinMain exit (returnCode: -1)"
}

check_ok() {
    local what=$1
    shift
    zep_run -mode notifier "$@"
    expect_status 0 "$what"
    expect_line $log "$what" INFO "wWinMain exit (returnCode: 0)"
}

# The grammar of values: a trailing space is part of the value, quotes are not, the last one wins.
check_error "-op with a trailing space" "ParseArguments: Argument -op contains unknown value (op: update )." \
    -- -op "update " -pp P -dp D
if [ "$zep_kind" = native ]; then
    # An argument of the Linux program is one whole token: quotes inside it cannot be carried by the
    # grammar, so the run refuses it rather than reading other options than it was given.
    check_error "a quote inside an argument" \
        'wWinMain: Argument 4 holds a double quote, which the command line cannot carry. (argument: "update")' \
        -- -op '"update"' -pp P -dp D
fi
check_ok "repeated -op" -op update -op install
check_ok "-lang with trailing text" -op install -lang 2x
check_ok "-pp with spaces" -op update -pp "C:\\Program Files\\A" -dp D

# Rollback and update need their folders; the loader's process must exist.
check_error "rollback without -dp" "ParseArguments: Argument -dp is not set." -- -op rollback -pp P
check_error "update without -pp" "ParseArguments: Argument -pp is not set." -- -op update -dp D
check_error "non-numeric -lpid" "ParseArguments: Argument -lpid value error (exCode: 102, exText: )." \
    -- -op update -pp P -dp D -lpid x
check_error "-lpid of no process" "ParseArguments: Argument -lpid value error (exCode: 156, exText: Unknown error.)." \
    -- -op rollback -pp P -dp D -lpid 2147483000
check_ok "-lpid ignored outside rollback and update" -op install -lpid x

# The MSI update's options.
check_error "msiupdate without -msi" "ParseArguments: Argument -msi is not set." -- -op msiupdate -msimethod i
check_error "msiupdate without -msimethod" "" "IMException occured. (exCode: 101, exText: )" -- \
    -op msiupdate -msi a.msi -msipar LwBxAG4A
expect_line $log "msiupdate without -msimethod" WARN "ParseArguments: Argument -msimethod is not set."
check_error "msiupdate without -msipar" "" "IMException occured. (exCode: 101, exText: )" -- \
    -op msiupdate -msi a.msi -msimethod i
expect_line $log "msiupdate without -msipar" WARN "ParseArguments: Argument -msipar is not set."
check_error "non-numeric -msitimeout" "" "IMException occured. (exCode: 102, exText: )" -- \
    -op msiupdate -msi a.msi -msimethod i -msipar LwBxAG4A -msitimeout soon
check_ok "-msipar that is not Base64" -op msiupdate -msi a.msi -msimethod i -msipar "not base64!"

# -hpid is read by the updating worker only.
check_ok "-hpid ignored by the notifier" -op update -pp P -dp D -hpid x
zep_run -mode worker -op update -pp P -dp D -hpid x
expect_status 255 "worker with non-numeric -hpid"
expect_line ZEPMaintenance2-worker.log "worker with non-numeric -hpid" ERROR "IMException occured. (exCode: 102, exText: )"

zep_finish
