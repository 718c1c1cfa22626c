#!/usr/bin/env bash
# The demo command: builds the Linux program and runs it in a sandboxed machine root.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset native-release >/dev/null
cmake --build --preset native-release -j "$(nproc)" --target zepmaintenance zcf zepreg zep_dialog_host zep_pipe_peer

program=$PWD/build/native-release/bin/zepmaintenance
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/var/lib"
export ZEP_MACHINE_ROOT=$root
logs="$root/var/lib/Z.EP Maintenance2"

run() {
    echo "\$ zepmaintenance $*"
    set +e
    "$program" "$@"
    echo "exit code: $?"
    set -e
}

run -mode notifier -op install -lang 2
run -mode notifier -op bogus
for log in "$logs"/*.log; do
    echo "--- $(basename "$log")"
    cat "$log"
done

echo
echo "Another user plants a FIFO under the name of the next log; the run neither hangs nor writes into it:"
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
    chmod 755 "$root"
    setpriv --reuid=nobody --regid=nogroup --clear-groups mkfifo "$logs/ZEPMaintenance2-worker.log"
else
    mkfifo "$logs/ZEPMaintenance2-worker.log"
fi
run -mode worker -op install
ls -l "$logs" | grep worker
head -n 2 "$logs/ZEPMaintenance2-worker.log"

echo
echo "=== An update, run by the worker as the service would start it, with the loader's dialog (here as"
echo "=== plain lines; on a terminal it is drawn in place) listening on the GUI pipe:"
bin=$PWD/build/native-release/bin
product="$root/opt/ZEP Client"
data="$root/home/user/ZEP data"
key=$PWD/tests/keys/development-private.pem
runonce='HKLM\software\microsoft\windows\currentversion\runonce'

installed() { # version 1 of the product
    rm -rf "$product" "$data"
    mkdir -p "$product/lib" "$data"
    printf '#!/bin/sh\necho "client 1"\n' >"$product/client.sh"
    chmod 755 "$product/client.sh"
    echo "core 1" >"$product/lib/core.dll"
    echo "old library" >"$product/lib/old.dll"
    # What install will record: the product folder the worker may update.
    "$bin/zepreg" add 'HKLM\software\ZEP\Z.EP Maintenance2\product' /v productPath /d "$product" /f >/dev/null
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
}
show() {
    echo "--- the product now:"
    (cd "$product" && for f in $(find . -type f | sort); do printf '    %-14s %s\n' "$f" "$(tail -n 1 "$f")"; done)
}
update() { # the worker's update with the dialog listening; $1 = the dialog's language
    local pipe="ZEPMaintenance_demo_$RANDOM"
    "$bin/zep_dialog_host" -lang "${1:-2}" -listen "$pipe" | sed 's/^/    dialog: /' &
    local dialog=$!
    echo "\$ zepmaintenance -mode worker -op update -pp \"$product/\" -dp \"$data/\" -guiPipe $pipe -lang ${1:-2}"
    local status=0
    "$program" -mode worker -op update -pp "$product/" -dp "$data/" -guiPipe "$pipe" -lang "${1:-2}" || status=$?
    echo "exit code: $status"
    wait "$dialog" || true
}

installed
prepared
show
update 2
show

echo
echo "=== A tampered update: a file changed after the release was signed. It is refused, and the product"
echo "=== comes back as it was:"
installed
prepared
echo "echo 'not from the release'" >>"$data/update/client.sh"
update 1
grep -F "nema zaznam" "$logs/ZEPMaintenance2-worker.log" | tail -n 1 | sed 's/^.* - /    log: /'
show

echo
echo "=== A crash: the worker killed in the middle of the update (while its post-upgrade program runs)."
echo "=== The rollback it scheduled in RunOnce restores the product at the next logon:"
installed
prepared "sleep 30"
pipe="ZEPMaintenance_demo_crash"
"$bin/zep_pipe_peer" --serve "$pipe" >/dev/null &
listener=$!
"$program" -mode worker -op update -pp "$product/" -dp "$data/" -guiPipe "$pipe" -lang 2 &
worker=$!
for _ in $(seq 100); do pgrep -f "tools/post.sh" >/dev/null && break; sleep 0.1; done
kill -9 "$worker"
wait "$worker" 2>/dev/null || true
pkill -f "tools/post.sh" || true
wait "$listener" 2>/dev/null || true
echo "--- killed half-way:"
show
command=$("$bin/zepreg" query "$runonce" /v "Z.EP Maintenance Service2 - Rollback" | sed -n 's/^ *Z.EP Maintenance Service2 - Rollback *REG_SZ *//p')
echo "--- scheduled in RunOnce: $command"
"$bin/zepreg" delete "$runonce" /v "Z.EP Maintenance Service2 - Rollback" /f >/dev/null
echo "--- the next logon runs it (in worker mode, as the service would start it):"
"$bin/zep_pipe_peer" --serve R | sed 's/^/    message: /' &
listener=$!
status=0
"$program" -mode worker -op rollback -pp "$product/" -dp "$data/" -lang 2 -guiPipe R || status=$?
echo "exit code: $status"
wait "$listener" || true
show

echo
echo "The loader and the service that start the worker are not built yet:"
run -mode loader -op update -pp "$product/" -dp "$data/"
grep -F "not available" "$logs/ZEPMaintenance2-loader.log" | tail -n 1
