#!/usr/bin/env bash
# The real program under a real X11 window manager (openbox in Xvfb): frame,
# size hints and focus are the window manager's, as on a desktop.
set -euo pipefail
BUILD="${1:-}"
. "$(dirname "$0")/../../tools/e2e-lib.sh"
command -v openbox >/dev/null || { echo "SKIP: openbox not installed"; exit 77; }
# outer_size WINDOW: the visible outer size, client area plus the frame
# the window manager reports, as WxH.
outer_size() {
  local w h l r t b
  read -r w h < <(xwininfo -id "$1" | awk '/^ *Width:/ {w = $2} /^ *Height:/ {h = $2} END {print w, h}')
  IFS=, read -r l r t b < <(xprop -id "$1" _NET_FRAME_EXTENTS | sed -n 's/.*= //p' | tr -d ' ') || true
  echo "$((w + ${l:-0} + ${r:-0}))x$((h + ${t:-0} + ${b:-0}))"
}

E2E_SCREEN="${E2E_SCREEN:-1920x1080x24}"
e2e_init
e2e_start_openbox || fail "no window manager"

e2e_polling "width=640;freeze=1;dump=$E2E_TMP/frame.ppm" 15 "reply sent" 2
first=$VIEWER_PID win=$WIN
size="$(xwininfo -id "$win" | sed -n 's/^ *Width: //p')x$(xwininfo -id "$win" | sed -n 's/^ *Height: //p')"
[ "$size" = "640x480" ] || fail "client area is $size, not 640x480"
e2e_matches_dump "$win" || fail "picture"
echo "ok - framed window, 640x480 client area, picture pixel for pixel"

# STOP/START with the mouse, through the frame's coordinates.
e2e_click "$win" 300 200
e2e_click_button "$win" "$TITLE_PAUSED" || fail "STOP did not pause"
e2e_click_button "$win" "$TITLE_COMMUNICATING" || fail "START did not resume"
echo "ok - STOP and START"

# F11 fills the screen, Escape gives back size and place; Ctrl+Shift+S and a name
# (spaces, no suffix) typed into the dialog save the picture as a palette PNG.
place() { xwininfo "$@" | awk '/Absolute upper-left [XY]:|^ *Width:|^ *Height:/ {printf "%s ", $NF}'; }
at() { wait_until 5 "[ \"\$(place -id $1)\" = '$2' ]"; }
before="$(place -id "$win")"
xdo windowfocus "$win" key --clearmodifiers F11
at "$win" "$(place -root)" || fail "F11: at $(place -id "$win"), not $(place -root)"
xdo key --clearmodifiers Escape
at "$win" "$before" || fail "Escape: at $(place -id "$win"), not $before"
mkdir "$E2E_TMP/kept pictures" && saved="$E2E_TMP/kept pictures/Bild 1"
xdo key --clearmodifiers ctrl+shift+s && dialog="$(e2e_wait "$TITLE_SAVE_PICTURE")" || fail "Ctrl+Shift+S: no dialog"
# The window manager gives the new dialog the focus (xdotool 3.2021's
# windowfocus fails on it).
wait_until 5 '[ "$(xdotool getactivewindow 2>/dev/null)" = "$dialog" ]' || fail "the dialog has no focus"
e2e_x11_dialog "the save dialog" "$dialog"
e2e_centred "the save dialog" "$(place -id "$dialog")" "$(place -id "$win")"
sleep 0.5  # until its name field takes keys
xdo key --clearmodifiers ctrl+a BackSpace type --delay 20 "$saved" || fail "typing into the dialog failed"
sleep 0.3 && xdo key --clearmodifiers Return  # the name field's completion settles first
wait_until 10 '[ -s "$saved.png" ]' || true
[ "$(identify -format '%[png:IHDR.color-type-orig] %wx%h' "$saved.png")" = "3 640x480" ] || fail "no palette PNG"
[ "$(e2e_pixels_differ "$saved.png" "$E2E_TMP/frame.ppm")" = 0 ] || fail "saved pixels differ"
echo "ok - full screen in and out, picture saved through the dialog pixel for pixel"

# differ_in WxH+X+Y: pixels in that part of the window other than the dump's.
differ_in() {
  import -window "$win" -crop "$1" +repage "$E2E_TMP/part.png" && convert "$E2E_TMP/frame.ppm" -crop "$1" +repage "$E2E_TMP/want.png" &&
    e2e_pixels_differ "$E2E_TMP/part.png" "$E2E_TMP/want.png"
}
# Ctrl+S saves at once beside the last save; Ctrl+R records into the GIF its
# dialog names, with a mark over the top-right corner and nowhere else.
xdo key --clearmodifiers ctrl+s
wait_until 5 'quick="$(ls "$E2E_TMP/kept pictures"/quellbar-*.png 2>/dev/null)" && [ -s "$quick" ]' || fail "Ctrl+S saved nothing"
[ "$(e2e_pixels_differ "$quick" "$E2E_TMP/frame.ppm")" = 0 ] || fail "quick save: pixels differ"
recording="$E2E_TMP/kept pictures/run"
xdo key --clearmodifiers ctrl+r && dialog="$(e2e_wait "$TITLE_RECORD")" || fail "Ctrl+R: no dialog"
wait_until 5 '[ "$(xdotool getactivewindow 2>/dev/null)" = "$dialog" ]' || fail "the dialog has no focus"
sleep 0.5
xdo key --clearmodifiers ctrl+a BackSpace type --delay 20 "$recording" || fail "typing into the dialog failed"
sleep 0.3 && xdo key --clearmodifiers Return
wait_until 10 '[ -s "$recording.gif" ] && [ "$(differ_in 120x40+520+0)" != 0 ]' || fail "no recording, or no mark"
[ "$(differ_in 640x400+0+40)" = 0 ] || fail "the picture is not the device's while recording"
echo "ok - saved at once pixel for pixel, recording with its mark"

# The exit question: Cancel keeps polling, then the second copy is refused.
wmctrl -i -c "$win"
box="$(e2e_wait "$TITLE_APP")" || fail "no exit question"
e2e_x11_dialog "the exit question" "$box"
e2e_centred "the exit question" "$(place -id "$box")" "$(place -id "$win")"
e2e_answer "$TITLE_APP" Escape >/dev/null || fail "no exit question"
e2e_polls_on "$first" Cancel
echo "ok - exit question, Cancel"
e2e_second_copy_refused "$first"
echo "ok - second copy refused"

# A drag of the bottom-right corner towards 20x20 stops at 100x100 outside.
x="$(xwininfo -id "$win" | sed -n 's/^ *Absolute upper-left X: *//p')"
y="$(xwininfo -id "$win" | sed -n 's/^ *Absolute upper-left Y: *//p')"
IFS=, read -r l r t b <<<"$(xprop -id "$win" _NET_FRAME_EXTENTS | sed -n 's/.*= //p' | tr -d ' ')"
xdo mousemove $((x + 640 + r - 1)) $((y + 480 + b - 1)) mousedown 1
xdo mousemove $((x - l + 60)) $((y - t + 60)) sleep 0.2 mousemove $((x - l + 20)) $((y - t + 20)) sleep 0.2 mouseup 1
wait_until 5 '[ "$(outer_size "$win")" = 100x100 ]' || fail "outer size after the drag is $(outer_size "$win")"
echo "ok - minimum outer size 100x100"

# The exit question again: OK ends the program in order.
wmctrl -i -c "$win"
e2e_answer "$TITLE_APP" Return >/dev/null || fail "no exit question"
e2e_ends_in_order "$first" OK
echo "ok - exit question, OK: exit 0, link reset, lock released"
[ "$(identify -format '%n %wx%h\n' "$recording.gif" | head -n1)" = "1 640x480" ] || fail "recording: not one 640x480 frame"
convert "$recording.gif[0]" "$E2E_TMP/recorded.png" || fail "recording unreadable"
[ "$(e2e_pixels_differ "$E2E_TMP/recorded.png" "$E2E_TMP/frame.ppm")" = 0 ] || fail "recorded pixels differ"
echo "ok - the exit completed the recording, pixel for pixel"

# A device that stops answering (two drains that each wait out the link's
# 5 s) leaves the title "Communicating": a note in the bottom-left corner
# says how old the picture is.
: >"$E2E_TMP/sim.log"
e2e_polling "width=640;freeze=1;dump=$E2E_TMP/frame.ppm;faults=nosig:32768@3,nosig:32768@4" 15 "reply sent" 2
win=$WIN
wait_until 15 '[ "$(differ_in 200x40+0+440)" != 0 ]' || fail "no note on an old picture"
[ "$(differ_in 640x400+0+0)" = 0 ] && [ "$(xdotool getwindowname "$win")" = "$TITLE_COMMUNICATING" ] || fail "old picture"
echo "ok - an old picture's note"

# SIGTERM: the exit in order, without a question.
kill -TERM "$VIEWER_PID"
e2e_ends_in_order "$VIEWER_PID" SIGTERM
echo "ok - SIGTERM: exit 0, link reset, lock released"
