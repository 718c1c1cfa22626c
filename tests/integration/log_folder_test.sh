#!/usr/bin/env bash
# The shared log folder against another local user: whatever the user plants under the name of a
# run's log as root, the run ends as it would, its lines are in a root-owned single-name file of
# that name, the planted object's target is unchanged and its content stays in the folder. A run
# that can write no log says so once on standard error.
# Usage: log_folder_test.sh native <program>
source "$(dirname "$0")/lib.sh"
zep_init "$1" "$2"

if [ "$(id -u)" -ne 0 ] || ! command -v setpriv >/dev/null; then
    echo "skipped: planting as another user needs root and setpriv"
    exit 77
fi
as_user() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }
chmod 755 "$zep_root"
log=ZEPMaintenance2-notifier.log

# Runs a notifier as root on the folder as it is (nothing removed); 0 is its specified exit code.
run_as_root() {
    timeout 20 "$zep_program" -mode notifier -op install </dev/null >"$zep_root/stdout" 2>"$zep_root/stderr"
    zep_status=$?
}

# The run's log is root's own regular file with a single name, holding the run's lines and the
# notice of what was set aside.
expect_own_log() {
    local what=$1 path="$zep_logdir/$log"
    zep_checks=$((zep_checks + 1))
    if [ ! -f "$path" ] || [ -L "$path" ] || [ "$(stat -c %u:%h "$path")" != 0:1 ]; then
        fail "$what: the log is not a root-owned single-name file: $(ls -la "$path" 2>&1)"
        return
    fi
    expect_line "$log" "$what" INFO "wWinMain exit (returnCode: 0)"
    zep_checks=$((zep_checks + 1))
    grep -q "WARN  ZEPMaintenance - Log: the object under this file's name was not this run's own log file; it was set aside as $log.aside-" "$zep_logdir/$log" ||
        fail "$what: no notice of the object set aside"
    zep_checks=$((zep_checks + 1))
    [ ! -s "$zep_root/stderr" ] || fail "$what: the run complained: $(cat "$zep_root/stderr")"
}

# The one object set aside in this round.
aside() { find "$zep_logdir" -maxdepth 1 -name "$log.aside-*" -newer "$zep_root/round" | head -n 1; }

# The folder is made by a first run as root, as it is on a real machine.
zep_run -mode notifier -op install
expect_status 0 "first run"
echo "root's own file" >"$zep_root/target"
chmod 644 "$zep_root/target"

plant_round() {
    rm -f "$zep_logdir/$log"
    touch "$zep_root/round"
    sleep 0.01
}

plant_round
as_user mkfifo "$zep_logdir/$log"
run_as_root
expect_status 0 "FIFO"
expect_own_log "FIFO"
zep_checks=$((zep_checks + 1))
[ -p "$(aside)" ] || fail "FIFO: not kept in the folder"

# A FIFO with a reader opens at once for writing: it must still not be written.
plant_round
as_user mkfifo "$zep_logdir/$log"
as_user sh -c "exec 3<>'$zep_logdir/$log'; exec sleep 30" </dev/null >/dev/null 2>&1 &
holder=$!
sleep 0.2
run_as_root
kill "$holder" 2>/dev/null
wait "$holder" 2>/dev/null
expect_status 0 "FIFO held open by its maker"
expect_own_log "FIFO held open by its maker"

plant_round
as_user sh -c "printf 'planted by a user\n' >'$zep_logdir/$log'"
run_as_root
expect_status 0 "a user's file"
expect_own_log "a user's file"
zep_checks=$((zep_checks + 1))
[ "$(cat "$(aside)")" = "planted by a user" ] || fail "a user's file: its content is not kept"

# With protected_hardlinks (Debian's default) a user cannot link root's files; this is the state
# a machine without it allows, made here as root.
plant_round
ln "$zep_root/target" "$zep_logdir/$log"
run_as_root
expect_status 0 "hard link to a root file"
expect_own_log "hard link to a root file"
zep_checks=$((zep_checks + 1))
[ "$(cat "$zep_root/target")" = "root's own file" ] || fail "hard link: root's file was written"

plant_round
as_user ln -s "$zep_root/target" "$zep_logdir/$log"
run_as_root
expect_status 0 "symbolic link"
expect_own_log "symbolic link"
zep_checks=$((zep_checks + 1))
[ "$(cat "$zep_root/target")" = "root's own file" ] && [ "$(readlink "$(aside)")" = "$zep_root/target" ] ||
    fail "symbolic link: the target was written or the link not kept"

plant_round
as_user mkdir "$zep_logdir/$log"
as_user sh -c "printf 'kept\n' >'$zep_logdir/$log/inside'"
run_as_root
expect_status 0 "folder"
expect_own_log "folder"
zep_checks=$((zep_checks + 1))
[ "$(cat "$(aside)/inside")" = kept ] || fail "folder: its content is not kept"

# A user's run cannot take root's file over: its lines are lost, and it says so once.
as_user env ZEP_MACHINE_ROOT="$zep_root" "$zep_program" -mode notifier -op install </dev/null \
    >"$zep_root/stdout" 2>"$zep_root/stderr"
zep_status=$?
expect_status 0 "a user's run on root's log"
zep_checks=$((zep_checks + 1))
[ "$(wc -l <"$zep_root/stderr")" -eq 1 ] &&
    grep -qF "ZEPMaintenance: cannot write the log file $zep_logdir/$log: Permission denied (error 5)." \
        "$zep_root/stderr" || fail "a user's run: no single report of its lost log: $(cat "$zep_root/stderr")"

# Without a folder for the log, the run fails as specified and says why.
rm -rf "$zep_root/var/lib/Z.EP Maintenance2"
as_user env ZEP_MACHINE_ROOT="$zep_root" "$zep_program" -mode notifier -op install </dev/null \
    >"$zep_root/stdout" 2>"$zep_root/stderr"
zep_status=$?
expect_status 255 "no log folder"
zep_checks=$((zep_checks + 1))
[ "$(wc -l <"$zep_root/stderr")" -eq 1 ] && grep -qF "its folder cannot be created" "$zep_root/stderr" ||
    fail "no log folder: no single report: $(cat "$zep_root/stderr")"

zep_finish
