#!/usr/bin/env bash
# The served page in Debian's chromium and 50 WebSocket watchers, against
# karvolen-capture --serve on the simulated Quellbar. Skips (77) without
# chromium, node 20 or the locked npm packages (tools/test runs npm ci here).
#   run.sh BUILD
set -euo pipefail
BUILD="$(cd "$1" && pwd)"
HERE="$(cd "$(dirname "$0")" && pwd)"
skip() { echo "SKIP: $*"; exit 77; }
[ -x /usr/bin/chromium ] || skip "chromium not installed"
command -v node >/dev/null || skip "node not installed"
[ "$(node -p 'process.versions.node.split(".")[0]')" -ge 20 ] || skip "node older than 20"
[ -d "$HERE/node_modules/playwright-core" ] || skip "playwright-core not installed: npm ci in $HERE"
T="$(mktemp -d "${TMPDIR:-/tmp}/karvolen-browser.XXXXXX")"
trap 'rm -rf "$T"' EXIT
# The picture feed's folder, this test's own.
mkdir -m 700 "$T/runtime"
export XDG_RUNTIME_DIR="$T/runtime" BUILD T
# shellcheck source=/dev/null
. "$BUILD/e2e-facts.sh"
export TITLE_COMMUNICATING TITLE_FAILURE
cd "$HERE"
node page_test.mjs
node --experimental-websocket --no-warnings watchers.mjs
