#!/usr/bin/env bash
# The process chain of the Windows program under Wine, in a prefix of its own on an X server of its own:
# install through the loader and the elevated worker it starts, which registers the service with Wine's
# service manager; a loader's update with its dialog on screen while the worker the service started waits
# for the client application, then the product updated; an update signed with a foreign key refused and
# OK pressed; the logon's companion refresh through the service; uninstall. Screenshots, and the logs
# of a failed run, are kept in ARTIFACTS.
# Usage: chain_wine_test.sh <zepmaintenance.exe> <zep_test_child.exe> <artifacts folder> <source folder>
#        [MSI corpus folder]
#   With the corpus and ZEP_TEST_ROOT_TRUSTED=1 (wine_trusted_root.sh), also an MSI update through the
#   chain, installed by Wine's msiexec.
#   ZEP_NATIVE_BIN: the Linux build's bin folder, whose zcf signs the update; skipped (77) without it.
dir=$(dirname "$0")
source "$dir/lib.sh"
source "$dir/xvfb.sh"
built=$1
child=$2
artifacts=$3
source_dir=$4
corpus=${5:-}
zcf="${ZEP_NATIVE_BIN:-}/zcf"
if [ -z "${ZEP_NATIVE_BIN:-}" ] || [ ! -x "$zcf" ]; then
    echo "SKIP: no zcf of a Linux build to sign the update (set ZEP_NATIVE_BIN; scripts/test.sh does)"
    exit 77
fi
for tool in Xvfb xdotool import; do
    command -v "$tool" >/dev/null ||
        { echo "SKIP: $tool is missing (scripts/setup.sh installs xvfb, xdotool and imagemagick)"; exit 77; }
done

work=$(mktemp -d)
export WINEPREFIX="$work/prefix"
export ZEP_WINE64=${ZEP_WINE64:-/usr/lib/wine/wine64} ZEP_WINESERVER=${ZEP_WINESERVER:-wineserver}
zep_init wine "$built"
cleanup() {
    if [ "$zep_failures" -ne 0 ]; then
        mkdir -p "$artifacts/chain-logs" && cp "$zep_logdir"/*.log "$artifacts/chain-logs/" 2>/dev/null
    fi
    "$ZEP_WINESERVER" -k 2>/dev/null
    xvfb_stop
    rm -rf "$work"
}
trap cleanup EXIT
# The windows' prefix: made without a display, its first server gone before the display's starts.
bash "$dir/wine_display_prefix.sh" >/dev/null 2>&1 || { echo "FAIL: the Wine prefix could not be made"; exit 1; }
if ! xvfb_start "$work"; then
    echo "SKIP: Xvfb did not start: $(cat "$work/xvfb.log")"
    exit 77
fi
mkdir -p "$artifacts"

drive="$WINEPREFIX/drive_c"
# The installed program, in a folder with blanks as the service's image path quotes it; the folders the
# test names from Linux end without a backslash, which wine64 would double before a closing quote.
exe='C:\Program Files\ZEP\ZEPMaintenance.exe'
mkdir -p "$drive/Program Files/ZEP"
cp "$built" "$drive/Program Files/ZEP/ZEPMaintenance.exe"
product="$drive/ZEP Client"
data="$drive/ZEP Data"
name="Z.EP Maintenance Service2"
services="HKLM\\System\\CurrentControlSet\\Services\\$name"
settings='HKLM\software\ZEP\Z.EP Maintenance2\product'
run='HKLM\software\microsoft\windows\currentversion\run'
runonce='HKLM\software\microsoft\windows\currentversion\runonce'
autorun="$name - Z.EP PKIService Registry"

# program ARGS...: the installed program as a user starts it, on a clean log folder; sets zep_status.
program() {
    rm -rf "$zep_logdir"
    "$zep_wine" "$exe" "$@" </dev/null >/dev/null 2>&1
    zep_status=$(($? & 255))
}

# The run of MODE has ended: its log's last line gives its exit code.
ended() { grep -q 'wWinMain exit (returnCode: ' "$zep_logdir/ZEPMaintenance2-$1.log" 2>/dev/null; }
logged() { grep -qF -- "$2" "$zep_logdir/ZEPMaintenance2-$1.log" 2>/dev/null; }

# reg_value KEY NAME: the value's data as reg prints it (REG_DWORD as 0x..); fails without the value.
reg_value() {
    local line prefix="    $2    REG_"
    while IFS= read -r line; do
        line=${line%$'\r'}
        if [[ $line == "$prefix"* ]]; then
            line=${line#"$prefix"}
            printf '%s\n' "${line#*    }"
            return 0
        fi
    done < <("$zep_wine" reg query "$1" /v "$2" 2>/dev/null)
    return 1
}
key_exists() { "$zep_wine" reg query "$1" >/dev/null 2>&1; }

# expect_values DESCRIPTION ROW...: each row KEY|NAME|DATA names a value that holds exactly DATA.
expect_values() {
    local what=$1 row key name data actual
    shift
    for row in "$@"; do
        IFS='|' read -r key name data <<<"$row"
        zep_checks=$((zep_checks + 1))
        if ! actual=$(reg_value "$key" "$name"); then
            fail "$what: no value \"$name\" in $key"
        elif [ "$actual" != "$data" ]; then
            fail "$what: $key \"$name\" is \"$actual\", expected \"$data\""
        fi
    done
}

# The manager's view of the service: "STATE WIN32_EXIT_CODE", as sc query prints them.
service_state() {
    "$zep_wine" sc query "$name" 2>/dev/null | tr -d '\r' |
        awk '$1 == "STATE" { state = $3 } $1 == "WIN32_EXIT_CODE" { code = $3 } END { print state, code }'
}

stopped_with_success() { [ "$(service_state)" = "1 0" ]; }
known_service() { "$zep_wine" sc query "$name" >/dev/null 2>&1; }

find_window() {
    window=$(xdotool search --name "$1" 2>/dev/null | head -n 1)
    [ -n "$window" ]
}
no_window() { ! xdotool search --name "$1" >/dev/null 2>&1; }
# True once the window has been painted (an X window Wine has not painted yet is black) and looks as it
# did a moment ago: a repaint may come in more than one go. Its look is kept in now.rgb.
looks_settled() {
    window_pixels "$window" >"$work/again.rgb" || return 1
    head -c "$(stat -c %s "$work/again.rgb")" /dev/zero | cmp -s - "$work/again.rgb" && return 1
    cmp -s "$work/now.rgb" "$work/again.rgb" && return 0
    mv "$work/again.rgb" "$work/now.rgb"
    return 1
}
ok_changed() {
    window_bottom_pixels "$window" 30 >"$work/ok.rgb" && ! cmp -s "$work/ok-disabled.rgb" "$work/ok.rgb"
}
loader_ended() { ! kill -0 "$loader" 2>/dev/null; }

# start_loader ARGS...: the loader of an update as the client application starts it, in the background.
loader_operation=(-op update -pp 'C:\ZEP Client' -dp 'C:\ZEP Data')
start_loader() {
    rm -rf "$zep_logdir"
    "$zep_wine" "$exe" -mode loader "${loader_operation[@]}" -lang 2 "$@" </dev/null >/dev/null 2>&1 &
    loader=$!
}
end_loader() {
    wait_until "$1: the loader did not end" loader_ended
    wait "$loader"
    zep_status=$(($? & 255))
}

# The update the client application leaves in the data folder, signed with KEY.
make_update() {
    rm -rf "$data"
    mkdir -p "$data/update/lib"
    echo "core 2" >"$data/update/lib/core.dll"
    echo "new library" >"$data/update/lib/new.dll"
    echo "read me 2" >"$data/update/readme.txt"
    printf 'lib\\old.dll\r\n' >"$data/update/._ZEP_UPGRADE_delete"
    "$zcf" manifest "$data/update" --version 2.0 --delete-file remove-me.txt --out "$work/manifest.xml" \
        >/dev/null && "$zcf" sign --key "$1" --in "$work/manifest.xml" \
        --out "$data/update/zep_upgrade.xml.zcf" >/dev/null || fail "the update could not be signed"
}

# --- install through the loader, which starts the worker through the shell's "runas"
mkdir -p "$product/lib"
echo "core 1" >"$product/lib/core.dll"
echo "old library" >"$product/lib/old.dll"
echo "removed by the manifest" >"$product/remove-me.txt"
program -mode loader -op install -pp 'C:\ZEP Client' -setupZEPPKIServiceRegistry
expect_status 0 "install: loader"
wait_until "install: the worker did not end" ended worker
expect_line ZEPMaintenance2-loader.log "install" INFO "Start: Process started. (file: $exe, parameters: -lpid"
expect_line ZEPMaintenance2-worker.log "install" INFO "ProcessWorkerMode: Z.EP Maintenance2 installed."
expect_line ZEPMaintenance2-worker.log "install" INFO "wWinMain exit (returnCode: 0)"
installed=("$services|ImagePath|\"$exe\" -mode service" "$services|Type|0x10" "$services|Start|0x3"
    "$services|ObjectName|LocalSystem" "$settings|path|$exe" "$settings|productPath|C:\\ZEP Client\\"
    "$run|$autorun|$exe -mode loader -op refreshZEPPKIServiceRegistryKeys")
expect_values "install" "${installed[@]}"
check "install: sc query shows the service stopped" [ "$(service_state | cut -d' ' -f1)" = 1 ]

# start_update WHAT: a client application running (its id in host_pid) and the loader of an update it
# starts; returns once the dialog shows the worker, started by the service, waiting for the application.
start_update() {
    rm -f "$work/host-go"
    "$zep_wine" "$child" --spawn "Z:$work/host.pid" --wait-for "Z:$work/host-go" >/dev/null 2>&1
    host_pid=$(tr -d '\r\n' <"$work/host.pid")
    start_loader -hpid "$host_pid"
    : >"$work/now.rgb"
    wait_until "$1: no window with the caption \"Update\" appeared" find_window '^Update$' &&
        wait_until "$1: the worker's first status never reached the loader" logged loader \
            "ListenOnGuiPipe: Message received. (Id: 0, Msg: Waiting for close of client application)" &&
        wait_until "$1: the window never settled" looks_settled
}
press_enter() {
    xdotool windowfocus --sync "$window" 2>>"$work/xdotool.log"
    xdotool key Return 2>>"$work/xdotool.log"
}

# --- an update: the loader's dialog on screen while the worker waits for the client application
make_update "$source_dir/tests/keys/development-private.pem"
import -silent -window root rgb:- >"$work/empty.rgb"
start_update "update"
window_picture "$window" "$artifacts/chain-update-waiting.png"
import -silent -window root rgb:- >"$work/screen.rgb"
check "update: the screen differs from the empty one" not cmp -s "$work/empty.rgb" "$work/screen.rgb"
# The service is a short-lived starter: it has started the worker and stopped with 0.
wait_until "update: the service did not stop with 0" stopped_with_success
expect_line ZEPMaintenance2-service.log "update" INFO "MaintenanceService Start"
wait_until "update: the worker does not wait for the client application" \
    logged worker "Open: Process successfully opened. (PID: $host_pid)"
check "update: the worker waits for the client application to end" not ended worker
touch "$work/host-go"
# The worker's last message closes the dialog by itself.
end_loader "update"
expect_status 0 "update: loader"
check "update: the worker's last message closed the window" no_window '^Update$'
expect_line ZEPMaintenance2-worker.log "update" INFO "Upgrade successfully finished"
expect_line ZEPMaintenance2-worker.log "update" INFO "wWinMain exit (returnCode: 0)"
# The worker got every argument the loader gave the service, after the service name the manager puts
# first, with -mode worker added: none lost on the way through the manager and the shell.
given=$(zep_messages ZEPMaintenance2-loader.log |
    sed -n 's/^StartIMService: Arguments for service prepared. (cmdline: \(.*\))$/\1/p')
from=' -op "' to=' -mode "worker" -op "'
passed="\"$name\" ${given/"$from"/"$to"}"
check "update: the loader names itself in -lpid and its user in -usid" grep -q -- '-lpid ".*-usid "S-1-5-' <<<"$given"
expect_line ZEPMaintenance2-service.log "update" INFO \
    "Start: Process started. (file: $exe, parameters:  $passed, directory: C:\\Program Files\\ZEP, runAsAdmin: 1)"
expect_line ZEPMaintenance2-worker.log "update" INFO "wWinMain started. (args: $passed)"
check "update: the product is the update's" [ "$(cd "$product" && grep -r '' . | sort)" = \
    "$(printf './lib/core.dll:core 2\n./lib/new.dll:new library\n./readme.txt:read me 2')" ]
check "update: the update folder is gone" [ ! -e "$data/update" ]
check "update: no rollback is left scheduled" not reg_value "$runonce" "$name - Rollback"

# --- an update signed with a key the program does not trust: refused; OK ends the loader once enabled
"$zcf" keygen --out "$work/foreign" >/dev/null
make_update "$work/foreign/signing-private.pem"
echo "core 3" >"$data/update/lib/core.dll"
start_update "foreign"
window_bottom_pixels "$window" 30 >"$work/ok-disabled.rgb"
# Enter on the disabled OK does nothing: the window is still there to take the worker's last messages.
press_enter
touch "$work/host-go"
wait_until "foreign: the worker's last message never reached the loader" logged loader \
    "ListenOnGuiPipe: Message received. (Id: 2, Msg: )" &&
    wait_until "foreign: OK was never enabled" ok_changed &&
    wait_until "foreign: the window never settled" looks_settled
window_picture "$window" "$artifacts/chain-foreign-ok-enabled.png"
check "foreign: the loader waits for OK" not loader_ended
press_enter
end_loader "foreign"
expect_status 0 "foreign: loader after OK"
check "foreign: OK closed the window" no_window '^Update$'
expect_line ZEPMaintenance2-loader.log "foreign" INFO "ListenOnGuiPipe: Message received. (Id: 0, Msg: Update failed)"
expect_line ZEPMaintenance2-worker.log "foreign" ERROR "ProcessWorkerMode: Update failed. (exCode: 140"
check "foreign: the product is untouched" [ "$(cat "$product/lib/core.dll")" = "core 2" ]
check "foreign: the update folder is left as it was" [ "$(cat "$data/update/lib/core.dll")" = "core 3" ]
check "foreign: no rollback is scheduled" not reg_value "$runonce" "$name - Rollback"

# --- the logon's refresh: the autorun value's loader starts the service, which starts the worker for the
# prefix's user; the companion's registrations are copied into that user's hive (HKCU here), the trusted
# sites and the zone's flags written
hosts='NativeMessagingHosts\zz.zep.zeppkiservice.host'
internet='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings'
"$zep_wine" reg add "HKLM\Software\Google\Chrome\\$hosts" /ve /d 'C:\ZEP\chrome.json' /f >/dev/null 2>&1
"$zep_wine" reg add "HKLM\Software\Mozilla\\$hosts" /ve /d 'C:\ZEP\firefox.json' /f >/dev/null 2>&1
"$zep_wine" reg add "$internet\Zones\2" /v Flags /t REG_DWORD /d 0 /f >/dev/null 2>&1
program -mode loader -op refreshZEPPKIServiceRegistryKeys
expect_status 0 "refresh: loader"
wait_until "refresh: the worker did not end" ended worker
expect_line ZEPMaintenance2-worker.log "refresh" INFO "ProcessWorkerMode: ZEPPKIServiceRegistryKeys refreshed."
for host in "Google\Chrome|chrome" "Mozilla|firefox"; do
    check "refresh: the user's ${host#*|} registration" \
        grep -qF "C:\\ZEP\\${host#*|}.json" <("$zep_wine" reg query "HKCU\Software\\${host%|*}\\$hosts" /ve 2>/dev/null)
done
expect_values "refresh" "$internet\ZoneMap\Domains\*.example.com|http|0x2" \
    "$internet\ZoneMap\Domains\*.example.com|https|0x2" "$internet\ZoneMap\Domains\*.example.net|https|0x2" \
    "$internet\Zones\2|Flags|0x43"
check "refresh: no http for an https-only site" not reg_value "$internet\ZoneMap\Domains\*.example.net" http

# --- an MSI update through the loader, the service and the worker: Wine's msiexec installs a package of
# the authorised signer from root's copy of it; the dialog shows texts 6, 13 and 5
if [ -f "$corpus/signed.msi" ] && [ "${ZEP_TEST_ROOT_TRUSTED:-}" = 1 ]; then
    installed="$drive/Program Files (x86)/ZEPMaintenanceTest/payload.txt"
    mkdir -p "$drive/ZEP Packages"
    cp "$corpus/signed.msi" "$drive/ZEP Packages/update.msi"
    # Wine's installer shows no window of its own with /qn.
    quiet=$(printf '/qn' | iconv -t UTF-16LE | base64 -w0)
    loader_operation=(-op msiupdate -msi 'C:\ZEP Packages\update.msi' -msimethod i -msipar "$quiet" -msitimeout 120)
    start_update "msi"
    window_picture "$window" "$artifacts/chain-msi-waiting.png"
    touch "$work/host-go"
    end_loader "msi"
    expect_status 0 "msi: loader"
    for text in "Waiting for close of client application" "Starting MSI installer." "Update successfully finished"; do
        expect_line ZEPMaintenance2-loader.log "msi" INFO "ListenOnGuiPipe: Message received. (Id: 0, Msg: $text)"
    done
    expect_line ZEPMaintenance2-worker.log "msi" INFO "wWinMain exit (returnCode: 0)"
    check "msi: the package's file is installed" test -f "$installed"
else
    echo "note: no MSI update (it needs the corpus and its test root among Wine's trusted roots, as root)"
fi

# --- uninstall removes the service, the settings key and the autorun value
program -mode loader -op uninstall -setupZEPPKIServiceRegistry
expect_status 0 "uninstall: loader"
wait_until "uninstall: the worker did not end" ended worker
expect_line ZEPMaintenance2-worker.log "uninstall" INFO "ProcessWorkerMode: Z.EP Maintenance uninstalled."
check "uninstall: the service's key is gone" not key_exists "$services"
check "uninstall: sc query does not know the service" not known_service
check "uninstall: the settings key is gone" not key_exists "$settings"
check "uninstall: the autorun value is gone" not reg_value "$run" "$autorun"
check "uninstall: the Run key stays" key_exists "$run"

zep_finish
