#!/bin/bash
# The logon run against a sandboxed machine: RunOnce commands run once, one after another, their values
# gone before they start; Run commands stay and start after them; bad entries are reported and skipped.
# Usage: zeprun_test.sh <zeprun> <zepreg>
here=$(dirname "$0")
source "$here/lib.sh"
zeprun=$1
zepreg=$2
zep_init native "$zeprun"

run='HKLM\software\microsoft\windows\currentversion\run'
runonce='HKLM\software\microsoft\windows\currentversion\runonce'
root=$ZEP_MACHINE_ROOT
work=$root/work
mkdir -p "$work"

add() { "$zepreg" add "$1" /v "$2" /t "${4:-REG_SZ}" /d "$3" /f >/dev/null || fail "cannot add $2"; }
has_value() { "$zepreg" query "$1" /v "$2" >/dev/null 2>&1; }

# logon [ARGS...]: one run; sets zep_status, out and err.
logon() {
    "$zeprun" "$@" >"$work/out" 2>"$work/err" </dev/null
    zep_status=$?
    out=$(cat "$work/out")
    err=$(cat "$work/err")
}

expect_text() {
    zep_checks=$((zep_checks + 1))
    grep -qF -- "$3" <<<"$2" || fail "$1: no \"$3\" in
$2"
}

# step NAME [EXIT]: a RunOnce command that notes whether its value was still there, when it started and
# ended (with a pause between, so that a command not waited for would overlap the next).
step() {
    script "$work/$1" "if \"$zepreg\" query '$runonce' /v '$1' >/dev/null 2>&1; then echo '$1 present'; else echo '$1 gone'; fi >>'$work/seen'
echo '$1 start' >>'$work/order'
sleep 0.3
echo '$1 end' >>'$work/order'
exit ${2:-0}"
}

# The rollback as the update schedules it, from a product folder with a blank in its path.
product="$root/opt/my app"
script "$product/ZEPMaintenance" "for a in \"\$@\"; do echo \"[\$a]\"; done >'$work/rollback-args'
if \"$zepreg\" query '$runonce' /v 'Z.EP Maintenance Service2 - Rollback' >/dev/null 2>&1; then echo 'rollback present'; else echo 'rollback gone'; fi >>'$work/seen'
echo 'rollback ran' >>'$work/order'"
add "$runonce" "Z.EP Maintenance Service2 - Rollback" \
    "\"$product/ZEPMaintenance\" -mode loader -op rollback -pp \"$product\" -dp \"$root/var/lib/Z.EP Maintenance2\" -lang 1"
step b-fails 7
step c-after
add "$runonce" b-fails "$work/b-fails"
add "$runonce" c-after "$work/c-after"
add "$runonce" d-number 5 REG_DWORD
add "$runonce" e-missing "/no/such/program -x"
add "$runonce" f-empty "   "
script "$work/each-logon" "echo run >>'$work/run-count'; echo 'run started' >>'$work/order'"
add "$run" each-logon "\"$work/each-logon\" a"

# What a dry run shows, changing nothing.
logon --dry-run
expect_status 1 "dry run with bad entries"
expect_text "dry run" "$out" "RunOnce \"Z.EP Maintenance Service2 - Rollback\": would run '$product/ZEPMaintenance' -mode loader -op rollback -pp '$product' -dp '$root/var/lib/Z.EP Maintenance2' -lang 1"
expect_text "dry run" "$out" "Run \"each-logon\": would run $work/each-logon a"
expect_text "dry run" "$err" 'RunOnce "d-number": the value is REG_DWORD, not REG_SZ'
check "a dry run runs nothing" [ ! -e "$work/order" ]
check "a dry run deletes nothing" has_value "$runonce" b-fails

# Another user may not delete the machine's RunOnce values: nothing runs, the Run commands neither.
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
    chmod 755 "$root" && chmod 777 "$work"
    setpriv --reuid=nobody --regid=nogroup --clear-groups "$zeprun" >"$work/out" 2>"$work/err" </dev/null
    zep_status=$?
    expect_status 3 "a user's logon with RunOnce pending"
    expect_text "a user's logon" "$(cat "$work/err")" "RunOnce entries pending: 6."
    check "a user's logon runs nothing" [ ! -e "$work/order" ]
    check "a user's logon deletes nothing" has_value "$runonce" b-fails
fi

logon
expect_status 1 "the logon with a failing command and bad values"
check "each RunOnce command waited for, in enumeration order, then the Run command" \
    [ "$(head -n 5 "$work/order" | tr '\n' ' ')" = "b-fails start b-fails end c-after start c-after end rollback ran " ]
wait_until "the Run command started" [ -s "$work/run-count" ]
check "the Run command came last" [ "$(tail -n 1 "$work/order")" = "run started" ]
check "every RunOnce value was gone before its command started" \
    [ "$(sort "$work/seen" | tr '\n' ' ')" = "b-fails gone c-after gone rollback gone " ]
check "the rollback got its arguments, the blanks kept" [ "$(cat "$work/rollback-args")" = "[-mode]
[loader]
[-op]
[rollback]
[-pp]
[$product]
[-dp]
[$root/var/lib/Z.EP Maintenance2]
[-lang]
[1]" ]
expect_text "exit code" "$out" "RunOnce \"b-fails\": $work/b-fails exited with 7"
expect_text "wrong type" "$err" 'RunOnce "d-number": the value is REG_DWORD, not REG_SZ; deleted, not run'
expect_text "missing program" "$err" 'RunOnce "e-missing": cannot start /no/such/program: No such file or directory'
expect_text "empty command" "$err" 'RunOnce "f-empty": the command is empty'
check "no RunOnce value is left" [ -z "$("$zepreg" query "$runonce" | grep REG_)" ]
check "the Run value stays" has_value "$run" each-logon

# The next logon: nothing once again, the Run command again.
: >"$work/order"
logon
expect_status 0 "the next logon"
wait_until "the Run command started again" [ "$(wc -l <"$work/run-count")" -eq 2 ]
check "no RunOnce command ran again" [ "$(cat "$work/order")" = "run started" ]

# RunOnce alone, as the tests of the scheduled rollback stand for the next logon; a bad Run value does
# not stop the good one.
: >"$work/order"
add "$runonce" c-after "$work/c-after"
add "$run" bad-run 1 REG_QWORD
logon --once-only
expect_status 0 "RunOnce only"
check "RunOnce only runs the RunOnce command" [ "$(tr '\n' ' ' <"$work/order")" = "c-after start c-after end " ]
check "RunOnce only starts no Run command" [ -z "$(grep Run <<<"$out" | grep -v RunOnce)" ]
logon
expect_status 1 "a Run value of the wrong type"
expect_text "a Run value of the wrong type" "$err" 'Run "bad-run": the value is REG_QWORD, not REG_SZ; not run'
wait_until "the good Run command started all the same" [ "$(wc -l <"$work/run-count")" -eq 3 ]

logon --help
expect_status 0 "help"
expect_text "help" "$out" "--once-only"
logon --bogus
expect_status 2 "an unknown option"
expect_text "an unknown option" "$err" "unknown option --bogus"

zep_finish
