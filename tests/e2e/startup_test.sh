#!/usr/bin/env bash
# The real program's start-up outcomes under Xvfb.
set -euo pipefail
BUILD="${1:-}"
. "$(dirname "$0")/../../tools/e2e-lib.sh"
e2e_init

# No Quellbar: the connect message, then the end without a window.
e2e_start_viewer "device=absent" || fail "no device: no start"
e2e_answer "$TITLE_COMMUNICATION_ERROR" >/dev/null
e2e_expect_exit "$VIEWER_PID" "no device" nonzero
[ -z "$(e2e_find "$TITLE_COMMUNICATING")" ] || fail "no device: main window shown"
echo "ok - no device: connect message, exit $E2E_STATUS"

# No link library beside the program: "USB Driver not found".
mkdir -p "$E2E_TMP/alone/bin"
cp "$VIEWER" "$E2E_TMP/alone/bin/"
e2e_start_viewer "" "$E2E_TMP/alone/bin/karvolen-viewer" || fail "no library: no start"
e2e_answer "$TITLE_DRIVER_ERROR" >/dev/null
e2e_expect_exit "$VIEWER_PID" "no library" nonzero
echo "ok - no library: driver message, exit $E2E_STATUS"

# A Quellbar: the window polls; a second copy is refused and the first goes on.
e2e_polling "" 15 "request BMP? 0" 1
first=$VIEWER_PID
echo "ok - device present: '$TITLE_COMMUNICATING'"
# The libusb it talks through is the system's, none of our own in front.
system="$(readlink -f "$(ldconfig -p | awk '$1 == "libusb-0.1.so.4" {print $NF; exit}')")"
loaded="$(awk '/libusb-0\.1\.so\.4/ {print $NF}' "/proc/$first/maps" | sort -u | xargs -r readlink -f)"
[ -n "$system" ] && [ "$loaded" = "$system" ] || fail "libusb loaded: '$loaded', the system's: '$system'"
echo "ok - libusb is the system's: $loaded"

e2e_second_copy_refused "$first"
e2e_polls_on "$first" "first instance" 2
echo "ok - second instance refused, first still polling"

# A crashed instance's lock does not block the next start.
kill -9 "$first"
wait "$first" 2>/dev/null || true
e2e_start_viewer "log=$E2E_TMP/sim3.log" || fail "start after a crash: no start"
e2e_wait "$TITLE_COMMUNICATING" >/dev/null || fail "start after a crash refused"
echo "ok - start after a crashed instance"
