#!/usr/bin/env bash
# The MSI signer check against osslsigncode's own verification, package by package over the test
# corpus: both must accept and refuse the same packages, except where only the signer's name or
# country is wrong, which osslsigncode does not judge. Prints the table of verdicts.
# Usage: msi_corpus_test.sh <zep_msi_check> <corpus folder>
set -u
check_program=$1
corpus=$2
. "$(dirname "$0")/lib.sh"

command -v osslsigncode >/dev/null || { echo "SKIP: osslsigncode is not installed"; exit 77; }
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/etc/ssl"
cp -a "$corpus/truststore" "$root/etc/ssl/certs"

printf '%-30s %-26s %-5s %-12s %s\n' package reason ours osslsigncode agree
while read -r file verdict reason; do
    zep_checks=$((zep_checks + 1))
    ZEP_MACHINE_ROOT=$root "$check_program" "$corpus/$file" >"$root/log" 2>&1
    ours=$(( $? == 0 ))
    osslsigncode verify -in "$corpus/$file" -CAfile "$corpus/test-root.pem" >"$root/theirs" 2>&1
    theirs=$(( $? == 0 ))
    case $reason in
        country | common-name) expected_theirs=1 ;;
        *) expected_theirs=$verdict ;;
    esac
    agree=yes
    [ "$ours" -eq "$verdict" ] && [ "$theirs" -eq "$expected_theirs" ] || agree=no
    printf '%-30s %-26s %-5s %-12s %s\n' "$file" "$reason" "$ours" "$theirs" "$agree"
    [ "$agree" = yes ] || fail "$file ($reason): signer check $ours, osslsigncode $theirs
$(cat "$root/log")
$(cat "$root/theirs")"
done <"$corpus/corpus.txt"
zep_finish
