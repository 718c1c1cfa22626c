# Shared helpers of the tests that look at windows: an Xvfb server of the test's own, and screenshots.
# Usage from a test: source xvfb.sh; xvfb_start WORKDIR || skip; ...; xvfb_stop

# Starts Xvfb on the first free display and exports DISPLAY; fails when Xvfb cannot start.
xvfb_start() {
    local work=$1
    command -v Xvfb >/dev/null || return 1
    : >"$work/xvfb-display"
    # -displayfd picks a free display number and writes it back: no race with another test's server.
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/xvfb-display" >"$work/xvfb.log" 2>&1 &
    xvfb_pid=$!
    local _
    for _ in $(seq 300); do
        if grep -q . "$work/xvfb-display"; then
            export DISPLAY=":$(head -n 1 "$work/xvfb-display")"
            return 0
        fi
        kill -0 "$xvfb_pid" 2>/dev/null || break
        sleep 0.1
    done
    return 1
}

xvfb_stop() {
    if [ -n "${xvfb_pid:-}" ]; then
        kill "$xvfb_pid" 2>/dev/null
        wait "$xvfb_pid" 2>/dev/null
        xvfb_pid=
    fi
}

# The X window's place on the screen as WIDTHxHEIGHT+X+Y, for import's -crop.
window_area() {
    local X Y WIDTH HEIGHT
    eval "$(xdotool getwindowgeometry --shell "$1" 2>/dev/null | grep -E '^(X|Y|WIDTH|HEIGHT)=[0-9]+$')"
    [ -n "${WIDTH:-}" ] && echo "${WIDTH}x${HEIGHT}+${X}+${Y}"
}

# The window's pixels as raw RGB on standard output, for comparing two moments byte by byte.
window_pixels() {
    local area
    area=$(window_area "$1") || return 1
    import -silent -window root -crop "$area" +repage rgb:-
}

# The lowest PERCENT of the window's rows as raw RGB: the progress dialog's OK button and nothing else
# at 30, so that a new status line does not count as a change there.
window_bottom_pixels() {
    local X Y WIDTH HEIGHT part
    eval "$(xdotool getwindowgeometry --shell "$1" 2>/dev/null | grep -E '^(X|Y|WIDTH|HEIGHT)=[0-9]+$')"
    [ -n "${WIDTH:-}" ] || return 1
    part=$((HEIGHT * $2 / 100))
    import -silent -window root -crop "${WIDTH}x${part}+${X}+$((Y + HEIGHT - part))" +repage rgb:-
}

# Saves the window as a PNG picture.
window_picture() {
    local area
    area=$(window_area "$1") || return 1
    import -silent -window root -crop "$area" +repage "$2"
}
