#!/usr/bin/env bash
# One X server for all the desktop cases, as a ctest fixture: "start STATE
# BUILD" writes "DISPLAY PID SCREEN" to STATE, "stop STATE" ends that server.
set -euo pipefail
state="$2"
case "$1" in
  start)
    BUILD="$3"
    . "$(dirname "$0")/../../tools/e2e-lib.sh"
    rm -rf "$state.d" && mkdir "$state.d"
    e2e_xvfb "$state.d"
    echo "$DISPLAY $XVFB_PID $E2E_SCREEN" >"$state"
    echo "xvfb: $DISPLAY (process $XVFB_PID)"
    ;;
  stop)
    [ -s "$state" ] || exit 0
    read -r _ pid _ <"$state"
    rm -f "$state"
    kill "$pid" 2>/dev/null || true
    ;;
  *) exit 2 ;;
esac
