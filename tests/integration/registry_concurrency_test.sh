#!/usr/bin/env bash
# Three processes writing and reading the settings store at once, one reading as an unprivileged user and,
# where the SQLite shell is installed, another unprivileged one keeping the store's snapshot locked the
# whole time: no process fails and no write is lost. Usage: registry_concurrency_test.sh native <program> <zepreg>
source "$(dirname "$0")/lib.sh"
zep_init "$1" "$2"
zepreg=$3
rounds=${ZEP_CONCURRENCY_ROUNDS:-40}

if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: the unprivileged reader needs root to become another user"
    exit 77
fi
chmod 755 "$zep_root"
cp "$zepreg" "$zep_root/zepreg"
zepreg=$zep_root/zepreg
errors=$zep_root/errors
: >"$errors"
chmod 666 "$errors"

"$zepreg" add 'HKLM\software\Concurrency' >/dev/null || fail "creating the key"

writer() {
    local w=$1 i
    for i in $(seq 1 "$rounds"); do
        "$zepreg" add "HKLM\\software\\Concurrency\\Writer$w" /v "value$i" /t REG_DWORD /d "$((w * 1000 + i))" \
            >/dev/null 2>>"$errors" || echo "writer $w: add $i failed" >>"$errors"
        "$zepreg" query 'HKLM\software\Concurrency' /s >/dev/null 2>>"$errors" ||
            echo "writer $w: query $i failed" >>"$errors"
    done
}

reader() {
    local i
    for i in $(seq 1 "$rounds"); do
        setpriv --reuid=nobody --regid=nogroup --clear-groups "$zepreg" query 'HKLM\software\Concurrency' /s \
            >/dev/null 2>>"$errors" || echo "reader: query $i failed" >>"$errors"
    done
}

# Holds an flock and, through a long query, SQLite's read lock on whichever snapshot is published, over
# and over; a writer that waited for them would fail with the store busy.
locker() {
    local snapshot=$zep_root/var/lib/zepmaintenance/registry.db
    while [ ! -e "$zep_root/stop" ]; do
        setpriv --reuid=nobody --regid=nogroup --clear-groups flock --shared "$snapshot" sqlite3 -readonly \
            "$snapshot" "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n LIMIT 300000)
                         SELECT count(*) FROM n, (SELECT 1 FROM keys LIMIT 1);" >/dev/null 2>&1 || sleep 0.01
    done
}
if command -v sqlite3 >/dev/null; then
    locker &
else
    echo "no snapshot locker: no sqlite3 shell"
fi

start=$(date +%s.%N)
workers=()
for w in 1 2 3; do
    writer "$w" &
    workers+=($!)
done
reader &
workers+=($!)
wait "${workers[@]}"
end=$(date +%s.%N)
touch "$zep_root/stop"
wait

zep_checks=$((zep_checks + 1))
[ ! -s "$errors" ] || fail "failures while running at once:
$(cat "$errors")"

# Every write is there with its own data.
listing=$("$zepreg" query 'HKLM\software\Concurrency' /s)
for w in 1 2 3; do
    zep_checks=$((zep_checks + 1))
    count=$(awk -v key="HKEY_LOCAL_MACHINE\\\\software\\\\Concurrency\\\\Writer$w" \
        '$0 == key {inside = 1; next} /^HKEY/ {inside = 0} inside && /REG_DWORD/' <<<"$listing" | wc -l)
    [ "$count" -eq "$rounds" ] || fail "writer $w: $count of $rounds values stored"
    zep_checks=$((zep_checks + 1))
    grep -qF "    value$rounds    REG_DWORD    $(printf '0x%x' $((w * 1000 + rounds)))" <<<"$listing" ||
        fail "writer $w: last value wrong"
done
echo "$((3 * rounds)) writes, $((4 * rounds)) reads in $(awk "BEGIN {printf \"%.1f\", $end - $start}") s"

zep_finish
