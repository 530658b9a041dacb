# The real viewer under Xvfb over the real libusb and the gadget Quellbar:
# whole and line-delta pictures shown pixel for pixel, the device leaving the
# bus and coming back. Before the window, karvolen-capture's one picture.
set -euo pipefail
export E2E_RUN=""
. "$ROOT/tools/e2e-lib.sh"
e2e_init
export XDG_CACHE_HOME="$E2E_TMP/cache"
# What a failed run leaves for a look (tools/kernel-rig -k keeps it).
trap 'gadget_unplug || true; cp "$E2E_TMP"/{shot.png,capture.png,frame-copy.ppm,sim.log,viewer-*.log} "$RIG_RESULTS/" 2>/dev/null; e2e_cleanup' EXIT

width=800
[ "$RIG_SPEED" = full ] && width=640

start_gadget() { gadget_plug "width=$width;dump=$E2E_TMP/frame.ppm;log=$E2E_TMP/sim.log"; }
# Stops polling and checks the window, button hidden, against the last picture
# the device sent, which must have been a line delta; then polls on. A click on
# the picture shows or hides the button; START hides it.
paused_matches() {
  e2e_click "$WIN" 300 200
  e2e_click_button "$WIN" "$TITLE_PAUSED" 10 || fail "$1: STOP did not pause"
  sleep 1.5
  grep "reply sent" "$E2E_TMP/sim.log" | tail -n1 | grep -q " delta$" || fail "$1: the last reply was not a clean line delta"
  e2e_click "$WIN" 300 200
  e2e_matches_dump "$WIN" || fail "$1: the picture is not the device's"
  e2e_click "$WIN" 300 200
  e2e_click_button "$WIN" "$TITLE_COMMUNICATING" 10 || fail "$1: START did not resume"
}

start_gadget || fail "no gadget"
"$BUILD/bin/karvolen-capture" -o "$E2E_TMP/capture.png" || fail "karvolen-capture: status $?"
# The gadget dumps the picture just after the reply has gone.
wait_until 5 '[ -e "$E2E_TMP/frame.ppm" ]' || fail "no dump of the captured reply"
[ "$(e2e_pixels_differ "$E2E_TMP/capture.png" "$E2E_TMP/frame.ppm")" = 0 ] ||
  fail "the captured picture is not the device's"
echo "ok - karvolen-capture: one $width x 480 PNG, the device's picture"
e2e_polling "" 30 "reply sent .* delta" 3
paused_matches "whole then line deltas"
echo "ok - $width x 480, whole then line-delta pictures, pixel for pixel"

# The device leaves the bus: the viewer says so and stops polling.
gadget_unplug || fail "the device stayed"
e2e_answer "$TITLE_COMMUNICATION_ERROR" "" 30 >/dev/null || fail "no message when the device left"
e2e_wait "$TITLE_FAILURE" 10 >/dev/null || fail "no failure title"
echo "ok - device gone: message, polling stopped"

# Back on the bus: START brings a whole picture and line deltas again.
start_gadget || fail "the gadget did not come back"
whole="$(e2e_log_count "request BMP? 0")"
e2e_click_button "$WIN" "$TITLE_COMMUNICATING" 10 || fail "START did not resume"
e2e_wait_log "request BMP? 0" $((whole + 1)) 30 || fail "no whole picture after START"
deltas="$(e2e_log_count "reply sent .* delta")"
e2e_wait_log "reply sent .* delta" $((deltas + 2)) 30 || fail "no line deltas after START"
paused_matches "after the device came back"
echo "ok - device back: START, pictures again"
