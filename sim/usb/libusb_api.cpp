// The libusb 0.1 functions of the stand-in.
#include "world.h"

using sim::standin::TheWorld;

__attribute__((visibility("default"))) struct usb_bus* usb_busses = nullptr;

SIM_EXPORT void usb_init(void) { TheWorld().hooks.Record("usb_init"); }
SIM_EXPORT void usb_set_debug(int) {}
SIM_EXPORT int usb_find_busses(void)
{
    TheWorld().hooks.Record("usb_find_busses");
    return TheWorld().lists.FindBusses();
}
SIM_EXPORT int usb_find_devices(void)
{
    TheWorld().hooks.Record("usb_find_devices");
    return TheWorld().lists.FindDevices();
}
SIM_EXPORT struct usb_bus* usb_get_busses(void)
{
    TheWorld().hooks.Record("usb_get_busses");
    return usb_busses;
}
SIM_EXPORT usb_dev_handle* usb_open(struct usb_device* dev) { return TheWorld().Open(dev); }
SIM_EXPORT int usb_close(usb_dev_handle* dev) { return TheWorld().Close(dev); }
SIM_EXPORT struct usb_device* usb_device(usb_dev_handle* dev) { return TheWorld().DeviceOf(dev); }
SIM_EXPORT int usb_set_configuration(usb_dev_handle* dev, int configuration)
{
    return TheWorld().SetConfiguration(dev, configuration);
}
SIM_EXPORT int usb_claim_interface(usb_dev_handle* dev, int interface)
{
    return TheWorld().ClaimInterface(dev, interface);
}
SIM_EXPORT int usb_release_interface(usb_dev_handle* dev, int interface)
{
    return TheWorld().ReleaseInterface(dev, interface);
}
SIM_EXPORT int usb_set_altinterface(usb_dev_handle* dev, int alternate)
{
    return TheWorld().SetAltInterface(dev, alternate);
}
SIM_EXPORT int usb_reset(usb_dev_handle* dev) { return TheWorld().ResetDevice(dev); }
SIM_EXPORT int usb_bulk_write(usb_dev_handle* dev, int ep, const char* bytes, int size, int timeout)
{
    // The device only reads the bytes; the cast serves the shared transfer path.
    return TheWorld().Bulk(dev, false, ep, reinterpret_cast<uint8_t*>(const_cast<char*>(bytes)), size, timeout);
}
SIM_EXPORT int usb_bulk_read(usb_dev_handle* dev, int ep, char* bytes, int size, int timeout)
{
    return TheWorld().Bulk(dev, true, ep, reinterpret_cast<uint8_t*>(bytes), size, timeout);
}
// The simulated devices have no interrupt endpoints, strings or control requests.
SIM_EXPORT int usb_interrupt_write(usb_dev_handle*, int, const char*, int, int) { return -ENOENT; }
SIM_EXPORT int usb_interrupt_read(usb_dev_handle*, int, char*, int, int) { return -ENOENT; }
SIM_EXPORT int usb_control_msg(usb_dev_handle*, int, int, int, int, char*, int, int) { return -EPIPE; }
SIM_EXPORT int usb_get_string(usb_dev_handle*, int, int, char*, size_t) { return -EPIPE; }
SIM_EXPORT int usb_get_string_simple(usb_dev_handle*, int, char*, size_t) { return -EPIPE; }
SIM_EXPORT int usb_get_descriptor(usb_dev_handle*, unsigned char, unsigned char, void*, int) { return -EPIPE; }
SIM_EXPORT int usb_get_descriptor_by_endpoint(usb_dev_handle*, int, unsigned char, unsigned char, void*, int)
{
    return -EPIPE;
}
SIM_EXPORT int usb_resetep(usb_dev_handle*, unsigned int) { return 0; }
SIM_EXPORT int usb_clear_halt(usb_dev_handle*, unsigned int) { return 0; }
SIM_EXPORT int usb_get_driver_np(usb_dev_handle*, int, char*, unsigned int) { return -ENODATA; }
SIM_EXPORT int usb_detach_kernel_driver_np(usb_dev_handle*, int) { return -ENODATA; }
SIM_EXPORT char* usb_strerror(void)
{
    static char text[] = "simulated libusb: see the call's return value";
    return text;
}
