#!/usr/bin/env bash
# The release tool's edges: signing with an encrypted key (the pass phrase from a file or the
# environment, a wrong one told apart from a malformed key), inspect on damaged containers (every field
# the file holds, the damage named), and the progress line, which only a terminal gets.
# Usage: zcf_tool_test.sh <zcf> <source folder>
set -u
zcf=$1
source_dir=$2
. "$(dirname "$0")/lib.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dev=$source_dir/tests/keys/development-private.pem
fixtures=$source_dir/tests/unit/upgrade/fixtures

# run_zcf ARGS...: zcf with standard input not a terminal; exit code in zcf_status, output kept.
run_zcf() {
    "$zcf" "$@" </dev/null >"$work/stdout" 2>"$work/stderr"
    zcf_status=$?
}

# expect ROW-DESCRIPTION CODE STREAM TEXT: the last run's exit code, and TEXT in its stdout or stderr
# ("-" for no text to look for).
expect() {
    zep_checks=$((zep_checks + 1))
    [ "$zcf_status" -eq "$2" ] || fail "$1: exit code $zcf_status, expected $2
$(cat "$work/stdout" "$work/stderr")"
    if [ "$4" != - ]; then
        zep_checks=$((zep_checks + 1))
        grep -qF -- "$4" "$work/$3" || fail "$1: no \"$4\" on $3:
$(cat "$work/$3")"
    fi
}

# ---- encrypted signing keys ----------------------------------------------------------------------------

openssl pkcs8 -topk8 -v2 aes-256-cbc -in "$dev" -out "$work/pkcs8.pem" -passout pass:'correct horse' 2>/dev/null
openssl rsa -aes256 -traditional -in "$dev" -out "$work/traditional.pem" -passout pass:'correct horse' 2>/dev/null
openssl rsa -aes256 -in "$dev" -out "$work/rsa-default.pem" -passout pass:'correct horse' 2>/dev/null
zep_checks=$((zep_checks + 1))
grep -q 'BEGIN ENCRYPTED PRIVATE KEY' "$work/pkcs8.pem" && grep -q 'Proc-Type: 4,ENCRYPTED' "$work/traditional.pem" ||
    fail "openssl made other key forms than meant"
printf 'correct horse\n' >"$work/right.pass"
printf 'correct horse\r\nsecond line ignored\n' >"$work/right-crlf.pass"
printf 'wrong horse\n' >"$work/wrong.pass"
: >"$work/empty.pass"
# A damaged encrypted key: one Base64 character of its body changed.
sed '3s/^./%/' "$work/pkcs8.pem" >"$work/malformed.pem"
# Valid Base64 whose first byte is no longer the DER sequence of an encrypted key ("M" is 0x30 ...).
sed '2s/^M/N/' "$work/pkcs8.pem" >"$work/malformed-der.pem"
# The signature is deterministic: every key form must give the container the plain key gives.
"$zcf" sign --key "$dev" --in "$fixtures/manifest.xml" --out "$work/reference.zcf" >/dev/null

export ZCF_TEST_PASS='correct horse' ZCF_TEST_WRONG='not it' ZCF_TEST_EMPTY=
unset ZCF_TEST_UNSET
# key | pass option | exit code | stream | text
while IFS='|' read -r key option code stream text; do
    rm -f "$work/out.zcf"
    # shellcheck disable=SC2086
    run_zcf sign --key "$work/$key" $option --in "$fixtures/manifest.xml" --out "$work/out.zcf"
    row="sign with $key $option"
    expect "$row" "$code" "$stream" "$text"
    zep_checks=$((zep_checks + 1))
    if [ "$code" -eq 0 ]; then
        cmp -s "$work/out.zcf" "$work/reference.zcf" || fail "$row: not the container the plain key makes"
    else
        [ ! -e "$work/out.zcf" ] && [ -z "$(ls "$work" | grep '^out.zcf')" ] || fail "$row: a container was written"
    fi
    if [ "$code" -ne 0 ]; then
        # Errors go to standard error only.
        zep_checks=$((zep_checks + 1))
        [ ! -s "$work/stdout" ] || fail "$row: standard output holds $(cat "$work/stdout")"
    fi
    if [ "$code" -ne 0 ] && [ "$text" != "wrong pass phrase" ]; then
        zep_checks=$((zep_checks + 1))
        ! grep -qF "wrong pass phrase" "$work/stderr" || fail "$row: reported as a wrong pass phrase"
    fi
done <<EOF
pkcs8.pem|--pass-file $work/right.pass|0|stdout|signed
pkcs8.pem|--pass-file $work/right-crlf.pass|0|stdout|signed
pkcs8.pem|--pass-env ZCF_TEST_PASS|0|stdout|signed
traditional.pem|--pass-file $work/right.pass|0|stdout|signed
rsa-default.pem|--pass-env ZCF_TEST_PASS|0|stdout|signed
pkcs8.pem|--pass-file $work/wrong.pass|3|stderr|wrong pass phrase
pkcs8.pem|--pass-env ZCF_TEST_WRONG|3|stderr|wrong pass phrase
traditional.pem|--pass-file $work/wrong.pass|3|stderr|wrong pass phrase
rsa-default.pem|--pass-env ZCF_TEST_WRONG|3|stderr|wrong pass phrase
pkcs8.pem||3|stderr|is encrypted: give its pass phrase with --pass-file FILE or --pass-env NAME
traditional.pem||3|stderr|is encrypted: give its pass phrase
pkcs8.pem|--pass-env ZCF_TEST_UNSET|3|stderr|the environment variable ZCF_TEST_UNSET holds no pass phrase
pkcs8.pem|--pass-env ZCF_TEST_EMPTY|3|stderr|holds no pass phrase
pkcs8.pem|--pass-file $work/empty.pass|3|stderr|holds no pass phrase on its first line
pkcs8.pem|--pass-file $work/none.pass|3|stderr|cannot read
malformed.pem|--pass-file $work/right.pass|3|stderr|malformed.pem
malformed-der.pem|--pass-file $work/right.pass|3|stderr|malformed-der.pem is not a well-formed encrypted private key
pkcs8.pem|--pass correct|2|stderr|never taken from the command line
pkcs8.pem|--pass-file $work/right.pass --pass-env ZCF_TEST_PASS|2|stderr|give one
EOF
# An unencrypted key needs no pass phrase and ignores none given.
run_zcf sign --key "$dev" --pass-file "$work/wrong.pass" --in "$fixtures/manifest.xml" --out "$work/plain.zcf"
expect "a plain key with a pass file" 0 stdout signed

# keygen writes the private key encrypted when given a pass phrase; sign then needs that one.
run_zcf keygen --out "$work/enc-keys" --pass-env ZCF_TEST_PASS
expect "keygen with a pass phrase" 0 stdout "key id:"
zep_checks=$((zep_checks + 1))
grep -q 'BEGIN ENCRYPTED PRIVATE KEY' "$work/enc-keys/signing-private.pem" &&
    [ "$(stat -c %a "$work/enc-keys/signing-private.pem")" = 600 ] || fail "keygen did not write an encrypted key"
# private key's pass option | exit code | stream | text
while IFS='|' read -r option code stream text; do
    rm -f "$work/enc.zcf"
    # shellcheck disable=SC2086
    run_zcf sign --key "$work/enc-keys/signing-private.pem" --key-file "$work/enc-keys/signing.key" $option \
        --in "$fixtures/manifest.xml" --out "$work/enc.zcf"
    expect "sign with keygen's encrypted key, $option" "$code" "$stream" "$text"
done <<EOF
|3|stderr|is encrypted
--pass-file $work/wrong.pass|3|stderr|wrong pass phrase
--pass-file $work/right.pass|0|stdout|signed
EOF
run_zcf verify --key-file "$work/enc-keys/signing.key" "$work/enc.zcf"
expect "the container of keygen's encrypted key verifies with its key file" 0 stdout "verified"

# ---- inspect of damaged containers ---------------------------------------------------------------------

good=$fixtures/manifest.zcf
key_id=$(sed -n 's/^KeyId=//p' "$source_dir/tests/keys/development.key")
size=$(stat -c %s "$good")
head -c 3 "$good" >"$work/in-magic.zcf"
head -c 50 "$good" >"$work/in-key-id.zcf"
head -c 69 "$good" >"$work/in-length.zcf"
head -c 200 "$good" >"$work/in-signature.zcf"
: >"$work/empty.zcf"
{ printf 'XEPSIG1'; tail -c +8 "$good"; } >"$work/bad-magic.zcf"
cp "$good" "$work/long-length.zcf"
printf '\377\377\000\000' | dd of="$work/long-length.zcf" bs=1 seek=67 conv=notrunc status=none
cp "$good" "$work/good.zcf"
# container | exit code | stream | text ... (each row's texts, split on ';')
while IFS='|' read -r container code texts; do
    run_zcf inspect "$work/$container"
    IFS=';' read -ra wanted <<<"$texts"
    for text in "${wanted[@]}"; do
        stream=stdout
        case $text in stderr:*) stream=stderr text=${text#stderr:} ;; esac
        expect "inspect $container" "$code" "$stream" "$text"
    done
    zep_checks=$((zep_checks + 1))
    if [ "$code" -eq 0 ]; then
        ! grep -q '^damaged:' "$work/stdout" && [ ! -s "$work/stderr" ] || fail "inspect $container: damage reported"
    else
        grep -q '^damaged:' "$work/stdout" || fail "inspect $container: no damage named"
    fi
done <<EOF
good.zcf|0|magic:            ZEPSIG1;key id:           $key_id;signature length: 256;data length:      $((size - 71 - 256))
in-magic.zcf|3|magic:            ZEP (3 of 7 bytes);damaged: the file ends inside the magic (3 of 7 bytes);reader: LoadFile failed: 11;stderr:is damaged
empty.zcf|3|magic:             (0 of 7 bytes);damaged: the file ends inside the magic (0 of 7 bytes)
in-key-id.zcf|3|magic:            ZEPSIG1;reserved:         0000000000000000000000000000000000000000;key id:           ${key_id:0:23} (23 of 40 bytes);damaged: the file ends inside the key id (23 of 40 bytes)
in-length.zcf|3|key id:           $key_id;signature length: 0001 (2 of 4 bytes);damaged: the file ends inside the signature length
in-signature.zcf|3|key id:           $key_id;signature length: 256;damaged: the signature length 256 is more than the 129 bytes after the header
bad-magic.zcf|3|magic:            XEPSIG1;key id:           $key_id;signature length: 256;damaged: the magic is not ZEPSIG1
long-length.zcf|3|key id:           $key_id;signature length: 65535;damaged: the signature length 65535 is more than
EOF
run_zcf inspect "$work/none.zcf"
expect "inspect of a missing file" 3 stderr "cannot read"

# ---- progress on a terminal only -----------------------------------------------------------------------

mkdir -p "$work/data/update/lib" "$work/old" "$work/new"
for i in 1 2 3; do echo "$i" >"$work/data/update/lib/f$i.dll"; echo "$i" >"$work/old/f$i"; echo "x$i" >"$work/new/f$i"; done
: >"$work/data/update/._ZEP_UPGRADE_delete"
# On a terminal (script's), with standard output elsewhere: the line is drawn on standard error.
on_terminal() {
    # lib.sh has a function of that name.
    command script -qec "$1 2>&1 >/dev/null" /dev/null </dev/null >"$work/terminal" 2>&1
}
# command | what the terminal must show
while IFS='|' read -r command shown; do
    rm -rf "$work/upd" "$work/m.xml"
    on_terminal "$zcf $command"
    zep_checks=$((zep_checks + 1))
    grep -qF "$shown" "$work/terminal" || fail "$command on a terminal: no \"$shown\" in
$(od -c "$work/terminal" | head)"
    rm -rf "$work/upd" "$work/m.xml"
    # shellcheck disable=SC2086
    run_zcf $command
    zep_checks=$((zep_checks + 1))
    [ ! -s "$work/stderr" ] || fail "$command without a terminal: standard error holds $(cat "$work/stderr")"
done <<EOF
manifest $work/data/update --out $work/m.xml|hashing 3/3 files
diff $work/old $work/new --out $work/upd|comparing 3/3 files
diff $work/old $work/new --out $work/upd|copying 3/3 files
check $work/data --key-file $source_dir/tests/keys/development.key|hashing 3/3 files
EOF

zep_finish
