#!/usr/bin/env bash
# The live view end to end: real program, real libmarlex.so, the system's libusb,
# simulated Quellbar. The window, laid out at the picture's size, must show the
# simulator's picture pixel for pixel, also after faults.
set -euo pipefail
BUILD="${1:-}"
. "$(dirname "$0")/../../tools/e2e-lib.sh"
e2e_init

# A silent fault at the 4th request, one with a message at the 8th.
e2e_polling "width=640;dump=$E2E_TMP/frame.ppm;faults=nosig:20000@4,noreply@8" 15 "reply sent" 2
geometry="$(xdo getwindowgeometry "$WIN" | sed -n 's/.*Geometry: //p')"
[ "$geometry" = "640x480" ] || fail "window is $geometry, not 640x480"
e2e_matches_dump "$WIN" || fail "first picture"
echo "ok - 640x480 picture shown pixel for pixel"

# Silent recovery: the reply without signature is drained, polling goes on.
e2e_wait_log "fault nosig" 1 10 || fail "nosig not injected"
e2e_wait_log "reply sent" 5 10 || fail "no replies after the drain"
e2e_matches_dump "$WIN" || fail "picture after the drain"
echo "ok - picture back after a drained reply"

# No reply: the message, the failure state, then START brings the picture back.
e2e_answer "$TITLE_COMMUNICATION_ERROR" >/dev/null || fail "no no-reply message"
e2e_wait "$TITLE_FAILURE" 5 >/dev/null || fail "no failure title"
whole="$(e2e_log_count "request BMP? 0")"
e2e_click_button "$WIN" "$TITLE_COMMUNICATING" || fail "START did not resume"
e2e_wait_log "request BMP? 0" $((whole + 1)) 10 || fail "no whole picture after START"
e2e_polls_on "$VIEWER_PID" "after START" 2
e2e_matches_dump "$WIN" || fail "picture after restart"
echo "ok - picture back after a lost reply and START"
