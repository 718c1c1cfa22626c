#!/usr/bin/env bash
# The demo command: builds the Linux program and runs it in a sandboxed machine root.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset native-release >/dev/null
cmake --build --preset native-release -j "$(nproc)" --target zepmaintenance zep_dialog_host zep_pipe_peer

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
echo "The progress dialog and the GUI pipe: the loader's listener with its dialog (here as plain lines; on"
echo "a terminal it is drawn in place) and a stand-in worker sending a whole update's progress in Slovak:"
bin=$PWD/build/native-release/bin
mkdir -p "$root/run"
"$bin/zep_dialog_host" -lang 1 -listen ZEPMaintenance_demo_1 &
dialog_pid=$!
"$bin/zep_pipe_peer" --pipe ZEPMaintenance_demo_1 --quiet --pace 300 --lang 1 \
    --text 6 --text 12 --text 3 --text 4 --text 11 --text 5 --send 2
wait "$dialog_pid" || true

echo
echo "The update itself (loader, service and worker with the upgrade engine) is not built yet:"
run -mode loader -op update -pp "$root/product" -dp "$root/data"
tail -n 3 "$logs/ZEPMaintenance2-loader.log"
