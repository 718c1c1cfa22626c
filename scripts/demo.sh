#!/usr/bin/env bash
# The demo command: builds the Linux program and runs it in a sandboxed machine root.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset native-release >/dev/null
cmake --build --preset native-release -j "$(nproc)" --target zepmaintenance

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
echo "The update itself (loader, service and worker with the upgrade engine) is not built yet:"
run -mode loader -op update -pp "$root/product" -dp "$root/data"
tail -n 3 "$logs/ZEPMaintenance2-loader.log"
