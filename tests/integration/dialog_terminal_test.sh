#!/usr/bin/env bash
# The Linux dialog as a user sees it: on a terminal (tmux), drawn in place, each status replacing the
# last, OK dim until enabled and Enter ending it, redrawn when the terminal is resized, the terminal
# given back after OK and after Ctrl-C; driven by a worker over the GUI pipe; in the background and
# without a terminal, plain lines.
# Usage: dialog_terminal_test.sh <zep_dialog_host> <zep_pipe_peer>
source "$(dirname "$0")/lib.sh"
host=$1
peer=$2

if ! command -v tmux >/dev/null; then
    echo "SKIP: tmux is missing (scripts/setup.sh installs it)"
    exit 77
fi

work=$(mktemp -d)
socket="zep-dialog-test-$$"
pane() { tmux -L "$socket" "$@"; }
trap 'exec 3>&- 2>/dev/null; pane kill-server 2>/dev/null; rm -rf "$work"' EXIT

# A plain shell on an 80 x 24 terminal; -u: UTF-8 whatever the locale of the test run.
pane -u -f /dev/null new-session -d -x 80 -y 24 \
    "env -i PATH='$PATH' HOME='$work' TERM=tmux-256color LANG=C.UTF-8 PS1='$ ' bash --norc --noprofile"

screen() { pane capture-pane -p; }
# With the character attributes as escape sequences: dim is 2, bold and reverse 1;7.
screen_with_attributes() { pane capture-pane -p -e; }
on_screen() { screen | grep -q "$@"; }
on_screen_with_attributes() { screen_with_attributes | grep -q "$@"; }
off_screen() { ! screen | grep -q "$@"; }

# What a failed wait shows: the screen with its attributes.
zep_failure_context() { screen_with_attributes | cat -v; }

# wait_screen DESCRIPTION GREP-ARGUMENTS...: waits until a line of the screen matches.
wait_screen() {
    wait_until "$1: the screen never showed ${*:2}" on_screen "${@:2}"
}

# expect DESCRIPTION COMMAND...: the command succeeds now.
expect() {
    zep_checks=$((zep_checks + 1))
    "${@:2}" || fail "$1
$(screen_with_attributes | cat -v)"
}

run_in_pane() {
    pane send-keys "clear; $1" Enter
}

# Each of the terminal's modes that the dialog turns off is back on.
expect_terminal_restored() {
    pane send-keys "clear; stty -a | tr ' ;' '\n\n' | grep -xE -- '-?(icanon|echo|ixon)' | tr '\n' ' '; echo" Enter
    wait_screen "$1: terminal modes" -x 'ixon icanon echo *'
}

mkfifo "$work/steps"
dim_ok=$'\e[2m[  OK  ]'
active_ok=$'\e[1;7m[  OK  ]'

# On the terminal: the dialog is drawn in place and takes each change.
run_in_pane "'$host' -lang 1 - <'$work/steps'; echo \"exit=\$?\""
exec 3>"$work/steps"
wait_screen "Slovak caption in the box" -F "┌─ Aktualizácia ─"
wait_screen "Slovak header" -F "Aktualizácia aplikácie"
expect "OK is dim before it is enabled" on_screen_with_attributes -F "$dim_ok"
echo "status-id 3" >&3
wait_screen "first status" -F "Odstraňovanie pôvodných súborov"
echo "status-id 4" >&3
wait_screen "second status" -F "Kopírovanie nových súborov"
expect "the second status replaces the first" off_screen -F "Odstraňovanie"
echo "detail Chýba súbor ZEPMaintenance.exe" >&3
wait_screen "error detail" -F "Detail chyby: Chýba súbor ZEPMaintenance.exe"
expect "drawn in place: one box on the screen" test "$(screen | grep -c '┌─')" -eq 1

# Enter before OK is enabled presses nothing: the dialog still takes the next change.
pane send-keys Enter
echo "status-id 5" >&3
wait_screen "status after Enter on the disabled OK" -F "Aktualizácia úspešne ukončená"
expect "OK is still dim" on_screen_with_attributes -F "$dim_ok"

# A resized terminal gets the dialog redrawn to its width.
pane resize-window -x 40 -y 12
wait_screen "redrawn 40 columns wide" -x "└$(printf '─%.0s' $(seq 38))┘"
wait_screen "status after the resize" -F "Aktualizácia úspešne uk"

echo enable >&3
exec 3>&-
wait_until "OK is highlighted once enabled" on_screen_with_attributes -F "$active_ok"
pane send-keys Enter
wait_screen "Enter on the enabled OK ends the host with 1002" -x "exit=234"
expect "the host's result" on_screen -x "result: 1002"
expect "the dialog is gone once ended" off_screen -F "┌─"
expect_terminal_restored "after OK"
pane resize-window -x 80 -y 24

# Driven by a worker over the GUI pipe: each status replaces the last; id 2 makes OK active and ends the
# listening; Enter then ends the loader's side.
machine="$work/machine"
mkdir -p "$machine"
pipe="ZEPMaintenance_$$_1"
run_in_pane "ZEP_MACHINE_ROOT='$machine' '$host' -lang 1 -listen $pipe; echo \"exit=\$?\""
ZEP_MACHINE_ROOT=$machine "$peer" --pipe "$pipe" --quiet --pace 300 --lang 1 --text 6 --wait-for "$work/go1" \
    --text 3 --wait-for "$work/go2" --text 4 --wait-for "$work/go3" --send 2 >"$work/peer.txt" 2>&1 &
peer_pid=$!
wait_screen "pipe: Slovak caption" -F "┌─ Aktualizácia ─"
wait_screen "pipe: first status" -F "Čakanie na ukončenie klientskej aplikácie"
touch "$work/go1"
wait_screen "pipe: second status" -F "Odstraňovanie pôvodných súborov"
expect "pipe: the second status replaces the first" off_screen -F "Čakanie"
touch "$work/go2"
wait_screen "pipe: third status" -F "Kopírovanie nových súborov"
expect "pipe: the third status replaces the second" off_screen -F "Odstraňovanie"
expect "pipe: OK is dim while the worker runs" on_screen_with_attributes -F "$dim_ok"
touch "$work/go3"
wait_until "pipe: OK is highlighted after id 2" on_screen_with_attributes -F "$active_ok"
pane send-keys Enter
wait_screen "pipe: Enter on the enabled OK ends the loader's side with 1002" -x "exit=234"
zep_checks=$((zep_checks + 1))
wait "$peer_pid" || fail "pipe: the worker's messages did not all go: $(cat "$work/peer.txt")"
expect_terminal_restored "after the pipe's dialog"

# Ctrl-C ends the program as it would without the dialog, and the terminal is given back.
run_in_pane "'$host' -lang 2 - <'$work/steps'"
exec 3>"$work/steps"
wait_screen "English caption in the box" -F "┌─ Update ─"
pane send-keys C-c
exec 3>&-
wait_until "the dialog is gone after Ctrl-C" off_screen -F "┌─"
expect_terminal_restored "after Ctrl-C"

# Started in the background, it leaves the terminal to the job in front: plain lines, never stopped.
run_in_pane "'$host' -lang 2 status-id 4 close & wait \$!; echo \"exit=\$?\""
wait_screen "background dialog ended with 5" -x "exit=5"
expect "background dialog's caption line" on_screen -x "Update: Application update"
expect "background dialog's status line" on_screen -x "Copying new files"
expect "no box in the background" off_screen -F "┌─"

# Without a terminal: one plain line per change, and enabled OK counts as pressed.
"$host" -lang 1 status-id 4 detail "Chýba súbor" status "" status-id 5 enable >"$work/plain.txt"
zep_status=$?
expect_status 234 "without a terminal"
expected="Aktualizace: Aktualizace probíhá...
Aktualizácia: Aktualizácia aplikácie
Kopírovanie nových súborov
Detail chyby: Chýba súbor
Aktualizácia úspešne ukončená
[OK]
result: 1002"
zep_checks=$((zep_checks + 1))
[ "$(cat "$work/plain.txt")" = "$expected" ] || fail "plain lines differ
--- expected
$expected
--- actual
$(cat "$work/plain.txt")"

zep_finish
