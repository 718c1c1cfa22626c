#!/usr/bin/env bash
# The worker's update and rollback branches of the Windows program under Wine, with a listener on its
# GUI pipe: a real update, and a tampered one refused. Wine keeps no file DACLs, so the backup's check
# refuses every restore there ("Hack attempt?"); the test shows the refusal, and the restore itself is
# tested on Linux (update_test.sh, update_crash_test.sh).
# Usage: update_wine_test.sh <zepmaintenance.exe> <zep_pipe_peer.exe> <source folder>
#   ZEP_NATIVE_BIN: the Linux build's bin folder, whose zcf signs the update; skipped (77) without it.
source "$(dirname "$0")/lib.sh"
zep_init wine "$1"
peer=$2
source_dir=$3
zcf="${ZEP_NATIVE_BIN:-}/zcf"
if [ -z "${ZEP_NATIVE_BIN:-}" ] || [ ! -x "$zcf" ]; then
    echo "SKIP: no zcf of a Linux build to sign the update (set ZEP_NATIVE_BIN; scripts/test.sh does)"
    exit 77
fi
drive="$WINEPREFIX/drive_c"
# Folders without blanks: wine64 quotes an argument with a blank for the Windows command line, doubling a
# trailing backslash as the C runtime reads it, which the program's own command-line grammar does not.
product="$drive/ZEPClient"
data="$drive/ZEPData"
work=$(mktemp -d)
trap 'rm -rf "$work" "$product" "$data"' EXIT

prepare() {
    rm -rf "$product" "$data"
    # What install records: the product folder the worker may update.
    "$zep_wine" reg add 'HKLM\software\ZEP\Z.EP Maintenance2\product' /v productPath /t REG_SZ \
        /d 'C:\ZEPClient\' /f >/dev/null 2>&1 || fail "the product could not be registered"
    mkdir -p "$product/lib" "$data/update/lib"
    echo "core 1" >"$product/lib/core.dll"
    echo "old library" >"$product/lib/old.dll"
    echo "removed by the manifest" >"$product/remove-me.txt"
    echo "core 2" >"$data/update/lib/core.dll"
    echo "new library" >"$data/update/lib/new.dll"
    echo "read me 2" >"$data/update/readme.txt"
    printf 'lib\\old.dll\r\n' >"$data/update/._ZEP_UPGRADE_delete"
    "$zcf" manifest "$data/update" --delete-file remove-me.txt --out "$work/manifest.xml" >/dev/null &&
        "$zcf" sign --key "$source_dir/tests/keys/development-private.pem" --in "$work/manifest.xml" \
            --out "$data/update/zep_upgrade.xml.zcf" >/dev/null || fail "the update could not be signed"
    # Every file is listed with its SHA-256 too, which the worker checks beside the SHA-1.
    zep_checks=$((zep_checks + 1))
    ! grep '<File ' "$work/manifest.xml" | grep -qv ' sha256="' || fail "a file is listed without its SHA-256"
}

update() { # update [-pp FOLDER]
    local pp='C:\ZEPClient\'
    [ $# -eq 0 ] || pp=$1
    zep_run_served "$peer" "$work/messages.txt" -mode worker -op update -pp "$pp" -dp 'C:\ZEPData\' -lang 2
}

prepare
update
expect_status 0 "update"
expect_messages_sent "update" "0 Waiting for close of client application
0 Pre upgrade actions are starting.
0 Removing old files
0 Copying new files
0 Update successfully finished
1 "
zep_checks=$((zep_checks + 1))
[ "$(cat "$product/lib/core.dll" "$product/lib/new.dll" "$product/readme.txt")" = "core 2
new library
read me 2" ] || fail "update: the new files are not in place"
for gone in lib/old.dll remove-me.txt; do
    zep_checks=$((zep_checks + 1))
    [ ! -e "$product/$gone" ] || fail "update: $gone is still there"
done
zep_checks=$((zep_checks + 1))
[ ! -e "$data/update" ] && [ ! -e "$data/backup" ] || fail "update: the update folder or the backup is left"

# A file changed after signing: refused with 143; the restore that follows meets Wine's missing DACLs.
prepare
echo "not from the release" >>"$data/update/readme.txt"
update
expect_status 255 "tampered update"
expect_line ZEPMaintenance2-worker.log "tampered update" ERROR \
    "CopyNewFiles: Upgrade soubor nema zaznam v zep_upgrade.xml.zcf. (filename: readme.txt"
expect_line ZEPMaintenance2-worker.log "tampered update" ERROR "ProcessWorkerMode: Update failed. (exCode: 143"
zep_checks=$((zep_checks + 1))
[ "$(tail -n 1 <<<"$messages")" = "2 " ] || fail "tampered update: the last message was not 2"
zep_checks=$((zep_checks + 1))
[ ! -e "$product/readme.txt" ] || fail "tampered update: the tampered file was installed"

# Only the installed product folder is updated; an older release is not applied over a newer one.
prepare
mkdir -p "$drive/Elsewhere"
update 'C:\Elsewhere\'
expect_status 255 "-pp elsewhere"
expect_line ZEPMaintenance2-worker.log "-pp elsewhere" ERROR \
    "ProcessWorkerMode: The product folder is not the installed product; nothing is touched."
check "-pp elsewhere: the update folder is untouched" [ -e "$data/update/zep_upgrade.xml.zcf" ]
rm -rf "$drive/Elsewhere"
"$zep_wine" reg add 'HKLM\software\ZEP\Z.EP Maintenance2\product' /v installedVersion /t REG_SZ /d 9.0 /f \
    >/dev/null 2>&1
prepare
update
expect_status 255 "an older release"
expect_line ZEPMaintenance2-worker.log "an older release" ERROR \
    "DoHostUpdate: The update is not newer than the installed release; nothing is changed."
check "an older release: the product is untouched" [ "$(cat "$product/lib/core.dll")" = "core 1" ]
"$zep_wine" reg delete 'HKLM\software\ZEP\Z.EP Maintenance2\product' /v installedVersion /f >/dev/null 2>&1

zep_finish
