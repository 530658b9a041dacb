# marlex over the real libusb 0.1 and usbfs: result codes, transfers, the
# reset in place, a device leaving during a read, one-transfer replies. The
# two-device case needs two UDCs: scenario-desktop.sh runs it.
LD_LIBRARY_PATH="$BUILD/lib" "$BUILD/bin/link_kernel_tests" \
  --gtest_filter=-KernelLink.TwoMatchingDevicesOpenTheFirstLibusbLists
