#!/usr/bin/env bash
# The loader's dialog and a worker as two processes over the GUI pipe: a whole update's progress in each
# language, the program started after the update, and the ways a conversation ends: the worker's closing
# message, a worker gone without it, a worker that never comes. The dialog writes plain lines here. As
# root, a user's loader: a forger of the user's own dropped before root's worker gets through, and the
# real worker writing only to the pipe of the user its run is for.
# Usage: dialog_pipe_test.sh <zep_dialog_host> <zep_pipe_peer> <zepmaintenance>
source "$(dirname "$0")/lib.sh"
host=$1
peer=$2
program=$3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ZEP_MACHINE_ROOT="$work/machine"
mkdir -p "$ZEP_MACHINE_ROOT"

# The program the update names to start afterwards: it leaves a mark, and its name has a space.
opened="$work/after update.sh"
printf '#!/bin/sh\ntouch "%s"\n' "$work/opened" >"$opened"
chmod 755 "$opened"

pipe_number=0
# converse HOST-ARGUMENTS -- PEER-STEPS...: the dialog listening and the peer playing the worker; sets
# output (the dialog's lines and the host's result), zep_status (the host's) and peer_status.
converse() {
    local host_arguments=() name
    while [ "$1" != -- ]; do
        host_arguments+=("$1")
        shift
    done
    shift
    pipe_number=$((pipe_number + 1))
    name="ZEPMaintenance_$$_$pipe_number"
    rm -f "$work/host.log"
    "$host" -log "$work/host.log" "${host_arguments[@]}" -listen "$name" >"$work/out.txt" 2>"$work/err.txt" &
    local host_pid=$!
    if [ $# -gt 0 ]; then
        # The worker's pause after each message, as the loader expects it.
        "$peer" --pipe "$name" --quiet --pace 300 "$@" >"$work/peer.txt" 2>&1
        peer_status=$?
    fi
    wait "$host_pid"
    zep_status=$?
    output=$(cat "$work/out.txt")
}

expect_output() {
    zep_checks=$((zep_checks + 1))
    [ "$output" = "$2" ] || fail "$1: the dialog's lines differ
--- expected
$2
--- actual
$output
--- host's errors
$(cat "$work/err.txt")
--- worker
$(cat "$work/peer.txt" 2>/dev/null)"
}

expect_logged() {
    zep_checks=$((zep_checks + 1))
    grep -qF -- "$2" "$work/host.log" || fail "$1: no log line $2"
}

# A whole update in each language: the texts 6, 12, 3, 4, 11 and 5 as the worker sends them, the
# program to start as the user, and the closing message, which ends the dialog with 5.
update_steps=(--text 6 --text 12 --text 3 --text 4 --text 11 --text 5 --send "3:$opened" --send 1)
declare -A expected
expected[0]="Aktualizace: Aktualizace aplikace
Čekání na ukončení klientské aplikace
Spouští se před-aktualizační akce.
Odstraňují se původní soubory
Kopírují se nové soubory
Spouští se po-aktualizační akce.
Aktualizace úspěšně dokončena"
expected[1]="Aktualizácia: Aktualizácia aplikácie
Čakanie na ukončenie klientskej aplikácie
Spúšťa sa pre-aktualizačné akcie.
Odstraňovanie pôvodných súborov
Kopírovanie nových súborov
Spúšťa sa po-aktualizačné akcie.
Aktualizácia úspešne ukončená"
expected[2]="Update: Application update
Waiting for close of client application
Pre upgrade actions are starting.
Removing old files
Copying new files
Post upgrade actions are starting.
Update successfully finished"
for language in 0 1 2; do
    rm -f "$work/opened"
    converse -lang "$language" -- --lang "$language" "${update_steps[@]}"
    expect_status 5 "update in language $language"
    expect_output "update in language $language" "Aktualizace: Aktualizace probíhá...
${expected[$language]}
result: 5"
    zep_checks=$((zep_checks + 1))
    [ "$peer_status" -eq 0 ] || fail "language $language: the worker's messages did not all go: $(cat "$work/peer.txt")"
    expect_logged "language $language" "ListenOnGuiPipe: Message received. (Id: 3, Msg: $opened)"
    expect_logged "language $language" "ListenOnGuiPipe: Message received. (Id: 1, Msg: )"
    # The program starts on its own time: give it a moment.
    for _ in $(seq 50); do [ -e "$work/opened" ] && break; sleep 0.1; done
    zep_checks=$((zep_checks + 1))
    [ -e "$work/opened" ] || fail "language $language: the program named by message 3 did not run"
done

# A rollback ends with id 2: OK becomes pressable, which without a terminal counts as pressed.
converse -lang 2 -- --lang 2 --text 12 --text 7 --send 2
expect_status 234 "rollback: 1002, OK pressed"
expect_output "rollback" "Aktualizace: Aktualizace probíhá...
Update: Application update
Pre upgrade actions are starting.
Update failed. Rollback to previous version succesfully done.
[OK]
result: 1002"

# A worker that dies mid-way ends the listening; the loader then lets the user close the dialog.
converse -lang 2 -- --lang 2 --text 4 --send "4:Access denied" --send "7:not for the dialog" --close
expect_status 234 "worker gone: OK enabled by the loader"
expect_output "worker gone" "Aktualizace: Aktualizace probíhá...
Update: Application update
Copying new files
Error detail: Access denied
[OK]
result: 1002"
expect_logged "worker gone" "ListenOnGuiPipe: Message received. (Id: 7, Msg: not for the dialog)"

# No worker at all: after the wait for one the dialog says the update failed and OK can be pressed.
converse -lang 1 -connect-limit 500 --
expect_status 234 "no worker"
expect_output "no worker" "Aktualizace: Aktualizace probíhá...
Aktualizácia: Aktualizácia aplikácie
Aktualizácia zlyhala
[OK]
result: 1002"
expect_logged "no worker" "ListenOnGuiPipe: No worker connected to the GUI pipe."
zep_checks=$((zep_checks + 1))
grep -qx "listen failed: 148" "$work/err.txt" || fail "no worker: the host did not report 148: $(cat "$work/err.txt")"

if [ "$(id -u)" -ne 0 ] || ! command -v setpriv >/dev/null; then
    echo "skipped: a user's loader needs root and setpriv"
    zep_finish
    exit
fi
# A command, not a function: started in the background, $! is the user's process itself.
as_nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
nobody_sid="S-1-22-1-$(id -u nobody)"
# The folders a run as root makes, which a user's loader needs; a folder of the user's for its files.
chmod 755 "$work"
install -d -m 755 "$ZEP_MACHINE_ROOT/run" "$ZEP_MACHINE_ROOT/run/zepmaintenance"
install -d -m 1777 "$ZEP_MACHINE_ROOT/run/zepmaintenance/pipe" "$work/user"
forged="$work/user/forged.sh"
printf '#!/bin/sh\ntouch "%s"\n' "$work/user/forged-ran" >"$forged"
chmod 755 "$forged"

# The user's loader takes a forger of the user's own for a worker no longer: dropped unread, and root's
# worker gets through within the same minute.
name="ZEPMaintenance_$$_user"
"${as_nobody[@]}" "$host" -log "$work/user/host.log" -lang 2 -listen "$name" >"$work/out.txt" 2>"$work/err.txt" &
host_pid=$!
wait_until "the user's loader serves" test -S "$ZEP_MACHINE_ROOT/run/zepmaintenance/pipe/$name"
"${as_nobody[@]}" "$peer" --pipe "$name" --usid "$nobody_sid" --quiet --retry-pause 100 --send "3:$forged" \
    --send 0:Forged --send 1 >"$work/forger.txt" 2>&1
wait_until "the forger dropped with its line" grep -qF \
    "Bind: Client is not an administrator, dropped. (name: \\\\.\\pipe\\$name, client: $nobody_sid, clientPid: " \
    "$work/user/host.log"
"$peer" --pipe "$name" --usid "$nobody_sid" --quiet --pace 300 --lang 2 --text 4 --send 1 >"$work/peer.txt" 2>&1
peer_status=$?
wait "$host_pid"
zep_status=$?
output=$(cat "$work/out.txt")
expect_status 5 "a user's loader"
expect_output "a user's loader" "Aktualizace: Aktualizace probíhá...
Update: Application update
Copying new files
result: 5"
check "root's worker did not get through: $(cat "$work/peer.txt")" [ "$peer_status" -eq 0 ]
sleep 0.5
check "the forged program ran" [ ! -e "$work/user/forged-ran" ]

# The real worker, as root, against a loader of the user's (the test peer serving the pipe): without
# -usid, or with root's (and root's process as -lpid, which the worker checks against it), the pipe counts
# as none (149) and the loader reads nothing; with the user's -usid and the user's loader as -lpid it gets
# the worker's messages, for an update and a rollback alike.
zep_logdir="$ZEP_MACHINE_ROOT/var/lib/Z.EP Maintenance2"
mkdir -p "$ZEP_MACHINE_ROOT/var/lib" "$work/product" "$work/data"
worker_case=0
for case in "update:" "update:S-1-5-18" "rollback:" "update:$nobody_sid" "rollback:$nobody_sid"; do
    op=${case%%:*}
    usid=${case#*:}
    what="$op, -usid '${usid}'"
    worker_case=$((worker_case + 1))
    name="ZEPMaintenance_$$_worker_$worker_case"
    "${as_nobody[@]}" "$peer" --serve "$name" --connect-limit 10000 >"$work/served.txt" 2>&1 &
    loader_pid=$!
    wait_until "$what: the user's loader serves" test -S "$ZEP_MACHINE_ROOT/run/zepmaintenance/pipe/$name"
    lpid=$$
    [ "$usid" = "$nobody_sid" ] && lpid=$loader_pid
    rm -rf "$zep_logdir"
    "$program" -mode worker -op "$op" -pp "$work/product/" -dp "$work/data/" -guiPipe "$name" -lang 2 \
        ${usid:+-usid "$usid" -lpid "$lpid"} </dev/null >/dev/null 2>&1
    wait "$loader_pid"
    refusal="Connect: Pipe served by another user, pipe not used. (name: \\\\.\\pipe\\$name, server: $nobody_sid, serverPid: $loader_pid, expected: ${usid:-S-1-5-32-544})"
    if [ "$usid" = "$nobody_sid" ]; then
        check "$what: the user's loader read no closing message: $(cat "$work/served.txt")" \
            grep -qx "2 " "$work/served.txt"
        zep_checks=$((zep_checks + 1))
        ! grep -qF "Connect: Pipe served by another user" "$zep_logdir/ZEPMaintenance2-worker.log" ||
            fail "$what: the pipe was refused"
    else
        expect_line ZEPMaintenance2-worker.log "$what" ERROR "$refusal"
        expect_line ZEPMaintenance2-worker.log "$what" ERROR "ProcessWorkerMode: ${op^} failed. (exCode: 149, exText: Unknown error.)"
        check "$what: the user's loader read $(cat "$work/served.txt")" [ ! -s "$work/served.txt" ]
    fi
done

# -usid is the run's user for the worker's operations too: a text that is no SID is refused (137).
rm -rf "$zep_logdir"
"$program" -mode worker -op rollback -pp "$work/product/" -dp "$work/data/" -guiPipe unused -usid "not a sid" \
    </dev/null >/dev/null 2>&1
zep_status=$?
expect_status 255 "a rollback's bad -usid"
expect_line ZEPMaintenance2-worker.log "a rollback's bad -usid" ERROR \
    "ParseArguments: Argument -usid value error (exCode: 100, exText: Invalid parameter value.)."
expect_line ZEPMaintenance2-worker.log "a rollback's bad -usid" ERROR \
    "IMException occured. (exCode: 137, exText: Unknown error.)"

zep_finish
