#!/usr/bin/env bash
# The whole road as users run it, as root with the loader run by nobody: install through the worker, the
# service started through socket activation, a loader's update with its dialog (plain lines; root's on a
# terminal, tmux), a tampered update refused and restored, an MSI update of nobody's package, a worker
# killed half-way and restored at the next logon (zeprun), nobody's logon refresh, and uninstall.
# Usage: chain_test.sh native <zepmaintenance> <zcf> <zepreg> <zeprun> <source folder> <faults preload>
#        <MSI corpus folder>
source "$(dirname "$0")/lib.sh"
program=$2
zcf=$3
zepreg=$4
zeprun=$5
source_dir=$6
preload=$7
msi_corpus=$8
key="$source_dir/tests/keys/development-private.pem"

if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: the chain runs its service and worker as root"
    exit 77
fi
for tool in systemd-socket-activate setpriv tmux; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing (scripts/setup.sh installs it)"; exit 77; }
done

work=$(mktemp -d)
chmod 755 "$work"
activator=
stop_service() {
    if [ -n "$activator" ]; then
        kill "$activator" 2>/dev/null
        wait "$activator" 2>/dev/null
        activator=
    fi
}
trap 'stop_service; rm -rf "$work"' EXIT
export ZEP_MACHINE_ROOT="$work/machine"
zep_logdir="$ZEP_MACHINE_ROOT/var/lib/Z.EP Maintenance2"
product="$ZEP_MACHINE_ROOT/opt/ZEP Client"
data="$ZEP_MACHINE_ROOT/home/nobody/ZEP data"
update="$data/update"
runonce='HKLM\software\microsoft\windows\currentversion\runonce'
rollback_value="Z.EP Maintenance Service2 - Rollback"

as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }

# The machine with version 1 of the product, installed by root; nobody's data folder.
make_machine() {
    stop_service
    rm -rf "$ZEP_MACHINE_ROOT"
    mkdir -p "$product/lib" "$ZEP_MACHINE_ROOT/var/lib" "$data"
    chmod 755 "$ZEP_MACHINE_ROOT" "$ZEP_MACHINE_ROOT/home"
    script "$product/client.sh" 'echo client 1'
    echo "core 1" >"$product/lib/core.dll"
    echo "old library" >"$product/lib/old.dll"
    tree "$product" >"$work/original.tree"
    "$program" -mode worker -op install -pp "$product" "$@" </dev/null >/dev/null 2>&1
    zep_status=$?
}

# The update the client application leaves in nobody's data folder: version 2, signed; with tamper set,
# core.dll is altered after signing.
make_update() {
    rm -rf "$update"
    mkdir -p "$update/lib"
    script "$update/client.sh" 'echo client 2'
    echo "core 2" >"$update/lib/core.dll"
    echo "new library" >"$update/lib/new.dll"
    printf 'lib\\old.dll\r\n' >"$update/._ZEP_UPGRADE_delete"
    "$zcf" manifest "$update" --version 2.0 --out "$work/manifest.xml" >/dev/null &&
        "$zcf" sign --key "$key" --in "$work/manifest.xml" --out "$update/zep_upgrade.xml.zcf" >/dev/null ||
        fail "the update could not be signed"
    [ -z "${tamper:-}" ] || echo "core 2, altered" >"$update/lib/core.dll"
    chown -R nobody:nogroup "$data"
}

# The service's socket as the installed socket unit names it, served by systemd-socket-activate as the
# unit would be; extra arguments are set in the service's environment (and so its worker's).
start_service() {
    local socket
    socket=$(sed -n 's/^ListenSequentialPacket=//p' "$ZEP_MACHINE_ROOT"/etc/systemd/system/*.socket)
    [ -n "$socket" ] || { fail "install wrote no socket unit"; return 1; }
    rm -f "$socket" # the last activator's, which would pass for the new one's
    local environment=(-E ZEP_MACHINE_ROOT)
    for setting in "$@"; do environment+=(-E "$setting"); done
    systemd-socket-activate --seqpacket -a -l "$socket" "${environment[@]}" "$program" -mode service \
        >>"$work/activator.log" 2>&1 &
    activator=$!
    wait_until "the service socket never appeared" test -S "$socket"
    # The unit's SocketMode=, which systemd-socket-activate does not apply.
    chmod "$(sed -n 's/^SocketMode=//p' "$ZEP_MACHINE_ROOT"/etc/systemd/system/*.socket)" "$socket"
}

# A loader run by nobody, its dialog as plain lines in dialog.txt; waits for the worker to end.
loader() {
    rm -f "$zep_logdir/ZEPMaintenance2-worker.log"
    as_nobody "$program" -mode loader "$@" </dev/null >"$work/dialog.txt" 2>&1
    zep_status=$?
    wait_until "the worker never ended" grep -qs 'wWinMain exit' "$zep_logdir/ZEPMaintenance2-worker.log"
}

expect_dialog_line() {
    zep_checks=$((zep_checks + 1))
    grep -qxF -- "$2" "$work/dialog.txt" || fail "$1: the dialog never showed \"$2\"; it showed
$(cat "$work/dialog.txt")"
}

expect_product() {
    zep_checks=$((zep_checks + 1))
    local now
    now=$(tree "$product")
    [ "$now" = "$(cat "$2")" ] || fail "$1: the product is not as expected
$(diff "$2" <(echo "$now"))"
}

expect_no_rollback_left() {
    zep_checks=$((zep_checks + 1))
    ! "$zepreg" query "$runonce" /v "$rollback_value" >/dev/null 2>&1 || fail "$1: the rollback is still scheduled"
}

# Install: the settings, the service with its units and the logon run.
make_machine
expect_status 0 "install"
expect_line ZEPMaintenance2-worker.log "install" INFO "ProcessWorkerMode: Z.EP Maintenance2 installed."
zep_checks=$((zep_checks + 1))
"$zepreg" query 'HKLM\software\ZEP\Z.EP Maintenance2\product' /v productPath 2>/dev/null | grep -qF "$product" ||
    fail "install recorded no productPath"
zep_checks=$((zep_checks + 1))
[ -e "$ZEP_MACHINE_ROOT/etc/xdg/autostart/zeprun.desktop" ] || fail "install wrote no logon autostart entry"

# An update run by nobody's loader: the service takes nobody's identity from the socket, the worker
# updates the product and the dialog shows each step.
make_update
start_service
loader -op update -pp "$product" -dp "$data" -lang 2
expect_status 0 "update"
expect_dialog_line "update" "Copying new files"
expect_line ZEPMaintenance2-service.log "update" INFO "MaintenanceService Start"
expect_line ZEPMaintenance2-worker.log "update" INFO "wWinMain exit (returnCode: 0)"
zep_checks=$((zep_checks + 1))
[ "$(cat "$product/lib/core.dll")" = "core 2" ] && [ ! -e "$product/lib/old.dll" ] || fail "update: the product was not updated"
expect_no_rollback_left "update"

# A file altered after signing: refused, the product restored, nothing left scheduled.
make_machine
tamper=1 make_update
start_service
loader -op update -pp "$product" -dp "$data" -lang 2
expect_line ZEPMaintenance2-worker.log "tampered" INFO "wWinMain exit (returnCode: -1)"
expect_dialog_line "tampered" "[OK]"
expect_product "tampered" "$work/original.tree"
expect_no_rollback_left "tampered"

# Root's loaders. A tampered update on a terminal (tmux): the dialog drawn in place shows the rollback,
# its OK enabled at the end, and Enter ends the loader. (A successful update closes the dialog itself.)
make_machine
tamper=1 make_update
start_service
tmux_socket="zep-chain-$$"
pane() { tmux -L "$tmux_socket" "$@"; }
trap 'stop_service; pane kill-server 2>/dev/null; rm -rf "$work"' EXIT
pane -u -f /dev/null new-session -d -x 80 -y 24 "env TERM=tmux-256color LANG=C.UTF-8 \
    '$program' -mode loader -op update -pp '$product' -dp '$data' -lang 1; echo \"exit=\$?\"; sleep 600"
on_screen() { pane capture-pane -p | grep -qF -- "$1"; }
on_screen_with_attributes() { pane capture-pane -p -e | grep -qF -- "$1"; }
zep_failure_context() { pane capture-pane -p -e | cat -v; }
wait_until "terminal: the dialog never showed its Slovak caption" on_screen "┌─ Aktualizácia ─"
wait_until "terminal: the rollback was never shown" on_screen "Aktualizácia zlyhala, návrat k pôvodnej verzii"
wait_until "terminal: the rollback's text was cut" on_screen "vykonaný."
wait_until "terminal: OK was never enabled" on_screen_with_attributes $'\e[1;7m[  OK  ]'
pane send-keys Enter
wait_until "terminal: the loader did not end after OK" on_screen "exit=0"
unset -f zep_failure_context
zep_checks=$((zep_checks + 1))
[ "$(pane capture-pane -p | grep -c '┌─')" -eq 0 ] || fail "terminal: the dialog stayed on the screen after OK"
expect_product "root's tampered update" "$work/original.tree"
expect_no_rollback_left "root's tampered update"

# An MSI update run by nobody's loader: the worker checks root's copy of nobody's package, runs the
# installer on that copy and reports to nobody's dialog (its GUI pipe, through -usid).
make_machine
mkdir -p "$ZEP_MACHINE_ROOT/etc/ssl"
cp -a "$msi_corpus/truststore" "$ZEP_MACHINE_ROOT/etc/ssl/certs"
cp "$msi_corpus/signed.msi" "$data/update.msi"
chown -R nobody:nogroup "$data"
script "$ZEP_MACHINE_ROOT/usr/lib/zepmaintenance/system/msiexec.exe" "printf '%s\n' \"\$@\" >'$work/msi-arguments'"
start_service
loader -op msiupdate -msi "$data/update.msi" -msimethod i -msipar "$(printf 'REBOOT=ReallySuppress' | iconv -t UTF-16LE | base64 -w0)" -lang 2
expect_status 0 "msiupdate"
expect_dialog_line "msiupdate" "Starting MSI installer."
expect_dialog_line "msiupdate" "Update successfully finished"
expect_line ZEPMaintenance2-worker.log "msiupdate" INFO "Upgrade successfully finished"
zep_checks=$((zep_checks + 1))
[ "$(sed -n 4p "$work/msi-arguments" 2>/dev/null)" = "REBOOT=ReallySuppress" ] || fail "msiupdate: the installer did not run with the parameters"

# Root's update without a terminal gives the expected product after a full update.
make_machine
make_update
start_service
rm -f "$zep_logdir/ZEPMaintenance2-worker.log"
"$program" -mode loader -op update -pp "$product" -dp "$data" -lang 2 </dev/null >"$work/dialog.txt" 2>&1
zep_status=$?
expect_status 0 "root's update"
expect_dialog_line "root's update" "Update successfully finished"
tree "$product" >"$work/updated.tree"
zep_checks=$((zep_checks + 1))
[ "$(cat "$product/lib/core.dll")" = "core 2" ] || fail "root's update: the product was not updated"

# The next logon after a crash: the worker (and the service that started it) killed at one mutating call
# of theirs, then zeprun runs the scheduled rollback through a loader, the service and a worker. The
# product is fully updated or version 1 restored, never in between, and nothing stays scheduled. The points are a
# sample spread over the run's calls (ZEP_CHAIN_POINTS of them, 20 unless set).
faults=(LD_PRELOAD="$preload" ZEP_FAULT_CHILDREN=share)
make_machine
make_update
start_service "${faults[@]}" ZEP_FAULT_MODE=list ZEP_FAULT_LIST="$work/points" ZEP_FAULT_COUNTER="$work/counter"
loader -op update -pp "$product" -dp "$data" -lang 2
total=$(wc -l <"$work/points")
samples=${ZEP_CHAIN_POINTS:-20}
zep_checks=$((zep_checks + 1))
[ "$total" -ge "$samples" ] || fail "the chain's update made $total mutating calls, fewer than the $samples sampled"
for i in $(seq 1 "$samples"); do
    point=$(((i * total + samples - 1) / samples))
    make_machine
    make_update
    rm -f "$work/counter"
    start_service "${faults[@]}" ZEP_FAULT_MODE=kill ZEP_FAULT_AT="$point" ZEP_FAULT_COUNTER="$work/counter"
    as_nobody "$program" -mode loader -op update -pp "$product" -dp "$data" -lang 2 </dev/null >/dev/null 2>&1
    # The killed process's children (a worker) may still be running their last steps.
    wait_until "point $point: a worker is still running" sh -c "! pgrep -f -- '[-]mode worker.*$ZEP_MACHINE_ROOT/' >/dev/null"
    stop_service
    start_service
    "$zeprun" --once-only </dev/null >"$work/zeprun.txt" 2>&1 || fail "point $point: zeprun failed: $(cat "$work/zeprun.txt")"
    wait_until "point $point: the rollback's worker is still running" sh -c "! pgrep -f -- '[-]mode worker.*$ZEP_MACHINE_ROOT/' >/dev/null"
    # As the crash matrix judges it: fully updated, or every object of version 1 back unchanged (what the
    # update added may stay, as the restore copies the backup over the product).
    zep_checks=$((zep_checks + 1))
    now=$(tree "$product")
    missing=$(comm -23 <(sort "$work/original.tree") <(echo "$now" | sort))
    [ "$now" = "$(cat "$work/updated.tree")" ] || [ -z "$missing" ] ||
        fail "point $point of $total: the product is neither version 2 nor version 1 restored
$missing"
    zep_checks=$((zep_checks + 1))
    ! grep -q '\.zep-copy-' <<<"$now" || fail "point $point of $total: a half-written copy was left"
    expect_no_rollback_left "point $point"
done

# nobody logs on: zeprun starts the Run value that install wrote, a loader without a dialog, which starts
# the service, which starts the worker for nobody. The companion's host registrations are copied from
# the machine's into nobody's hive, recreated (an extra value goes); the trusted sites are written, and
# a value other software put there stays.
make_machine -setupZEPPKIServiceRegistry
start_service
hosts='NativeMessagingHosts\zz.zep.zeppkiservice.host'
chrome="Software\Google\Chrome\\$hosts"
firefox="Software\Mozilla\\$hosts"
hive='HKU\S-1-22-1-65534'
settings='Software\Microsoft\Windows\CurrentVersion\Internet Settings'
sites="$hive\\$settings\ZoneMap\Domains"
"$zepreg" add "HKLM\\$chrome" /ve /d /opt/zep/chrome-host.json /f >/dev/null
"$zepreg" add "HKLM\\$firefox" /ve /d /opt/zep/firefox-host.json /f >/dev/null
"$zepreg" add "$hive\\$chrome" /v stale /d old /f >/dev/null
"$zepreg" add "$sites\*.example.com" /v ftp /t REG_DWORD /d 1 /f >/dev/null
"$zepreg" add "$hive\\$settings\Zones\2" /v Flags /t REG_DWORD /d 0 /f >/dev/null
rm -f "$zep_logdir/ZEPMaintenance2-worker.log"
as_nobody "$zeprun" </dev/null >"$work/zeprun.txt" 2>&1 || fail "nobody's logon run failed: $(cat "$work/zeprun.txt")"
wait_until "the refresh's worker never ended" grep -qs 'wWinMain exit' "$zep_logdir/ZEPMaintenance2-worker.log"
expect_line ZEPMaintenance2-worker.log "refresh" INFO "ProcessWorkerMode: ZEPPKIServiceRegistryKeys refreshed."
# A key's values as "name type data;" in name order.
values() { "$zepreg" query "$1" 2>&1 | sed -n 's/^ *\([^ ]*\) *\(REG_[A-Z_]*\) *\(.*\)$/\1 \2 \3/p' | sort | tr '\n' ';'; }
for entry in "$hive\\$chrome|(Default) REG_SZ /opt/zep/chrome-host.json;" \
    "$hive\\$firefox|(Default) REG_SZ /opt/zep/firefox-host.json;" \
    "$sites\*.example.com|ftp REG_DWORD 0x1;http REG_DWORD 0x2;https REG_DWORD 0x2;" \
    "$sites\*.example.net|https REG_DWORD 0x2;" \
    "$hive\\$settings\Zones\2|Flags REG_DWORD 0x43;"; do
    zep_checks=$((zep_checks + 1))
    [ "$(values "${entry%%|*}")" = "${entry#*|}" ] || fail "refresh: ${entry%%|*} holds $(values "${entry%%|*}"), not ${entry#*|}"
done

# Uninstall: the service, its units and the settings key go.
stop_service
"$program" -mode worker -op uninstall </dev/null >/dev/null 2>&1
zep_status=$?
expect_status 0 "uninstall"
zep_checks=$((zep_checks + 1))
! "$zepreg" query 'HKLM\software\ZEP\Z.EP Maintenance2\product' >/dev/null 2>&1 || fail "uninstall left the settings key"
zep_checks=$((zep_checks + 1))
[ -z "$(ls "$ZEP_MACHINE_ROOT/etc/systemd/system" 2>/dev/null)" ] || fail "uninstall left the service's units"

zep_finish
