#!/usr/bin/env bash
# The release tool end to end: keys, a manifest of an update folder, a signed container, and the dry
# run of a data folder, which must name each problem an update would refuse. Also proves that the
# fixture containers the unit tests read (on Windows through CryptoAPI) are what zcf makes.
# Usage: zcf_test.sh <zcf> <source folder>
set -u
zcf=$1
source_dir=$2
. "$(dirname "$0")/lib.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# expect_exit CODE DESCRIPTION COMMAND...: the command's exit code; its output is kept in $work/out.
expect_exit() {
    zep_checks=$((zep_checks + 1))
    local code=$1 what=$2
    shift 2
    "$@" >"$work/out" 2>&1
    local status=$?
    [ "$status" -eq "$code" ] || fail "$what: exit code $status, expected $code
$(cat "$work/out")"
}

# expect_output DESCRIPTION TEXT: the last command's output holds this line.
expect_output() {
    zep_checks=$((zep_checks + 1))
    grep -qxF -- "$2" "$work/out" || fail "$1: no line \"$2\" in
$(cat "$work/out")"
}

expect_output_part() {
    zep_checks=$((zep_checks + 1))
    grep -qF -- "$2" "$work/out" || fail "$1: nothing holding \"$2\" in
$(cat "$work/out")"
}

keys=$work/keys
expect_exit 0 "keygen" "$zcf" keygen --out "$keys"
key_id=$(sed -n 's/^KeyId=//p' "$keys/signing.key")
expect_output "keygen prints the key id" "key id:      $key_id"
[ "$(stat -c %a "$keys/signing-private.pem")" = 600 ] || fail "the private key is readable by others"
expect_exit 3 "keygen never replaces a key" "$zcf" keygen --out "$keys"

# An update folder with every kind of file.
data=$work/data
update=$data/update
mkdir -p "$update/bin" "$update/_ZEP_UPGRADE_SYSTEM" "$update/_ZEP_UPGRADE_SYSTEM_COM" "$update/setup"
echo product > "$update/app.exe"
echo library > "$update/bin/lib.dll"
echo system > "$update/_ZEP_UPGRADE_SYSTEM/sys.dll"
echo com > "$update/_ZEP_UPGRADE_SYSTEM_COM/com.dll"
echo setup > "$update/setup/prereq.exe"
printf 'old.dll\r\nbin\\older.dll\n\nobsolete\n' > "$update/._ZEP_UPGRADE_delete"

expect_exit 0 "manifest" "$zcf" manifest "$update" --setup-folder setup --setup-args 'prereq.exe=/quiet /norestart' \
    --delete-file 'bin\gone.dll' --run-file 'setup\prereq.exe' --args '-post' --run-after app.exe \
    --version 2.0.1300.0 --out "$work/manifest.xml"
cp "$work/manifest.xml" "$work/out"
expect_output_part "system files are named by their folder and name" '>_ZEP_UPGRADE_SYSTEM\sys.dll</File>'
expect_output_part "product files by their relative path" '>bin\lib.dll</File>'
expect_output_part "setup files with their arguments" 'args="/quiet /norestart">prereq.exe</File>'
# Each file's element carries the digests sha1sum and sha256sum make of its bytes.
listed_digests() {
    local sha1 sha256
    sha1=$(sha1sum "$update/$1" | cut -d' ' -f1 | tr a-f A-F)
    sha256=$(sha256sum "$update/$1" | cut -d' ' -f1)
    zep_checks=$((zep_checks + 1))
    grep -F -- ">$2</File>" "$work/manifest.xml" | grep -qF -- "hash=\"$sha1\" sha256=\"$sha256\"" ||
        fail "the manifest does not list $2 with SHA-1 $sha1 and SHA-256 $sha256:
$(cat "$work/manifest.xml")"
}
listed_digests app.exe app.exe
listed_digests bin/lib.dll 'bin\lib.dll'
listed_digests _ZEP_UPGRADE_SYSTEM/sys.dll '_ZEP_UPGRADE_SYSTEM\sys.dll'
listed_digests _ZEP_UPGRADE_SYSTEM_COM/com.dll '_ZEP_UPGRADE_SYSTEM_COM\com.dll'
listed_digests setup/prereq.exe prereq.exe
app_sha256=$(sha256sum "$update/app.exe" | cut -d' ' -f1)
expect_exit 0 "sign" "$zcf" sign --key "$keys/signing-private.pem" --key-file "$keys/signing.key" \
    --in "$work/manifest.xml" --out "$update/zep_upgrade.xml.zcf"
expect_exit 0 "verify" "$zcf" verify --key-file "$keys/signing.key" "$update/zep_upgrade.xml.zcf"
expect_exit 0 "inspect" "$zcf" inspect "$update/zep_upgrade.xml.zcf"
expect_output "inspect shows the key id" "key id:           $key_id"
expect_output "inspect shows the signature length" "signature length: 256"
expect_output_part "inspect shows the SHA-256 of each file" "sha256=\"$app_sha256\">app.exe</File>"

expect_exit 0 "check of an untouched data folder" "$zcf" check "$data" --key-file "$keys/signing.key"
expect_output "the check passes" "result: the update would pass"
expect_output_part "the check lists each file with its hash" "file: system _ZEP_UPGRADE_SYSTEM\\sys.dll "
expect_output "the check lists each file with both digests" \
    "file: product app.exe $(sha1sum "$update/app.exe" | cut -d' ' -f1 | tr a-f A-F) $app_sha256 listed"
expect_output "the check reads the delete list's files" 'delete file: bin\older.dll'
expect_output "the check reads the delete list's folders" 'delete folder: obsolete'
expect_output "the post-upgrade program is allowed" 'post-upgrade program: setup\prereq.exe allowed'

# Each problem, one at a time, on a copy of the data folder.
check_problem() {
    local what=$1 line=$2 count=$3
    shift 3
    rm -rf "$work/case"
    cp -a "$data" "$work/case"
    (cd "$work/case/update" && eval "$@") || fail "$what: the case could not be made"
    expect_exit 1 "$what" "$zcf" check "$work/case" --key-file "$keys/signing.key"
    expect_output_part "$what" "$line"
    expect_output "$what: its problems" "result: $count"
}
# What the update itself refuses before anything changes comes as its own line, beside the check's.
check_problem "an unlisted file" "problem: unlisted file: bin\\new.dll" "2 problems" 'echo new > bin/new.dll'
expect_output_part "an unlisted file, as the update says it" \
    "problem: update folder: CopyNewFiles: A file of the update folder is not in the manifest; nothing is changed. (filename: bin\\new.dll) (an update refuses it: 143)"
check_problem "a changed file" "problem: changed file: bin\\lib.dll" "1 problem" 'echo changed >> bin/lib.dll'
# The manifest re-signed with another SHA-256 for a file whose SHA-1 it keeps: the check refuses it.
other_sha256=$(printf other | sha256sum | cut -d' ' -f1)
check_problem "a file whose SHA-256 differs from the manifest's" "problem: changed file: bin\\lib.dll" "1 problem" \
    'sed "s/sha256=\"[0-9a-f]*\">bin/sha256=\"$other_sha256\">bin/" "$work/manifest.xml" > "$work/other.xml" &&
     "$zcf" sign --key "$keys/signing-private.pem" --in "$work/other.xml" --out zep_upgrade.xml.zcf >/dev/null'
check_problem "a missing listed file" "problem: missing file: bin\\lib.dll is listed" "2 problems" 'rm bin/lib.dll'
check_problem "a changed setup file, which is also the post-upgrade program" \
    "problem: post-upgrade program: setup\\prereq.exe (SHA-1" "2 problems" 'echo x >> setup/prereq.exe'
check_problem "a link in the update folder" "not a regular file or folder" "2 problems" 'ln -s app.exe bin/link.exe'
check_problem "two names one for Windows" "problem: update folder: CopyNewFiles: Two names in one folder that Windows takes for one" \
    "1 problem" 'mkdir BIN && cp bin/lib.dll BIN/'
check_problem "a system file in a sub-folder" "problem: update folder: CopyNewFiles: A file the manifest lists is not in the update folder" \
    "1 problem" 'mkdir _ZEP_UPGRADE_SYSTEM/x64 && mv _ZEP_UPGRADE_SYSTEM/sys.dll _ZEP_UPGRADE_SYSTEM/x64/'
check_problem "a missing delete list" "problem: delete list: cannot read" "1 problem" 'rm ._ZEP_UPGRADE_delete'
check_problem "a delete list leaving the product folder" \
    'problem: delete list: the folder line "..\other" names nothing inside the product folder (an update refuses it: 133)' \
    "1 problem" \
    'printf "a\n\n..\\\\other\n" > ._ZEP_UPGRADE_delete'
check_problem "a delete list naming the DeleteFile's file in another spelling" \
    'problem: deletes: "bin/gone.dll" names what "bin\gone.dll" deletes before it (an update finds it gone and fails: 131)' \
    "1 problem" 'printf "bin/gone.dll\n\nobsolete\n" > ._ZEP_UPGRADE_delete'
check_problem "a delete list file line ending in a separator" \
    'problem: delete list: the file line "bin\" names no file (an update fails deleting it: 100)' \
    "1 problem" 'printf "bin\\\\\n" > ._ZEP_UPGRADE_delete'

# What an update takes with a warning, or what only Windows would refuse, passes with a warning line.
check_passes() {
    local what=$1 line=$2
    shift 2
    rm -rf "$work/case"
    cp -a "$data" "$work/case"
    (cd "$work/case/update" && eval "$@") || fail "$what: the case could not be made"
    expect_exit 0 "$what" "$zcf" check "$work/case" --key-file "$keys/signing.key"
    expect_output "$what" "$line"
}
check_passes "an empty folder line" \
    "warning: the delete list has 2 empty folder line(s), which name no folder; an update drops them with a warning" \
    'printf "old.dll\n\n\nobsolete\n\n" > ._ZEP_UPGRADE_delete'
check_passes "a last line without a line break" \
    'warning: the delete list'"'"'s last line "gone" has no line break and is not taken' \
    'printf "old.dll\n\ngone" > ._ZEP_UPGRADE_delete'
check_passes "a delete list naming the DeleteFile's file in other letter case" \
    'warning: deletes: on Windows, which ignores letter case, "BIN\GONE.DLL" names what "bin\gone.dll" deletes before it (an update there fails: 131)' \
    'printf "BIN\\\\GONE.DLL\n" > ._ZEP_UPGRADE_delete'
# With the installed product, what the deletes find there: the fixture's product lacks bin\gone.dll.
mkdir -p "$work/product/bin" "$work/product/obsolete"
echo old >"$work/product/old.dll"
echo older >"$work/product/bin/older.dll"
expect_exit 1 "a DeleteFile of a file the product lacks" "$zcf" check "$data" --key-file "$keys/signing.key" \
    --product-folder "$work/product"
expect_output "a DeleteFile of a file the product lacks" \
    'problem: pre-upgrade delete: "bin\gone.dll" is not a file of the product folder (an update refuses it: 152)'
expect_output "a DeleteFile of a file the product lacks: its problems" "result: 1 problem"
echo gone >"$work/product/bin/gone.dll"
expect_exit 0 "a product holding what the deletes name" "$zcf" check "$data" --key-file "$keys/signing.key" \
    --product-folder "$work/product"
rm -r "$work/product/obsolete"
ln -s bin "$work/product/obsolete"
expect_exit 1 "a folder line that is a link in the product" "$zcf" check "$data" --key-file "$keys/signing.key" \
    --product-folder "$work/product"
expect_output "a folder line that is a link in the product" \
    'problem: delete list: the way to "obsolete" crosses a link in the product folder (an update refuses it: 133)'
check_problem "a container with a changed byte" "problem: container: VerifySignature failed: 0x80090006" \
    "1 problem" \
    'printf X | dd of=zep_upgrade.xml.zcf bs=1 seek=400 conv=notrunc status=none'

# Another key: the key id differs, and nothing else is looked at.
expect_exit 0 "second keygen" "$zcf" keygen --out "$work/other"
expect_exit 1 "check with a wrong key" "$zcf" check "$data" --key-file "$work/other/signing.key"
expect_output_part "check with a wrong key" "problem: container: VerifySignature failed: 0x80090003"
expect_exit 1 "verify with a wrong key" "$zcf" verify --key-file "$work/other/signing.key" "$update/zep_upgrade.xml.zcf"
expect_exit 3 "sign refuses a key other than the key file's" "$zcf" sign --key "$work/other/signing-private.pem" \
    --key-file "$keys/signing.key" --in "$work/manifest.xml" --out "$work/x.zcf"
[ ! -e "$work/x.zcf" ] || fail "a refused signing left a container"

# Bad input: clear errors and their exit codes.
expect_exit 2 "no command" "$zcf"
expect_exit 2 "an unknown command" "$zcf" frobnicate
expect_exit 2 "an unknown option" "$zcf" verify --key "$keys/signing.key" "$update/zep_upgrade.xml.zcf"
expect_exit 2 "a missing option value" "$zcf" sign --key
expect_exit 0 "help of a command" "$zcf" check --help
expect_exit 3 "a missing key file" "$zcf" verify --key-file "$work/none.key" "$update/zep_upgrade.xml.zcf"
expect_exit 3 "a malformed key file" "$zcf" verify --key-file "$work/manifest.xml" "$update/zep_upgrade.xml.zcf"
expect_exit 1 "a container that is a folder" "$zcf" verify --key-file "$keys/signing.key" "$keys"
expect_output_part "a container that is a folder" "rejected: LoadFile failed:"
printf '<ZEP_UPGRADE><File/></ZEP_UPGRADE>' > "$work/bad.xml"
expect_exit 3 "unreadable XML is not signed" "$zcf" sign --key "$keys/signing-private.pem" --in "$work/bad.xml" \
    --out "$work/bad.zcf"
expect_output_part "unreadable XML is not signed" "LoadBuffer: ZEP_UPGRADE doesn't containt attribute version."
sed "s/sha256=\"$app_sha256\"/sha256=\"${app_sha256:1}\"/" "$work/manifest.xml" > "$work/short.xml"
expect_exit 3 "a malformed SHA-256 is not signed" "$zcf" sign --key "$keys/signing-private.pem" --in "$work/short.xml" \
    --out "$work/short.zcf"
expect_output_part "a malformed SHA-256 is not signed" "LoadBuffer: Incorrect SHA-256 hash. (filename: app.exe, sha256: ${app_sha256:1})"
expect_exit 3 "a run file that is not part of the update" "$zcf" manifest "$update" --run-file other.exe

# A missing input file, folder or key file is bad input (3) for every command, with the path named.
while IFS='|' read -r what missing command; do
    eval "set -- $command"
    expect_exit 3 "$what" "$zcf" "$@"
    expect_output_part "$what" "$missing"
done <<EOF
manifest: a missing update folder|$work/none|manifest '$work/none'
manifest: a missing setup folder|none|manifest '$update' --setup-folder none
sign: a missing private key|$work/none.pem|sign --key '$work/none.pem' --in '$work/manifest.xml' --out '$work/x.zcf'
sign: a missing manifest|$work/none.xml|sign --key '$keys/signing-private.pem' --in '$work/none.xml' --out '$work/x.zcf'
sign: a missing key file|$work/none.key|sign --key '$keys/signing-private.pem' --key-file '$work/none.key' --in '$work/manifest.xml' --out '$work/x.zcf'
verify: a missing container|$work/none.zcf|verify --key-file '$keys/signing.key' '$work/none.zcf'
verify: a missing key file|$work/none.key|verify --key-file '$work/none.key' '$update/zep_upgrade.xml.zcf'
inspect: a missing container|$work/none.zcf|inspect '$work/none.zcf'
check: a missing data folder|$work/none|check '$work/none' --key-file '$keys/signing.key'
check: a missing key file|$work/none.key|check '$data' --key-file '$work/none.key'
check: a missing product folder|$work/none|check '$data' --key-file '$keys/signing.key' --product-folder '$work/none'
EOF
zep_checks=$((zep_checks + 1))
[ ! -e "$work/x.zcf" ] || fail "a command with a missing input wrote its output"

# manifest refuses what an update would refuse, by the update's own rules: nothing written, exit 3.
while IFS='|' read -r what message options; do
    rm -f "$work/refused.xml"
    eval "set -- $options"
    expect_exit 3 "$what" "$zcf" manifest "$update" --out "$work/refused.xml" "$@"
    expect_output_part "$what" "$message"
    zep_checks=$((zep_checks + 1))
    [ ! -e "$work/refused.xml" ] || fail "$what: a manifest was written"
done <<'EOF'
a DeleteFile climbing with dots|"a\...\b.txt" names nothing inside the product folder; an update would refuse it (152)|--delete-file 'a\...\b.txt'
a DeleteFile of dots and blanks|names nothing inside the product folder|--delete-file 'x\. .\y.dll'
a DeleteFile of the product folder|"." names nothing inside the product folder|--delete-file .
a rooted DeleteFile|names nothing inside the product folder|--delete-file '\Windows\x.dll'
a DeleteFile with a drive|names nothing inside the product folder|--delete-file 'C:x.dll'
an empty DeleteFile|"" is empty; an update would refuse it (152)|--delete-file ''
a DeleteFile of a folder|"bin\" ends in a separator and names no file|--delete-file 'bin\'
a DeleteFile given twice|--delete-file "old.dll" names the file of --delete-file "old.dll" again; an update would find it gone (152)|--delete-file old.dll --delete-file old.dll
a DeleteFile given twice in two spellings|--delete-file "bin/.//old.dll" names the file of --delete-file "bin\old.dll" again|--delete-file 'bin\old.dll' --delete-file 'bin/.//old.dll'
a run-after path climbing out|--run-after "..\app.exe" names nothing inside the product folder|--run-after '..\app.exe'
a run-after path with a drive|--run-after "C:\app.exe" names nothing inside the product folder|--run-after 'C:\app.exe'
a run file climbing out|--run-file "..\app.exe" names nothing inside the product folder; an update would refuse it (142)|--run-file '..\app.exe'
EOF

# Warnings on standard error of what an update refuses or Linux does not find; the manifest is written.
while IFS='|' read -r what message prepare options; do
    rm -rf "$work/warned"
    cp -a "$update" "$work/warned"
    (cd "$work/warned" && eval "$prepare")
    eval "set -- $options"
    expect_exit 0 "$what" "$zcf" manifest "$work/warned" --out "$work/warned.xml" "$@"
    expect_output_part "$what" "$message"
done <<'EOF'
two file names one for Windows|zcf manifest: warning: bin/LIB.dll, bin/lib.dll are one name when letter case is ignored|cp bin/lib.dll bin/LIB.dll|
two folder names one for Windows|warning: Bin, bin are one name when letter case is ignored|mkdir Bin && echo x >Bin/x.dll|
a system file in a sub-folder|warning: _ZEP_UPGRADE_SYSTEM/x64/sys.dll is in a sub-folder of a system folder and listed as _ZEP_UPGRADE_SYSTEM\sys.dll|mkdir _ZEP_UPGRADE_SYSTEM/x64 && mv _ZEP_UPGRADE_SYSTEM/sys.dll _ZEP_UPGRADE_SYSTEM/x64/|
a run file in other letter case|warning: --run-file SETUP\Prereq.exe differs in letter case from the file it names|:|--setup-folder setup --run-file 'SETUP\Prereq.exe'
EOF
expect_exit 0 "no warning without a collision" "$zcf" manifest "$update" --out "$work/plain.xml"
zep_checks=$((zep_checks + 1))
[ ! -s "$work/out" ] || fail "a manifest without collisions warned:
$(cat "$work/out")"

# The unit tests' fixture is exactly what zcf makes of its XML with the development key (the
# signature scheme is deterministic), and zcf agrees with the program's reader about it.
fixtures=$source_dir/tests/unit/upgrade/fixtures
dev=$source_dir/tests/keys
expect_exit 0 "fixture signed again" "$zcf" sign --key "$dev/development-private.pem" --key-file "$dev/development.key" \
    --in "$fixtures/manifest.xml" --out "$work/fixture.zcf"
zep_checks=$((zep_checks + 1))
cmp -s "$work/fixture.zcf" "$fixtures/manifest.zcf" || fail "the committed fixture is not what zcf makes"
# The fixture whose signed XML the program rejects (a three-digit hash): zcf signs it only when told.
expect_exit 3 "rejected XML is not signed by default" "$zcf" sign --key "$dev/development-private.pem" \
    --in "$fixtures/badhash.xml" --out "$work/badhash.zcf"
expect_exit 0 "rejected XML signed for a fixture" "$zcf" sign --key "$dev/development-private.pem" \
    --rejected-xml yes --in "$fixtures/badhash.xml" --out "$work/badhash.zcf"
zep_checks=$((zep_checks + 1))
cmp -s "$work/badhash.zcf" "$fixtures/badhash.zcf" || fail "the committed bad-hash fixture is not what zcf makes"
expect_exit 1 "the bad-hash fixture is rejected for its XML" "$zcf" verify --key-file "$dev/development.key" \
    "$fixtures/badhash.zcf"
expect_output "the bad-hash fixture is rejected for its XML" \
    "rejected: the manifest XML is rejected: code 100, Incorrect hash length."
expect_exit 0 "fixture verifies" "$zcf" verify --key-file "$dev/development.key" "$fixtures/manifest.zcf"
cp "$fixtures/manifest.zcf" "$work/changed.zcf"
printf 'x' | dd of="$work/changed.zcf" bs=1 seek=$(($(stat -c %s "$work/changed.zcf") - 3)) conv=notrunc status=none
expect_exit 1 "a fixture with a changed data byte" "$zcf" verify --key-file "$dev/development.key" "$work/changed.zcf"
# --out replaces a regular file or fills an empty name, never anything else: a link and what it points
# to, a FIFO, a folder and a device stay as they were, for the manifest as for the container.
mkdir -p "$work/outs/folder"
echo "kept" >"$work/outs/target"
ln -s "$work/outs/target" "$work/outs/link"
mkfifo "$work/outs/fifo"
for out in link fifo folder /dev/null; do
    [ "${out#/}" = "$out" ] && out="$work/outs/$out"
    for command in "manifest $update --version 2.0" "sign --key $keys/signing-private.pem --in $work/manifest.xml"; do
        # shellcheck disable=SC2086
        expect_exit 3 "${command%% *} --out $out" "$zcf" $command --out "$out"
        expect_output_part "${command%% *} --out $out" "will not replace $out: it is a"
    done
done
zep_checks=$((zep_checks + 1))
[ -L "$work/outs/link" ] && [ -p "$work/outs/fifo" ] && [ -d "$work/outs/folder" ] && [ -c /dev/null ] &&
    [ "$(cat "$work/outs/target")" = "kept" ] && [ -z "$(ls "$work/outs/folder")" ] ||
    fail "--out changed what it refused"
expect_exit 0 "--out over a regular file" "$zcf" manifest "$update" --version 2.0 --out "$work/outs/target"
zep_checks=$((zep_checks + 1))
grep -q "<ZEP_UPGRADE" "$work/outs/target" || fail "--out did not replace the regular file"

zep_finish
