#!/usr/bin/env bash
# The settings store through zepreg: names without regard to case, value types, deletion, failures,
# and the store's files: a snapshot readable by every user, the live database root's alone.
# Usage: registry_tool_test.sh native <program> <zepreg>
source "$(dirname "$0")/lib.sh"
zep_init "$1" "$2"
zepreg=$3
db="$zep_root/var/lib/zepmaintenance/registry.db"
live="$zep_root/var/lib/zepmaintenance/store/registry.db"

# reg RESULT-VARIABLE ARGUMENTS...: runs zepreg, keeps its output and exit code.
reg() {
    reg_out=$("$zepreg" "$@" 2>&1)
    reg_status=$?
}

expect_reg() {
    zep_checks=$((zep_checks + 1))
    [ "$reg_status" -eq "$1" ] || fail "$2: zepreg exit code $reg_status, expected $1 ($reg_out)"
}

expect_output() {
    zep_checks=$((zep_checks + 1))
    grep -qF -- "$2" <<<"$reg_out" || fail "$1: no \"$2\" in
$reg_out"
}

reg add 'HKLM\software\ZEP\Z.EP Maintenance2\Test' /v path /t REG_SZ /d '/opt/zep/Zep Maintenance'
expect_reg 0 "add a string"
reg add 'HKLM\software\ZEP\Z.EP Maintenance2\Test' /v Count /t REG_DWORD /d 42
expect_reg 0 "add a number"

# Read back under other spellings; the names keep the case they were created with.
reg query 'hklm\SOFTWARE\zep\z.ep MAINTENANCE2\test' /v PATH
expect_reg 0 "query a value under another spelling"
expect_output "query a value" 'HKEY_LOCAL_MACHINE\software\ZEP\Z.EP Maintenance2\Test'
expect_output "query a value" '    path    REG_SZ    /opt/zep/Zep Maintenance'
reg query 'HKEY_LOCAL_MACHINE\Software' /s
expect_output "query a tree" '    Count    REG_DWORD    0x2a'

# A value is replaced only with /f; data must fit its type.
reg add 'HKLM\software\ZEP\Z.EP Maintenance2\Test' /v PATH /d other
expect_reg 1 "overwrite without /f"
reg add 'HKLM\software\ZEP\Z.EP Maintenance2\Test' /v PATH /d other /f
expect_reg 0 "overwrite with /f"
reg query 'HKLM\software\ZEP\Z.EP Maintenance2\Test' /v path
expect_output "overwritten value keeps its name" '    path    REG_SZ    other'
reg add 'HKLM\software\bad' /v n /t REG_DWORD /d 4294967296
expect_reg 1 "a number beyond 32 bits"
reg query 'HKLM\software\bad'
expect_reg 1 "no key is left behind by a refused add"

reg query 'HKLM\software\missing'
expect_reg 1 "query of a missing key"
expect_output "query of a missing key" 'ERROR: The system was unable to find the specified registry key or value.'

# The files: the live database 0600 with a rollback journal in a 0700 folder, the snapshot 0644.
for file in "$db:644" "$live:600" "$(dirname "$live"):700"; do
    zep_checks=$((zep_checks + 1))
    mode=$(stat -c %a "${file%:*}")
    [ "$mode" = "${file##*:}" ] || fail "${file%:*} has mode $mode, expected ${file##*:}"
done
zep_checks=$((zep_checks + 1))
[ ! -e "$live-wal" ] && [ ! -e "$db-wal" ] || fail "the store runs in WAL mode"

if [ "$(id -u)" -eq 0 ]; then
    # Another user reads everything and changes nothing.
    chmod 755 "$zep_root"
    cp "$zepreg" "$zep_root/zepreg"
    as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$zep_root/zepreg" "$@" 2>&1; }
    reg_out=$(as_nobody query 'HKLM\SOFTWARE\ZEP\Z.EP MAINTENANCE2\TEST' /v count)
    reg_status=$?
    expect_reg 0 "unprivileged read"
    expect_output "unprivileged read" '    Count    REG_DWORD    0x2a'
    reg_out=$(as_nobody add 'HKLM\software\ZEP\x' /v a /d b)
    reg_status=$?
    expect_reg 1 "unprivileged write"
    expect_output "unprivileged write" 'ERROR: Access is denied.'
    reg_out=$(as_nobody delete 'HKLM\software\ZEP' /f)
    reg_status=$?
    expect_reg 1 "unprivileged delete"
else
    echo "skipped the unprivileged reader: needs root to become another user"
fi

# Empty names in a key path are refused by every command, before anything is written.
for command in "query" "add" "delete"; do
    for key in 'HKLM\software\\double' 'HKLM\\software' 'HKLM\software\\'; do
        if [ "$command" = delete ]; then reg delete "$key" /f; else reg "$command" "$key"; fi
        expect_reg 1 "$command of $key"
        expect_output "$command of $key" "ERROR: Invalid key name"
    done
done

# Types the tool has no name for print their number.
if command -v sqlite3 >/dev/null; then
    sqlite3 "$live" "INSERT INTO key_values SELECT id, 'odd', 'ODD', 300, x'01' FROM keys WHERE folded = 'TEST'" ||
        fail "could not add a value of an unnamed type"
    reg query 'HKLM\software\ZEP\Z.EP Maintenance2\Test' /v odd
    expect_output "a type without a name" '    odd    REG_0x12c    01'
else
    echo "skipped the value of an unnamed type: no sqlite3 shell"
fi

# A user's hive is a root: it stays. A query never creates one.
reg add 'HKU\S-1-22-1-4321\Software' /v a /d b
expect_reg 0 "add below a user's hive"
reg delete 'HKU\s-1-22-1-4321' /f
expect_reg 1 "delete a user's hive"
expect_output "delete a user's hive" 'ERROR: Access is denied.'
reg query 'HKU\S-1-22-1-4321\software' /v a
expect_reg 0 "a user's hive after a refused delete"
sid=$([ "$(id -u)" -eq 0 ] && echo S-1-5-18 || echo "S-1-22-1-$(id -u)")
reg delete "HKU\\$sid\\Software" /f
reg query HKCU
expect_reg 0 "query of a current user's hive that does not exist"
reg query HKU
zep_checks=$((zep_checks + 1))
! grep -qiF "HKEY_USERS\\$sid" <<<"$reg_out" || fail "a query created the hive $sid"

# The listing, exactly: a key, its values, then each sub-key (every level with /s), names as stored.
"$zepreg" add 'HKLM\software\Listed\Beta\Deep' /v n /t REG_DWORD /d 7 >/dev/null
"$zepreg" add 'HKLM\software\Listed\alpha' >/dev/null
"$zepreg" add 'HKLM\software\Listed' /v text /d 'a b' >/dev/null
"$zepreg" add 'HKLM\software\Listed' /ve /t REG_BINARY /d 0aff >/dev/null
reg query 'HKLM\SOFTWARE\listed'
zep_checks=$((zep_checks + 1))
[ "$reg_out" = "$(printf '\n%s\n%s\n%s\n\n%s\n%s' 'HKEY_LOCAL_MACHINE\software\Listed' \
    '    (Default)    REG_BINARY    0AFF' '    text    REG_SZ    a b' \
    'HKEY_LOCAL_MACHINE\software\Listed\alpha' 'HKEY_LOCAL_MACHINE\software\Listed\Beta')" ] ||
    fail "query lists differently:
$reg_out"
reg query 'HKLM\SOFTWARE\listed' /s
zep_checks=$((zep_checks + 1))
[ "$reg_out" = "$(printf '\n%s\n%s\n%s\n\n%s\n\n%s\n\n%s\n%s\n' 'HKEY_LOCAL_MACHINE\software\Listed' \
    '    (Default)    REG_BINARY    0AFF' '    text    REG_SZ    a b' \
    'HKEY_LOCAL_MACHINE\software\Listed\alpha' 'HKEY_LOCAL_MACHINE\software\Listed\Beta' \
    'HKEY_LOCAL_MACHINE\software\Listed\Beta\Deep' '    n    REG_DWORD    0x7')" ] ||
    fail "query /s lists differently:
$reg_out"
"$zepreg" delete 'HKLM\software\Listed' /f >/dev/null

# Depth: 510 names below HKLM is as deep as the registry goes (level 512, the hive roots being at level 2).
# Deeper paths are refused before anything is written; the deepest tree is listed and deleted.
deep=$(printf 'k\\%.0s' $(seq 509))k
reg add "HKLM\\$deep" /v leaf /d bottom
expect_reg 0 "add a key 512 levels deep"
reg add "HKLM\\$deep\\below"
expect_reg 1 "add a key 513 levels deep"
expect_output "add a key 513 levels deep" "(error 87)"
reg add "HKLM\\software\\$(printf 'x\\%.0s' $(seq 59999))x"
expect_reg 1 "add a key 60,000 levels deep"
reg query 'HKLM\software\x'
expect_reg 1 "nothing of a refused deep key is left"
reg query 'HKLM\k' /s
expect_reg 0 "query the deepest tree"
zep_checks=$((zep_checks + 1))
[ "$(grep -c '^HKEY_LOCAL_MACHINE' <<<"$reg_out")" -eq 510 ] || fail "the deepest tree lists $(grep -c '^HKEY' <<<"$reg_out") keys"
expect_output "query the deepest tree" "HKEY_LOCAL_MACHINE\\$deep
    leaf    REG_SZ    bottom"
reg delete 'HKLM\k' /f
expect_reg 0 "delete the deepest tree"
reg query 'HKLM\k'
expect_reg 1 "deleted deepest tree"

# Deletion: a value, then a whole tree; /f is required.
# Asked for, the syntax goes to standard output with success; a wrong command line fails with it.
help_out=$("$zepreg" --help 2>/dev/null)
reg_status=$?
expect_reg 0 "--help"
reg_out=$help_out
expect_output "--help on standard output" "zepreg delete KEY"
reg query
expect_reg 1 "a key missing"
expect_output "a key missing" "ERROR: Invalid syntax."

reg delete 'HKLM\software\ZEP\Z.EP Maintenance2\Test' /v count
expect_reg 1 "delete without /f"
reg delete 'HKLM\software\ZEP\Z.EP Maintenance2\Test' /v count /f
expect_reg 0 "delete a value"
reg query 'HKLM\software\ZEP\Z.EP Maintenance2\Test' /v Count
expect_reg 1 "deleted value"
reg delete 'HKLM\Software\zep' /f
expect_reg 0 "delete a tree"
reg query 'HKLM\software\ZEP\Z.EP Maintenance2\Test'
expect_reg 1 "deleted tree"

zep_finish
