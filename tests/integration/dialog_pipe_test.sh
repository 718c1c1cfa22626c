#!/usr/bin/env bash
# The loader's dialog and a worker as two processes over the GUI pipe: a whole update's progress in each
# language, the program started after the update, and the ways a conversation ends: the worker's closing
# message, a worker gone without it, a worker that never comes. The dialog writes plain lines here.
# Usage: dialog_pipe_test.sh <zep_dialog_host> <zep_pipe_peer>
source "$(dirname "$0")/lib.sh"
host=$1
peer=$2

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

zep_finish
