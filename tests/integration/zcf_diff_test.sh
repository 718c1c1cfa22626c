#!/usr/bin/env bash
# zcf diff end to end: the update folder between two release trees, its manifest and container made by
# zcf, applied to a product holding the old tree by the real worker; the product must then be the new
# tree, file for file and folder for folder. Trees that a product folder cannot hold are refused by
# zcf diff and by zcf manifest, and nothing is written.
# Usage: zcf_diff_test.sh <zepmaintenance> <zcf> <zep_pipe_peer> <zepreg> <source folder>
source "$(dirname "$0")/lib.sh"
program=$1
zcf=$2
peer=$3
zepreg=$4
source_dir=$5
key="$source_dir/tests/keys/development-private.pem"
export LC_ALL=C.UTF-8

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ZEP_MACHINE_ROOT="$work/machine"
zep_logdir="$ZEP_MACHINE_ROOT/var/lib/Z.EP Maintenance2"
product="$ZEP_MACHINE_ROOT/opt/ZEP Client"
data="$ZEP_MACHINE_ROOT/home/user/ZEP data"
old=$work/old
new=$work/new

# listing FOLDER: one line per object: "d path" or "f sha1 path", sorted.
listing() {
    (cd "$1" && find . -mindepth 1 \( -type d -printf 'd %p\n' \) -o \( -type f -printf '%p\n' \) |
        while IFS= read -r entry; do
            case $entry in
            "d "*) echo "$entry" ;;
            *) echo "f $(sha1sum <"$entry" | cut -d' ' -f1) $entry" ;;
            esac
        done | sort)
}

# put FILE TEXT: a file holding TEXT, its folders made.
put() {
    mkdir -p "$(dirname "$1")"
    printf '%s\n' "$2" >"$1"
}

# run_zcf DESCRIPTION ARGS...: zcf's exit code in zcf_status, its output in $work/stdout and $work/stderr.
run_zcf() {
    "$zcf" "$@" >"$work/stdout" 2>"$work/stderr"
    zcf_status=$?
}

# round_trip NAME [EXPECTED]: diff $old and $new, manifest, sign, and the worker's update of a product
# holding $old; the product must then list exactly as $new does (or as EXPECTED, where an update cannot
# deliver all of $new).
round_trip() {
    local name=$1 expected=${2:-$new}
    rm -rf "$ZEP_MACHINE_ROOT" "$work/update"
    mkdir -p "$ZEP_MACHINE_ROOT/var/lib" "$data" "$(dirname "$product")"
    cp -a "$old" "$product"
    register_product "$zepreg" "$product"
    run_zcf diff "$old" "$new" --out "$work/update"
    zep_checks=$((zep_checks + 1))
    [ "$zcf_status" -eq 0 ] || fail "$name: zcf diff exit code $zcf_status: $(cat "$work/stderr")"
    cp "$work/stderr" "$work/diff-stderr"
    run_zcf manifest "$work/update" --version 2.0 --out "$work/manifest.xml"
    zep_checks=$((zep_checks + 1))
    [ "$zcf_status" -eq 0 ] || fail "$name: zcf manifest exit code $zcf_status: $(cat "$work/stderr")"
    run_zcf sign --key "$key" --in "$work/manifest.xml" --out "$work/update/zep_upgrade.xml.zcf"
    zep_checks=$((zep_checks + 1))
    [ "$zcf_status" -eq 0 ] || fail "$name: zcf sign exit code $zcf_status: $(cat "$work/stderr")"
    mv "$work/update" "$data/update"
    local pipe="ZEPMaintenance_$$_$RANDOM"
    "$peer" --serve "$pipe" >"$work/messages.txt" 2>&1 &
    local listener=$!
    "$program" -mode worker -op update -pp "$product/" -dp "$data/" -guiPipe "$pipe" -lang 2 </dev/null \
        >/dev/null 2>&1
    zep_status=$?
    wait "$listener"
    expect_status 0 "$name: the worker's update"
    zep_checks=$((zep_checks + 1))
    local differences
    differences=$(diff <(listing "$expected") <(listing "$product"))
    [ -z "$differences" ] || fail "$name: the product is not the new tree (< expected, > product):
$differences
--- worker's log
$(tail -n 20 "$zep_logdir/ZEPMaintenance2-worker.log" 2>/dev/null)"
}

# ---- the round trips ---------------------------------------------------------------------------------

# Every kind of change at once: changed, added, removed and unchanged files, nested folders added and
# removed, code page 852 letters, a file and a folder whose letter case alone changed, a file that became
# a folder and a folder that became a file.
rm -rf "$old" "$new"
put "$old/app.exe" "app 1"
put "$old/lib/core.dll" "core 1"
put "$old/lib/same.dll" "unchanged"
put "$old/lib/gone.dll" "removed"
put "$old/obsolete/sub/deep/x.txt" "removed with its folders"
put "$old/obsolete/y.txt" "removed with its folder"
put "$old/Readme.TXT" "read me"
put "$old/Docs/Guide.txt" "guide"
put "$old/Docs/inner/more.txt" "more"
put "$old/data/Příliš žluťoučký kůň.txt" "old horse"
put "$old/data/úpěl ďábelské ódy.txt" "ódy"
put "$old/becomes-folder" "a file first"
put "$old/becomes-file/inside.txt" "a folder first"
mkdir -p "$old/kept-empty"
cp -a "$old" "$new"
put "$new/app.exe" "app 2"
put "$new/lib/core.dll" "core 2"
rm "$new/lib/gone.dll"
rm -r "$new/obsolete"
mv "$new/Readme.TXT" "$new/README.txt"
mv "$new/Docs" "$new/docs"
put "$new/data/Příliš žluťoučký kůň.txt" "new horse"
rm "$new/data/úpěl ďábelské ódy.txt"
put "$new/data/čň ý/šťastný.dll" "new in a new folder"
put "$new/plugins/a/b/c/plugin.dll" "nested"
rm "$new/becomes-folder" && put "$new/becomes-folder/now.txt" "a folder now"
rm -r "$new/becomes-file" && put "$new/becomes-file" "a file now"
round_trip "every kind of change"
# The delete list names what went, in code page 852, files before the empty line and folders after it;
# a removed folder tree is named once, by its outermost folder.
zep_checks=$((zep_checks + 1))
expected_list=$(printf '%s\r\n' 'Readme.TXT' 'becomes-folder' 'data\úpěl ďábelské ódy.txt' 'lib\gone.dll' '' \
    'Docs' 'becomes-file' 'obsolete')
# Recorded by the last diff in the data folder's copy... the worker removed the update folder, so diff again.
"$zcf" diff "$old" "$new" --out "$work/again" >/dev/null 2>&1
actual_list=$(iconv -f CP852 -t UTF-8 <"$work/again/._ZEP_UPGRADE_delete")
[ "$actual_list" = "$expected_list" ] || fail "the delete list is
$(printf '%s' "$actual_list" | od -c | head -20)"
zep_checks=$((zep_checks + 1))
iconv -f UTF-8 -t CP852 <<<'data\úpěl ďábelské ódy.txt' | cmp -s - <(grep -a '^data' "$work/again/._ZEP_UPGRADE_delete" | tr -d '\r') ||
    fail "the delete list is not in code page 852"
# Only what changed is in the update folder: an unchanged file is not, a renamed folder's files all are.
zep_checks=$((zep_checks + 1))
shipped=$(cd "$work/again" && find . -type f ! -name ._ZEP_UPGRADE_delete | sort | tr '\n' ' ')
[ "$shipped" = "./README.txt ./app.exe ./becomes-file ./becomes-folder/now.txt ./data/Příliš žluťoučký kůň.txt ./data/čň ý/šťastný.dll ./docs/Guide.txt ./docs/inner/more.txt ./lib/core.dll ./plugins/a/b/c/plugin.dll " ] ||
    fail "the update folder holds $shipped"

# No change at all: an empty delete list, no files, and the update still goes through.
rm -rf "$new" && cp -a "$old" "$new"
round_trip "no change"
zep_checks=$((zep_checks + 1))
"$zcf" diff "$old" "$new" --out "$work/none" >/dev/null 2>&1
[ "$(find "$work/none" -mindepth 1 | sed "s|$work/none/||")" = "._ZEP_UPGRADE_delete" ] &&
    [ ! -s "$work/none/._ZEP_UPGRADE_delete" ] || fail "an unchanged tree gives more than an empty delete list"

# Everything but one file removed.
rm -rf "$new" && put "$new/app.exe" "app 3"
round_trip "almost everything removed"

# An empty folder that the product lacks cannot be delivered: warned about, left out.
rm -rf "$new" && cp -a "$old" "$new" && mkdir -p "$new/new-empty/inner"
rm -rf "$work/empty"
run_zcf diff "$old" "$new" --out "$work/empty"
zep_checks=$((zep_checks + 1))
[ "$zcf_status" -eq 0 ] && grep -qF "warning: the empty folder new-empty cannot be delivered" "$work/stderr" &&
    [ ! -e "$work/empty/new-empty" ] || fail "an empty new folder: exit $zcf_status, $(cat "$work/stderr")"

# A folder whose letter case changed but that holds no file any more cannot get the new spelling (no file
# would make it): it keeps the old one, and what went from it is deleted under that spelling.
rm -rf "$old" "$new" "$work/expected"
put "$old/app.exe" "app 1"
put "$old/Logs/old.log" "log"
put "$old/Logs/Sub/deeper.log" "log"
mkdir -p "$new/LOGS/SUB" && put "$new/app.exe" "app 2"
cp -a "$new" "$work/expected" && mv "$work/expected/LOGS/SUB" "$work/expected/LOGS/Sub" &&
    mv "$work/expected/LOGS" "$work/expected/Logs"
round_trip "an emptied folder whose case changed" "$work/expected"
zep_checks=$((zep_checks + 1))
grep -qF "warning: the folder Logs holds no file in the new tree, so its new letter case (LOGS)" "$work/diff-stderr" ||
    fail "an emptied folder whose case changed: no warning in $(cat "$work/diff-stderr")"

# ---- bad input ---------------------------------------------------------------------------------------

# expect_refused DESCRIPTION MESSAGE COMMAND...: exit code 3, MESSAGE on standard error, nothing on
# standard output.
expect_refused() {
    local what=$1 message=$2
    shift 2
    run_zcf "$@"
    zep_checks=$((zep_checks + 1))
    [ "$zcf_status" -eq 3 ] || fail "$what: exit code $zcf_status, expected 3"
    zep_checks=$((zep_checks + 1))
    grep -qF -- "$message" "$work/stderr" || fail "$what: no \"$message\" on standard error:
$(cat "$work/stderr")"
    zep_checks=$((zep_checks + 1))
    [ ! -s "$work/stdout" ] || fail "$what: standard output holds $(cat "$work/stdout")"
}

# expect_nothing_written DESCRIPTION FOLDER: no FOLDER, and nothing half-written beside it.
expect_nothing_written() {
    zep_checks=$((zep_checks + 1))
    local left
    left=$(find "$(dirname "$2")" -maxdepth 1 -name "$(basename "$2")*")
    [ -z "$left" ] || fail "$1: written: $left"
}

# Each row: what the tree gets (run in the tree), which tree, the message.
bad_tree() {
    local what=$1 tree=$2 change=$3 message=$4
    rm -rf "$old" "$new" "$work/out"
    put "$old/app.exe" "app 1"
    put "$old/lib/core.dll" "core 1"
    cp -a "$old" "$new"
    put "$new/app.exe" "app 2"
    (cd "$work/$tree" && eval "$change")
    expect_refused "$what" "$message" diff "$old" "$new" --out "$work/out"
    expect_nothing_written "$what" "$work/out"
}
bad_tree "a link in the new tree" new 'ln -s ../../../etc lib/escape' \
    "new/lib/escape: a symbolic link"
bad_tree "a link to a file in the old tree" old 'ln -s /etc/passwd lib/passwd' "old/lib/passwd: a symbolic link"
bad_tree "a link as the tree's own folder" new 'mv lib ../lib-real && ln -s ../lib-real lib' "new/lib: a symbolic link"
bad_tree "a FIFO" new 'mkfifo lib/pipe' "new/lib/pipe: a FIFO"
bad_tree "a socket" old 'python3 -c "import socket; socket.socket(socket.AF_UNIX).bind(\"lib/sock\")"' \
    "old/lib/sock: a socket"
bad_tree "a name without code page 852" new 'echo x > "lib/日本.dll"' \
    "new/lib/日本.dll: the name holds a character that code page 852, the delete list's, lacks"
bad_tree "a removed name without code page 852" old 'echo x > "€uro.txt"' "old/€uro.txt: the name holds a character"
bad_tree "a name that is not UTF-8" new 'echo x > "$(printf "lib/\xe8.dll")"' "the name is not UTF-8"
bad_tree "a character Windows refuses" new 'echo x > "lib/a?b.dll"' "new/lib/a?b.dll: the name holds ?"
bad_tree "a device name" new 'echo x > "lib/nul.txt"' "new/lib/nul.txt: the name is a device name"
bad_tree "a trailing dot" new 'echo x > "lib/x."' "new/lib/x.: the name ends in a dot or blank"
bad_tree "two names Windows takes for one" new 'echo x > lib/Core.dll' "differs from"
bad_tree "a system folder in a product tree" new 'mkdir -p _ZEP_UPGRADE_SYSTEM && echo x > _ZEP_UPGRADE_SYSTEM/s.dll' \
    "new/_ZEP_UPGRADE_SYSTEM: a system folder of an update folder"
bad_tree "a delete list in a product tree" new 'echo x > ._zep_upgrade_delete' \
    "the name of an update folder's own file"
# All problems are named, not only the first.
bad_tree "two problems" new 'mkfifo pipe && ln -s app.exe link' "new/pipe: a FIFO"
zep_checks=$((zep_checks + 1))
grep -qF "new/link: a symbolic link" "$work/stderr" || fail "two problems: only one was named"

# The trees themselves: missing, a file, a link to a folder.
rm -rf "$old" "$new" "$work/out" && put "$old/a.txt" "1" && put "$new/a.txt" "2"
expect_refused "a missing old tree" "$work/missing: No such file or directory" diff "$work/missing" "$new" --out "$work/out"
expect_refused "a file as the new tree" "new/a.txt: a file, not a folder" diff "$old" "$new/a.txt" --out "$work/out"
ln -s "$new" "$work/new-link"
expect_refused "a link as the new tree" "new-link: a symbolic link, not a folder" diff "$old" "$work/new-link" \
    --out "$work/out"
expect_refused "a link as the new tree, named with a slash" "new-link: a symbolic link, not a folder" \
    diff "$old" "$work/new-link/" --out "$work/out"
expect_nothing_written "the trees themselves" "$work/out"

# The output: a non-empty folder, a file, a link, a place inside a tree are refused and left as they were.
rm -rf "$old" "$new" && put "$old/a.txt" "1" && put "$new/a.txt" "2"
mkdir -p "$work/full" && echo kept >"$work/full/mine.txt"
expect_refused "a non-empty --out" "is not empty" diff "$old" "$new" --out "$work/full"
zep_checks=$((zep_checks + 1))
[ "$(ls "$work/full")" = mine.txt ] && [ "$(cat "$work/full/mine.txt")" = kept ] || fail "the non-empty --out changed"
echo kept >"$work/file"
expect_refused "a file at --out" "is not a folder" diff "$old" "$new" --out "$work/file"
mkdir -p "$work/elsewhere" && ln -s "$work/elsewhere" "$work/link"
expect_refused "a link at --out" "is not a folder" diff "$old" "$new" --out "$work/link"
zep_checks=$((zep_checks + 1))
[ -z "$(ls "$work/elsewhere")" ] || fail "diff wrote through a link at --out"
expect_refused "--out inside the new tree" "inside the release tree" diff "$old" "$new" --out "$new/update"
expect_nothing_written "--out inside the new tree" "$new/update"
# An empty folder at --out is filled.
mkdir -p "$work/empty-out"
run_zcf diff "$old" "$new" --out "$work/empty-out"
zep_checks=$((zep_checks + 1))
[ "$zcf_status" -eq 0 ] && [ "$(cat "$work/empty-out/a.txt")" = 2 ] || fail "an empty --out was not filled"

# zcf manifest refuses the same kinds of object and names in an update folder, and writes nothing.
bad_update() {
    local what=$1 change=$2 message=$3
    rm -rf "$work/upd" "$work/m.xml"
    put "$work/upd/app.exe" "app"
    : >"$work/upd/._ZEP_UPGRADE_delete"
    (cd "$work/upd" && eval "$change")
    expect_refused "manifest: $what" "$message" manifest "$work/upd" --out "$work/m.xml"
    expect_nothing_written "manifest: $what" "$work/m.xml"
}
bad_update "a link" 'ln -s /etc/passwd passwd' "passwd: not a regular file or folder"
bad_update "a link to a folder" 'ln -s / root' "root: not a regular file or folder"
bad_update "a FIFO" 'mkfifo pipe' "pipe: not a regular file or folder"
bad_update "a name without code page 852" 'echo x > "日本.dll"' \
    "日本.dll: the name holds a character that code page 852 lacks"
bad_update "a setup file without code page 852" 'mkdir setup && echo x > "setup/日本.exe"' "日本.exe: the name holds"
# System files never reach a delete list: their names are not held to its code page.
rm -rf "$work/upd" && put "$work/upd/_ZEP_UPGRADE_SYSTEM/日本.dll" "system"
run_zcf manifest "$work/upd" --out "$work/m.xml"
zep_checks=$((zep_checks + 1))
[ "$zcf_status" -eq 0 ] || fail "manifest: a system file's name was held to code page 852: $(cat "$work/stderr")"

zep_finish
