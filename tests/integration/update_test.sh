#!/usr/bin/env bash
# The update through the real program: the worker updates a product from a signed data folder while a
# listener on the GUI pipe records its messages; a tampered file, a broken container and a failing
# post-upgrade program each end in the product as it was.
# Usage: update_test.sh <zepmaintenance> <zcf> <zep_pipe_peer> <zepreg> <source folder>
source "$(dirname "$0")/lib.sh"
program=$1
zcf=$2
peer=$3
zepreg=$4
source_dir=$5
key="$source_dir/tests/keys/development-private.pem"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ZEP_MACHINE_ROOT="$work/machine"
logs="$ZEP_MACHINE_ROOT/var/lib/Z.EP Maintenance2"
zep_logdir=$logs
product="$ZEP_MACHINE_ROOT/opt/ZEP Client"
data="$ZEP_MACHINE_ROOT/home/user/ZEP data"
update="$data/update"
runonce='HKLM\software\microsoft\windows\currentversion\runonce'

# The installed product: version 1.
make_product() {
    rm -rf "$ZEP_MACHINE_ROOT"
    mkdir -p "$product/lib" "$product/docs" "$product/obsolete/sub" "$data" "$ZEP_MACHINE_ROOT/var/lib"
    script "$product/client.sh" 'echo client 1'
    echo "core 1" >"$product/lib/core.dll"
    echo "old library" >"$product/lib/old.dll"
    echo "read me 1" >"$product/docs/readme.txt"
    echo "gone with its folder" >"$product/obsolete/sub/x.txt"
    echo "removed by the manifest" >"$product/remove-me.txt"
    tree "$product" >"$work/original.tree"
    register_product "$zepreg" "$product"
}

# The update the client application left in the data folder: version 2, signed.
make_update() {
    rm -rf "$update"
    mkdir -p "$update/lib" "$update/docs" "$update/setup" "$update/tools"
    script "$update/client.sh" 'echo client 2'
    echo "core 2" >"$update/lib/core.dll"
    echo "new library" >"$update/lib/new.dll"
    echo "read me 2" >"$update/docs/readme.txt"
    script "$update/setup/prereq.sh" "echo \"prereq \$*\" >>'$work/order'"
    # It also records what its standard output and error are open on.
    script "$update/tools/post.sh" "echo \"post \$*\" >>'$work/order'
fds=\$(readlink /proc/\$\$/fd/1 /proc/\$\$/fd/2); echo \"\$fds\" >'$work/post-fds'
exit ${post_exit:-0}"
    printf 'lib\\old.dll\r\n\r\nobsolete\r\nobsolete\\sub\r\n' >"$update/._ZEP_UPGRADE_delete"
    "$zcf" manifest "$update" --version 2.0 --setup-folder setup --setup-args 'prereq.sh=/quiet' \
        --delete-file remove-me.txt --run-file 'tools\post.sh' --args '{__INSTALL_PATH__}' \
        --run-after client.sh --out "$work/manifest.xml" >/dev/null &&
        "$zcf" sign --key "$key" --in "$work/manifest.xml" --out "$update/zep_upgrade.xml.zcf" >/dev/null ||
        fail "the update could not be signed"
    # Every file is listed with its SHA-256 too, which the worker checks beside the SHA-1.
    zep_checks=$((zep_checks + 1))
    ! grep '<File ' "$work/manifest.xml" | grep -qv ' sha256="' || fail "a file is listed without its SHA-256"
}

# update: the worker's update with a listener on its pipe; sets zep_status, messages (every message as
# "ID TEXT") and dialog (the status texts alone). With closed set the worker starts with descriptors 0,
# 1 and 2 closed.
update() {
    local pipe="ZEPMaintenance_$$_$RANDOM"
    rm -f "$work/order" "$work/post-fds"
    "$peer" --serve "$pipe" >"$work/messages.txt" 2>&1 &
    local listener=$!
    local worker=("$program" -mode worker -op update -pp "$product/" -dp "$data/" -guiPipe "$pipe" -lang 2)
    if [ -n "${closed:-}" ]; then
        "${worker[@]}" <&- >&- 2>&-
    else
        "${worker[@]}" </dev/null >/dev/null 2>&1
    fi
    zep_status=$?
    wait "$listener"
    messages=$(cat "$work/messages.txt")
    dialog=$(sed -n 's/^0 //p' "$work/messages.txt")
}

expect_last_messages() {
    zep_checks=$((zep_checks + 1))
    [ "$(grep -v '^0 ' "$work/messages.txt")" = "$2" ] || fail "$1: the messages besides the texts were
$(grep -v '^0 ' "$work/messages.txt")"
}

expect_dialog() {
    zep_checks=$((zep_checks + 1))
    [ "$dialog" = "$2" ] || fail "$1: the dialog showed
$dialog
--- expected
$2
--- worker's log
$(tail -n 30 "$logs/ZEPMaintenance2-worker.log" 2>/dev/null)"
}

# Every object the product had is back as it was: content, type, mode and owner. What the update added
# and the backup never held may stay, as the restore copies the backup over the product.
expect_product() {
    zep_checks=$((zep_checks + 1))
    local missing
    missing=$(comm -23 <(sort "$2") <(tree "$product" | sort))
    [ -z "$missing" ] || fail "$1: the product differs from what it was in
$missing
--- now
$(tree "$product")"
}

expect_no_rollback_left() {
    zep_checks=$((zep_checks + 1))
    local state="$ZEP_MACHINE_ROOT/var/lib/Z.EP Maintenance2 Engine/product"
    [ ! -e "$state/backup" ] && [ ! -e "$state/backupActions" ] || fail "$1: a backup was left behind"
    zep_checks=$((zep_checks + 1))
    ! "$zepreg" query "$runonce" /v "Z.EP Maintenance Service2 - Rollback" >/dev/null 2>&1 ||
        fail "$1: the rollback is still scheduled"
}

# A successful update.
make_product
make_update
update
expect_status 0 "update"
expect_dialog "update" "Waiting for close of client application
Pre upgrade actions are starting.
Removing old files
Copying new files
Prerequisite setup is starting.
Post upgrade actions are starting.
Update successfully finished"
zep_checks=$((zep_checks + 1))
[ "$(cat "$product/lib/core.dll" "$product/lib/new.dll" "$product/docs/readme.txt")" = "core 2
new library
read me 2" ] || fail "update: the new files are not in place"
for gone in lib/old.dll remove-me.txt obsolete; do
    zep_checks=$((zep_checks + 1))
    [ ! -e "$product/$gone" ] || fail "update: $gone is still there"
done
zep_checks=$((zep_checks + 1))
[ -x "$product/setup/prereq.sh" ] || fail "update: the setup program was not kept in the product"
zep_checks=$((zep_checks + 1))
[ "$(cat "$work/order" 2>/dev/null)" = "prereq /quiet
post $product/" ] || fail "update: setup and post-upgrade programs ran as $(cat "$work/order" 2>/dev/null)"
zep_checks=$((zep_checks + 1))
[ ! -e "$update" ] || fail "update: the update folder is still there"
expect_no_rollback_left "update"
# The program to start as the user once the update folder is gone, then the end of the dialog.
expect_last_messages "update" "3 $product/client.sh
1 "

# A worker started with descriptors 0, 1 and 2 closed updates as usual, and the programs it starts get
# standard output and error open on /dev/null, not on whatever the worker opened first.
make_product
make_update
closed=1 update
expect_status 0 "closed standard descriptors"
expect_line ZEPMaintenance2-worker.log "closed standard descriptors" INFO "wWinMain exit (returnCode: 0)"
zep_checks=$((zep_checks + 1))
[ "$(cat "$work/post-fds" 2>/dev/null)" = "/dev/null
/dev/null" ] || fail "closed standard descriptors: the post-upgrade program's output and error were
$(cat "$work/post-fds" 2>/dev/null)"

# A file altered after the manifest was signed: 143, and the product comes back as it was. The files at
# the top come after every folder, so the setup programs have run by then.
make_product
make_update
echo "echo client 2, altered" >>"$update/client.sh"
update
expect_status 255 "altered file"
expect_line ZEPMaintenance2-worker.log "altered file" ERROR \
    "CopyNewFiles: Upgrade soubor nema zaznam v zep_upgrade.xml.zcf. (filename: client.sh"
expect_dialog "altered file" "Waiting for close of client application
Pre upgrade actions are starting.
Removing old files
Copying new files
Prerequisite setup is starting.
Update failed
Pre upgrade actions are starting.
Update failed. Rollback to previous version succesfully done."
expect_last_messages "altered file" "2 "
expect_product "altered file" "$work/original.tree"
expect_no_rollback_left "altered file"

# The manifest re-signed with another SHA-256 for a file whose SHA-1 it keeps: the same 143 as for an
# altered file, and the same restore.
make_product
make_update
sed "s/sha256=\"[0-9a-f]*\">client.sh</sha256=\"$(printf other | sha256sum | cut -d' ' -f1)\">client.sh</" \
    "$work/manifest.xml" >"$work/other.xml"
"$zcf" sign --key "$key" --in "$work/other.xml" --out "$update/zep_upgrade.xml.zcf" >/dev/null ||
    fail "the update could not be signed again"
client_sha1=$(sha1sum "$update/client.sh" | cut -d' ' -f1 | tr a-f A-F)
update
expect_status 255 "another SHA-256"
expect_line ZEPMaintenance2-worker.log "another SHA-256" ERROR \
    "CopyNewFiles: Upgrade soubor nema zaznam v zep_upgrade.xml.zcf. (filename: client.sh, hash: $client_sha1)"
expect_product "another SHA-256" "$work/original.tree"
expect_no_rollback_left "another SHA-256"

# A post-upgrade program that fails: 144, rolled back.
make_product
post_exit=1 make_update
update
expect_status 255 "failing post-upgrade program"
expect_line ZEPMaintenance2-worker.log "failing post-upgrade program" ERROR \
    "CopyNewFiles: Exit code of PostUpgradeAction file is not 0 (filename: tools\\post.sh, exitCode: 1)"
expect_product "failing post-upgrade program" "$work/original.tree"
expect_no_rollback_left "failing post-upgrade program"

# A container that fails verification: 140, and nothing is touched, not even a backup taken.
make_product
make_update
# A byte of the signature inverted: written over with a fixed byte, it would stay as it was in one
# signature of 256 (the signature changes with the test folder's name, which the scripts hold).
byte=$(od -An -tu1 -j 300 -N 1 "$update/zep_upgrade.xml.zcf")
printf "\\$(printf '%03o' $((255 - byte)))" | dd of="$update/zep_upgrade.xml.zcf" bs=1 seek=300 conv=notrunc 2>/dev/null
update
expect_status 255 "broken container"
expect_line ZEPMaintenance2-worker.log "broken container" ERROR "DoHostUpdate: Config file not loaded."
expect_dialog "broken container" "Waiting for close of client application
Update failed"
expect_product "broken container" "$work/original.tree"
expect_no_rollback_left "broken container"

zep_finish
