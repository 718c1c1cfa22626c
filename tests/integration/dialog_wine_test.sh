#!/usr/bin/env bash
# The Windows dialog as a user sees it, under Wine on an X server of the test's own: the window with
# its Slovak caption, each change on screen, Enter doing nothing until OK is enabled, then ending it
# with 1002; the worker's closing message ending it with 5; a worker driving it over the GUI pipe.
# Screenshots are kept in ARTIFACTS.
# Usage: dialog_wine_test.sh <zep_dialog_host.exe> <artifacts folder> <zep_pipe_peer.exe>
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/xvfb.sh"
host=$1
artifacts=$2
peer=$3
: "${WINEPREFIX:?the wine tests need WINEPREFIX}"
wine=${ZEP_WINE64:-/usr/lib/wine/wine64}

for tool in Xvfb xdotool import; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIP: $tool is missing (scripts/setup.sh installs xvfb, xdotool and imagemagick)"
        exit 77
    fi
done

work=$(mktemp -d)
cleanup() {
    exec 3>&- 2>/dev/null
    [ -n "${host_pid:-}" ] && kill "$host_pid" 2>/dev/null
    [ -n "${peer_pid:-}" ] && kill "$peer_pid" 2>/dev/null
    "${ZEP_WINESERVER:-wineserver}" -k 2>/dev/null
    xvfb_stop
    rm -rf "$work"
}
trap cleanup EXIT
if ! xvfb_start "$work"; then
    echo "SKIP: Xvfb did not start: $(cat "$work/xvfb.log")"
    exit 77
fi
mkdir -p "$artifacts"

find_window() {
    window=$(xdotool search --name "$1" 2>/dev/null | head -n 1)
    [ -n "$window" ]
}

# True once the window looks different from the pixels in file $1; what it shows is in now.rgb.
looks_different() {
    window_pixels "$window" >"$work/now.rgb" && ! cmp -s "$1" "$work/now.rgb"
}

# True once the window looks as it did the last time: a repaint may come in more than one go.
looks_settled() {
    window_pixels "$window" >"$work/again.rgb" || return 1
    cmp -s "$work/now.rgb" "$work/again.rgb" && return 0
    mv "$work/again.rgb" "$work/now.rgb"
    return 1
}

# True once the window has been painted: an X window Wine has not painted yet is black.
looks_painted() {
    window_pixels "$window" >"$work/now.rgb" || return 1
    head -c "$(stat -c %s "$work/now.rgb")" /dev/zero >"$work/black.rgb"
    ! cmp -s "$work/now.rgb" "$work/black.rgb"
}

# Waits until the window shows a change from the pixels in file $1, and keeps the new look there.
# A window that does not change as expected is kept as failed-N.png beside the screenshots.
wait_for_change() {
    if wait_until "$2: the window never changed" looks_different "$1" &&
        wait_until "$2: the window kept changing" looks_settled; then
        cp "$work/now.rgb" "$1"
    else
        window_picture "$window" "$artifacts/failed-$zep_failures.png"
        return 1
    fi
}

start_host() {
    rm -f "$work/steps"
    mkfifo "$work/steps"
    "$wine" "$host" "$@" - <"$work/steps" >"$work/out.txt" 2>"$work/err.txt" &
    host_pid=$!
    exec 3>"$work/steps"
}

# The window as it first shows, painted and settled; later changes are seen against shown.rgb.
wait_until_shown() {
    wait_until "no window with the caption \"$1\" appeared" find_window "^$1\$" &&
        wait_until "the window was never painted" looks_painted &&
        wait_until "the window kept changing" looks_settled &&
        cp "$work/now.rgb" "$work/shown.rgb"
}

end_host() {
    wait "$host_pid"
    host_status=$?
    host_pid=
}

# Slovak: the caption is "Aktualizácia" once the language is set.
start_host -lang 1
wait_until_shown Aktualizácia
echo "status-id 4" >&3
wait_for_change "$work/shown.rgb" "status Kopírovanie nových súborov"
echo "detail Chýba súbor ZEPMaintenance.exe" >&3
wait_for_change "$work/shown.rgb" "error detail"
window_picture "$window" "$artifacts/dialog-sk.png"

# Enter as a keyboard gives it: the window takes the focus, then the key goes down and up through the X
# server, so that the release is seen even when the press has ended the dialog. xdotool's complaints
# about the missing window manager go to a file.
press_enter() {
    xdotool windowfocus --sync "$window" 2>>"$work/xdotool.log"
    xdotool key Return 2>>"$work/xdotool.log"
}

# Enter while OK is disabled does nothing: the dialog is still there and takes the next change.
press_enter
echo "status-id 5" >&3
wait_for_change "$work/shown.rgb" "status after Enter on the disabled OK"
zep_checks=$((zep_checks + 1))
find_window '^Aktualizácia$' || fail "Enter on the disabled OK closed the dialog"

# Enabled, OK looks different, and Enter presses it.
echo enable >&3
exec 3>&-
wait_for_change "$work/shown.rgb" "OK enabled"
window_picture "$window" "$artifacts/dialog-sk-ok-enabled.png"
press_enter
end_host
# The exit code comes back as its low byte: 1002 is 234.
zep_checks=$((zep_checks + 1))
[ "$host_status" -eq 234 ] || fail "OK: host exit code $host_status, expected 234 (1002): $(cat "$work/err.txt")"
zep_checks=$((zep_checks + 1))
tr -d '\r' <"$work/out.txt" | grep -qx 'result: 1002' || fail "OK: host printed $(cat "$work/out.txt")"
zep_checks=$((zep_checks + 1))
! find_window '^Aktualizácia$' || fail "OK: the window is still there"

# The worker's closing message ends it with 5.
start_host -lang 2
wait_until "no window with the caption \"Update\" appeared" find_window '^Update$'
echo close >&3
exec 3>&-
end_host
zep_checks=$((zep_checks + 1))
[ "$host_status" -eq 5 ] || fail "close: host exit code $host_status, expected 5"
zep_checks=$((zep_checks + 1))
! find_window '^Update$' || fail "close: the window is still there"

# A worker over the GUI pipe: each status it sends shows, id 2 enables OK and ends the listening, and
# Enter ends the loader's side. The worker waits for the test's go-ahead before each next message.
pipe="ZEPMaintenance_$$_1"
"$wine" "$host" -lang 1 -listen "$pipe" >"$work/out.txt" 2>"$work/err.txt" &
host_pid=$!
cat >"$work/worker.txt" <<STEPS
lang 1
pace 300
wait-for Z:$work/go0
text 6
wait-for Z:$work/go1
text 4
wait-for Z:$work/go2
send 4:Prístup odmietnutý
wait-for Z:$work/go3
send 2
STEPS
"$wine" "$peer" --pipe "$pipe" --script "Z:$work/worker.txt" >"$work/peer.txt" 2>&1 &
peer_pid=$!
wait_until_shown Aktualizácia
touch "$work/go0"
wait_for_change "$work/shown.rgb" "pipe: status Čakanie na ukončenie klientskej aplikácie"
touch "$work/go1"
wait_for_change "$work/shown.rgb" "pipe: status Kopírovanie nových súborov"
touch "$work/go2"
wait_for_change "$work/shown.rgb" "pipe: error detail"
window_picture "$window" "$artifacts/dialog-sk-pipe.png"
touch "$work/go3"
wait_for_change "$work/shown.rgb" "pipe: OK enabled by id 2" || echo "the worker's steps: $(cat "$work/peer.txt")" >&2
press_enter
end_host
zep_checks=$((zep_checks + 1))
[ "$host_status" -eq 234 ] || fail "pipe: host exit code $host_status, expected 234 (1002): $(cat "$work/err.txt")"
wait "$peer_pid"
peer_status=$?
peer_pid=
zep_checks=$((zep_checks + 1))
[ "$peer_status" -eq 0 ] || fail "pipe: the worker's messages did not all go: $(cat "$work/peer.txt")"

zep_finish
