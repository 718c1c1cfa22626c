#!/usr/bin/env bash
# The worker's MSI update through the real program: the package checked and handed to the installer
# from root's own copy, the installer's arguments, exit codes and time-out, the progress messages, and
# what is no package (missing, a link, a FIFO, a folder, a second name, unsigned) refused before
# anything starts.
# Usage: msi_update_test.sh <zepmaintenance> <zep_pipe_peer> <corpus folder>
source "$(dirname "$0")/lib.sh"
program=$1
peer=$2
corpus=$3
work=$(mktemp -d)
trap 'kill $(cat "$work/installer.pid" 2>/dev/null) 2>/dev/null; rm -rf "$work"' EXIT
export ZEP_MACHINE_ROOT="$work/machine"
logs="$ZEP_MACHINE_ROOT/var/lib/Z.EP Maintenance2"
zep_logdir=$logs
copy="$ZEP_MACHINE_ROOT/var/lib/Z.EP Maintenance2 Engine/product/msi/package.msi"
mkdir -p "$ZEP_MACHINE_ROOT/var/lib" "$ZEP_MACHINE_ROOT/etc/ssl" "$work/user"
cp -a "$corpus/truststore" "$ZEP_MACHINE_ROOT/etc/ssl/certs"
cp "$corpus/signed.msi" "$corpus/unsigned.msi" "$work/user/"

# The installer in the System folder stand-in: records its arguments one a line and the digest of the
# package it was given, then sleeps SLEEP seconds and exits with EXIT.
# installer [EXIT [SLEEP]]
installer() {
    script "$ZEP_MACHINE_ROOT/usr/lib/zepmaintenance/system/msiexec.exe" "echo \$\$ >'$work/installer.pid'
printf '%s\n' \"\$@\" >'$work/arguments'
sha256sum <\"\$3\" | cut -d' ' -f1 >'$work/package-digest'
sleep ${2:-0}
exit ${1:-0}"
}

# msi_update ARGS...: the worker's MSI update with a listener on its pipe; sets zep_status and dialog
# (the status texts), finals (the other messages).
msi_update() {
    local pipe="ZEPMaintenance_$$_$RANDOM"
    rm -f "$work/arguments" "$work/package-digest" "$work/installer.pid"
    rm -rf "$logs"
    "$peer" --serve "$pipe" >"$work/messages.txt" 2>&1 &
    local listener=$!
    timeout 60 "$program" -mode worker -op msiupdate -guiPipe "$pipe" -lang 2 -msimethod i "$@" \
        </dev/null >/dev/null 2>&1
    zep_status=$?
    wait "$listener"
    dialog=$(sed -n 's/^0 //p' "$work/messages.txt" | paste -sd '|')
    finals=$(grep -v '^0 ' "$work/messages.txt" | paste -sd '|')
}

worker_log() { zep_messages ZEPMaintenance2-worker.log; }
expect_log() {
    zep_checks=$((zep_checks + 1))
    worker_log | grep -qxF -- "$2" || fail "$1: no line \"$2\" in
$(worker_log)"
}
expect_equal() {
    zep_checks=$((zep_checks + 1))
    [ "$2" = "$3" ] || fail "$1: \"$2\", expected \"$3\""
}
expect_not_started() {
    zep_checks=$((zep_checks + 1))
    [ ! -e "$work/arguments" ] || fail "$1: the installer was started"
}

parameters=$(printf 'REBOOT=ReallySuppress' | iconv -t UTF-16LE | base64 -w0)
installer

# A signed package: installed from root's copy with the installer's arguments.
msi_update -msi "$work/user/signed.msi" -msipar "$parameters"
expect_equal "signed: exit code" "$zep_status" 0
expect_equal "signed: status texts" "$dialog" \
    "Waiting for close of client application|Starting MSI installer.|Update successfully finished"
expect_equal "signed: final message" "$finals" "1 "
expect_equal "signed: installer arguments" "$(paste -sd '|' "$work/arguments")" "/passive|/i|$copy|REBOOT=ReallySuppress"
expect_equal "signed: the installer read the checked bytes" "$(cat "$work/package-digest")" \
    "$(sha256sum <"$corpus/signed.msi" | cut -d' ' -f1)"
expect_log "signed: start line" "DoMsiUpdate Starting MSI installer. (msiexec: '$ZEP_MACHINE_ROOT/usr/lib/zepmaintenance/system/msiexec.exe', msi: '$work/user/signed.msi', method: 'i', extra arguments: 'REBOOT=ReallySuppress')"
expect_log "signed: arguments line" "DoMsiUpdate Starting MSI installer. (all arguments: '/passive /i \"$copy\" REBOOT=ReallySuppress') timeout=-1"
expect_log "signed: end" "Upgrade successfully finished"
zep_checks=$((zep_checks + 1))
[ ! -e "$copy" ] || fail "signed: the package's copy is left behind"

# Any exit code but 0 is a failure (Windows' 3010, restart required, has no 8-bit twin here).
installer 3
msi_update -msi "$work/user/signed.msi" -msipar ""
expect_equal "exit 3: exit code" "$zep_status" 255
expect_equal "exit 3: status texts" "$dialog" "Waiting for close of client application|Starting MSI installer.|Update failed"
expect_equal "exit 3: final message" "$finals" "2 "
expect_log "exit 3: line" "DoMsiUpdate: Exit code of MSI execution is not 0 (filename: '$work/user/signed.msi', exitCode: '3', arguments '')"
zep_checks=$((zep_checks + 1))
worker_log | grep -q '^DoHostUpdate: Exception occured. (exCode: 144,' || fail "exit 3: no code 144"
expect_equal "empty -msipar: arguments end in the quote and a blank" \
    "$(worker_log | grep -F '(all arguments:')" \
    "DoMsiUpdate Starting MSI installer. (all arguments: '/passive /i \"$copy\" ') timeout=-1"

# An installer that does not end: the run ends at the time-out, the installer goes on.
start=$(date +%s)
installer 0 120
msi_update -msi "$work/user/signed.msi" -msipar "" -msitimeout 2
expect_equal "time-out: exit code" "$zep_status" 255
expect_equal "time-out: status texts" "$dialog" "Waiting for close of client application|Starting MSI installer.|Update failed"
expect_log "time-out: line" "DoMsiUpdate: MSI Update ended with timeout. (wrong parameters?) filename: '$work/user/signed.msi', arguments ''"
zep_checks=$((zep_checks + 1))
[ $(($(date +%s) - start)) -lt 30 ] || fail "time-out: the worker waited $(($(date +%s) - start)) s"
zep_checks=$((zep_checks + 1))
kill -0 "$(cat "$work/installer.pid")" 2>/dev/null || fail "time-out: the installer was ended"
kill "$(cat "$work/installer.pid")" 2>/dev/null
# The copy the installer still has is root's, in a folder no one else may enter.
zep_checks=$((zep_checks + 1))
folder_mode=$(stat -c '%u %a' "$(dirname "$copy")")
[ "${folder_mode%% *}" = 0 ] && [ $((0${folder_mode#* } & 077)) -eq 0 ] ||
    fail "time-out: the copy's folder is not root's alone ($folder_mode)"
installer

# An unsigned package: refused, nothing started, a normal end.
msi_update -msi "$work/user/unsigned.msi" -msipar ""
expect_equal "unsigned: exit code" "$zep_status" 0
expect_not_started "unsigned"
expect_log "unsigned: line" "DoMsiUpdate: Failed to verify Authenticode signature of '$work/user/unsigned.msi'"
zep_checks=$((zep_checks + 1))
[ ! -e "$copy" ] || fail "unsigned: the package's copy is left behind"

# What is no package file, or a file with a second name: refused at once, nothing started.
ln -s "$work/user/signed.msi" "$work/user/link.msi"
mkfifo "$work/user/fifo.msi"
mkdir "$work/user/folder.msi"
cp "$work/user/signed.msi" "$work/user/other.msi"
ln "$work/user/other.msi" "$work/user/hardlink.msi"
for name in missing link fifo folder hardlink; do
    msi_update -msi "$work/user/$name.msi" -msipar ""
    expect_equal "$name: exit code" "$zep_status" 255
    expect_not_started "$name"
    expect_log "$name: line" "DoMsiUpdate: The MSI package cannot be read as a file; nothing is started. (msi: '$work/user/$name.msi', exCode: 116)"
    expect_equal "$name: final message" "$finals" "2 "
done

# A time-out that is no number is refused with the options, before the pipe is connected.
rm -rf "$logs" "$work/arguments"
"$program" -mode worker -op msiupdate -guiPipe unused -lang 2 -msimethod i -msi "$work/user/signed.msi" -msipar "" \
    -msitimeout soon </dev/null >/dev/null 2>&1
zep_status=$?
expect_equal "-msitimeout soon: exit code" "$zep_status" 255
expect_not_started "-msitimeout soon"
zep_checks=$((zep_checks + 1))
worker_log | grep -q 'exCode: 102' || fail "-msitimeout soon: no code 102 in
$(worker_log)"
zep_finish
