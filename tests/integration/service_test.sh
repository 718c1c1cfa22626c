#!/usr/bin/env bash
# The maintenance service on Linux end to end (root, with nobody as the ordinary user): the record and
# units install writes, starts through the socket served by socket activation and by root's own spawn
# where nothing listens, the caller checked against the service's DACL, the identity taken from the
# socket, the service's lines and the status it leaves in its record.
# Usage: service_test.sh native <zepmaintenance> <zep_service_tool> <zepreg>
source "$(dirname "$0")/lib.sh"
if [ "$(id -u)" -ne 0 ] || ! command -v setpriv >/dev/null || ! command -v systemd-socket-activate >/dev/null; then
    echo "skipped: needs root, setpriv and systemd-socket-activate"
    exit 77
fi
zep_init "$1" "$2"
tool=$3
zepreg=$4
chmod 755 "$zep_root"
as_user() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }

name="Z.EP Maintenance Service2"
unit=z_2eep_20maintenance_20service2
units="$zep_root/etc/systemd/system"
sock="$zep_root/run/zepmaintenance/service/$unit.sock"
record="HKLM\\SYSTEM\\CurrentControlSet\\Services\\$name"
log=ZEPMaintenance2-service.log
activator=
trap '[ -n "$activator" ] && kill "$activator" 2>/dev/null; rm -rf "$zep_root"' EXIT

value() { "$zepreg" query "$record" /v "$1" 2>/dev/null | awk -v v="$1" '$1 == v { print $3 }'; }
expect_output() {
    zep_checks=$((zep_checks + 1))
    [ "$2" = "$3" ] || fail "$1: got \"$2\", expected \"$3\""
}
# start USER ARGUMENTS...: the tool's start as root or nobody, on a clean service log, waiting for the run
# it started to end (its exit line) when it was started.
start() {
    local user=$1
    shift
    rm -f "$zep_logdir/$log"
    if [ "$user" = nobody ]; then
        started=$(as_user "$tool" start "$name" "$@")
    else
        started=$("$tool" start "$name" "$@")
    fi
    if [ "$started" = "start 0" ]; then
        wait_until "the service run ended" grep -q "wWinMain exit" "$zep_logdir/$log"
    fi
}

# Install: the record, and the units that serve its socket.
expect_output "install" "$("$tool" install "$name" "$zep_program" "-mode service")" "install ok"
expect_output "install again" "$("$tool" install "$name" "$zep_program" "-mode service")" "install failed 104"
expect_output "image path" "$("$zepreg" query "$record" /v ImagePath | sed -n 's/.*REG_EXPAND_SZ *//p')" \
    "\"$zep_program\" -mode service"
expect_output "start type" "$(value Start)" 0x3
expect_output "service type" "$(value Type)" 0x10
check "socket unit" grep -qxF "ListenSequentialPacket=$sock" "$units/$unit.socket"
check "service unit" grep -qxF "ExecStart=\"$zep_program\" \"-mode\" \"service\"" "$units/$unit@.service"
expect_output "users may not start a new service" "$(as_user "$tool" open "$name" start)" "open 5"
expect_output "grant" "$("$tool" grant "$name")" "grant ok"

# Nothing listens: an ordinary user cannot start it, root spawns it as the socket unit would.
start nobody -op install
expect_output "nobody without a listener" "$started" "start 1058"
start root -op install
expect_output "root's spawn" "$started" "start 0"
expect_line "$log" "root's spawn" INFO "MaintenanceService Start"
expect_line "$log" "root's spawn" INFO "RunServiceDispatcher: Start admitted. (uid: 0, pid: "
expect_output "stopped after install" "$(value CurrentState)/$(value Win32ExitCode)" 0x1/0x0

# Socket activation, one service process per connection, as the socket unit does it.
systemd-socket-activate --seqpacket -a -l "$sock" -E ZEP_MACHINE_ROOT="$zep_root" "$zep_program" -mode service \
    >/dev/null 2>&1 &
activator=$!
wait_until "the socket is served" test -S "$sock"
chmod 666 "$sock"

start nobody -op install -usid S-1-5-18 -lpid 1
expect_output "nobody starts it" "$started" "start 0"
expect_line "$log" "nobody" INFO "MaintenanceService Start"
check "the identity is the socket's" grep -qE \
    "Start admitted\. \(uid: 65534, pid: [0-9]+, arguments: $name -op install -usid S-1-22-1-65534 -lpid [0-9]+\)" \
    "$zep_logdir/$log"
check "the sent identity is dropped" bash -c "! grep -qE 'S-1-5-18|-lpid 1\)' '$zep_logdir/$log'"
expect_output "stopped with 0" "$(value CurrentState)/$(value Win32ExitCode)" 0x1/0x0

start nobody
expect_output "no operation still starts" "$started" "start 0"
expect_line "$log" "no operation" ERROR \
    "MaintenanceService::OnStart: Exception occured (exCode: 137, exText: "
expect_output "stopped with -1" "$(value CurrentState)/$(value Win32ExitCode)" 0x1/0xffffffff

# A run in progress holds its claim: a second start is refused with 1056.
lock="$zep_root/run/zepmaintenance/service/$unit.lock"
flock "$lock" sleep 3 &
holder=$!
sleep 0.5
start nobody -op install
expect_output "already running" "$started" "start 1056"
wait "$holder"

# Without the start right for Users: refused when opening, and by the service itself for a caller that
# skips the open and writes its request straight to the socket.
expect_output "revoke" "$("$tool" revoke "$name")" "revoke ok"
expect_output "nobody opens to start" "$(as_user "$tool" open "$name" start)" "open 5"
rm -f "$zep_logdir/$log"
expect_output "the service refuses nobody" "$(as_user "$tool" send "$name" -op install)" "send 5"
wait_until "the refused run ended" grep -q "wWinMain exit" "$zep_logdir/$log"
expect_line "$log" "refusal" ERROR \
    "RunServiceDispatcher: Start refused, the caller may not start the service. (uid: 65534, pid: "
check "a refused caller's run never starts" bash -c "! grep -q 'MaintenanceService Start' '$zep_logdir/$log'"
start root -op install
expect_output "root still starts it" "$started" "start 0"

# Uninstall: record and units gone.
expect_output "uninstall" "$("$tool" uninstall "$name")" "uninstall ok"
expect_output "open after uninstall" "$("$tool" open "$name" full)" "open 1060"
check "units removed" test ! -e "$units/$unit.socket" -a ! -e "$units/$unit@.service"

zep_finish
