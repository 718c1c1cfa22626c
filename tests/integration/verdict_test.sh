#!/usr/bin/env bash
# zcf check against the worker: one corpus of data folders, each run through both `zcf check` and a real
# update of an installed product on a machine root of its own, and the two verdicts (pass or refuse) must
# be the same, and the one the corpus names. The cases are the data folder's own rules (the delete list,
# the pre-upgrade deletes, the post-upgrade programs, the files' names and their letter case) and, with
# the product folder given to the check, what the deletes find in the installed product.
# Usage: verdict_test.sh <zepmaintenance> <zcf> <zep_pipe_peer> <zepreg> <source folder>
source "$(dirname "$0")/lib.sh"
program=$1
zcf=$2
peer=$3
zepreg=$4
source_dir=$5
key="$source_dir/tests/keys/development-private.pem"
key_file="$source_dir/tests/keys/development.key"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The corpus: name | verdict | zcf manifest options besides the base ones | shell run in the update
# folder before the manifest is made | sed script applied to the manifest XML | shell run in the update
# folder after signing | shell run in the installed product folder. The base update replaces lib/core.dll, runs setup/prereq.sh and tools/post.sh,
# deletes lib\old.dll and the folder obsolete, and deletes remove-me.txt before the update.
corpus=$(
    cat <<'EOF'
good|pass|||||
an empty folder line in the delete list|pass||printf 'lib\\old.dll\n\n\nobsolete\n' >._ZEP_UPGRADE_delete||
a last delete line without a line break, naming nothing there|pass||printf 'lib\\old.dll\n\nobsolete\nnot\\there' >._ZEP_UPGRADE_delete||
a folder line ending in a separator|pass||printf 'lib\\old.dll\n\nobsolete\\\n' >._ZEP_UPGRADE_delete||
an upgrade file listed in other letter case|pass|||s/>lib\\core.dll</>LIB\\CORE.DLL</|
a run-after path outside the product folder|pass|||s/<RunAfterUpgrade>client.sh</<RunAfterUpgrade>..\\..\\client.sh</|
a file line of dots and blanks|refuse||printf 'x\\. .\\y.dll\n\nobsolete\n' >._ZEP_UPGRADE_delete||
the folder line .|refuse||printf 'lib\\old.dll\n\n.\n' >._ZEP_UPGRADE_delete||
the file line x\. .\y.dll with the folder line .|refuse||printf 'x\\. .\\y.dll\n\n.\n' >._ZEP_UPGRADE_delete||
a file line with a stream|refuse||printf 'lib\\old.dll:x\n\nobsolete\n' >._ZEP_UPGRADE_delete||
a folder line climbing out|refuse||printf 'lib\\old.dll\n\n..\\other\n' >._ZEP_UPGRADE_delete||
a missing delete list|refuse||||rm ._ZEP_UPGRADE_delete
a DeleteFile of a...b.txt|refuse|||s/<DeleteFile>remove-me.txt</<DeleteFile>a\\...\\b.txt</|
a DeleteFile of a folder|refuse|||s/<DeleteFile>remove-me.txt</<DeleteFile>docs\\</|
an empty DeleteFile|refuse|||s/<DeleteFile>remove-me.txt</<DeleteFile></|
a post-upgrade program in other letter case|refuse|--run-file 'Setup\PREREQ.SH'||||
a post-upgrade program outside the product folder|refuse|||s/<RunFile>tools\\post.sh</<RunFile>..\\tools\\post.sh</|
two names one for Windows|refuse||echo other >lib/Core.dll||
a system file in a sub-folder|refuse||mkdir -p _ZEP_UPGRADE_SYSTEM/x64 && echo sys >_ZEP_UPGRADE_SYSTEM/x64/sys.dll||
a file added after signing|refuse||||echo new >lib/new.dll
a link in the update folder|refuse||||ln -s client.sh lib/link.sh
a name with a control character, listed by hand|pass||||echo x >"lib/a$(printf '\001').dll" && relist "$1" "lib/a$(printf '\001').dll" 'lib\a&#x1;.dll'
a name that is not UTF-8, listed by hand|pass||||echo x >"lib/a$(printf '\377').dll" && relist "$1" "lib/a$(printf '\377').dll" 'lib\a&#xDCFF;.dll'
a name with a backslash|refuse||||echo x >'lib/a\b.dll'
a delete line naming a file not there|refuse||printf 'lib\\gone.dll\n\nobsolete\n' >._ZEP_UPGRADE_delete|||
a folder line naming a folder not there|refuse||printf 'lib\\old.dll\n\nnone\n' >._ZEP_UPGRADE_delete|||
a DeleteFile of a file not there|refuse|||s#<DeleteFile>remove-me.txt<#<DeleteFile>none.txt<#||
a delete line through a link in the product|refuse||printf 'linked\\sub\\x.txt\n\n' >._ZEP_UPGRADE_delete|||ln -s obsolete linked
a folder line through a link in the product|refuse||printf 'lib\\old.dll\n\nlinked\\sub\n' >._ZEP_UPGRADE_delete|||ln -s obsolete linked
a DeleteFile through a link in the product|refuse|||s#<DeleteFile>remove-me.txt<#<DeleteFile>self\\remove-me.txt<#||ln -s . self
a file line ending in a separator|refuse||printf 'lib\\old.dll\\\n\nobsolete\n' >._ZEP_UPGRADE_delete||
a file line twice|refuse||printf 'lib\\old.dll\nlib\\old.dll\n\nobsolete\n' >._ZEP_UPGRADE_delete||
a folder line twice|refuse||printf 'lib\\old.dll\n\nobsolete\nobsolete\n' >._ZEP_UPGRADE_delete||
a folder line inside a folder line deleted first|refuse||printf 'lib\\old.dll\n\nobsolete\\sub\nobsolete\n' >._ZEP_UPGRADE_delete||
a file line inside a folder line|pass||printf 'obsolete\\sub\\x.txt\n\nobsolete\n' >._ZEP_UPGRADE_delete||
a DeleteFile that the delete list names too|pass||printf 'remove-me.txt\nlib\\old.dll\n\nobsolete\n' >._ZEP_UPGRADE_delete||
a DeleteFile that the delete list names in another spelling|refuse||printf '.\\remove-me.txt\nlib\\old.dll\n\nobsolete\n' >._ZEP_UPGRADE_delete||
a DeleteFile twice|refuse|||s#<DeleteFile>remove-me.txt</DeleteFile>#&&#|
a DeleteFile twice in two spellings|refuse|||s#<DeleteFile>remove-me.txt</DeleteFile>#&<DeleteFile>.\\remove-me.txt</DeleteFile>#|
a DeleteFile inside a deleted folder|pass|||s#<DeleteFile>remove-me.txt<#<DeleteFile>obsolete\\sub\\x.txt<#|
EOF
)

# The installed product, registered on the machine root $1.
make_product() {
    local root=$1 product=$1/opt/product
    mkdir -p "$product/lib" "$product/docs" "$product/obsolete/sub" "$root/var/lib" "$root/home/data"
    script "$product/client.sh" 'echo client 1'
    echo "core 1" >"$product/lib/core.dll"
    echo "old library" >"$product/lib/old.dll"
    echo "read me" >"$product/docs/readme.txt"
    echo "gone with its folder" >"$product/obsolete/sub/x.txt"
    echo "removed by the manifest" >"$product/remove-me.txt"
    ZEP_MACHINE_ROOT=$root register_product "$zepreg" "$product"
}

# make_update ROOT OPTIONS BEFORE XML AFTER: the signed data folder of one case.
make_update() {
    local update=$1/home/data/update options=$2 before=$3 xml=$4 after=$5
    mkdir -p "$update/lib" "$update/setup" "$update/tools"
    script "$update/client.sh" 'echo client 2'
    echo "core 2" >"$update/lib/core.dll"
    script "$update/setup/prereq.sh" 'exit 0'
    script "$update/tools/post.sh" 'exit 0'
    printf 'lib\\old.dll\r\n\r\nobsolete\r\n' >"$update/._ZEP_UPGRADE_delete"
    (cd "$update" && eval "$before") || return 1
    local run_file=(--run-file 'tools\post.sh')
    [ -n "$options" ] && eval "run_file=($options)"
    "$zcf" manifest "$update" --version 2.0 --setup-folder setup --delete-file remove-me.txt \
        "${run_file[@]}" --run-after client.sh --out "$1/manifest.xml" 2>/dev/null || return 1
    [ -z "$xml" ] || sed -i "$xml" "$1/manifest.xml" || return 1
    "$zcf" sign --key "$key" --in "$1/manifest.xml" --out "$update/zep_upgrade.xml.zcf" >/dev/null || return 1
    (cd "$update" && eval "$after")
}

# relist ROOT FILE NAME: the manifest of ROOT lists the update folder's FILE as the upgrade file NAME (XML
# text), signed again: a name zcf manifest does not write but a manifest may carry.
relist() {
    local hash name=${3//\\/\\\\}
    hash=$(sha1sum "$1/home/data/update/$2" | cut -c1-40 | tr a-f A-F)
    sed -i "s|<UpgradeFiles>|&<File hash=\"$hash\">${name//&/\\&}</File>|" "$1/manifest.xml" &&
        "$zcf" sign --key "$key" --in "$1/manifest.xml" --out "$1/home/data/update/zep_upgrade.xml.zcf" >/dev/null
}

# run_case N OPTIONS BEFORE XML AFTER PRODUCT: both verdicts of case N into $work/N/verdicts ("check
# worker").
run_case() {
    local root=$work/$1
    mkdir -p "$root"
    make_product "$root"
    (cd "$root/opt/product" && eval "$6") || return 1
    if ! make_update "$root" "$2" "$3" "$4" "$5"; then
        echo "unbuilt unbuilt" >"$root/verdicts"
        return
    fi
    local check=refuse worker=refuse status
    "$zcf" check "$root/home/data" --key-file "$key_file" --product-folder "$root/opt/product" \
        >"$root/check.txt" 2>&1
    status=$?
    [ "$status" -eq 0 ] && check=pass
    [ "$status" -gt 1 ] && check="error($status)"
    local pipe="ZEPVerdict_$$_$1"
    ZEP_MACHINE_ROOT=$root "$peer" --serve "$pipe" >"$root/messages.txt" 2>&1 &
    local listener=$!
    ZEP_MACHINE_ROOT=$root "$program" -mode worker -op update -pp "$root/opt/product/" -dp "$root/home/data/" \
        -guiPipe "$pipe" -lang 2 </dev/null >/dev/null 2>&1
    status=$?
    wait "$listener"
    [ "$status" -eq 0 ] && worker=pass
    echo "$check $worker" >"$root/verdicts"
}

# Every case at once: each worker spends most of its time in the pauses after its dialog messages.
n=0
while IFS='|' read -r name verdict options before xml after product; do
    n=$((n + 1))
    names[n]=$name
    expected[n]=$verdict
    run_case "$n" "$options" "$before" "$xml" "$after" "$product" </dev/null &
done <<<"$corpus"
wait

for i in $(seq "$n"); do
    read -r check worker <"$work/$i/verdicts"
    zep_checks=$((zep_checks + 1))
    if [ "$check" != "$worker" ] || [ "$check" != "${expected[i]}" ]; then
        fail "${names[i]}: zcf check says $check, the worker says $worker, the corpus says ${expected[i]}
--- zcf check
$(cat "$work/$i/check.txt" 2>/dev/null)
--- the worker's last lines
$(tail -n 8 "$work/$i/var/lib/Z.EP Maintenance2/ZEPMaintenance2-worker.log" 2>/dev/null)"
    fi
done
# The refusals are the update's own: the worker's log names the rule that refused each case.
expect_refusal() {
    zep_checks=$((zep_checks + 1))
    grep -qF -- "$2" "$work/$1/var/lib/Z.EP Maintenance2/ZEPMaintenance2-worker.log" 2>/dev/null ||
        fail "${names[$1]}: the worker's log has no line \"$2\""
}
for i in $(seq "$n"); do
    case ${names[i]} in
    'a file line of dots and blanks') expect_refusal "$i" 'Delete filelist names a file outside the program folder' ;;
    'the folder line .') expect_refusal "$i" 'Delete filelist names a directory outside the program folder' ;;
    'an empty folder line in the delete list') expect_refusal "$i" 'Empty directory line in delete filelist ignored' ;;
    'a DeleteFile of a...b.txt') expect_refusal "$i" 'Pre-upgrade actions run failed (exCode: 103' ;;
    'two names one for Windows') expect_refusal "$i" 'Two names in one folder that Windows takes for one' ;;
    'a post-upgrade program in other letter case') expect_refusal "$i" "CreateFileW failed. (filename: $work/$i/opt/product/Setup/PREREQ.SH" ;;
    'a DeleteFile twice') expect_refusal "$i" 'RunAction: File to delete doesn'"'"'t exists. (filePath: remove-me.txt)' ;;
    esac
done

zep_finish
