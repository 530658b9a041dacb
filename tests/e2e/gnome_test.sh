#!/usr/bin/env bash
# The real program under GNOME Shell, headless on a virtual monitor, as a
# native Wayland client ("gnome_test.sh BUILD wayland") or as an X11 client of
# the shell's Xwayland ("... x11"). An extension in the private home puts the
# shell in unsafe mode: its Eval method then moves a virtual pointer, presses
# keys and says where windows are, its Screenshot method takes pictures, and
# nothing reaches past the shell's private session bus.
set -euo pipefail
BUILD="${1:-}"
PLATFORM="${2:-wayland}"
. "$(dirname "$0")/../../tools/e2e-lib.sh"
case "$PLATFORM" in
  wayland | x11) ;;
  *) echo "usage: $0 BUILD wayland|x11" >&2; exit 2 ;;
esac
need() { [ -e "$1" ] || command -v "$1" >/dev/null || { echo "SKIP: $2 not installed"; exit 77; }; }
need gnome-shell gnome-shell
need dbus-run-session dbus
need gdbus "gdbus (libglib2.0-bin)"
need /usr/libexec/xdg-desktop-portal-gnome xdg-desktop-portal-gnome
need compare imagemagick
ls /usr/lib/*/qt6/plugins/platformthemes/libqxdgdesktopportal.so >/dev/null 2>&1 ||
  { echo "SKIP: Qt's portal theme (qt6-xdgdesktopportal-platformtheme) not installed"; exit 77; }
if [ "$PLATFORM" = wayland ]; then
  ls /usr/lib/*/qt6/plugins/platforms/libqwayland-generic.so >/dev/null 2>&1 ||
    { echo "SKIP: Qt's Wayland platform (qt6-wayland) not installed"; exit 77; }
else
  need Xwayland xwayland
fi

SCREEN_W=1280 SCREEN_H=800 SHELL_JOB=""
EXT=unsafe-mode@karvolen-e2e
# The Eval helpers: a virtual pointer and keyboard, and the windows as
# "id type parent-id focused frame-x y w h client-x y w h title", one per line.
HELPERS='globalThis._e2e = (() => {
  const C = imports.gi.Clutter, G = imports.gi.GLib;
  const backend = global.stage.context ? global.stage.context.get_backend() : C.get_default_backend();
  const seat = backend.get_default_seat();
  const pointer = seat.create_virtual_device(C.InputDeviceType.POINTER_DEVICE);
  const keyboard = seat.create_virtual_device(C.InputDeviceType.KEYBOARD_DEVICE);
  const now = () => G.get_monotonic_time();
  const mods = {ctrl: "Control_L", shift: "Shift_L", alt: "Alt_L", super: "Super_L"};
  const keysym = n => n.length === 1 ? C.unicode_to_keysym(n.codePointAt(0)) : C["KEY_" + (mods[n] || n)];
  const row = w => {
    const f = w.get_frame_rect(), c = w.frame_rect_to_client_rect(f), p = w.get_transient_for();
    return [w.get_id(), w.get_window_type(), p ? p.get_id() : 0, w.has_focus() ? 1 : 0,
      f.x, f.y, f.width, f.height, c.x, c.y, c.width, c.height, w.get_title()].join(" ");
  };
  return {
    move(x, y) { pointer.notify_absolute_motion(now(), x, y); },
    button(b, down) { pointer.notify_button(now(), b, down ? C.ButtonState.PRESSED : C.ButtonState.RELEASED); },
    key(combo) {
      const syms = combo.split("+").map(keysym);
      syms.forEach(s => keyboard.notify_keyval(now(), s, C.KeyState.PRESSED));
      syms.reverse().forEach(s => keyboard.notify_keyval(now(), s, C.KeyState.RELEASED));
    },
    type(text) {
      for (const ch of text) {
        keyboard.notify_keyval(now(), keysym(ch), C.KeyState.PRESSED);
        keyboard.notify_keyval(now(), keysym(ch), C.KeyState.RELEASED);
      }
    },
    windows() { return global.get_window_actors().map(a => row(a.meta_window)).join("|"); },
  };
})(), "ready"'

# gs_eval JS: the shell runs JS; prints its result (a string without quotes).
gs_eval() {
  local js out
  js="$(printf '%s' "$1" | sed 's/\\/\\\\/g; s/"/\\"/g')"
  out="$(gdbus call --session --dest org.gnome.Shell --object-path /org/gnome/Shell \
    --method org.gnome.Shell.Eval "\"$js\"" 2>&1)" || { echo "Eval: $out" >&2; return 1; }
  case "$out" in
    "(true, '"*) out="${out#"(true, '"}" && out="${out%"')"}" && out="${out#\"}" && printf '%s\n' "${out%\"}" ;;
    *) echo "Eval: $out" >&2; return 1 ;;
  esac
}
# gs_do JS: Eval for its effect, failing the test if the shell refuses.
gs_do() { gs_eval "$1; \"\"" >/dev/null || fail "the shell did not run: $1"; }
gs_windows() { gs_eval '_e2e.windows()' | tr '|' '\n'; }
# gs_window TITLE: the row (see HELPERS) of the window with that title.
gs_window() { gs_windows | awk -v t="$1" '{ r = $0; for (i = 1; i <= 12; i++) sub(/^[^ ]* /, "", r) } r == t { print; exit }'; }
# gs_wait_window TITLE [seconds]: prints its row once it is there.
gs_wait_window() {
  local title="$1" row=""
  wait_until "${2:-15}" 'row="$(gs_window "$title")"; [ -n "$row" ]' || { echo "no window '$title'" >&2; return 1; }
  echo "$row"
}
# gs_main: the row of the viewer's main window, whatever its title.
gs_main() { gs_windows | awk -v t="$TITLE_APP - " '$2 == 0 && $3 == 0 && index($0, t) { print; exit }'; }
# is_dialog WHAT TYPE: the shell's window TYPE is a dialog's (3, or 4 modal).
is_dialog() { [ "$2" = 3 ] || [ "$2" = 4 ] || fail "$1 is of window type $2, not a dialog"; }

gs_click() { gs_do "_e2e.move($1, $2)"; sleep 0.2; gs_do "_e2e.button(${3:-1}, true); _e2e.button(${3:-1}, false)"; }
gs_key() { gs_do "_e2e.key(\"$1\")"; }
gs_type() { gs_do "_e2e.type(\"$1\")"; }
# gs_shot FILE: a screenshot of the whole screen, the pointer left out.
gs_shot() {
  gdbus call --session --dest org.gnome.Shell.Screenshot --object-path /org/gnome/Shell/Screenshot \
    --method org.gnome.Shell.Screenshot.Screenshot false false "$1" >/dev/null && [ -s "$1" ]
}
# keep_shot NAME: with E2E_SHOTS, a screenshot kept there.
keep_shot() {
  [ -n "${E2E_SHOTS:-}" ] || return 0
  mkdir -p "$E2E_SHOTS" && gs_shot "$E2E_TMP/keep.png" && cp "$E2E_TMP/keep.png" "$E2E_SHOTS/gnome-$PLATFORM-$1.png"
}

# The shell, with its own home, session bus and system bus (for its login
# manager); the extension and the settings are in place before it starts.
# Ends before e2e_cleanup removes the folder it runs in.
start_shell() {
  export HOME="$E2E_TMP/home"
  export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share" XDG_CACHE_HOME="$HOME/.cache" XDG_STATE_HOME="$HOME/.local/state"
  export XDG_CURRENT_DESKTOP=GNOME XDG_SESSION_TYPE=wayland WAYLAND_DISPLAY=karvolen-e2e
  local ext="$XDG_DATA_HOME/gnome-shell/extensions/$EXT" major
  major="$(gnome-shell --version | sed 's/[^0-9]*\([0-9]*\).*/\1/')"
  mkdir -p "$ext"
  printf '{"uuid": "%s", "name": "unsafe mode", "description": "e2e tests", "shell-version": ["%s"]}\n' "$EXT" "$major" >"$ext/metadata.json"
  if [ "$major" -ge 45 ]; then
    # Extensions are ES modules from GNOME 45 on.
    printf '%s\n' "import {Extension} from 'resource:///org/gnome/shell/extensions/extension.js';" \
      'export default class UnsafeMode extends Extension {' \
      '  enable() { global.context.unsafe_mode = true; }' \
      '  disable() { global.context.unsafe_mode = false; }' '}' >"$ext/extension.js"
  else
    printf '%s\n' 'function init() {}' 'function enable() { global.context.unsafe_mode = true; }' \
      'function disable() { global.context.unsafe_mode = false; }' >"$ext/extension.js"
  fi
  dbus-daemon --session --address="unix:path=$XDG_RUNTIME_DIR/system_bus" --nofork >"$E2E_TMP/system-bus.log" 2>&1 &
  wait_until 10 '[ -S "$XDG_RUNTIME_DIR/system_bus" ]' || { echo "no system bus" >&2; return 1; }
  export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/system_bus"
  dbus-run-session -- bash -c '
    echo "$DBUS_SESSION_BUS_ADDRESS" >"$3/session_bus"
    gsettings set org.gnome.shell enabled-extensions "[\"$1\"]"
    gsettings set org.gnome.shell welcome-dialog-last-shown-version "999"
    gsettings set org.gnome.desktop.notifications show-banners false
    gsettings set org.gnome.desktop.interface enable-animations false
    echo $$ >"$3/shell.pid"
    exec env -u WAYLAND_DISPLAY gnome-shell --headless --wayland --wayland-display="$WAYLAND_DISPLAY" \
      --virtual-monitor "$2"' shell "$EXT" "${SCREEN_W}x$SCREEN_H" "$E2E_TMP" >"$E2E_TMP/shell.log" 2>&1 &
  SHELL_JOB=$!
  wait_until 20 '[ -s "$E2E_TMP/session_bus" ]' || { echo "no session bus" >&2; cat "$E2E_TMP/shell.log" >&2; return 1; }
  DBUS_SESSION_BUS_ADDRESS="$(cat "$E2E_TMP/session_bus")"
  export DBUS_SESSION_BUS_ADDRESS
  wait_until 30 '[ "$(gs_eval global.context.unsafe_mode 2>/dev/null)" = true ]' ||
    { echo "the shell did not start in unsafe mode" >&2; tail -n 30 "$E2E_TMP/shell.log" >&2; return 1; }
  gs_eval "$HELPERS" >/dev/null || return 1
  # It shows the overview at the end of its start-up.
  wait_until 20 '[ "$(gs_eval Main.layoutManager._startingUp)" = false ]' || { echo "the shell is still starting" >&2; return 1; }
  wait_until 10 '[ "$(gs_eval "Main.overview.hide(), Main.overview.visible || Main.overview.animationInProgress")" = false ]' ||
    { echo "the overview stays" >&2; return 1; }
  # What a session manager would hand on to the services the bus starts:
  # the portal's chooser finds an X11 parent window through DISPLAY.
  X11_DISPLAY="$(gs_eval 'imports.gi.GLib.getenv("DISPLAY")')"
  X11_AUTH="$(gs_eval 'imports.gi.GLib.getenv("XAUTHORITY")')"
  dbus-update-activation-environment DISPLAY="$X11_DISPLAY" XAUTHORITY="$X11_AUTH" || return 1
}
stop_shell() {
  [ "$BASHPID" = "$E2E_MAIN" ] && [ -s "$E2E_TMP/shell.pid" ] || return 0
  kill "$(cat "$E2E_TMP/shell.pid")" 2>/dev/null || true
  wait_until 10 '! kill -0 "$SHELL_JOB" 2>/dev/null' || kill -KILL "$(cat "$E2E_TMP/shell.pid")" 2>/dev/null || true
  # The document portal's file system goes once its bus has.
  wait_until 5 '! grep -q " $XDG_RUNTIME_DIR/doc " /proc/mounts' || fusermount3 -u "$XDG_RUNTIME_DIR/doc" 2>/dev/null || true
}

e2e_init headless
trap 'stop_shell; e2e_cleanup' EXIT
start_shell || fail "GNOME Shell did not start"

# The viewer, with the picture the simulator sent last in frame.ppm. In the
# Wayland session it is started as from the desktop, with both displays and
# no platform named: a Qt that cannot mark a Wayland dialog modal makes it an
# X11 client there (traced all the same, should it be a Wayland one).
: >"$E2E_TMP/viewer-1.log"
if [ "$PLATFORM" = wayland ]; then
  QUELLBAR_SIM="width=640;freeze=1;dump=$E2E_TMP/frame.ppm;log=$E2E_TMP/sim.log" WAYLAND_DEBUG=1 \
    DISPLAY="$X11_DISPLAY" XAUTHORITY="$X11_AUTH" ${SIM_RUN:+"$SIM_RUN"} "$VIEWER" >"$E2E_TMP/viewer-1.log" 2>&1 &
  VIEWER_PID=$!
else
  env -u WAYLAND_DISPLAY QUELLBAR_SIM="width=640;freeze=1;dump=$E2E_TMP/frame.ppm;log=$E2E_TMP/sim.log" QT_QPA_PLATFORM=xcb \
    DISPLAY="$X11_DISPLAY" XAUTHORITY="$X11_AUTH" ${SIM_RUN:+"$SIM_RUN"} "$VIEWER" >"$E2E_TMP/viewer-1.log" 2>&1 &
  VIEWER_PID=$!
fi
first=$VIEWER_PID
gs_wait_window "$TITLE_COMMUNICATING" >/dev/null || fail "no window titled '$TITLE_COMMUNICATING'"
e2e_wait_log "reply sent" 2 || fail "no pictures"
# What the viewer runs as: 0 a Wayland client, 1 an X11 one.
client="$(gs_eval "global.get_window_actors().map(a => a.meta_window).find(w => w.get_title() === \"$TITLE_COMMUNICATING\").get_client_type()")"
if [ "$PLATFORM" = wayland ] && ! e2e_qt_at_least 6.8; then
  [ "$client" = 1 ] || fail "in the Wayland session with Qt before 6.8 the viewer is no X11 client (client type $client)"
  echo "ok - wayland session: the viewer runs through Xwayland (Qt before 6.8)"
  PLATFORM=x11
fi
[ "$client" = "$([ "$PLATFORM" = x11 ] && echo 1 || echo 0)" ] || fail "the viewer is of client type $client"
if [ "$PLATFORM" = wayland ]; then
  wl_title "$TITLE_COMMUNICATING" || fail "the trace has no title '$TITLE_COMMUNICATING'"
  wl_wait 1 'set_app_id("karvolen-viewer")' 5 || fail "app id is $(wl_last 1 set_app_id)"
  # GNOME draws no frame for Wayland clients: Qt's decoration, GNOME's style
  # (adwaita) where this Qt has it.
  deco="$(grep -o 'wayland-decoration-client/lib[a-z]*\.so' "/proc/$VIEWER_PID/maps" | sort -u | sed 's/.*lib\(.*\)\.so/\1/')"
  ! ls /usr/lib/*/qt6/plugins/wayland-decoration-client/libadwaita.so >/dev/null 2>&1 || [ "$deco" = adwaita ] ||
    fail "the frame is Qt's ${deco:-no} decoration, not adwaita"
fi
echo "ok - $PLATFORM: '$TITLE_COMMUNICATING'${deco:+, frame: $deco}"

# read_main: the main window's id (MAIN_ID), frame (FX FY FW FH) and its
# picture's top-left corner on the screen (PX PY). The X11 frame is the
# shell's and says where the client is. A Wayland client draws its own
# decoration inside its window geometry, equal borders at the sides and the
# bottom and the title bar on top, measured (BORDER, TOP) while the client
# area is 640x480.
read_main() {
  local row
  row="$(gs_main)" && [ -n "$row" ] || fail "no main window"
  read -r MAIN_ID _ _ _ FX FY FW FH CX CY CW CH _ <<<"$row"
  if [ "$PLATFORM" = x11 ]; then
    BORDER=$((CX - FX)) TOP=$((CY - FY))
  elif [ -z "${TOP:-}" ]; then
    BORDER=$(((FW - 640) / 2)) TOP=$((FH - 480 - (FW - 640) / 2))
  fi
  PX=$((FX + BORDER)) PY=$((FY + TOP))
}
# picture_shot: the picture's part of a screenshot, in shot.png.
picture_shot() {
  gs_shot "$E2E_TMP/screen.png" || fail "no screenshot"
  convert "$E2E_TMP/screen.png" -crop "640x480+$PX+$PY" +repage "$E2E_TMP/shot.png"
}
# The window first comes up at Qt's default size, then is laid out for the
# picture: a 640x480 client area, or a Wayland window geometry a decoration
# wider and taller.
laid_out() {
  read -r _ _ _ _ _ _ w h _ _ cw ch _ <<<"$(gs_main)" || return 1
  if [ "$PLATFORM" = x11 ]; then
    [ "${cw}x$ch" = 640x480 ]
  else
    [ "$w" -gt 640 ] && [ "$w" -lt 700 ] && [ "$h" -gt 480 ] && [ "$h" -lt 560 ] && [ "$(wl_size)" = "${w}x$h" ]
  fi
}
wait_until 10 laid_out || fail "not laid out for 640x480: $(gs_main)"
gs_do '_e2e.move(1279, 799)'
read_main
e2e_matches_shot 6 picture_shot || fail "picture"
echo "ok - $PLATFORM: 640x480 picture pixel for pixel, frame ${FW}x$FH"

# STOP/START with the mouse.
titled() { gs_wait_window "$1" 5 >/dev/null; }
e2e_stop_start gs_click titled "$PX" "$PY"
echo "ok - $PLATFORM: STOP and START"

# The context menu: a right click opens it at the pointer, Escape closes it
# and changes nothing; its first entry stops, and then starts (the button
# hides itself while polling, so the menu starts too).
# A Wayland popup is a drop-down menu to the shell, an X11 menu is
# override-redirect ("other", like the shell's own window, which is off screen).
menu() { gs_windows | awk '($2 == 9 || $2 == 10 || $2 == 15) && $5 >= 0 { print; exit }'; }
open_menu() {
  gs_click $((PX + 300)) $((PY + 200)) 3
  wait_until 5 '[ -n "$(menu)" ]' || fail "right click: no menu"
}
menu_entry() {
  local mx my
  open_menu
  read -r _ _ _ _ mx my _ <<<"$(menu)"
  gs_click $((mx + 40)) $((my + 10))
  gs_wait_window "$1" 5 >/dev/null || fail "the menu's first entry did not give '$1'"
  wait_until 5 '[ -z "$(menu)" ]' || fail "the menu stayed open"
}
open_menu
gs_key Escape
wait_until 5 '[ -z "$(menu)" ]' || fail "Escape did not close the menu"
[ -n "$(gs_window "$TITLE_COMMUNICATING")" ] || fail "Escape on the menu changed the title"
menu_entry "$TITLE_PAUSED"
menu_entry "$TITLE_COMMUNICATING"
[ "$PLATFORM" = x11 ] || grep -q -- '\.get_popup(' "$E2E_TMP/viewer-1.log" || fail "the menu is no popup"
echo "ok - $PLATFORM: context menu: Escape, STOP and START"

# F11 fills the screen, Escape gives back size and place.
main_frame() { gs_main | awk '{print $5, $6, $7, $8}'; }
before="$(main_frame)"
gs_key F11
wait_until 5 '[ "$(main_frame)" = "0 0 $SCREEN_W $SCREEN_H" ]' || fail "F11: frame $(main_frame)"
gs_key Escape
wait_until 5 '[ "$(main_frame)" = "$before" ]' || fail "Escape: frame $(main_frame), not $before"
if [ "$PLATFORM" = wayland ]; then
  grep -q -- '\.set_fullscreen(' "$E2E_TMP/viewer-1.log" && grep -q -- '\.unset_fullscreen(' "$E2E_TMP/viewer-1.log" ||
    fail "the trace has no full screen request"
fi
echo "ok - $PLATFORM: full screen in and out"

# Ctrl+Shift+S: the desktop's own chooser (the portal's, in its own
# process), transient for the window; Qt's own dialog on Wayland before Qt
# 6.5. A name typed into it and Return save the picture as an 8-bit BMP.
# GNOME's portal serves the chooser itself, or from GNOME 47 on through Files
# (Nautilus) where that is installed.
chooser='^(xdg-desktop-portal-gnome|org\.gnome\.Nautilus)$'
[ "$PLATFORM" = x11 ] || e2e_qt_at_least 6.5 || chooser='^karvolen-viewer$'
gs_key ctrl+shift+s
# A chooser in another process, started on demand: slow on a busy machine.
dialog="$(gs_wait_window "$TITLE_SAVE_PICTURE" 30)" || fail "Ctrl+Shift+S: no dialog"
class="$(gs_eval "global.get_window_actors().map(a => a.meta_window).find(w => w.get_title() === \"$TITLE_SAVE_PICTURE\").get_wm_class()")"
[[ "$class" =~ $chooser ]] || fail "the save dialog is $class's, not the expected ($chooser)"
# A chooser of another process is mapped a moment after it exists, seconds
# on a busy machine.
wait_until 30 'dialog="$(gs_window "$TITLE_SAVE_PICTURE")"; [ "$(echo "$dialog" | awk "{print \$7}")" -gt 0 ]' ||
  fail "the save dialog never got a size: $(gs_windows | tr "\n" ";")"
sleep 1
keep_shot save
dialog="$(gs_window "$TITLE_SAVE_PICTURE")"
read -r _ dtype parent focus dx dy dw dh _ <<<"$dialog"
[ "$parent" = "$MAIN_ID" ] || fail "the save dialog (${dw}x$dh+$dx+$dy) is not transient for the window"
echo "note: the $class dialog at ${dw}x$dh+$dx+$dy, type $dtype, transient for the window, focus $focus"
is_dialog "the save dialog" "$dtype"
read_main
e2e_centred "the save dialog" "$dx $dy $dw $dh" "$FX $FY $FW $FH"
if [ "$(gs_window "$TITLE_SAVE_PICTURE" | awk '{print $4}')" != 1 ]; then
  # Its name field is at the top in the middle.
  echo "note: the chooser opened without the keyboard focus; clicked into its name field"
  gs_click $((dx + dw / 2)) $((dy + 22))
  wait_until 5 '[ "$(gs_window "$TITLE_SAVE_PICTURE" | awk "{print \$4}")" = 1 ]' || fail "the chooser takes no focus"
fi
gs_key ctrl+a && gs_key BackSpace && gs_type "screen 1.bmp"
sleep 0.3 && gs_key Return
wait_until 10 'saved="$(find "$E2E_TMP" -name "screen 1.bmp" -size +0 | head -n1)"; [ -n "$saved" ]' || fail "nothing saved"
[ "$(od -An -tu2 -j28 -N2 "$saved" | tr -d ' ')" = 8 ] || fail "no 8-bit BMP"
[ "$(e2e_pixels_differ "$saved" "$E2E_TMP/frame.ppm")" = 0 ] || fail "saved pixels differ"
echo "ok - $PLATFORM: saved through $class's dialog as an 8-bit BMP pixel for pixel (${saved#"$E2E_TMP/"})"

# close_window: a click on the frame's close button, at the title bar's
# right end, and the exit question's box, over the window: transient for it.
close_window() {
  local box
  read_main
  gs_click $((FX + FW - BORDER - TOP / 2)) $((FY + TOP / 2))
  box="$(gs_wait_window "$TITLE_APP" 10)" || fail "no exit question"
  read -r _ BOX_TYPE parent _ BX BY BW BH _ <<<"$box"
  [ "$parent" = "$MAIN_ID" ] || fail "the exit question is not transient for the window"
  sleep 0.5
}
close_window
echo "note: the exit question ${BW}x$BH+$BX+$BY (type $BOX_TYPE) over the window ${FW}x$FH+$FX+$FY"
is_dialog "the exit question" "$BOX_TYPE"
e2e_centred "the exit question" "$BX $BY $BW $BH" "$FX $FY $FW $FH"
[ "$PLATFORM" = x11 ] || wl_parented 1 "$TITLE_APP" || fail "the exit question's toplevel has no parent"
keep_shot exit
gs_key Escape
wait_until 5 '[ -z "$(gs_window "$TITLE_APP")" ]' || fail "Escape did not close the exit question"
e2e_polls_on "$first" Cancel
echo "ok - $PLATFORM: exit question from the close button, transient for the window; Cancel"

# A drag of the bottom-right corner towards 20x20 stops at 100x100 outside:
# fresh, after full screen and after maximised; a drag outwards makes room
# again. The pointer enters the window first: a client-side decoration takes
# a press as the start of a resize only where it has seen the pointer. The
# shell's own frame, and Qt's adwaita decoration, have their resize border
# outside, bradient inside.
[ "$PLATFORM" = wayland ] && [ "${deco:-}" != adwaita ] && edge=-2 || edge=2
# drag_corner X1 Y1 X2 Y2: the corner dragged through X1,Y1 to X2,Y2 from
# the frame's top-left corner.
drag_corner() {
  read_main
  gs_do "_e2e.move($((FX + FW / 2)), $((FY + 5)))"
  sleep 0.3
  gs_do "_e2e.move($((FX + FW + edge)), $((FY + FH + edge)))"
  sleep 0.3
  gs_do '_e2e.button(1, true)'
  sleep 0.2
  gs_do "_e2e.move($((FX + $1)), $((FY + $2)))"
  sleep 0.2
  gs_do "_e2e.move($((FX + $3)), $((FY + $4)))"
  sleep 0.2
  gs_do '_e2e.button(1, false)'
}
shrink() {
  drag_corner 60 60 20 20
  wait_until 10 '[ "$(main_frame)" = "$FX $FY 100 100" ]' || fail "$1: frame after the drag: $(main_frame)"
  [ "$PLATFORM" = x11 ] || wait_until 5 '[ "$(wl_size)" = 100x100 ]' ||
    fail "$1: window geometry after the drag: $(wl_last 1 set_window_geometry)"
  echo "ok - $PLATFORM: minimum outer size 100x100 $1 (client $(gs_main | awk '{print $11 "x" $12}'))"
  drag_corner 400 300 720 570
  wait_until 10 'read -r _ _ w _ <<<"$(main_frame)"; [ "$w" -gt 600 ]' || fail "$1: no larger window: $(main_frame)"
}
shrink fresh
gs_key F11
wait_until 5 '[ "$(main_frame)" = "0 0 $SCREEN_W $SCREEN_H" ]' || fail "F11: frame $(main_frame)"
gs_key Escape
wait_until 5 '! [ "$(main_frame)" = "0 0 $SCREEN_W $SCREEN_H" ]' || fail "Escape: frame $(main_frame)"
shrink "after full screen"
before="$(main_frame)"
gs_key super+Up
wait_until 5 'read -r _ _ w _ <<<"$(main_frame)"; [ "$w" = "$SCREEN_W" ]' || fail "Super+Up: not maximised: $(main_frame)"
gs_key super+Down
wait_until 5 '[ "$(main_frame)" = "$before" ]' || fail "Super+Down: frame $(main_frame), not $before"
shrink "after maximised"

# The exit question again: OK ends the program in order.
close_window
gs_key Return
e2e_ends_in_order "$first" OK
echo "ok - $PLATFORM: exit question, OK: exit 0, link reset, lock released"
