#!/usr/bin/env bash
# The real program as a native Wayland client of a headless weston. What the
# client tells the compositor (title, app id, size limits, window geometry) is
# read from libwayland's protocol trace (WAYLAND_DEBUG).
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
BUILD="${1:-$ROOT/build}"
. "$ROOT/tools/e2e-lib.sh"
command -v weston >/dev/null || { echo "SKIP: weston not installed"; exit 77; }
ls /usr/lib/*/qt6/plugins/platforms/libqwayland-generic.so >/dev/null 2>&1 ||
  { echo "SKIP: Qt's Wayland platform (qt6-wayland) not installed"; exit 77; }
E2E_TMP="$(mktemp -d "${TMPDIR:-/tmp}/karvolen-e2e.XXXXXX")"
mkdir -m 700 "$E2E_TMP/runtime"
export XDG_RUNTIME_DIR="$E2E_TMP/runtime"
trap e2e_cleanup EXIT
unset DISPLAY
e2e_start_weston || fail "no compositor"

# wl_start N SIM_OPTIONS: viewer N, traced into viewer-N.log.
wl_start() {
  LD_LIBRARY_PATH="$SIMLIB" QUELLBAR_SIM="$2" QT_QPA_PLATFORM=wayland WAYLAND_DEBUG=1 \
    "$VIEWER" >"$E2E_TMP/viewer-$1.log" 2>&1 &
  VIEWER_PID=$!
}
# wl_wait N PATTERN [seconds]: the trace of viewer N shows PATTERN.
wl_wait() {
  local end=$((SECONDS + ${3:-15}))
  until grep -q -- "$2" "$E2E_TMP/viewer-$1.log"; do
    [ $SECONDS -le $end ] || { echo "viewer $1: no '$2' within ${3:-15}s" >&2; return 1; }
    sleep 0.1
  done
}
# wl_last N REQUEST: the arguments of the last such request of viewer N.
wl_last() {
  grep -- "-> xdg_[a-z]*[@#][0-9]*\.$2(" "$E2E_TMP/viewer-$1.log" | tail -n1 | sed 's/.*(\(.*\))/\1/'
}

wl_start 1 "width=640;log=$E2E_TMP/sim.log"
first=$VIEWER_PID
wl_wait 1 "set_title(\"$TITLE_COMMUNICATING\")" || fail "no Communicating title"
wl_wait 1 'set_app_id("karvolen-viewer")' 5 || fail "app id is $(wl_last 1 set_app_id)"
e2e_wait_log "reply sent" 2 || fail "no pictures"
echo "ok - Wayland: '$TITLE_COMMUNICATING', app id karvolen-viewer"

# The decoration is drawn around the 640x480 client area; the client's
# minimum (which Qt keeps the client area at) plus the decoration is 100x100.
end=$((SECONDS + 10))
until [ "$(wl_last 1 set_window_geometry | awk -F', ' '$3 > 640 && $3 < 700 {print "ok"}')" = ok ]; do
  [ $SECONDS -le $end ] || fail "window geometry $(wl_last 1 set_window_geometry): not laid out for 640"
  sleep 0.1
done
read -r dw dh < <(wl_last 1 set_window_geometry | awk -F', ' '{print $3 - 640, $4 - 480}')
[ "$dw" -gt 0 ] && [ "$dh" -gt 0 ] || fail "no decoration: $(wl_last 1 set_window_geometry)"
read -r mw mh < <(wl_last 1 set_min_size | awk -F', ' '{print $1, $2}')
[ "$((mw + dw))x$((mh + dh))" = 100x100 ] || fail "minimum $mw x $mh with a decoration of $dw x $dh"
echo "ok - Wayland: decoration $dw x $dh, client minimum $mw x $mh: outer minimum 100x100"

# A second copy is refused without touching the link.
wl_start 2 "log=$E2E_TMP/sim2.log"
second=$VIEWER_PID
wl_wait 2 'set_title("Start up error")' || fail "second copy not refused"
[ ! -s "$E2E_TMP/sim2.log" ] || fail "second copy touched the link"
kill -KILL "$second"
wait "$second" 2>/dev/null || true
VIEWER_PID=$first
kill -0 "$first" || fail "first copy gone"
echo "ok - Wayland: second copy refused"

# SIGTERM: the exit in order.
kill -TERM "$first"
e2e_status "$first" 10 >"$E2E_TMP/status"
status="$(cat "$E2E_TMP/status")"
[ "$status" = 0 ] || fail "SIGTERM: exit $status"
[ "$(e2e_log_count ' reset$')" = 1 ] || fail "SIGTERM: no reset"
grep -q 'set_title("Stopping ...")' "$E2E_TMP/viewer-1.log" || fail "SIGTERM: no 'Stopping ...'"
[ ! -e "$XDG_RUNTIME_DIR/karvolen-viewer.lock" ] || fail "SIGTERM: lock left behind"
echo "ok - Wayland: SIGTERM: 'Stopping ...', exit 0, link reset, lock released"
