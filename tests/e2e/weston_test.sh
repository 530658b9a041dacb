#!/usr/bin/env bash
# The real program as a native Wayland client of weston, which runs as a window
# of Xvfb: xdotool's pointer and keys reach the compositor, a screenshot of the
# X screen shows what it composed. What the client tells the compositor (title,
# app id, window geometry) is read from libwayland's protocol trace.
set -euo pipefail
BUILD="${1:-}"
. "$(dirname "$0")/../../tools/e2e-lib.sh"
command -v weston >/dev/null || { echo "SKIP: weston not installed"; exit 77; }
ls /usr/lib/*/libweston-*/x11-backend.so >/dev/null 2>&1 || { echo "SKIP: weston's x11 backend not installed"; exit 77; }
ls /usr/lib/*/qt6/plugins/platforms/libqwayland-generic.so >/dev/null 2>&1 ||
  { echo "SKIP: Qt's Wayland platform (qt6-wayland) not installed"; exit 77; }
# start_weston: a Wayland compositor shown as a window of the X display
# (NESTED_WIN), without panel or animations, on a black background; exports
# WAYLAND_DISPLAY.
NESTED_SIZE=1000x800
start_weston() {
  printf '%s\n' '[core]' 'idle-time=0' '[shell]' 'background-color=0xff000000' 'panel-position=none' \
    'locking=false' 'animation=none' 'close-animation=none' 'startup-animation=none' 'focus-animation=none' \
    >"$E2E_TMP/weston.ini"
  e2e_spawn weston '[ -S "$XDG_RUNTIME_DIR/karvolen-e2e" ] &&
    NESTED_WIN="$(xdotool search --classname "^weston" 2>/dev/null | head -n1)" && [ -n "$NESTED_WIN" ]' \
    weston --backend=x11-backend.so --use-pixman --width="${NESTED_SIZE%x*}" --height="${NESTED_SIZE#*x}" \
    --socket=karvolen-e2e --config="$E2E_TMP/weston.ini" && kill -0 "$E2E_PID" 2>/dev/null ||
    { echo "weston did not start" >&2; cat "$E2E_TMP/weston.log" >&2; return 1; }
  export WAYLAND_DISPLAY=karvolen-e2e
}
e2e_init
start_weston || fail "no compositor"

# wl_close: a click on the decoration's close button, at the title bar's
# right end, and the wait for the exit question's box to come up.
wl_close() {
  local boxes
  boxes="$(wl_boxes)"
  read -r fw fh fx fy < <(wl_frame)
  xdo mousemove $((fx + fw / 2)) $((fy + 15)) sleep 0.3 mousemove $((fx + fw - 17)) $((fy + 15)) sleep 0.3 click 1
  wait_until 10 '[ "$(wl_boxes)" -gt "$boxes" ]' || fail "no exit question"
  sleep 0.5
}

# The first copy's home (without a Pictures folder) is where the save dialog
# opens. Empty, it gives the file name completer nothing to offer: weston
# (from 11 on) hands the keyboard to the completer's popup, and keys typed
# while Qt (6.8) closes and opens that popup again are lost.
mkdir "$E2E_TMP/kept pictures" && saved="$E2E_TMP/kept pictures/screen 1.bmp"
HOME="$E2E_TMP/kept pictures" wl_start 1 "width=640;freeze=1;dump=$E2E_TMP/frame.ppm;log=$E2E_TMP/sim.log"
first=$VIEWER_PID
wl_wait 1 "set_title(\"$TITLE_COMMUNICATING\")" || fail "no Communicating title"
wl_wait 1 'set_app_id("karvolen-viewer")' 5 || fail "app id is $(wl_last 1 set_app_id)"
e2e_wait_log "reply sent" 2 || fail "no pictures"
echo "ok - Wayland: '$TITLE_COMMUNICATING', app id karvolen-viewer"

# The decoration is drawn around the 640x480 client area: equal borders at
# the sides and the bottom, the title bar on top. The pointer rests on the
# title bar, out of the picture.
wait_until 10 'w="$(wl_size)"; [ "${w%x*}" -gt 640 ] 2>/dev/null && [ "${w%x*}" -lt 700 ]' ||
  fail "window geometry $(wl_last 1 set_window_geometry): not laid out for 640"
read -r ww wh < <(wl_last 1 set_window_geometry | awk -F', ' '{print $3, $4}')
border=$(((ww - 640) / 2))
read -r fw fh fx fy < <(wl_frame)
[ "${fw}x${fh}" = "${ww}x${wh}" ] || fail "on screen ${fw}x${fh}, window geometry ${ww}x${wh}"
cx=$((fx + border)) cy=$((fy + wh - border - 480))
e2e_matches_dump root 8 "640x480+$cx+$cy" || fail "picture"
echo "ok - Wayland: 640x480 picture pixel for pixel, decoration $((ww - 640)) x $((wh - 480))"

# STOP/START with the mouse.
e2e_stop_start xdo_click wl_title "$cx" "$cy"
echo "ok - Wayland: STOP and START"

# F11 asks for the whole output, Escape for the size before; Ctrl+Shift+S and a
# name typed into the dialog save the picture as an 8-bit BMP in the folder
# it opens in.
before="$(wl_last 1 set_window_geometry)"
wl_key F11 '\.set_fullscreen('
wl_geometry "0, 0, ${NESTED_SIZE/x/, }" && wl_wait 1 '\.set_fullscreen(' 1 || fail "F11: $(wl_last 1 set_window_geometry)"
wl_key Escape '\.unset_fullscreen('
wl_geometry "$before" && wl_wait 1 '\.unset_fullscreen(' 1 || fail "Escape: $(wl_last 1 set_window_geometry), not $before"
wl_key ctrl+shift+s && wl_wait 1 "set_title(\"$TITLE_SAVE_PICTURE\")" 10 || fail "Ctrl+Shift+S: no dialog"
sleep 1
xdo key --clearmodifiers ctrl+a BackSpace type --delay 20 "$(basename "$saved")"
xdo key --clearmodifiers Return
wait_until 10 '[ -s "$saved" ]' || true
[ "$(od -An -tu2 -j28 -N2 "$saved" 2>/dev/null | tr -d ' ')" = 8 ] || fail "no 8-bit BMP"
[ "$(e2e_pixels_differ "$saved" "$E2E_TMP/frame.ppm")" = 0 ] || fail "saved pixels differ"
echo "ok - Wayland: full screen in and out, picture saved as BMP through the dialog pixel for pixel"

# A drag of the bottom-right corner towards 20x20 stops at 100x100 outside,
# the decoration's border and title bar included. The pointer enters the
# window first: the decoration takes a press as the start of a resize only
# where it has seen the pointer.
least=100
read -r fw fh fx fy < <(wl_frame)
xdo mousemove $((fx + fw / 2)) $((fy + 4)) sleep 0.3 mousemove $((fx + fw - 2)) $((fy + fh - 2)) sleep 0.3 mousedown 1
xdo mousemove $((fx + 60)) $((fy + 60)) sleep 0.2 mousemove $((fx + 20)) $((fy + 20)) sleep 0.2 mouseup 1
wait_until 5 '[ "$(wl_size)" = ${least}x$least ]' || fail "window geometry after the drag: $(wl_last 1 set_window_geometry)"
read -r fw fh fx fy < <(wl_frame)
[ "${fw}x${fh}" = "${least}x$least" ] || fail "on screen ${fw}x${fh} after the drag"
echo "ok - Wayland: minimum outer size ${least}x$least"

# The exit question, from the decoration's close button: Cancel keeps polling.
wl_close
wl_key Escape
e2e_polls_on "$first" Cancel
echo "ok - Wayland: exit question, Cancel"

# A second copy is refused without touching the link.
wl_start 2 "log=$E2E_TMP/sim2.log"
wl_wait 2 "set_title(\"$TITLE_START_UP_ERROR\")" || fail "second copy not refused"
[ ! -s "$E2E_TMP/sim2.log" ] || fail "second copy touched the link"
kill -KILL "$VIEWER_PID"
VIEWER_PID=$first
kill -0 "$first" || fail "first copy gone"
echo "ok - Wayland: second copy refused"

# The exit question again: OK ends the program in order.
wl_close
wl_key Return
e2e_ends_in_order "$first" OK
echo "ok - Wayland: exit question, OK: exit 0, link reset, lock released"

# SIGTERM: the exit in order, without a question.
: >"$E2E_TMP/sim.log"
wl_start 3 "log=$E2E_TMP/sim.log"
wl_wait 3 "set_title(\"$TITLE_COMMUNICATING\")" || fail "restart"
e2e_wait_log "reply sent" 1 || fail "restart: no pictures"
kill -TERM "$VIEWER_PID"
e2e_ends_in_order "$VIEWER_PID" SIGTERM
grep -q "set_title(\"$TITLE_STOPPING\")" "$E2E_TMP/viewer-3.log" || fail "SIGTERM: no '$TITLE_STOPPING'"
echo "ok - Wayland: SIGTERM: '$TITLE_STOPPING', exit 0, link reset, lock released"
