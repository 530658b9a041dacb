/* The USB link: one process-wide device handle over libusb 0.1. */
#include "marlex.h"

#include <errno.h>
#include <stddef.h>
#include <usb.h>

#include "protocol.h"

/* The library's only state: empty while no link is open. */
static usb_dev_handle* DeviceHandle = NULL;

static int is_quellbar(const struct usb_device* dev)
{
    unsigned short vendor = dev->descriptor.idVendor;
    unsigned short product = dev->descriptor.idProduct;
    return vendor == MARLEX_VENDOR_ID && (product == MARLEX_PRODUCT_ID_A || product == MARLEX_PRODUCT_ID_B);
}

static struct usb_device* find_first_quellbar(void)
{
    for (struct usb_bus* bus = usb_get_busses(); bus != NULL; bus = bus->next) {
        for (struct usb_device* dev = bus->devices; dev != NULL; dev = dev->next) {
            if (is_quellbar(dev)) {
                return dev;
            }
        }
    }
    return NULL;
}

MARLEX_API int OpenCom(void)
{
    /* Rescan on every call: the device re-enumerates after each reset. */
    usb_init();
    usb_find_busses();
    usb_find_devices();

    struct usb_device* dev = find_first_quellbar();
    if (dev == NULL) {
        return MARLEX_ERR_NO_DEVICE;
    }

    DeviceHandle = usb_open(dev);
    if (DeviceHandle == NULL) {
        return MARLEX_ERR_OPEN;
    }
    if (usb_set_configuration(DeviceHandle, MARLEX_CONFIGURATION) < 0) {
        usb_close(DeviceHandle);
        DeviceHandle = NULL;
        return MARLEX_ERR_CONFIGURATION;
    }
    if (usb_claim_interface(DeviceHandle, MARLEX_INTERFACE) < 0) {
        usb_close(DeviceHandle);
        DeviceHandle = NULL;
        return MARLEX_ERR_CLAIM;
    }
    if (usb_set_altinterface(DeviceHandle, MARLEX_ALT_SETTING) < 0) {
        usb_release_interface(DeviceHandle, MARLEX_INTERFACE);
        usb_close(DeviceHandle);
        DeviceHandle = NULL;
        return MARLEX_ERR_ALT_SETTING;
    }
    return MARLEX_OK;
}

MARLEX_API int CloseCom(void)
{
    if (DeviceHandle == NULL) {
        return 0;
    }
    usb_release_interface(DeviceHandle, MARLEX_INTERFACE);
    usb_reset(DeviceHandle);
    usb_close(DeviceHandle);
    DeviceHandle = NULL;
    return 0;
}

/* A negative length, or no buffer for a positive one, never reaches libusb. */
static int bad_arguments(const void* buffer, int length) { return length < 0 || (buffer == NULL && length > 0); }

MARLEX_API int ReadCom(unsigned char* buffer, int length)
{
    if (DeviceHandle == NULL) {
        return MARLEX_ERR_READ_CLOSED;
    }
    if (bad_arguments(buffer, length)) {
        return -EINVAL;
    }
    const int result = usb_bulk_read(DeviceHandle, MARLEX_EP_IN, (char*)buffer, length, MARLEX_TIMEOUT_MS);
    if (result < 0) {
        CloseCom();
    }
    return result;
}

MARLEX_API int WriteCom(const unsigned char* buffer, int length)
{
    if (DeviceHandle == NULL) {
        return MARLEX_ERR_WRITE_CLOSED;
    }
    if (bad_arguments(buffer, length)) {
        return -EINVAL;
    }
    const int result = usb_bulk_write(DeviceHandle, MARLEX_EP_OUT, (const char*)buffer, length, MARLEX_TIMEOUT_MS);
    if (result < 0) {
        CloseCom();
    }
    return result;
}
