# Shared by the end-to-end tests, the demo and the soak: an Xvfb display, the
# real viewer on the simulated Quellbar, and a person's hands (xdotool).
# Source it; BUILD (or BUILD_DIR) defaults to build/.
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${BUILD:-${BUILD_DIR:-$ROOT/build}}"
VIEWER="$BUILD/bin/karvolen-viewer"
# The launcher that puts the simulated Quellbar on an emulated USB bus;
# E2E_RUN= (empty) leaves the real one.
SIM_RUN="${E2E_RUN-$BUILD/bin/quellbar-run}"
VIEWER_PID="" E2E_MAIN=""
. "$ROOT/tools/wait-until.sh"
# Titles, the connect message and the button's place, written by the build
# from the window's constants.
. "$BUILD/e2e-facts.sh"

fail() {
  echo "FAIL: $*" >&2
  local log
  for log in "${E2E_TMP:-/nonexistent}"/viewer-*.log; do
    [ -s "$log" ] && echo "--- $(basename "$log"):" >&2 && tail -n 20 "$log" >&2
  done
  exit 1
}

e2e_cleanup() {
  # A subshell killed before it could reset its traps runs this one too; only
  # the shell that set up the run may tear it down.
  [ "$BASHPID" = "$E2E_MAIN" ] || return 0
  local pids
  pids="$(jobs -p)"
  [ -z "$pids" ] || kill $pids 2>/dev/null
  e2e_end_services
  rm -rf "$E2E_TMP"
  return 0
}

# e2e_end_services: ends the processes, other than jobs of this shell, that
# carry this run's runtime folder in their environment: the services a
# private session bus started, which leave the job tree. Waits up to 3 s for
# them, so that a mount of theirs in that folder goes first.
e2e_end_services() {
  local pids own
  own="$(jobs -p)"
  pids="$(grep -lzxF "XDG_RUNTIME_DIR=$XDG_RUNTIME_DIR" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3 |
    grep -vxF -e "$BASHPID" -e "$own")" || return 0
  kill $pids 2>/dev/null || true
  wait_until 3 '! kill -0 $pids 2>/dev/null' || kill -KILL $pids 2>/dev/null || true
}

# e2e_xvfb DIR: a new X server, its log in DIR; sets DISPLAY and XVFB_PID.
# A display number of its own from 20 up, with its lock file: Xvfb left to
# choose (-displayfd) writes none, and a compositor's Xwayland, which goes by
# lock files, then takes the same number.
e2e_xvfb() {
  local n
  for n in $(seq 20 99); do
    # Free: no lock, no socket, and no server of another root answering
    # through the abstract socket that roots share.
    [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ] && ! DISPLAY=":$n" xdpyinfo >/dev/null 2>&1 || continue
    Xvfb ":$n" -screen 0 "${E2E_SCREEN:-1280x1024x24}" -nolisten tcp </dev/null >"$1/xvfb.log" 2>&1 &
    XVFB_PID=$!
    # Ready once it answers; ended when another server took the number first.
    if wait_until 20 '! kill -0 "$XVFB_PID" 2>/dev/null || DISPLAY=":$n" xdpyinfo >/dev/null 2>&1' &&
      kill -0 "$XVFB_PID" 2>/dev/null; then
      export DISPLAY=":$n"
      return 0
    fi
    kill "$XVFB_PID" 2>/dev/null
  done
  echo "Xvfb did not start" >&2
  return 1
}

# A private scratch and runtime folder, removed with every process started
# here when the script ends, and a display: the one ctest's fixture started
# (E2E_XVFB_STATE, not ours to end) if its screen is the one asked for
# (E2E_SCREEN), or one of its own. "e2e_init headless" leaves out the display,
# for a desktop that brings its own.
e2e_init() {
  E2E_MAIN=$BASHPID
  E2E_TMP="$(mktemp -d "${TMPDIR:-/tmp}/karvolen-e2e.XXXXXX")"
  mkdir -m 700 "$E2E_TMP/runtime"
  export XDG_RUNTIME_DIR="$E2E_TMP/runtime"
  trap e2e_cleanup EXIT
  unset QT_QPA_PLATFORM
  [ "${1:-}" != headless ] || { unset DISPLAY WAYLAND_DISPLAY; return 0; }
  local display="" screen=""
  [ -s "${E2E_XVFB_STATE:-}" ] && read -r display _ screen <"$E2E_XVFB_STATE"
  if [ -n "$display" ] && [ "${E2E_SCREEN:-$screen}" = "$screen" ]; then
    export DISPLAY="$display"
  else
    e2e_xvfb "$E2E_TMP" || return 1
  fi
}

# e2e_spawn NAME READY COMMAND...: COMMAND in the background (E2E_PID), its
# output in NAME.log; returns once the shell text READY holds or COMMAND has
# ended by itself, and fails when neither within 20 s. Xvfb now and then
# refuses a client's connection; a start that failed only for that is retried.
e2e_spawn() {
  local name="$1" ready="$2" attempt
  shift 2
  for attempt in 1 2 3 4 5; do
    "$@" >"$E2E_TMP/$name.log" 2>&1 &
    E2E_PID=$!
    wait_until 20 '! kill -0 "$E2E_PID" 2>/dev/null || eval "$ready"' ||
      { echo "e2e: $name not ready after 20 s" >&2; return 1; }
    kill -0 "$E2E_PID" 2>/dev/null && return 0
    grep -q -e "could not connect to display" -e "Failed to open the display" "$E2E_TMP/$name.log" || return 0
    wait "$E2E_PID" 2>/dev/null || true
    echo "e2e: the X server refused $name's connection (attempt $attempt)" >&2
    sleep "$attempt"
  done
  echo "e2e: $name never started" >&2
  return 1
}

# e2e_start_viewer SIM_OPTIONS [viewer binary]: the viewer over the simulated
# Quellbar, once it has a window or has ended by itself.
e2e_start_viewer() {
  E2E_STARTS=$((${E2E_STARTS:-0} + 1))
  e2e_spawn "viewer-$E2E_STARTS" '[ -n "$(xdotool search --pid "$E2E_PID" 2>/dev/null)" ]' \
    env QUELLBAR_SIM="$1" ${SIM_RUN:+"$SIM_RUN"} "${2:-$VIEWER}" || return 1
  VIEWER_PID=$E2E_PID
}

# e2e_polling SIM_OPTIONS [SECONDS [PATTERN COUNT]]: the viewer started, its
# simulator's log in sim.log; within SECONDS (15) a window titled
# Communicating, WIN, and then COUNT lines of the log matching PATTERN.
e2e_polling() {
  e2e_start_viewer "$1;log=$E2E_TMP/sim.log" || fail "the viewer did not start"
  WIN="$(e2e_wait "$TITLE_COMMUNICATING" "${2:-15}")" || fail "no window titled '$TITLE_COMMUNICATING'"
  [ -z "${3:-}" ] || e2e_wait_log "$3" "$4" "${2:-15}" || fail "no $4 lines '$3' in the simulator's log"
}

# e2e_find TITLE: window ids whose name is exactly TITLE.
e2e_find() {
  local pattern
  pattern="^$(printf '%s' "$1" | sed 's/[][\.*^$()+?{}|]/\\&/g')\$"
  xdotool search --name "$pattern" 2>/dev/null || true
}

# e2e_wait TITLE [seconds]: prints the window id once a window has that name.
e2e_wait() {
  local title="$1" id=""
  wait_until "${2:-15}" 'id="$(e2e_find "$title" | head -n1)"; [ -n "$id" ]' ||
    { echo "no window titled '$title' within ${2:-15}s" >&2; return 1; }
  echo "$id"
}

# xdotool for actions, retried: a connection to Xvfb right after another
# client went away is now and then refused.
xdo() {
  for _ in 1 2 3; do xdotool "$@" 2>/dev/null && return 0; sleep 0.2; done
  return 1
}

# e2e_answer TITLE [key [seconds]]: dismisses a message box the way a person does.
e2e_answer() {
  local id
  id="$(e2e_wait "$1" "${3:-15}")" || return 1
  xdo windowfocus "$id"
  xdo key --clearmodifiers "${2:-Return}"
}

# e2e_click WINDOW X Y: a left click at window coordinates.
e2e_click() { xdo mousemove --window "$1" "$2" "$3" click 1; }

# e2e_click_button WINDOW [TITLE [SECONDS]]: a click on the middle of the
# STOP/START button; with TITLE, the window has that name within SECONDS (5).
e2e_click_button() {
  e2e_click "$1" $((BUTTON_LEFT + BUTTON_WIDTH / 2)) $((BUTTON_TOP + BUTTON_HEIGHT / 2)) || return 1
  [ -z "${2:-}" ] || e2e_wait "$2" "${3:-5}" >/dev/null
}

# e2e_wait_exit PID SECONDS: waits for a child of this shell to end and sets
# E2E_STATUS to its exit status; after the limit it kills it and fails. Call it
# directly, not in $(...): only this shell can collect its children's status.
e2e_wait_exit() {
  local pid="$1"
  E2E_STATUS=""
  wait_until "$2" '! kill -0 "$pid" 2>/dev/null' ||
    { echo "process $pid still running after $2s" >&2; kill -KILL "$pid" 2>/dev/null; return 1; }
  E2E_STATUS=0
  wait "$pid" || E2E_STATUS=$?
}

# e2e_expect_exit PID WHAT [nonzero]: PID ends within 10 s, with exit status
# 0 (or, with "nonzero", any other).
e2e_expect_exit() {
  e2e_wait_exit "$1" 10 || fail "$2: the program did not end"
  if [ "${3:-}" = nonzero ]; then
    [ "$E2E_STATUS" != 0 ] || fail "$2: exit status 0"
  else
    [ "$E2E_STATUS" = 0 ] || fail "$2: exit $E2E_STATUS"
  fi
}

# e2e_ends_in_order PID WHAT: PID exits 0 within 10 s, having reset the link
# once and released its lock.
e2e_ends_in_order() {
  e2e_expect_exit "$1" "$2"
  wait_until 5 '[ "$(e2e_log_count " reset$")" = 1 ]' || fail "$2: $(e2e_log_count " reset$") resets of the link, not 1"
  [ ! -e "$XDG_RUNTIME_DIR/karvolen-viewer.lock" ] || fail "$2: lock left behind"
}

# e2e_polls_on PID WHAT [COUNT]: PID goes on, and sends COUNT (1) more
# replies within 10 s.
e2e_polls_on() {
  local sent
  sent="$(e2e_log_count "reply sent")"
  e2e_wait_log "reply sent" $((sent + ${3:-1})) 10 || fail "$2: polling stopped"
  kill -0 "$1" 2>/dev/null || fail "$2: the program ended"
}

# e2e_second_copy_refused FIRST: a second viewer says so and ends with an
# error, without touching the link; VIEWER_PID is FIRST again.
e2e_second_copy_refused() {
  e2e_start_viewer "log=$E2E_TMP/sim2.log" || fail "second copy: no start"
  e2e_answer "$TITLE_START_UP_ERROR" >/dev/null || fail "second copy not refused"
  e2e_expect_exit "$VIEWER_PID" "second copy" nonzero
  [ ! -s "$E2E_TMP/sim2.log" ] || fail "second copy touched the link"
  VIEWER_PID=$1
}

# e2e_rss_kb PID, e2e_cpu_ms PID: a process's resident memory in kB, the CPU
# time it has used in ms.
e2e_rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }
e2e_cpu_ms() { awk -v hz="$(getconf CLK_TCK)" '{print int(($14 + $15) * 1000 / hz)}' "/proc/$1/stat"; }

# e2e_log_count PATTERN: lines of the simulator's log that match.
e2e_log_count() { local n; n="$(grep -c -- "$1" "$E2E_TMP/sim.log" 2>/dev/null)" || true; echo "${n:-0}"; }

# e2e_wait_log PATTERN COUNT [seconds]
e2e_wait_log() {
  local pattern="$1" count="$2"
  wait_until "${3:-15}" '[ "$(e2e_log_count "$pattern")" -ge "$count" ]' ||
    { echo "simulator log: fewer than $2 lines matching '$1'" >&2; return 1; }
}

# e2e_pixels_differ A B: how many pixels of two pictures differ.
e2e_pixels_differ() { compare -metric AE "$1" "$2" null: 2>&1 || true; }

# e2e_matches_dump WINDOW [tries [crop]]: the window (or its part WxH+X+Y)
# shows exactly the picture the simulator sent last.
e2e_matches_dump() { e2e_matches_shot "${2:-8}" e2e_shot_window "$1" "${3:-}"; }
e2e_shot_window() { import -window "$1" ${2:+-crop "$2" +repage} "$E2E_TMP/shot.png" 2>/dev/null; }

# e2e_matches_shot TRIES COMMAND...: COMMAND writes $E2E_TMP/shot.png, which
# shows exactly the picture the simulator sent last. Retries, since a new
# frame may land between the two reads.
e2e_matches_shot() {
  local tries="$1" ae
  shift
  for _ in $(seq "$tries"); do
    "$@"
    cp "$E2E_TMP/frame.ppm" "$E2E_TMP/frame-copy.ppm" 2>/dev/null
    ae="$(e2e_pixels_differ "$E2E_TMP/shot.png" "$E2E_TMP/frame-copy.ppm")"
    [ "$ae" = 0 ] && return 0
    sleep 0.3
  done
  echo "screenshot differs from the simulator's picture in $ae pixels" >&2
  return 1
}

# e2e_stop_start CLICK WAIT X Y: with the picture's top-left corner at X,Y,
# a click on the picture shows the button, a click on it pauses and another
# resumes. "CLICK X Y" clicks there, "WAIT TITLE" waits for the window's title.
e2e_stop_start() {
  local click="$1" wait="$2" bx=$(($3 + BUTTON_LEFT + BUTTON_WIDTH / 2)) by=$(($4 + BUTTON_TOP + BUTTON_HEIGHT / 2))
  "$click" $(($3 + 300)) $(($4 + 200))
  "$click" "$bx" "$by"
  "$wait" "$TITLE_PAUSED" || fail "STOP did not pause"
  "$click" "$bx" "$by"
  "$wait" "$TITLE_COMMUNICATING" || fail "START did not resume"
}
# xdo_click X Y: a left click at screen coordinates.
xdo_click() { xdo mousemove "$1" "$2" click 1; }

# e2e_start_openbox: a real X11 window manager on the display; returns once
# it manages windows (it has set _NET_SUPPORTING_WM_CHECK on the root).
e2e_start_openbox() {
  # A shared display may still carry the mark of an earlier, ended one.
  xprop -root -remove _NET_SUPPORTING_WM_CHECK 2>/dev/null || true
  e2e_spawn openbox "xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'" openbox --sm-disable &&
    kill -0 "$E2E_PID" 2>/dev/null || { echo "openbox did not start" >&2; cat "$E2E_TMP/openbox.log" >&2; return 1; }
}

# A nested compositor shown as a window (NESTED_WIN, NESTED_SIZE) of the X
# display, WAYLAND_DISPLAY its socket, and the viewers as its native clients,
# each traced into viewer-N.log.
# wl_start N SIM_OPTIONS: viewer N, traced into viewer-N.log.
wl_start() {
  QUELLBAR_SIM="$2" QT_QPA_PLATFORM=wayland WAYLAND_DEBUG=1 \
    ${SIM_RUN:+"$SIM_RUN"} "$VIEWER" >"$E2E_TMP/viewer-$1.log" 2>&1 &
  VIEWER_PID=$!
}
# wl_wait N PATTERN [seconds]: the trace of viewer N shows PATTERN.
wl_wait() {
  local n="$1" pattern="$2"
  wait_until "${3:-15}" 'grep -q -- "$pattern" "$E2E_TMP/viewer-$n.log"' ||
    { echo "viewer $n: no '$pattern' within ${3:-15}s" >&2; return 1; }
}
# wl_last N REQUEST: the arguments of the last such request of viewer N.
wl_last() {
  grep -- "-> xdg_[a-z]*[@#][0-9]*\.$2(" "$E2E_TMP/viewer-$1.log" | tail -n1 | sed 's/.*(\(.*\))/\1/'
}
# wl_size: the size of viewer 1's last window geometry, as WxH.
wl_size() { wl_last 1 set_window_geometry | awk -F', ' '{print $3 "x" $4}'; }
# wl_title TITLE: the last title viewer 1 set is TITLE within 10 s.
wl_title() {
  local title="$1"
  wait_until 10 '[ "$(wl_last 1 set_title)" = "\"$title\"" ]' ||
    { echo "title $(wl_last 1 set_title), not '$title'" >&2; return 1; }
}
# wl_geometry GEOMETRY: viewer 1's last window geometry is GEOMETRY within 10 s.
wl_geometry() { local g="$1"; wait_until 10 '[ "$(wl_last 1 set_window_geometry)" = "$g" ]'; }
# wl_frame: where the compositor shows the window, decoration included, as
# "W H X Y" on the X screen; the background around it is plain black. The
# pointer is parked in the top-left corner and its image painted over there,
# which leaves the bounds of any window of 100 x 100 or more as they are.
wl_frame() {
  xdo mousemove 0 0
  sleep 0.2
  import -window root "$E2E_TMP/screen.png" 2>/dev/null
  convert "$E2E_TMP/screen.png" -crop "${NESTED_SIZE}+0+0" +repage -fill black -draw 'rectangle 0,0 40,40' \
    -trim -format '%w %h %X %Y\n' info: | tr -d '+'
}
# wl_key KEY [PATTERN]: a key press to the compositor, which hands it to the
# focused window. With PATTERN, pressed once more if viewer 1's trace does not
# show PATTERN within 8 s: under load a key now and then never reaches it.
wl_key() {
  xdo windowfocus --sync "$NESTED_WIN"
  xdo key --clearmodifiers "$1"
  { [ -z "${2:-}" ] || wl_wait 1 "$2" 8 2>/dev/null; } && return 0
  echo "note: $1 did not reach the viewer; pressed again" >&2
  xdo key --clearmodifiers "$1"
}
# wl_toplevel N TITLE: viewer N's last toplevel titled TITLE, as the trace
# names it (nothing if none).
wl_toplevel() { grep -o "xdg_toplevel[@#][0-9]*\.set_title(\"$2\")" "$E2E_TMP/viewer-$1.log" | tail -n1 | cut -d. -f1; }
# wl_parented N TITLE: viewer N's last toplevel titled TITLE has a parent.
wl_parented() {
  local top
  top="$(wl_toplevel "$1" "$2")"
  [ -n "$top" ] && grep -q -- "-> $top\.set_parent(xdg_toplevel[@#]" "$E2E_TMP/viewer-$1.log"
}
# wl_boxes: how many exit questions viewer 1 has shown.
wl_boxes() { grep -c -- "set_title(\"$TITLE_APP\")" "$E2E_TMP/viewer-1.log" || true; }
# e2e_qt_at_least VERSION: the system's Qt 6 is at least VERSION. Before 6.5
# Qt gives the portal's chooser no handle of a Wayland window, and the viewer
# keeps Qt's own dialog there.
e2e_qt_at_least() {
  local lib
  lib="$(ls /usr/lib/*/libQt6Core.so.6.* 2>/dev/null | head -n1)"
  dpkg --compare-versions "${lib##*.so.}" ge "$1"
}
# e2e_centred WHAT BOX WINDOW [SCREEN [SLACK]]: BOX and WINDOW ("X Y W H",
# on one screen) have their centres within SLACK (60) px of each other each
# way, as a desktop that attaches a dialog to its window places it; with
# SCREEN (WxH), as far as the screen lets a box that size be centred. Fails
# the test otherwise.
e2e_centred() {
  local bx by bw bh wx wy ww wh sw sh cx cy dx dy slack="${5:-60}"
  read -r bx by bw bh <<<"$2"
  read -r wx wy ww wh <<<"$3"
  IFS=x read -r sw sh <<<"${4:-0x0}"
  cx=$((wx + ww / 2 - bw / 2)) cy=$((wy + wh / 2 - bh / 2))
  if [ "$sw" -gt 0 ]; then
    cx=$((cx + bw > sw ? sw - bw : cx)) cy=$((cy + bh > sh ? sh - bh : cy))
    cx=$((cx < 0 ? 0 : cx)) cy=$((cy < 0 ? 0 : cy))
  fi
  dx=$((bx - cx)) dy=$((by - cy))
  echo "# $1: ${bw}x$bh at $bx,$by over the window ${ww}x$wh at $wx,$wy, $dx,$dy from centred"
  [ "${dx#-}" -le "$slack" ] && [ "${dy#-}" -le "$slack" ] ||
    fail "$1 (${bw}x$bh at $bx,$by) is not centred over the window (${ww}x$wh at $wx,$wy): $dx,$dy off"
}
# e2e_x11_dialog WHAT ID: the X11 window ID is typed a dialog.
e2e_x11_dialog() {
  local type
  type="$(xprop -id "$2" _NET_WM_WINDOW_TYPE 2>/dev/null | sed -n 's/.*= //p')"
  [[ "$type" == _NET_WM_WINDOW_TYPE_DIALOG* ]] || fail "$1 is typed '${type:-nothing}', not a dialog"
}
