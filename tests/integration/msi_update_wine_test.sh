#!/usr/bin/env bash
# The worker's MSI update of the Windows program under Wine, with Wine's own msiexec.exe: a package of
# the authorised signer installed and then removed again (method x), one signed under another name and
# an unsigned one refused with nothing installed. Run by wine_trusted_root.sh, so that the corpus's test
# root is among Wine's trusted roots.
# Usage: msi_update_wine_test.sh <zepmaintenance.exe> <zep_pipe_peer.exe> <corpus folder>
source "$(dirname "$0")/lib.sh"
zep_init wine "$1"
peer=$2
corpus=$3
drive="$WINEPREFIX/drive_c"
user="$drive/ZEPUser"
installed="$drive/Program Files (x86)/ZEPMaintenanceTest/payload.txt"
work=$(mktemp -d)
trap 'rm -rf "$work" "$user"' EXIT
mkdir -p "$user"
cp "$corpus/signed.msi" "$corpus/no-full-stop.msi" "$corpus/unsigned.msi" "$user/"
# Wine's installer shows no window without a display: its UI is switched off after /passive.
quiet=$(printf '/qn' | iconv -t UTF-16LE | base64 -w0)

msi_update() { # msi_update PACKAGE METHOD
    zep_run_served "$peer" "$work/messages.txt" -mode worker -op msiupdate -msi "C:\\ZEPUser\\$1" -msimethod "$2" \
        -msipar "$quiet" -msitimeout 120 -lang 2
}
worker_log() { zep_messages ZEPMaintenance2-worker.log; }
expect_log() {
    zep_checks=$((zep_checks + 1))
    worker_log | grep -qxF -- "$2" || fail "$1: no line \"$2\" in
$(worker_log)"
}

msi_update signed.msi i
expect_status 0 "signed, install"
expect_messages_sent "signed, install" "0 Waiting for close of client application
0 Starting MSI installer.
0 Update successfully finished
1 "
expect_log "signed, install" "DoMsiUpdate Starting MSI installer. (all arguments: '/passive /i \"C:\\ProgramData\\Z.EP Maintenance2 Engine\\product\\msi\\package.msi\" /qn') timeout=120"
zep_checks=$((zep_checks + 1))
[ -f "$installed" ] || fail "signed, install: the package's file is not installed"

msi_update signed.msi x
expect_status 0 "signed, remove"
zep_checks=$((zep_checks + 1))
[ ! -e "$installed" ] || fail "signed, remove: the package's file is still there"

for package in no-full-stop unsigned; do
    msi_update $package.msi i
    expect_status 0 "$package"
    expect_log "$package" "DoMsiUpdate: Failed to verify Authenticode signature of 'C:\\ZEPUser\\$package.msi'"
    expect_messages_sent "$package" "0 Waiting for close of client application
1 "
    zep_checks=$((zep_checks + 1))
    [ ! -e "$installed" ] || fail "$package: the package was installed"
    if [ $package = no-full-stop ]; then
        expect_log "$package" "MSI package is not signed by the authorised signer (cn)."
    fi
done
zep_finish
