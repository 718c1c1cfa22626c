#!/usr/bin/env bash
# Builds the MSI signer check's test corpus: a package made by wixl, a test CA with signer certificates
# made here with OpenSSL, and the package signed by osslsigncode with each of them.
#   make_corpus.sh OUTPUT_DIR SOURCE_DIR
# OUTPUT_DIR receives the packages, truststore/ (the trusted test root under its hash name) and
# corpus.txt: one line per package, "<file> <verdict 1|0> <reason>", the verdict being the signer
# check's.
set -euo pipefail
out=$1
src=$2
work="$out/work"
rm -rf "$out"
mkdir -p "$work" "$out/truststore"
cd "$work"

name_plain='Orvanta Signing, a.s.'
name_diacritics='Orvánta Signing, a.s.'

ca_config() { # CA_NAME: a minimal openssl ca set-up in ca-<name>/
    local d="ca-$1"
    mkdir -p "$d/new"
    : > "$d/index.txt"
    cat > "$d/ca.cnf" <<CNF
[ ca ]
default_ca = this
[ this ]
dir = $d
database = $d/index.txt
new_certs_dir = $d/new
certificate = $d/ca.pem
private_key = $d/ca.key
serial = $d/serial
default_md = sha256
policy = any
unique_subject = no
copy_extensions = none
x509_extensions = signer
[ any ]
commonName = supplied
countryName = optional
organizationName = optional
[ signer ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF
    openssl rand -hex 8 > "$d/serial"
}

make_ca() { # NAME SUBJECT
    ca_config "$1"
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "ca-$1/ca.key" -out "ca-$1/ca.pem" -days 3650 \
        -utf8 -subj "$2" -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
}

# signer CA NAME SUBJECT [START END]: a code-signing certificate issued by CA, with its key.
signer() {
    local ca=$1 name=$2 subject=$3
    openssl req -new -newkey rsa:2048 -nodes -keyout "$name.key" -out "$name.csr" -utf8 -subj "$subject" 2>/dev/null
    local dates=(-days 3650)
    [ $# -ge 5 ] && dates=(-startdate "$4" -enddate "$5")
    openssl ca -batch -notext -utf8 -config "ca-$ca/ca.cnf" -in "$name.csr" -out "$name.pem" "${dates[@]}" 2>/dev/null
    cat "$name.pem" "ca-$ca/ca.pem" > "$name.chain.pem"
}

make_ca trusted "/CN=ZEP Maintenance Test Root/O=ZEP Maintenance Tests/C=CZ"
make_ca untrusted "/CN=ZEP Maintenance Untrusted Root/O=ZEP Maintenance Tests/C=CZ"
signer trusted plain "/CN=$name_plain/C=CZ"
signer trusted diacritics "/CN=$name_diacritics/C=CZ"
signer trusted country-sk "/CN=$name_plain/C=SK"
signer trusted no-full-stop "/CN=${name_plain%.}/C=CZ"
signer trusted expired "/CN=$name_plain/C=CZ" 20200101000000Z 20210101000000Z
signer untrusted untrusted-root "/CN=$name_plain/C=CZ"
signer untrusted expired-untrusted "/CN=$name_plain/C=CZ" 20200101000000Z 20210101000000Z
openssl req -x509 -newkey rsa:2048 -nodes -keyout self-signed.key -out self-signed.pem -days 3650 \
    -subj "/CN=$name_plain/C=CZ" 2>/dev/null
cp self-signed.pem self-signed.chain.pem

cp "ca-trusted/ca.pem" "$out/truststore/zep-test-root.pem"
ln -s zep-test-root.pem "$out/truststore/$(openssl x509 -hash -noout -in ca-trusted/ca.pem).0"
cp "ca-trusted/ca.pem" "$out/test-root.pem"
openssl x509 -in ca-trusted/ca.pem -outform DER -out "$out/test-root.der"

echo "payload of the MSI signer check's test package" > payload.txt
wixl -o "$out/unsigned.msi" "$src/Package.wxs" >/dev/null

corpus="$out/corpus.txt"
: > "$corpus"
# sign CERT OUTPUT VERDICT REASON [osslsigncode options]
sign() {
    local cert=$1 file=$2 verdict=$3 reason=$4
    shift 4
    osslsigncode sign -certs "$cert.chain.pem" -key "$cert.key" -in "$out/unsigned.msi" -out "$out/$file" "$@" >/dev/null
    echo "$file $verdict $reason" >> "$corpus"
}
echo "unsigned.msi 0 unsigned" >> "$corpus"
sign plain signed.msi 1 valid -h sha256
sign plain signed-sha1.msi 1 valid -h sha1
sign plain signed-dse.msi 1 valid -h sha256 -add-msi-dse
sign diacritics diacritics.msi 1 valid -h sha256
sign country-sk country-sk.msi 0 country
sign no-full-stop no-full-stop.msi 0 common-name
sign expired expired.msi 0 not-time-valid -h sha256
sign untrusted-root untrusted-root.msi 0 untrusted-root -h sha256
sign self-signed self-signed.msi 0 self-signed -h sha256
sign expired-untrusted expired-untrusted.msi 0 several-trust-errors -h sha256
# One byte changed in each stream of the signed package, the signature's own stream among them.
signature_name=$(printf '\x05DigitalSignature' | iconv -t UTF-16LE | od -An -tx1 | tr -d ' \n')
python3 "$src/tamper.py" "$out/signed.msi" "$out" changed | while read -r file name; do
    if [ "$name" = "$signature_name" ]; then
        echo "$file 0 changed-signature-stream" >> "$corpus"
    else
        echo "$file 0 changed-stream" >> "$corpus"
    fi
done
# The signature's last byte, which lies in the signer's signature over the signed attributes.
python3 "$src/tamper.py" "$out/signed.msi" "$work" last end | while read -r file name; do
    if [ "$name" = "$signature_name" ]; then
        mv "$work/$file" "$out/changed-signer-signature.msi"
        echo "changed-signer-signature.msi 0 changed-signer-signature" >> "$corpus"
    fi
done
rm -rf "$work"
