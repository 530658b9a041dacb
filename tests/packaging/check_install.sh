#!/usr/bin/env bash
# Installs the build tree $1 into a scratch prefix and checks the result with
# the same checks tools/test-extra applies to the .deb.
set -uo pipefail
build="$1"
checks="$2"
stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT
cmake --install "$build" --prefix "$stage/usr" >/dev/null || exit 1
# shellcheck source=../../tools/test-extra
source "$checks"
check_tree "$stage/usr" "$stage/usr/lib/udev/rules.d"
