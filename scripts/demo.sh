#!/usr/bin/env bash
# The demo command: builds the Linux program and runs the whole chain in a sandboxed machine root:
# install, an update run by the loader with its dialog, a tampered update refused, a worker killed
# half-way and restored at the next logon, and uninstall.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset native-release >/dev/null
cmake --build --preset native-release -j "$(nproc)" --target zepmaintenance zcf zepreg zeprun

bin=$PWD/build/native-release/bin
program=$bin/zepmaintenance
root=$(mktemp -d)
chmod 755 "$root"
activator=
stop_service() {
    if [ -n "$activator" ]; then
        kill "$activator" 2>/dev/null || true
        wait "$activator" 2>/dev/null || true
        activator=
    fi
}
trap 'stop_service; rm -rf "$root"' EXIT
mkdir -p "$root/var/lib"
export ZEP_MACHINE_ROOT=$root
logs="$root/var/lib/Z.EP Maintenance2"
product="$root/opt/ZEP Client"
data="$root/home/user/ZEP data"
key=$PWD/tests/keys/development-private.pem
runonce='HKLM\software\microsoft\windows\currentversion\runonce'

# The user who runs the loader: nobody where the demo can switch to it, otherwise root.
as_user=()
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
    as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi

# Waits up to 30 s for the worker's run to end (its exit line).
wait_for_worker() {
    for _ in $(seq 300); do
        grep -q 'wWinMain exit' "$logs/ZEPMaintenance2-worker.log" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "the worker did not end" >&2
    return 1
}

say() { printf '\n=== %s\n' "$*"; }

show() {
    echo "--- the product now:"
    (cd "$product" && for f in $(find . -type f | sort); do printf '    %-14s %s\n' "$f" "$(tail -n 1 "$f")"; done)
}

installed() { # version 1 of the product, installed
    stop_service
    "$program" -mode worker -op uninstall </dev/null >/dev/null 2>&1 || true
    rm -rf "$product" "$data" "$logs"
    mkdir -p "$product/lib" "$data"
    chmod 755 "$root/home"
    printf '#!/bin/sh\necho "client 1"\n' >"$product/client.sh"
    chmod 755 "$product/client.sh"
    echo "core 1" >"$product/lib/core.dll"
    echo "old library" >"$product/lib/old.dll"
    # As the product's installer runs it: elevated, so the worker directly. (A loader run by root
    # would leave a loader log that nobody's loader may not write.)
    echo "\$ zepmaintenance -mode worker -op install -pp \"$product\""
    "$program" -mode worker -op install -pp "$product" </dev/null
    echo "exit code: $?"
    grep -F "ProcessWorkerMode:" "$logs/ZEPMaintenance2-worker.log" | sed 's/^.* - /    worker: /'
    # What the service manager would do with the socket unit install wrote.
    socket=$(sed -n 's/^ListenSequentialPacket=//p' "$root"/etc/systemd/system/*.socket)
    rm -f "$socket" # the last activator's, which would pass for the new one's
    systemd-socket-activate --seqpacket -a -l "$socket" -E ZEP_MACHINE_ROOT "$program" -mode service \
        >/dev/null 2>&1 &
    activator=$!
    for _ in $(seq 100); do [ -S "$socket" ] && break; sleep 0.1; done
    # The unit's SocketMode=, which systemd-socket-activate does not apply.
    chmod "$(sed -n 's/^SocketMode=//p' "$root"/etc/systemd/system/*.socket)" "$socket"
}

prepared() { # version 2, signed with the development key, as the client application leaves it
    local update="$data/update"
    mkdir -p "$update/lib" "$update/tools"
    printf '#!/bin/sh\necho "client 2"\n' >"$update/client.sh"
    chmod 755 "$update/client.sh"
    echo "core 2" >"$update/lib/core.dll"
    echo "new library" >"$update/lib/new.dll"
    printf '#!/bin/sh\n%s\n' "${1:-exit 0}" >"$update/tools/post.sh"
    chmod 755 "$update/tools/post.sh"
    printf 'lib\\old.dll\r\n' >"$update/._ZEP_UPGRADE_delete"
    "$bin/zcf" manifest "$update" --version 2.0 --run-file 'tools\post.sh' --run-after client.sh \
        --out "$root/manifest.xml" >/dev/null
    "$bin/zcf" sign --key "$key" --in "$root/manifest.xml" --out "$update/zep_upgrade.xml.zcf" >/dev/null
    [ ${#as_user[@]} -eq 0 ] || chown -R nobody:nogroup "$data"
}

loader() { # the loader as the client application starts it, its dialog as plain lines
    rm -f "$logs/ZEPMaintenance2-worker.log"
    echo "\$ ${as_user[*]} zepmaintenance -mode loader -op update -pp \"$product\" -dp \"$data\" -lang $1"
    local status=0
    "${as_user[@]}" "$program" -mode loader -op update -pp "$product" -dp "$data" -lang "$1" </dev/null |
        sed 's/^/    dialog: /' || status=$?
    echo "exit code: $status"
    [ "${2:-}" = killed ] || wait_for_worker
}

say "Install, then an update run by the loader: the service starts the worker, the dialog shows its steps"
installed
prepared
show
loader 2
show

say "A tampered update: a file changed after the release was signed. It is refused, and the product"
echo "=== comes back as it was:"
installed
prepared
echo "echo 'not from the release'" >>"$data/update/client.sh"
loader 1
grep -F "nema zaznam" "$logs/ZEPMaintenance2-worker.log" | tail -n 1 | sed 's/^.* - /    worker: /'
show

say "A crash: the worker killed in the middle of the update (by its post-upgrade program). The rollback"
echo "=== it scheduled in RunOnce restores the product at the next logon (zeprun):"
installed
prepared 'kill -KILL $PPID'
loader 2 killed
echo "--- killed half-way (the loader's dialog saw its pipe end without a last word):"
show
echo "--- scheduled in RunOnce: $("$bin/zepreg" query "$runonce" | sed -n 's/^ *Z.EP Maintenance Service2 - Rollback *REG_SZ *//p')"
echo "\$ zeprun --once-only"
"$bin/zeprun" --once-only </dev/null | sed 's/^/    /'
wait_for_worker
show

say "Uninstall"
stop_service
rm -f "$logs/ZEPMaintenance2-worker.log"
"$program" -mode worker -op uninstall </dev/null
echo "exit code: $?"
grep -F "ProcessWorkerMode:" "$logs/ZEPMaintenance2-worker.log" | sed 's/^.* - /    worker: /'

echo
echo "Each mode's log is in $logs (removed with the sandbox):"
ls "$logs" | sed 's/^/    /'
