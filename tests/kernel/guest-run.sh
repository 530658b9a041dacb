#!/usr/bin/env bash
# Runs one scenario inside the rig's guest: the USB modules of the shared
# root, gadgetfs mounted, then tests/kernel/scenario-<name>.sh.
set -uo pipefail
scenario="$1"
ROOT="$RIG_ROOT"
BUILD="$RIG_BUILD"
. "$ROOT/tools/wait-until.sh"

# usb_up [DUMMY_HCD_OPTIONS]: the UDC at the rig's speed, gadgetfs mounted.
usb_up() {
  local hs=1
  [ "$RIG_SPEED" = full ] && hs=0
  modprobe dummy_hcd is_high_speed=$hs "$@" && modprobe gadgetfs && mkdir -p /dev/gadget &&
    mount -t gadgetfs gadgetfs /dev/gadget
}

# gadget_configured VENDOR PRODUCT: the kernel has configured such a device;
# GADGET_DEV is then its sysfs folder.
GADGET_PID="" GADGET_DEV=""
gadget_configured() {
  local d
  for d in /sys/bus/usb/devices/*; do
    [ "$(cat "$d/idVendor" 2>/dev/null)" = "$1" ] && [ "$(cat "$d/idProduct" 2>/dev/null)" = "$2" ] &&
      [ "$(cat "$d/bConfigurationValue" 2>/dev/null)" = 1 ] && GADGET_DEV="$d" && return 0
  done
  return 1
}

# gadget_plug OPTIONS [VENDOR PRODUCT]: starts the gadget Quellbar (its output
# in the run folder) and waits up to 10 s until the kernel has configured it.
gadget_plug() {
  local vendor="${2:-7e3a}" product="${3:-ff05}"
  "$BUILD/bin/quellbar-gadget" "$1" >>"$RIG_RESULTS/gadget-$vendor-$product.log" 2>&1 &
  GADGET_PID=$!
  wait_until 10 'gadget_configured "$vendor" "$product"' ||
    { echo "$vendor:$product not configured after 10 s" >&2; return 1; }
}

# gadget_unplug: ends the gadget; fails if its device is still there after 5 s.
gadget_unplug() {
  [ -n "$GADGET_PID" ] || return 0
  kill "$GADGET_PID" 2>/dev/null || true
  wait "$GADGET_PID" 2>/dev/null || true
  GADGET_PID=""
  wait_until 5 '[ -z "$GADGET_DEV" ] || [ ! -e "$GADGET_DEV" ]'
}

modprobe usbcore || exit 90
usb_up || exit 90
echo "rig: usb ready $(cut -d' ' -f1 /proc/uptime) s, $RIG_SPEED speed"

. "$ROOT/tests/kernel/scenario-$scenario.sh"
