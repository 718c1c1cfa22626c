#!/usr/bin/env bash
# The Windows dialog as a user sees it, under Wine on an X server of the test's own: the window with
# its Slovak caption, each change on screen, Enter doing nothing until OK is enabled, then ending it
# with 1002; the worker's closing message ending it with 5. Screenshots are kept in ARTIFACTS.
# Usage: dialog_wine_test.sh <zep_dialog_host.exe> <artifacts folder>
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/xvfb.sh"
host=$1
artifacts=$2
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

# wait_until DESCRIPTION COMMAND...: runs COMMAND until it succeeds, for at most a minute.
wait_until() {
    local what=$1 _
    shift
    zep_checks=$((zep_checks + 1))
    for _ in $(seq 600); do
        "$@" && return 0
        sleep 0.1
    done
    fail "$what"
    return 1
}

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
wait_for_change() {
    wait_until "$2: the window never changed" looks_different "$1" &&
        wait_until "$2: the window kept changing" looks_settled &&
        cp "$work/now.rgb" "$1"
}

start_host() {
    rm -f "$work/steps"
    mkfifo "$work/steps"
    "$wine" "$host" "$@" - <"$work/steps" >"$work/out.txt" 2>"$work/err.txt" &
    host_pid=$!
    exec 3>"$work/steps"
}

end_host() {
    wait "$host_pid"
    host_status=$?
    host_pid=
}

# Slovak: the caption is "Aktualizácia" once the language is set.
start_host -lang 1
wait_until "no window with the caption \"Aktualizácia\" appeared" find_window '^Aktualizácia$'
# Each change is then seen against what the window showed before it.
wait_until "the window was never painted" looks_painted
wait_until "the window kept changing" looks_settled
cp "$work/now.rgb" "$work/shown.rgb"
echo "status-id 4" >&3
wait_for_change "$work/shown.rgb" "status Kopírovanie nových súborov"
echo "detail Chýba súbor ZEPMaintenance.exe" >&3
wait_for_change "$work/shown.rgb" "error detail"
window_picture "$window" "$artifacts/dialog-sk.png"

# xdotool's complaints about the missing window manager go to a file.
press_enter() {
    xdotool key --window "$window" Return 2>>"$work/xdotool.log"
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
# The key's release finds the window gone.
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

zep_finish
