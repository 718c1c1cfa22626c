#!/usr/bin/env bash
# The settings store under the crash matrix: the scheduled rollback's RunOnce value written by zepreg,
# killed or failed at each of the store's file-system calls (SQLite's own among them). After root's next
# use of the store the value is there whole or not at all (there whenever the write reported success), the
# earlier settings are intact, the database is sound, no temporary file is left, and the snapshot other
# users read says what the live database says. Usage: store_crash_test.sh <preload> <zepreg>
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/crash_matrix.sh"
preload=$1
zepreg=$2

if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: only root writes the settings store"
    exit 77
fi
base=$([ -w /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")
work=$(mktemp -d "$base/zep-store-crash-test.XXXXXX")
trap 'rm -rf "$work"' EXIT

runonce='HKLM\software\microsoft\windows\currentversion\runonce'
name='Z.EP Maintenance Service2 - Rollback'
data='/opt/zep/ZEPMaintenance -mode loader -op rollback -pp "/opt/zep/" -dp "/var/lib/zep/" -lang 1'
settings='HKLM\software\ZEP\Z.EP Maintenance2\product'
export preload zepreg runonce name data settings

# A store that already holds the product's settings and the RunOnce key, as every machine has it.
template=$work/template
mkdir -p "$template/root/var/lib"
{ ZEP_MACHINE_ROOT=$template/root "$zepreg" add "$settings" /v path /d /opt/zep/ &&
    ZEP_MACHINE_ROOT=$template/root "$zepreg" add "$runonce"; } >/dev/null || fail "the fixture's store could not be made"

setup() { cp -a "$template/." .; }
# shellcheck disable=SC2016
run='ZEP_MACHINE_ROOT=$ZEP_MATRIX_DIR/root "$zepreg" add "$runonce" /v "$name" /d "$data" /f'
recover() { ZEP_MACHINE_ROOT=$ZEP_MATRIX_DIR/root "$zepreg" query "$settings" /v path; }

# Looks at the files before any use of the store as root, which would repair what it finds.
verify() {
    local store=root/var/lib/zepmaintenance out status leftover
    for leftover in store/registry.db-journal store/snapshot.tmp store/snapshot.tmp-journal store/takeover.db; do
        [ ! -e "$store/$leftover" ] || {
            echo "$leftover is left"
            return 1
        }
    done
    if command -v sqlite3 >/dev/null; then
        out=$(sqlite3 -readonly "$store/store/registry.db" 'PRAGMA integrity_check' 2>&1)
        [ "$out" = ok ] || {
            echo "the live database is not sound: $out"
            return 1
        }
        # The snapshot is the live database as of its last change, generation number included.
        diff <(sqlite3 -readonly "$store/store/registry.db" .dump 2>&1) \
            <(sqlite3 -readonly "file:$store/registry.db?immutable=1" .dump 2>&1) || {
            echo "the snapshot differs from the live database"
            return 1
        }
    fi
    out=$(ZEP_MACHINE_ROOT=$ZEP_MATRIX_DIR/root "$zepreg" query "$runonce" /v "$name" 2>&1)
    status=$?
    if [ "$status" -eq 0 ]; then
        grep -qxF "    $name    REG_SZ    $data" <<<"$out" || {
            echo "the value is not whole: $out"
            return 1
        }
    elif [ "$ZEP_MATRIX_STATUS" -eq 0 ]; then
        echo "the write reported success, but the value is missing: $out"
        return 1
    fi
    out=$(ZEP_MACHINE_ROOT=$ZEP_MATRIX_DIR/root "$zepreg" query "$settings" /v path 2>&1)
    grep -qxF "    path    REG_SZ    /opt/zep/" <<<"$out" || {
        echo "the earlier setting is damaged: $out"
        return 1
    }
}

# The value's own write has points of its own: SQLite's journal and database writes and syncs, and the
# snapshot's publication by rename.
mkdir "$work/listing" && (cd "$work/listing" && setup && ZEP_MATRIX_DIR=$PWD ZEP_FAULT_MODE=list \
    ZEP_FAULT_LIST="$work/listing.points" ZEP_FAULT_PROGRAM="$(basename "$zepreg")" LD_PRELOAD=$preload bash -c "$run" >/dev/null)
for call in "open64	.*/store/registry.db-journal$" "pwrite64	.*/store/registry.db$" "fdatasync	.*/store/registry.db$" \
    "fdatasync	.*/store$" "renameat	.*/store/snapshot.tmp -> .*/zepmaintenance/registry.db$"; do
    check "no point \"$call\" among the store's" grep -q "	$call" "$work/listing.points"
done

# Killed at every point; failing calls at a spread of them, or at every one with ZEP_CRASH_FULL=1 (the
# suite's time goes mostly to these runs).
selection=(--limit 16)
[ "${ZEP_CRASH_FULL:-0}" != 1 ] || selection=()
for modes in kill eio,enospc; do
    [ "$modes" = kill ] && chosen=() || chosen=("${selection[@]}")
    out=$(zep_crash_matrix --preload "$preload" --work "$work" --jobs 2 --modes "$modes" "${chosen[@]}" --setup setup \
        --run "$run" --recover recover --check verify 2>&1)
    status=$?
    echo "$out" | tail -n 40
    check "the store under the crash matrix ($modes): status $status" [ "$status" -eq 0 ]
done

# Without root's next use the same check finds the damage a crash leaves: a hot journal, a snapshot behind.
out=$(zep_crash_matrix --preload "$preload" --work "$work" --jobs 2 --modes kill --stride 4 --setup setup --run "$run" \
    --recover true --check verify 2>&1)
check "the check finds nothing to repair without a recovery: $out" grep -qF "is left" <<<"$out" &&
    grep -qF "the snapshot differs from the live database" <<<"$out"

zep_finish
