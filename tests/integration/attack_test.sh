#!/usr/bin/env bash
# Root's worker against an ordinary user who owns and prepares the data folder and copies only genuinely
# signed containers into it: every attack ends in a refusal with its own line and code, or in the product
# exactly as it was, and nothing outside the product and root's own places is written or deleted.
# Usage: attack_test.sh <zepmaintenance> <zcf> <zep_pipe_peer> <zepreg> <source folder>   (as root)
source "$(dirname "$0")/lib.sh"
program=$1
zcf=$2
peer=$3
zepreg=$4
source_dir=$5
key="$source_dir/tests/keys/development-private.pem"
if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: needs root, with nobody as the attacker"
    exit 77
fi

work=$(mktemp -d)
chmod 755 "$work"
trap 'rm -rf "$work"' EXIT
export ZEP_MACHINE_ROOT="$work/machine"
zep_logdir="$ZEP_MACHINE_ROOT/var/lib/Z.EP Maintenance2"
product="$ZEP_MACHINE_ROOT/opt/ZEP Client"
data="$ZEP_MACHINE_ROOT/home/user/data"
update="$data/update"
state="$ZEP_MACHINE_ROOT/var/lib/Z.EP Maintenance2 Engine"
as_user() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }

# tree FOLDER: one line per object below it, sorted.
tree() { (cd "$1" && find . -mindepth 1 -printf '%y %m %U %s %p\n' | sort -k5); }

fresh() {
    rm -rf "$ZEP_MACHINE_ROOT"
    mkdir -p "$product/lib" "$data" "$ZEP_MACHINE_ROOT/var/lib"
    echo "core 1" >"$product/lib/core.dll"
    echo "old library" >"$product/lib/old.dll"
    register_product "$zepreg" "$product"
    chown -R nobody:nogroup "$ZEP_MACHINE_ROOT/home"
    tree "$product" >"$work/original.tree"
}

# signed [zcf manifest options...]: the user's update folder, signed as a release engineer signs it.
signed() {
    as_user mkdir -p "$update/lib"
    as_user sh -c "echo 'core 2' >'$update/lib/core.dll'"
    [ -e "$update/._ZEP_UPGRADE_delete" ] || as_user touch "$update/._ZEP_UPGRADE_delete"
    "$zcf" manifest "$update" --version "${version:-2.0}" "$@" --out "$work/manifest.xml" >/dev/null &&
        "$zcf" sign --key "$key" --in "$work/manifest.xml" --out "$work/zep_upgrade.xml.zcf" >/dev/null ||
        fail "the update could not be signed"
    as_user cp "$work/zep_upgrade.xml.zcf" "$update/"
}

worker() { # worker OPERATION [-pp FOLDER]: sets zep_status
    local pp=${2:-$product}
    rm -f "$zep_logdir/ZEPMaintenance2-worker.log"
    "$peer" --serve "A$$" --connect-limit 20000 >/dev/null 2>&1 &
    local listener=$!
    "$program" -mode worker -op "$1" -pp "$pp/" -dp "$data/" -guiPipe "A$$" -lang 2 </dev/null >/dev/null 2>&1
    zep_status=$?
    wait "$listener"
}

expect_product_unchanged() {
    zep_checks=$((zep_checks + 1))
    [ "$(tree "$product")" = "$(cat "$work/original.tree")" ] || fail "$1: the product changed
$(tree "$product")"
}

# -pp of the user's choice: a root-only folder is neither sealed into the data folder nor updated.
fresh
mkdir -p "$work/secret" && echo "root only" >"$work/secret/key" && chmod 700 "$work/secret"
signed
worker update "$work/secret"
expect_status 255 "-pp elsewhere"
expect_line ZEPMaintenance2-worker.log "-pp elsewhere" ERROR \
    "ProcessWorkerMode: The product folder is not the installed product; nothing is touched."
check "-pp elsewhere: nothing of it in the data folder" [ -z "$(find "$data" -name key)" ]
check "-pp elsewhere: no backup taken" [ ! -e "$state/product/backup" ]
worker rollback "$work/secret"
expect_status 255 "-pp elsewhere, rollback"
# The same folder by another name is the installed product.
fresh
signed
worker update "$ZEP_MACHINE_ROOT/opt/./ZEP Client"
expect_status 0 "-pp naming the installed folder another way"

# A backup planted in the data folder is never restored: the backup lives in root's own place.
fresh
signed
as_user mkdir -p "$data/backup/lib"
as_user sh -c "echo planted >'$data/backup/lib/core.dll'"
echo "broken" >>"$update/lib/core.dll"
worker update
expect_status 255 "tampered update with a planted backup"
expect_product_unchanged "tampered update with a planted backup"
check "the planted backup is left alone" [ "$(cat "$data/backup/lib/core.dll")" = planted ]
check "root's own place is root's" [ "$(stat -c %u "$state/product")" = 0 ]
# Someone else's folder under the name of root's own place is set aside, never used.
fresh
rm -rf "$state"
chmod 1777 "$ZEP_MACHINE_ROOT/var/lib"
as_user mkdir -p "$state/product/backup"
signed
worker update
expect_status 0 "update with root's place made by the user first"
expect_line ZEPMaintenance2-worker.log "root's place made by the user" WARN \
    "PrepareRollback: A folder under the name of the program's own place was not made by it; it was set aside."
check "the user's folder was set aside" [ -n "$(find "$ZEP_MACHINE_ROOT/var/lib" -maxdepth 1 -user nobody -name '*.aside-*')" ]
chmod 755 "$ZEP_MACHINE_ROOT/var/lib"

# The data folder swapped for a link while the update runs: root never deletes the decoy's update folder.
fresh
decoy="$ZEP_MACHINE_ROOT/home/decoy"
mkdir -p "$decoy/update" && echo "not root's to delete" >"$decoy/update/keep" && chown -R nobody "$decoy"
deadline=$((SECONDS + 10))
rounds=0
while [ $SECONDS -lt $deadline ]; do
    rm -rf "$data" && as_user mkdir -p "$data"
    signed
    (while :; do as_user mv -T "$data" "$data.real" 2>/dev/null && as_user ln -sfn "$decoy" "$data" &&
        as_user rm -f "$data" && as_user mv -T "$data.real" "$data" 2>/dev/null; done) &
    swapper=$!
    worker update
    kill "$swapper" 2>/dev/null
    wait "$swapper" 2>/dev/null
    rm -rf "$data" "$data.real"
    rounds=$((rounds + 1))
    [ -e "$decoy/update/keep" ] || break
done
check "the decoy's update folder survived $rounds swapped runs" [ -e "$decoy/update/keep" ]
echo "the data folder was swapped for a link during $rounds runs"

# A delete-list folder line through a link inside the product: refused before anything is deleted.
fresh
mkdir -p "$work/outside/victim" && echo precious >"$work/outside/victim/file"
ln -s "$work/outside" "$product/linked"
tree "$product" >"$work/original.tree"
as_user mkdir -p "$update"
printf 'lib\\old.dll\r\n\r\nlinked\\victim\r\n' | as_user tee "$update/._ZEP_UPGRADE_delete" >/dev/null
signed
worker update
expect_status 255 "delete through a linked folder"
expect_line ZEPMaintenance2-worker.log "delete through a linked folder" ERROR \
    "DoHostUpdate: Delete filelist names a path whose way crosses a link in the program folder; nothing is deleted."
check "the folder outside the product is still there" [ -e "$work/outside/victim/file" ]
expect_product_unchanged "delete through a linked folder"
# The same for the manifest's own delete: refused (103), the update fails before anything is deleted.
as_user rm -rf "$update"
signed --delete-file 'linked\victim\file'
worker update
expect_status 255 "a manifest delete through a linked folder"
expect_line ZEPMaintenance2-worker.log "a manifest delete through a linked folder" ERROR \
    "RunAction: File path crosses a link in the product folder; refused."
check "the file outside the product is still there" [ -e "$work/outside/victim/file" ]
expect_product_unchanged "a manifest delete through a linked folder"

# Only what is signed reaches the product: no empty folders, no update with a listed file left out, and
# one name for what Windows takes for one.
fresh
signed
as_user mkdir -p "$update/empty/deeper"
worker update
expect_status 0 "update with empty folders"
check "no unsigned folder in the product" [ ! -e "$product/empty" ]
fresh
as_user mkdir -p "$update/lib" && as_user sh -c "echo 'new' >'$update/lib/new.dll'"
signed
as_user rm "$update/lib/new.dll"
worker update
expect_status 255 "a listed file left out"
expect_line ZEPMaintenance2-worker.log "a listed file left out" ERROR \
    "CopyNewFiles: A file the manifest lists is not in the update folder; nothing is changed. (filename: LIB\\NEW.DLL)"
expect_product_unchanged "a listed file left out"
fresh
as_user mkdir -p "$update/LIB" && as_user sh -c "echo 'core 2' >'$update/LIB/Core.DLL'"
"$zcf" manifest "$update" --version 2.0 --out "$work/manifest.xml" >/dev/null &&
    "$zcf" sign --key "$key" --in "$work/manifest.xml" --out "$work/zep_upgrade.xml.zcf" >/dev/null
as_user cp "$work/zep_upgrade.xml.zcf" "$update/"
as_user touch "$update/._ZEP_UPGRADE_delete"
worker update
expect_status 0 "a file under another letter case"
check "installed over the name the product has" [ "$(ls "$product")" = lib ] && [ "$(ls "$product/lib")" = "core.dll
old.dll" ] && [ "$(cat "$product/lib/core.dll")" = "core 2" ]

# What the user plants costs root at most a refusal: a sparse giant nobody signed is refused by its name
# before a byte of it is copied; the backup's and the new files' apparent sizes are checked against the
# free space first; a huge container is refused unread; a long list of empty lines is one warning.
fresh
signed
as_user truncate -s 10G "$update/lib/giant.dll"
worker update
expect_status 255 "sparse giant"
expect_line ZEPMaintenance2-worker.log "sparse giant" ERROR \
    "CopyNewFiles: A file of the update folder is not in the manifest; nothing is changed. (filename: lib\giant.dll)"
check "no backup for the giant" [ ! -e "$state/product/backup" ]
fresh
free=$(df --output=avail -B1 "$ZEP_MACHINE_ROOT" | tail -n 1)
truncate -s "$((free + 1073741824))" "$product/lib/sparse.dat"
tree "$product" >"$work/original.tree"
signed
worker update
expect_status 255 "a backup larger than the free space"
expect_line ZEPMaintenance2-worker.log "a backup larger than the free space" ERROR \
    "DoHostUpdate: Not enough free space for the backup and the new files; nothing is changed."
expect_product_unchanged "a backup larger than the free space"
fresh
signed
as_user truncate -s 4G "$update/zep_upgrade.xml.zcf"
worker update
expect_status 255 "4 GiB container"
expect_line ZEPMaintenance2-worker.log "4 GiB container" ERROR "DoHostUpdate: Config file not loaded."
fresh
signed
as_user sh -c "printf 'lib\\\\old.dll\\r\\n' >'$update/._ZEP_UPGRADE_delete'; head -c 2000000 /dev/zero | tr '\\0' '\\n' >>'$update/._ZEP_UPGRADE_delete'"
worker update
expect_status 0 "a delete list of empty lines"
check "one warning for all its empty lines" [ "$(grep -c 'Empty directory line' "$zep_logdir/ZEPMaintenance2-worker.log")" -eq 1 ]

# No downgrade: a genuine older release is refused unless the administrator allows it.
fresh
version=2.0 signed
worker update
expect_status 0 "release 2.0"
version=1.0 signed
worker update
expect_status 255 "release 1.0 over 2.0"
expect_line ZEPMaintenance2-worker.log "release 1.0 over 2.0" ERROR \
    "DoHostUpdate: The update is not newer than the installed release; nothing is changed. (version: 1.0, installedVersion: 2.0)"
"$zepreg" add 'HKLM\software\ZEP\Z.EP Maintenance2\product' /v allowDowngrade /d 1 /f >/dev/null
worker update
expect_status 0 "release 1.0 over 2.0, allowed"

# A FIFO under the worker log's name with every name it used to be set aside under: the run keeps its log.
fresh
signed
mkdir -p "$zep_logdir" && chmod 1777 "$zep_logdir"
as_user mkfifo "$zep_logdir/ZEPMaintenance2-worker.log"
for pid in $(seq $$ $(($$ + 50))); do
    as_user mkfifo "$zep_logdir/ZEPMaintenance2-worker.log.aside-$(date +%Y%m%d-%H%M%S)-$pid" 2>/dev/null
done
"$peer" --serve "F$$" >/dev/null 2>&1 &
listener=$!
timeout 60 "$program" -mode worker -op update -pp "$product/" -dp "$data/" -guiPipe "F$$" -lang 2 </dev/null >/dev/null 2>&1
zep_status=$?
wait "$listener"
expect_status 0 "update with planted log names"
check "the worker's log is a file of root's" [ -f "$zep_logdir/ZEPMaintenance2-worker.log" ] &&
    [ "$(stat -c %u "$zep_logdir/ZEPMaintenance2-worker.log")" = 0 ]

# A worker told to serve one user while -lpid names another user's process: refused, nothing touched.
fresh
signed
# Not through as_user: $! must be the process itself, not a shell around it.
setpriv --reuid=nobody --regid=nogroup --clear-groups sleep 60 &
other=$!
wait_until "the other user's process" test "$(ps -o uid= -p "$other" | tr -d ' ')" = "$(id -u nobody)"
"$peer" --serve "U$$" --connect-limit 3000 >/dev/null 2>&1 &
listener=$!
"$program" -mode worker -op update -pp "$product/" -dp "$data/" -guiPipe "U$$" -lpid "$other" -usid S-1-5-18 \
    -lang 2 </dev/null >/dev/null 2>&1
zep_status=$?
kill "$other"
wait "$listener"
expect_status 255 "a loader of another user"
expect_line ZEPMaintenance2-worker.log "a loader of another user" ERROR \
    "ParseArguments: The loader process does not belong to the user of -usid; nothing is touched. (lpid: $other, owner: S-1-22-1-$(id -u nobody), usid: S-1-5-18)"
expect_product_unchanged "a loader of another user"

# The GUI pipe names a loader draws first (its process id and a number seeded by the clock), planted by
# the user before the loader gets to them: the loader draws fresh names and goes on.
fresh
"$peer" --serve "P$$" --connect-limit 1 >/dev/null 2>&1 # the pipe folder, as root's first pipe makes it
rm -f "$work/loader.pid" "$work/go"
bash -c 'echo $$ >"$1/loader.pid"; while [ ! -e "$1/go" ]; do sleep 0.05; done
         exec "$2" -mode loader -op update -pp "$3/" -dp "$4/" -lang 2' - "$work" "$program" "$product" "$data" \
    </dev/null >"$work/loader.out" 2>&1 &
loader=$!
wait_until "the loader's process id" test -s "$work/loader.pid"
loader_pid=$(cat "$work/loader.pid")
planters=()
now=$(date +%s)
for second in $(seq "$now" $((now + 5))); do
    number=$(python3 -c "import ctypes; c = ctypes.CDLL('libc.so.6'); c.srand($second); print(c.rand() % 10000)")
    setpriv --reuid=nobody --regid=nogroup --clear-groups "$peer" --serve "ZEPMaintenance_${loader_pid}_$number" \
        --connect-limit 60000 >/dev/null 2>&1 &
    planters+=($!)
    wait_until "the planted pipe $number" test -S "$ZEP_MACHINE_ROOT/run/zepmaintenance/pipe/ZEPMaintenance_${loader_pid}_$number"
done
touch "$work/go"
wait "$loader"
zep_status=$?
kill "${planters[@]}" 2>/dev/null
wait "${planters[@]}" 2>/dev/null
expect_status 255 "a loader with its pipe names planted (no service here)"
check "the loader saw its name taken" grep -qF "StartIMService: GUI pipe name is taken, a fresh one is drawn. (taken: \\\\.\\pipe\\ZEPMaintenance_${loader_pid}_" "$zep_logdir/ZEPMaintenance2-loader.log"
check "the loader hands on a fresh name" grep -qE -- "StartIMService: Arguments for service prepared\. \(cmdline: .*-guiPipe \"ZEPMaintenance_${loader_pid}_[0-9a-f]{16}\"" "$zep_logdir/ZEPMaintenance2-loader.log"

zep_finish
