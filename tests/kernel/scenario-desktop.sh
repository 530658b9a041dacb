# What a desktop adds to the bare stack: systemd-udevd with the package's rule
# tags the Quellbar's node for the seat's user (uaccess) and nothing else; and
# with two matching devices on the bus the link opens the one libusb lists first.
set -euo pipefail
fails=0
ok() { echo "ok - $*"; }
fail() {
  echo "FAIL - $*"
  fails=$((fails + 1))
}

# The rule is the one under test only if no file of the same name in /etc masks it.
rule="$BUILD/packaging/60-quellbar.rules"
if [ -e /etc/udev/rules.d/60-quellbar.rules ]; then
  fail "/etc/udev/rules.d/60-quellbar.rules masks the rule under test"
fi
mkdir -p /run/udev/rules.d
cp "$rule" /run/udev/rules.d/

# udevd and udevadm refuse to act in a chroot, and the guest's scenarios run in one.
export SYSTEMD_IGNORE_CHROOT=1
udevd=/usr/lib/systemd/systemd-udevd
[ -x "$udevd" ] || udevd=/lib/systemd/systemd-udevd

plug() { gadget_plug "$@" || { fail "$2:$3 never configured"; return 1; }; } # OPTIONS VENDOR PRODUCT
unplug() { gadget_unplug || fail "the gadget's device stayed on the bus"; }

# Tags udev recorded for the plugged device's node; USEC_INITIALIZED proves udev
# handled it at all, so a missing tag is not just a missed event.
check_tag() { # VENDOR:PRODUCT yes|no
  local node props
  node="$(printf '/dev/bus/usb/%03d/%03d' "$(cat "$GADGET_DEV/busnum")" "$(cat "$GADGET_DEV/devnum")")"
  udevadm settle -t 10 || fail "$1: udev queue not empty after 10 s"
  props="$(udevadm info --query=property --name="$node" || true)"
  echo "$1 $node: $(grep -E '^(TAGS|CURRENT_TAGS)=' <<<"$props" | tr '\n' ' ')"
  if ! grep -q '^USEC_INITIALIZED=' <<<"$props"; then
    fail "$1: udev never handled $node"
  elif grep -q '^CURRENT_TAGS=.*:uaccess:' <<<"$props"; then
    [ "$2" = yes ] && ok "$1 tagged uaccess" || fail "$1 tagged uaccess"
  else
    [ "$2" = no ] && ok "$1 not tagged uaccess" || fail "$1 not tagged uaccess"
  fi
}

start=$SECONDS
# Plugged before udevd runs, as at boot: the trigger replays its event.
if plug "" 7e3a ff05; then
  "$udevd" --daemon
  udevadm trigger --action=add --subsystem-match=usb
  check_tag "7e3a:ff05 (coldplug)" yes
  unplug
fi
# Hotplugged, udevd listening.
while read -r opts vendor product want; do
  if plug "$opts" "$vendor" "$product"; then
    check_tag "$vendor:$product" "$want"
    unplug
  fi
done <<'EOF'
product=ff05 7e3a ff05 yes
product=0009 7e3a 0009 yes
product=ff06 7e3a ff06 no
vendor=7e3b 7e3b ff05 no
EOF
udevadm control --exit
echo "rig: udev cases took $((SECONDS - start)) s"

# Two UDCs: gadgetfs takes the first free one, a configfs gadget 7e3a:0009 with
# the kernel's SourceSink function the other.
umount /dev/gadget
rmmod gadgetfs dummy_hcd
usb_up num=2
modprobe libcomposite
modprobe usb_f_ss_lb
mountpoint -q /sys/kernel/config || mount -t configfs configfs /sys/kernel/config
g=/sys/kernel/config/usb_gadget/second
mkdir -p "$g/configs/c.1" "$g/functions/SourceSink.0"
echo 0x7e3a >"$g/idVendor"
echo 0x0009 >"$g/idProduct"
ln -s "$g/functions/SourceSink.0" "$g/configs/c.1/"
LD_LIBRARY_PATH="$BUILD/lib" RIG_SECOND_GADGET="$g" "$BUILD/bin/link_kernel_tests" \
  --gtest_filter='KernelLink.TwoMatchingDevicesOpenTheFirstLibusbLists' || fails=$((fails + 1))

[ $fails -eq 0 ]
