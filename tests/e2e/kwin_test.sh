#!/usr/bin/env bash
# The real program under KWin, whose frame (Breeze) is the compositor's:
#   kwin_test.sh BUILD wayland   native Wayland client of kwin_wayland
#   kwin_test.sh BUILD xwayland  X11 client of kwin_wayland, through its Xwayland
#   kwin_test.sh BUILD x11       X11 client of kwin_x11 managing the X display
# kwin_wayland runs as a window of its own Xvfb, where xdotool's pointer and
# keys reach it and a screenshot of the X screen shows what it composed.
# Save As is the desktop's chooser, served by the KDE portal in another
# process on a private session bus. With E2E_SHOTS=DIR, the exit question and
# the chooser over the window are kept there as screenshots.
set -euo pipefail
BUILD="${1:-}"
MODE="${2:-}"
. "$(dirname "$0")/../../tools/e2e-lib.sh"
case "$MODE" in
  wayland | xwayland) KWIN=kwin_wayland ;;
  x11) KWIN=kwin_x11 ;;
  *) echo "usage: $0 BUILD wayland|xwayland|x11" >&2 && exit 2 ;;
esac
skip() { echo "SKIP: $* not installed"; exit 77; }
command -v "$KWIN" >/dev/null || skip "$KWIN"
command -v dbus-daemon >/dev/null || skip "dbus-daemon"
ls /usr/lib/*/qt*/plugins/org.kde.kdecoration*/*breeze*.so >/dev/null 2>&1 || skip "KWin's Breeze decoration (kwin-style-breeze)"
[ -x /usr/libexec/xdg-desktop-portal ] || skip "xdg-desktop-portal"
[ -e /usr/share/xdg-desktop-portal/portals/kde.portal ] || skip "xdg-desktop-portal-kde"
ls /usr/lib/*/qt6/plugins/platformthemes/libqxdgdesktopportal.so >/dev/null 2>&1 ||
  skip "Qt's portal theme (qt6-xdgdesktopportal-platformtheme)"
if [ "$KWIN" = kwin_wayland ]; then
  command -v Xwayland >/dev/null || skip "Xwayland"
  [ "$MODE" != wayland ] || ls /usr/lib/*/qt6/plugins/platforms/libqwayland-generic.so >/dev/null 2>&1 ||
    skip "Qt's Wayland platform (qt6-wayland)"
fi

# An X display of our own: KWin takes the pointer, the keyboard focus and
# (kwin_x11) the window management of all of it.
E2E_XVFB_STATE="" E2E_SCREEN=1280x1024x24
e2e_init
SCREEN_DISPLAY=$DISPLAY
SHOT_NAME="$KWIN-$([ "$MODE" = wayland ] && echo wayland || echo x11)"
# Nothing of the user's: KDE's configuration, caches and portals' state are
# this run's. No animations, and windows without shadows, so that a window's
# bounds on the black screen are its frame's.
export HOME="$E2E_TMP/home" XDG_CONFIG_HOME="$E2E_TMP/config" XDG_CACHE_HOME="$E2E_TMP/cache"
export XDG_DATA_HOME="$E2E_TMP/data" XDG_STATE_HOME="$E2E_TMP/state" XDG_CURRENT_DESKTOP=KDE
mkdir -p "$HOME" "$XDG_CONFIG_HOME/xdg-desktop-portal"
printf '%s\n' '[KDE]' 'AnimationDurationFactor=0' >"$XDG_CONFIG_HOME/kdeglobals"
printf '%s\n' '[Common]' 'ShadowSize=ShadowNone' >"$XDG_CONFIG_HOME/breezerc"
# KDE's portal for every interface (the portal version that reads this file;
# older ones choose by XDG_CURRENT_DESKTOP).
printf '%s\n' '[preferred]' 'default=kde' >"$XDG_CONFIG_HOME/xdg-desktop-portal/portals.conf"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/bus"
e2e_spawn dbus '[ -S "$XDG_RUNTIME_DIR/bus" ]' dbus-daemon --session --nofork --address="$DBUS_SESSION_BUS_ADDRESS" &&
  kill -0 "$E2E_PID" 2>/dev/null || fail "no session bus: $(cat "$E2E_TMP/dbus.log")"

# scr COMMAND...: COMMAND on the X screen KWin shows (pointer, keys, pictures).
scr() { DISPLAY=$SCREEN_DISPLAY "$@"; }
# shot NAME: with E2E_SHOTS, what KWin shows kept there.
shot() {
  [ -n "${E2E_SHOTS:-}" ] || return 0
  mkdir -p "$E2E_SHOTS"
  scr import -window root -crop "${NESTED_SIZE}+0+0" +repage "$E2E_SHOTS/$SHOT_NAME-$1.png" 2>/dev/null ||
    echo "note: no $1 screenshot" >&2
}
# place [-id WIN | -root]: "X Y W H" of a window's client area.
place() { xwininfo "$@" | awk '/Absolute upper-left [XY]:|^ *Width:|^ *Height:/ {printf "%s ", $NF} END {print ""}'; }
# portal_env NAME=VALUE...: the environment in which the bus starts the portals.
portal_env() { dbus-update-activation-environment "$@" || fail "the bus took no environment"; }

if [ "$KWIN" = kwin_wayland ]; then
  # Nested as a window of the X display, painting in software (Xvfb has no
  # GL); the executable's file capability stops it here, a plain copy of the
  # same name does not.
  NESTED_SIZE=1280x960
  mkdir "$E2E_TMP/bin" && cp "$(command -v kwin_wayland)" "$E2E_TMP/bin/kwin_wayland"
  printf '#!/bin/sh\necho "$DISPLAY" >"%s/xwayland"\n' "$E2E_TMP" >"$E2E_TMP/bin/xwayland-up" && chmod +x "$E2E_TMP/bin/xwayland-up"
  export WAYLAND_DISPLAY=karvolen-e2e
  e2e_spawn kwin '[ -s "$E2E_TMP/xwayland" ] && [ -S "$XDG_RUNTIME_DIR/$WAYLAND_DISPLAY" ] &&
    NESTED_WIN="$(xwininfo -root -children 2>/dev/null | awk "/Wayland Compositor/ {print \$1; exit}")" && [ -n "$NESTED_WIN" ]' \
    env KWIN_COMPOSE=Q QT_LOGGING_RULES=kwin_scripting.debug=true "$E2E_TMP/bin/kwin_wayland" --x11-display "$DISPLAY" --width "${NESTED_SIZE%x*}" \
    --height "${NESTED_SIZE#*x}" --socket "$WAYLAND_DISPLAY" --xwayland "$E2E_TMP/bin/xwayland-up" &&
    kill -0 "$E2E_PID" 2>/dev/null || fail "kwin_wayland did not start: $(tail -n 20 "$E2E_TMP/kwin.log")"
  XWAYLAND_DISPLAY="$(cat "$E2E_TMP/xwayland")"
  # The KDE portal's chooser as an X11 client of KWin's Xwayland, where its
  # title, owner and parent can be read (Qt 5's Wayland platform is not
  # installed here anyway).
  portal_env DISPLAY="$XWAYLAND_DISPLAY" WAYLAND_DISPLAY="$WAYLAND_DISPLAY" XDG_SESSION_TYPE=wayland QT_QPA_PLATFORM=xcb
else
  NESTED_SIZE="${E2E_SCREEN%x*}" # the whole screen
  xprop -root -remove _NET_SUPPORTING_WM_CHECK 2>/dev/null || true
  e2e_spawn kwin "xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'" kwin_x11 &&
    kill -0 "$E2E_PID" 2>/dev/null || fail "kwin_x11 did not start: $(tail -n 20 "$E2E_TMP/kwin.log")"
  portal_env DISPLAY="$DISPLAY" XDG_SESSION_TYPE=x11 QT_QPA_PLATFORM=xcb
fi
echo "ok - $KWIN $(dpkg-query -W -f '${Version}' "${KWIN/_/-}" 2>/dev/null) with Breeze, a session bus and the KDE portal"

# The Save As chooser: KDE's, in the portal's process, on the display
# CHOOSER_DISPLAY; a person picks the BMP type (Tab to the type, Down, back
# to the name) and types a bare name, which lands in the folder it opened
# in: the home folder, as there is no Pictures folder.
saved="$HOME/screen 1.bmp"
save_through_chooser() {
  local chooser="" pid
  wait_until 20 'chooser="$(DISPLAY=$CHOOSER_DISPLAY xdotool search --onlyvisible --name "^$TITLE_SAVE_PICTURE" 2>/dev/null | head -n1)"; [ -n "$chooser" ]' ||
    fail "Ctrl+Shift+S: no window '$TITLE_SAVE_PICTURE...' from the portal"
  pid="$(DISPLAY=$CHOOSER_DISPLAY xdotool getwindowpid "$chooser" 2>/dev/null)" || true
  case "$(cat "/proc/${pid:-0}/cmdline" 2>/dev/null | tr '\0' ' ')" in
    *xdg-desktop-portal-kde*) ;;
    *) fail "the chooser is not the KDE portal's (process ${pid:-unknown})" ;;
  esac
  echo "# chooser: '$(DISPLAY=$CHOOSER_DISPLAY xdotool getwindowname "$chooser")'," \
    "$(DISPLAY=$CHOOSER_DISPLAY xprop -id "$chooser" WM_TRANSIENT_FOR)"
  # Typed a dialog and over the window (main_place: its X Y W H on screen),
  # as far as the screen lets a chooser that large be centred. KDE's chooser
  # takes its size after KWin has placed it: up to 70 px off centre (64
  # and 58 seen with KWin 5.27), against hundreds for a loose one.
  DISPLAY=$CHOOSER_DISPLAY e2e_x11_dialog "the chooser" "$chooser"
  e2e_centred "the chooser" "$(DISPLAY=$CHOOSER_DISPLAY place -id "$chooser")" "$(main_place)" "$NESTED_SIZE" 70
  wait_until 10 '[ "$(DISPLAY=$CHOOSER_DISPLAY xdotool getactivewindow 2>/dev/null)" = "$chooser" ]' ||
    fail "the chooser has no focus"
  sleep 1 # until its name field takes keys
  shot save
  scr xdo key --clearmodifiers Tab sleep 0.3 key Down sleep 0.3 key shift+Tab sleep 0.3 key ctrl+a BackSpace
  scr xdo type --delay 20 "$(basename "$saved" .bmp)" && sleep 0.3 && scr xdo key --clearmodifiers Return
  wait_until 10 '[ -s "$saved" ]' || fail "nothing saved as '$saved': $(ls "$HOME")"
  [ "$(od -An -tu2 -j28 -N2 "$saved" | tr -d ' ')" = 8 ] || fail "no 8-bit BMP"
  [ "$(e2e_pixels_differ "$saved" "$E2E_TMP/frame.ppm")" = 0 ] || fail "saved pixels differ"
}

# kwin_windows: KWin's own view of its windows, one a line: "KIND X Y W H
# CAPTION", X Y W H its frame and KIND "normal", "dialog" (typed so, or
# modal) or "transient" (only that); a script run in KWin prints them into
# its log.
kwin_windows() {
  local n id
  # Numbered by the queries before: it runs in a subshell of its caller.
  n=$(($(find "$E2E_TMP" -maxdepth 1 -name 'query-*.js' | wc -l) + 1))
  printf '%s\n' 'const all = workspace.windowList ? workspace.windowList() : workspace.clientList();' \
    'for (const w of all) { const g = w.frameGeometry;' \
    '  const kind = w.dialog || w.modal ? "dialog" : w.transient ? "transient" : "normal";' \
    "  print(\"e2e-$n \" + [kind, g.x, g.y, g.width, g.height].map(v => typeof v === 'number' ? Math.round(v) : v).join(\" \") + \" \" + w.caption); }" \
    >"$E2E_TMP/query-$n.js"
  id="$(gdbus call --session --dest org.kde.KWin --object-path /Scripting --method org.kde.kwin.Scripting.loadScript \
    "$E2E_TMP/query-$n.js" "e2e-$n" | tr -d '(),' | awk '{print $NF}')" || return 1
  # The script's object: /Scripting/ScriptN from KWin 6 on, /N before.
  gdbus call --session --dest org.kde.KWin --object-path "/Scripting/Script$id" --method org.kde.kwin.Script.run >/dev/null 2>&1 ||
    gdbus call --session --dest org.kde.KWin --object-path "/$id" --method org.kde.kwin.Script.run >/dev/null || return 1
  wait_until 5 'grep -q "e2e-$n " "$E2E_TMP/kwin.log"' || return 1
  grep -o "e2e-$n .*" "$E2E_TMP/kwin.log" | cut -d' ' -f2- | sed 's/"$//'
}
# kwin_window CAPTION [prefix]: "KIND X Y W H" of the window so captioned
# (or whose caption starts so) in kwin_windows' lines on standard input.
kwin_window() {
  awk -v t="$1" -v prefix="${2:-}" '{ c = $0; for (i = 1; i <= 5; i++) sub(/^[^ ]* /, "", c) }
    c == t || (prefix != "" && index(c, t) == 1) { print $1, $2, $3, $4, $5; exit }'
}

if [ "$MODE" = wayland ]; then
  CHOOSER_DISPLAY=$XWAYLAND_DISPLAY
  # Where the window is, measured before a dialog covers part of the screen.
  main_place() { echo "$main_at"; }
  wl_start 1 "width=640;freeze=1;dump=$E2E_TMP/frame.ppm;log=$E2E_TMP/sim.log"
  first=$VIEWER_PID
  wl_wait 1 "set_title(\"$TITLE_COMMUNICATING\")" || fail "no Communicating title"
  wl_wait 1 'set_app_id("karvolen-viewer")' 5 || fail "app id is $(wl_last 1 set_app_id)"
  wl_wait 1 'zxdg_toplevel_decoration_v1[@#][0-9]*\.configure(2)' 5 || fail "KWin does not decorate the window"
  e2e_wait_log "reply sent" 2 || fail "no pictures"
  echo "ok - Wayland: '$TITLE_COMMUNICATING', app id karvolen-viewer, the compositor's frame"

  # The frame (title bar, any borders) around the 640x480 window; the
  # picture inside it pixel for pixel.
  wl_geometry "0, 0, 640, 480" || fail "window geometry $(wl_last 1 set_window_geometry), not 640x480"
  # frame: FW FH FX FY on screen, SIDE and TOP the frame's border and title
  # bar, once they fit the window: KWin now and then shows a new window's
  # first frame elsewhere and repaints that place a moment later.
  # "frame exact", once SIDE and TOP are known, waits until the screen shows
  # the window at its last size in that frame: KWin paints in software here,
  # and under load a screenshot can still show a size from the drag before.
  frame() {
    local w h
    if [ "${1:-}" = exact ]; then
      wait_until 15 'read -r w h < <(wl_size | tr x " "); read -r fw fh fx fy < <(wl_frame)
        [ "$fw" = $((w + 2 * side)) ] && [ "$fh" = $((h + top + side)) ]' ||
        fail "on screen ${fw}x${fh} at $fx,$fy, not the ${w}x${h} window in its frame (borders $side, title bar $top)"
      return 0
    fi
    read -r w h < <(wl_size | tr x ' ')
    wait_until 5 'read -r fw fh fx fy < <(wl_frame); side=$(((fw - w) / 2)) top=$((fh - h - (fw - w) / 2))
      [ "$side" -ge 0 ] && [ "$side" -le 20 ] && [ "$top" -ge 10 ] && [ "$top" -le 80 ]' ||
      fail "on screen ${fw}x${fh} at $fx,$fy: no frame around the ${w}x${h} window"
  }
  frame
  cx=$((fx + side)) cy=$((fy + top))
  e2e_matches_dump root 8 "640x480+$cx+$cy" || fail "picture"
  echo "ok - Wayland: 640x480 picture pixel for pixel in a ${fw}x${fh} frame (title bar $top, borders $side)"

  # STOP/START with the mouse; the context menu's first entry stops too.
  e2e_stop_start xdo_click wl_title "$cx" "$cy"
  popups() { grep -c -- '-> xdg_surface[@#][0-9]*\.get_popup(' "$E2E_TMP/viewer-1.log" || true; }
  menus="$(popups)"
  xdo mousemove $((cx + 320)) $((cy + 240)) click 3
  wait_until 5 '[ "$(popups)" -gt "$menus" ]' || fail "right click: no context menu"
  sleep 0.5
  xdo key --clearmodifiers Down Return
  wl_title "$TITLE_PAUSED" || fail "the context menu's first entry did not stop"
  # A click on the picture shows the button again.
  xdo mousemove $((cx + 300)) $((cy + 200)) click 1 sleep 0.3
  xdo mousemove $((cx + BUTTON_LEFT + BUTTON_WIDTH / 2)) $((cy + BUTTON_TOP + BUTTON_HEIGHT / 2)) click 1
  wl_title "$TITLE_COMMUNICATING" || fail "START did not resume"
  echo "ok - Wayland: STOP and START, by the button and by the context menu"

  # F11 asks for the whole output, Escape for the size before.
  wl_key F11 '\.set_fullscreen('
  wl_geometry "0, 0, ${NESTED_SIZE/x/, }" || fail "F11: $(wl_last 1 set_window_geometry)"
  wl_key Escape '\.unset_fullscreen('
  wl_geometry "0, 0, 640, 480" || fail "Escape: $(wl_last 1 set_window_geometry), not 640x480"
  echo "ok - Wayland: full screen in and out"

  frame exact
  main_at="$fx $fy $fw $fh"
  wl_key ctrl+shift+s
  if e2e_qt_at_least 6.5; then
    # Save As: KDE's chooser, in the portal's process, not a dialog of the viewer.
    save_through_chooser
    ! grep -q "set_title(\"$TITLE_SAVE_PICTURE" "$E2E_TMP/viewer-1.log" || fail "Save As opened Qt's own dialog"
    echo "ok - Wayland: picture saved as BMP through KDE's chooser pixel for pixel"
  else
    # Qt's own dialog, attached to the window; a name typed with its suffix.
    wl_wait 1 "set_title(\"$TITLE_SAVE_PICTURE\")" 10 || fail "Ctrl+Shift+S: no dialog"
    wl_parented 1 "$TITLE_SAVE_PICTURE" || fail "the save dialog has no parent"
    sleep 1
    windows="$(kwin_windows)" || fail "KWin ran no script: $(tail -n 5 "$E2E_TMP/kwin.log")"
    read -r dialog_kind dialog_at <<<"$(kwin_window "$TITLE_SAVE_PICTURE" <<<"$windows")"
    [ "$dialog_kind" = transient ] || [ "$dialog_kind" = dialog ] || fail "KWin takes the save dialog for a ${dialog_kind:-missing} window"
    e2e_centred "the save dialog" "$dialog_at" "$main_at"
    shot save
    xdo key --clearmodifiers ctrl+a BackSpace type --delay 20 "$(basename "$saved")"
    xdo key --clearmodifiers Return
    wait_until 10 '[ -s "$saved" ]' || fail "nothing saved as '$saved'"
    [ "$(od -An -tu2 -j28 -N2 "$saved" | tr -d ' ')" = 8 ] || fail "no 8-bit BMP"
    [ "$(e2e_pixels_differ "$saved" "$E2E_TMP/frame.ppm")" = 0 ] || fail "saved pixels differ"
    echo "ok - Wayland: picture saved as BMP through Qt's dialog, attached, pixel for pixel (Qt before 6.5)"
  fi

  # A drag of the bottom-right corner towards 20x20 stops at a 100x100
  # window, the frame (the compositor's, unknown to the client) outside it:
  # after full screen, and again after maximised (a double click on the
  # title bar) and back. A drag outwards makes room for the next steps.
  drag_corner() {
    frame exact
    xdo mousemove $((fx + fw / 2)) $((fy + fh / 2)) sleep 0.3 mousemove $((fx + fw)) $((fy + fh)) sleep 0.3 mousedown 1
    xdo mousemove $((fx + $1 / 2)) $((fy + $2 / 2)) sleep 0.2 mousemove $((fx + $1)) $((fy + $2)) sleep 0.2 mouseup 1
  }
  # KWin 6 holds a Wayland window at 150 x 150 at least (seen with 6.3);
  # 5.27 leaves the viewer's own 100 x 100.
  least=100
  [ "$(dpkg-query -W -f '${Version}' kwin-wayland | sed 's/^[0-9]*://; s/\..*//')" -lt 6 ] || least=150
  # The waits are long: on a busy machine KWin takes seconds to end a drag.
  shrink() {
    drag_corner 20 20
    wait_until 15 '[ "$(wl_size)" = ${least}x$least ]' || fail "$1: window geometry after the drag: $(wl_last 1 set_window_geometry)"
    frame exact
    [ "${fw}x${fh}" = "$((least + 2 * side))x$((least + top + side))" ] || fail "$1: on screen ${fw}x${fh} after the drag"
    smallest="${fw}x${fh}"
    drag_corner 640 520
    wait_until 15 '[ "$(wl_size | cut -dx -f1)" -gt 500 ]' || fail "$1: no larger window: $(wl_size)"
  }
  shrink "after full screen"
  # double_click_title CONDITION: a double click on the title bar, again
  # while CONDITION does not hold within 8 s: on a busy machine KWin can take
  # the two clicks for single ones.
  double_click_title() {
    local try
    for try in 1 2 3; do
      xdo mousemove $((fx + fw / 2)) $((fy + top / 2)) click --repeat 2 --delay 80 1
      wait_until 8 "$1" && return 0
      echo "note: the double click on the title bar had no effect; clicked again" >&2
    done
    return 1
  }
  frame exact
  double_click_title '[ "$(wl_size | cut -dx -f1)" = "${NESTED_SIZE%x*}" ]' || fail "double click: not maximised ($(wl_size))"
  maximised="$(wl_size)"
  # Maximised, Breeze draws no side borders: measured anew, and again after.
  read -r keep_side keep_top <<<"$side $top"
  frame
  double_click_title '[ "$(wl_size | cut -dx -f1)" -lt "${NESTED_SIZE%x*}" ]' || fail "double click: not restored ($(wl_size))"
  read -r side top <<<"$keep_side $keep_top"
  shrink "after maximised"
  echo "ok - Wayland: minimum window ${least}x$least ($smallest with the frame), after full screen and after maximised ($maximised)"

  # The exit question, from the decoration's close button: a box whose
  # toplevel has the window as parent. Cancel keeps polling.
  close_window() {
    local before
    before="$(wl_boxes)"
    frame exact
    xdo mousemove $((fx + fw / 2)) $((fy + top / 2)) sleep 0.3 mousemove $((fx + fw - top / 2)) $((fy + top / 2)) sleep 0.3 click 1
    wait_until 10 '[ "$(wl_boxes)" -gt "$before" ]' || fail "close button: no exit question"
    box="$(wl_toplevel 1 "$TITLE_APP")"
    wl_parented 1 "$TITLE_APP" || fail "the exit question's $box has no parent"
    sleep 0.5
  }
  close_window
  shot exit
  # KWin's view: the box attached to the window and centred over it. Qt
  # marks it modal from 6.8 on (xdg-dialog), which KWin 6 reads; before,
  # KWin knows it only as the window's transient.
  windows="$(kwin_windows)" || fail "KWin ran no script: $(tail -n 5 "$E2E_TMP/kwin.log")"
  read -r box_kind box_at <<<"$(kwin_window "$TITLE_APP" <<<"$windows")"
  read -r _ main_at <<<"$(kwin_window "$TITLE_APP - " prefix <<<"$windows")"
  [ -n "${box_at:-}" ] && [ -n "${main_at:-}" ] || fail "KWin's windows have no exit question over the window: $windows"
  want=dialog
  e2e_qt_at_least 6.8 || want=transient
  [ "$box_kind" = "$want" ] || [ "$box_kind" = dialog ] || fail "KWin takes the exit question for a $box_kind window, not a $want one"
  echo "# KWin takes the exit question for a $box_kind window"
  e2e_centred "the exit question" "$box_at" "$main_at"
  wl_key Escape
  e2e_polls_on "$first" Cancel
  echo "ok - Wayland: exit question over the window ($box, parent set), Cancel"
  close_window
  wl_key Return
  e2e_ends_in_order "$first" OK
  echo "ok - Wayland: exit question, OK: exit 0, link reset, lock released"
  exit 0
fi

# The X11 client: the viewer on Xwayland's display or on the one kwin_x11
# manages, read there with xprop and xwininfo; Xwayland's screen is KWin's
# output, so the same coordinates hold on the X screen.
[ "$MODE" = x11 ] || export DISPLAY=$XWAYLAND_DISPLAY
unset WAYLAND_DISPLAY
export QT_QPA_PLATFORM=xcb
CHOOSER_DISPLAY=$DISPLAY
main_place() { place -id "$win"; }
# geometry: X Y W H of the window and L R T B of the frame KWin reports.
geometry() {
  read -r x y w h < <(place -id "$win")
  IFS=', ' read -r l r t b < <(xprop -id "$win" _NET_FRAME_EXTENTS | sed -n 's/.*= //p') || true
  [ "${t:-0}" -gt 10 ] || fail "no title bar in the frame KWin reports: '$l $r $t $b'"
}
outer_size() { geometry && echo "$((w + l + r))x$((h + t + b))"; }
# click_at X Y [CLICK_ARGS...]: a click (button 1) there on the screen.
click_at() { local x="$1" y="$2"; shift 2; scr xdo mousemove "$x" "$y" sleep 0.2 click "${@:-1}"; }
# press KEY CONDITION: KEY to the focused window, once more if CONDITION
# does not hold within 5 s (under load a key now and then gets lost).
press() {
  scr xdo key --clearmodifiers "$1"
  wait_until 5 "$2" && return 0
  echo "note: $1 had no effect; pressed again" >&2
  scr xdo key --clearmodifiers "$1"
  wait_until 5 "$2"
}

e2e_polling "width=640;freeze=1;dump=$E2E_TMP/frame.ppm;log=$E2E_TMP/sim.log" 15 "reply sent" 2
first=$VIEWER_PID win=$WIN
wait_until 5 'xprop -id "$win" _NET_FRAME_EXTENTS | grep -q =' || fail "KWin does not frame the window"
geometry
[ "${w}x${h}" = 640x480 ] || fail "client area is ${w}x${h}, not 640x480"
DISPLAY=$SCREEN_DISPLAY e2e_matches_dump root 8 "640x480+$x+$y" || fail "picture"
echo "ok - X11: '$TITLE_COMMUNICATING', 640x480 picture pixel for pixel, frame $l $r $t $b (left right top bottom)"

# STOP/START with the mouse; the context menu's first entry stops too.
titled() { e2e_wait "$1" 5 >/dev/null; }
e2e_stop_start click_at titled "$x" "$y"
# menus: the viewer's shown popups (override-redirect windows).
menus() {
  local id
  for id in $(xwininfo -root -children | awk '/\("karvolen-viewer"/ {print $1}'); do
    xwininfo -id "$id" | grep -q 'Override Redirect State: yes' && xwininfo -id "$id" | grep -q IsViewable && echo "$id"
  done
}
click_at $((x + 320)) $((y + 240)) 3
wait_until 5 '[ -n "$(menus)" ]' || fail "right click: no context menu"
sleep 0.3
scr xdo key --clearmodifiers Down Return
e2e_wait "$TITLE_PAUSED" 5 >/dev/null || fail "the context menu's first entry did not stop"
# A click on the picture shows the button again.
click_at $((x + 300)) $((y + 200))
click_at $((x + BUTTON_LEFT + BUTTON_WIDTH / 2)) $((y + BUTTON_TOP + BUTTON_HEIGHT / 2))
e2e_wait "$TITLE_COMMUNICATING" 5 >/dev/null || fail "START did not resume"
echo "ok - X11: STOP and START, by the button and by the context menu"

# F11 fills the screen, Escape gives back size and place.
before="$(place -id "$win")"
press F11 '[ "$(place -id "$win")" = "$(place -root)" ]' || fail "F11: at $(place -id "$win"), not $(place -root)"
press Escape '[ "$(place -id "$win")" = "$before" ]' || fail "Escape: at $(place -id "$win"), not $before"
echo "ok - X11: full screen in and out"

# Save As: KDE's chooser, in the portal's process.
scr xdo key --clearmodifiers ctrl+shift+s
save_through_chooser
echo "ok - X11: picture saved as BMP through KDE's chooser pixel for pixel"

# A drag of the frame's bottom-right corner towards 20x20 stops at an outer
# size of 100x100: after full screen, and again after maximised (a double
# click on the title bar) and back. A drag outwards makes room again.
drag_corner() {
  geometry
  scr xdo mousemove $((x + w / 2)) $((y + h / 2)) sleep 0.3 mousemove $((x + w + r)) $((y + h + b)) sleep 0.3 mousedown 1
  scr xdo mousemove $((x - l + $1 / 2)) $((y - t + $2 / 2)) sleep 0.2 mousemove $((x - l + $1)) $((y - t + $2)) sleep 0.2 mouseup 1
}
shrink() {
  drag_corner 20 20
  wait_until 5 '[ "$(outer_size)" = 100x100 ]' || fail "$1: outer size after the drag is $(outer_size)"
  geometry && smallest="${w}x${h}"
  drag_corner 640 520
  wait_until 5 '[ "$w" -gt 500 ] 2>/dev/null || { geometry; false; }' || fail "$1: no larger window: ${w}x${h}"
}
shrink "after full screen"
maximised() { xprop -id "$win" _NET_WM_STATE | grep -q _NET_WM_STATE_MAXIMIZED_HORZ; }
geometry
click_at $((x + w / 2)) $((y - t / 2)) --repeat 2 --delay 80 1
wait_until 5 maximised || fail "double click: not maximised"
geometry
click_at $((x + w / 2)) $((y - t / 2)) --repeat 2 --delay 80 1
wait_until 5 '! maximised' || fail "double click: not restored"
shrink "after maximised"
echo "ok - X11: minimum outer size 100x100 (client $smallest), after full screen and after maximised"

# The exit question, from the frame's close button: a box transient for
# the window. Cancel keeps polling.
close_window() {
  geometry
  scr xdo mousemove $((x + w / 2)) $((y - t / 2)) sleep 0.3 mousemove $((x + w + r - t / 2)) $((y - t / 2)) sleep 0.3 click 1
  box="$(e2e_wait "$TITLE_APP" 10)" || fail "close button: no exit question"
  [ "$(xprop -id "$box" WM_TRANSIENT_FOR | sed -n 's/.*# //p')" = "$(printf '0x%x' "$win")" ] ||
    fail "the exit question is not transient for the window: $(xprop -id "$box" WM_TRANSIENT_FOR)"
  wait_until 5 '[ "$(xdotool getactivewindow 2>/dev/null)" = "$box" ]' || fail "the exit question has no focus"
  e2e_x11_dialog "the exit question" "$box"
  e2e_centred "the exit question" "$(place -id "$box")" "$(place -id "$win")"
  sleep 0.5
}
close_window
shot exit
scr xdo key --clearmodifiers Escape
e2e_polls_on "$first" Cancel
echo "ok - X11: exit question transient for the window, Cancel"
close_window
scr xdo key --clearmodifiers Return
e2e_ends_in_order "$first" OK
echo "ok - X11: exit question, OK: exit 0, link reset, lock released"
