// Helpers for driving libusb 0.1 directly.
#pragma once

#include <usb.h>

#include <cstdint>
#include <vector>

namespace karvolen::testing {

// The first listed device with this vendor id after a rescan, or null.
inline struct usb_device* Find(uint16_t vendor)
{
    usb_init();
    usb_find_busses();
    usb_find_devices();
    for (usb_bus* bus = usb_get_busses(); bus; bus = bus->next) {
        for (struct usb_device* dev = bus->devices; dev; dev = dev->next) {
            if (dev->descriptor.idVendor == vendor) return dev;
        }
    }
    return nullptr;
}

inline int Read(usb_dev_handle* h, uint8_t* data, int length, int timeout = 5000)
{
    return usb_bulk_read(h, 0x82, reinterpret_cast<char*>(data), length, timeout);
}

inline int Write(usb_dev_handle* h, const char* data, int length, int timeout = 5000)
{
    return usb_bulk_write(h, 0x01, data, length, timeout);
}

}  // namespace karvolen::testing
