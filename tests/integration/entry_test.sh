#!/usr/bin/env bash
# The program's entry: log file per mode, start, version and exit lines, mode and option errors.
# Usage: entry_test.sh <native|wine> <program>
source "$(dirname "$0")/lib.sh"
zep_init "$1" "$2"

version_lines=("Version info ..." "Build date: *" "Build time: *" "Version: 2.0.1200.0")

zep_run -mode Loader
expect_status 255 "-mode Loader"
messages=$(zep_messages ZEPMaintenance2-Loader.log 2>/dev/null)
expected="wWinMain started. (args: -mode Loader)
Version info ...
Build date: *
Build time: *
Version: 2.0.1200.0
Argument -mode value error (mode: Loader).
IMException occured. (exCode: 137, exText: Unknown error.)
wWinMain exit (returnCode: -1)"
zep_checks=$((zep_checks + 1))
# shellcheck disable=SC2053 # the expected text holds glob patterns for the build date and time
[[ $messages == $expected ]] || fail "-mode Loader: log messages differ
--- expected
$expected
--- actual
$messages"
date_line=$(zep_messages ZEPMaintenance2-Loader.log | sed -n 3p)
zep_checks=$((zep_checks + 1))
[[ $date_line =~ ^Build\ date:\ [A-Z][a-z]{2}\ [\ 1-3][0-9]\ [0-9]{4}$ ]] || fail "build date line: $date_line"

# Every line has the fixed layout; INFO and WARN are padded to five characters.
zep_checks=$((zep_checks + 1))
bad=$(sed -e '1s/^\xEF\xBB\xBF//' -e 's/\r$//' "$zep_logdir/ZEPMaintenance2-Loader.log" |
    grep -Ev '^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2},[0-9]{3} \[[0-9]+-[0-9]+\] (INFO |ERROR|DEBUG) ZEPMaintenance(\.VersionLogger)? - ')
[ -z "$bad" ] || fail "lines out of format: $bad"
zep_checks=$((zep_checks + 1))
[ "$(head -c 3 "$zep_logdir/ZEPMaintenance2-Loader.log" | od -An -tx1 | tr -d ' ')" = efbbbf ] ||
    fail "the log does not start with a UTF-8 byte-order mark"

zep_run -mode notifier -op install -lang 2 -env 1 -guiPipe x -setupZEPPKIServiceRegistry
expect_status 0 "notifier with valid options"
expect_line ZEPMaintenance2-notifier.log "notifier" INFO "wWinMain exit (returnCode: 0)"

zep_run -mode notifier
expect_status 255 "notifier without -op"
expect_line ZEPMaintenance2-notifier.log "notifier without -op" ERROR "ParseArguments: Argument -op is not set."
expect_line ZEPMaintenance2-notifier.log "notifier without -op" ERROR \
    "IMException occured. (exCode: 137, exText: Unknown error.)"

zep_run -mode notifier -op Update
expect_status 255 "unknown -op"
expect_line ZEPMaintenance2-notifier.log "unknown -op" ERROR \
    "ParseArguments: Argument -op contains unknown value (op: Update)."

zep_run -mode notifier -op install -lang x
expect_status 255 "non-numeric -lang"
expect_line ZEPMaintenance2-notifier.log "non-numeric -lang" ERROR "IMException occured. (exCode: 102, exText: )"

zep_run -mode notifier -op install -env abc
expect_status 255 "non-numeric -env"
expect_line ZEPMaintenance2-notifier.log "non-numeric -env" ERROR \
    "ParseArguments: Argument -env value error (exCode: 102, exText: )."

zep_run -mode notifier -op refreshZEPPKIServiceRegistryKeys -usid "not a sid"
expect_status 255 "bad -usid"
expect_line ZEPMaintenance2-notifier.log "bad -usid" ERROR \
    "ParseArguments: Argument -usid value error (exCode: 100, exText: Invalid parameter value.)."

# A loader whose update has no service to go to.
zep_run -op update
expect_status 255 "no -mode (a loader)"
zep_checks=$((zep_checks + 1))
[ -f "$zep_logdir/ZEPMaintenance2-.log" ] || fail "no -mode: ZEPMaintenance2-.log missing"

zep_run -mode worker -op update
expect_status 255 "worker"
expect_line ZEPMaintenance2-worker.log "worker" INFO "wWinMain exit (returnCode: -1)"

# A mode text names no path: the log stays in the log folder, named after the text with its unsafe
# characters replaced, and the mode is refused as any unknown mode is.
for mode in '../../../x' '..\..\..\x'; do
    zep_run -mode "$mode"
    expect_status 255 "-mode $mode"
    expect_line ZEPMaintenance2-.._.._.._x.log "-mode $mode" ERROR "Argument -mode value error (mode: $mode)."
    zep_checks=$((zep_checks + 1))
    outside=$(find "${zep_root:-$WINEPREFIX/drive_c}" -name '*x.log' ! -path "$zep_logdir/*")
    [ -z "$outside" ] || fail "-mode $mode: a log outside the log folder: $outside"
done

if [ "$zep_kind" = native ] && [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
    # The log folder is shared as the program-data folder is on Windows: a user's run writes its own
    # log in the folder a run as root created (log_folder_test.sh plants objects there).
    as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }
    chmod 755 "$zep_root"
    zep_run -mode notifier -op install
    zep_checks=$((zep_checks + 1))
    [ "$(stat -c %a "$zep_logdir")" = 1777 ] || fail "log folder mode $(stat -c %a "$zep_logdir"), expected 1777"
    as_nobody env ZEP_MACHINE_ROOT="$zep_root" "$zep_program" -mode loader -op install </dev/null >/dev/null 2>&1
    zep_checks=$((zep_checks + 1))
    [ "$(stat -c %U "$zep_logdir/ZEPMaintenance2-loader.log" 2>/dev/null)" = nobody ] ||
        fail "a user's run wrote no log of its own"
    expect_line ZEPMaintenance2-loader.log "user's loader" INFO "wWinMain exit (returnCode: -1)"
fi

if [ "$zep_kind" = native ]; then
    # An argument holding a double quote cannot be carried by the grammar: refused, never split.
    rm -rf "$zep_logdir"
    "$zep_program" -mode notifier -op install -pp 'C:\a "b" c' </dev/null >/dev/null 2>"$zep_root/stderr"
    zep_status=$?
    expect_status 255 "an argument with a double quote"
    expect_line ZEPMaintenance2-notifier.log "an argument with a double quote" ERROR \
        'wWinMain: Argument 6 holds a double quote, which the command line cannot carry. (argument: C:\a "b" c)'
    expect_line ZEPMaintenance2-notifier.log "an argument with a double quote" INFO "wWinMain exit (returnCode: -1)"
    zep_checks=$((zep_checks + 1))
    grep -qF 'argument 6 holds a double quote' "$zep_root/stderr" || fail "no word of the refusal on standard error"
    rm -f "$zep_root/stderr"

    # Started with descriptors 0, 1 and 2 closed, a run goes as usual and writes its log; what it writes
    # to standard error never lands in a file it opened.
    rm -rf "$zep_logdir"
    "$zep_program" -mode notifier -op install <&- >&- 2>&-
    zep_status=$?
    expect_status 0 "closed standard descriptors"
    expect_line ZEPMaintenance2-notifier.log "closed standard descriptors" INFO \
        "wWinMain started. (args: -mode notifier -op install)"
    expect_line ZEPMaintenance2-notifier.log "closed standard descriptors" INFO "wWinMain exit (returnCode: 0)"
    rm -rf "$zep_logdir"
    "$zep_program" -mode notifier -op install -pp 'C:\a "b" c' <&- >&- 2>&-
    zep_status=$?
    expect_status 255 "a refusal with closed standard descriptors"
    zep_checks=$((zep_checks + 1))
    ! grep -qF 'argument 6 holds a double quote' "$zep_logdir/ZEPMaintenance2-notifier.log" ||
        fail "the word on standard error went into the log"
    expect_line ZEPMaintenance2-notifier.log "a refusal with closed standard descriptors" INFO \
        "wWinMain exit (returnCode: -1)"

    # Without a program-data folder the log cannot be set up: the run fails and writes nothing.
    rm -rf "$zep_root/var"
    zep_run -mode notifier -op install
    expect_status 255 "no program-data folder"
    zep_checks=$((zep_checks + 1))
    [ -z "$(find "$zep_root" -mindepth 1)" ] || fail "files written without a log folder"
fi

zep_finish
