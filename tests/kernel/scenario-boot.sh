# The rig itself: the guest runs a script from the shared root and USB is up.
uname -r
ls /dev/bus/usb/*
[ -e /dev/gadget/dummy_udc ] || { echo "FAIL: no /dev/gadget/dummy_udc"; exit 1; }
echo "ok - guest booted, dummy_hcd and gadgetfs loaded"
