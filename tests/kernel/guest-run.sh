#!/usr/bin/env bash
# Runs one scenario inside the rig's guest: the USB modules of the shared
# root, gadgetfs mounted, then tests/kernel/scenario-<name>.sh.
set -uo pipefail
scenario="$1"
ROOT="$RIG_ROOT"
BUILD="$RIG_BUILD"

hs=1
[ "$RIG_SPEED" = full ] && hs=0
modprobe usbcore || exit 90
modprobe dummy_hcd is_high_speed=$hs || exit 90
modprobe gadgetfs || exit 90
mkdir -p /dev/gadget
mount -t gadgetfs gadgetfs /dev/gadget || exit 90
echo "rig: usb ready $(cut -d' ' -f1 /proc/uptime) s, $RIG_SPEED speed"

. "$ROOT/tests/kernel/scenario-$scenario.sh"
