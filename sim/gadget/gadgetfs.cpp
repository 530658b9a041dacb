#include "gadgetfs.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/gadgetfs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace gadget {
namespace {

// The 7-byte endpoint descriptor (the user-space ch9.h only has the 9-byte
// audio form).
struct EndpointDescriptor {
    uint8_t bLength = USB_DT_ENDPOINT_SIZE;
    uint8_t bDescriptorType = USB_DT_ENDPOINT;
    uint8_t bEndpointAddress;
    uint8_t bmAttributes = USB_ENDPOINT_XFER_BULK;
    uint16_t wMaxPacketSize;
    uint8_t bInterval = 0;
} __attribute__((packed));
static_assert(sizeof(EndpointDescriptor) == USB_DT_ENDPOINT_SIZE);

template <typename T>
void Append(std::vector<uint8_t>& out, const T& value)
{
    const auto* p = reinterpret_cast<const uint8_t*>(&value);
    out.insert(out.end(), p, p + sizeof value);
}

usb_interface_descriptor Interface(const Personality& p, uint8_t alt, uint8_t endpoints)
{
    usb_interface_descriptor d{};
    d.bLength = USB_DT_INTERFACE_SIZE;
    d.bDescriptorType = USB_DT_INTERFACE;
    d.bInterfaceNumber = p.interfaceNumber;
    d.bAlternateSetting = alt;
    d.bNumEndpoints = endpoints;
    d.bInterfaceClass = USB_CLASS_VENDOR_SPEC;
    return d;
}

std::vector<uint8_t> Configuration(const Personality& p, uint16_t maxPacket)
{
    std::vector<uint8_t> body;
    Append(body, Interface(p, 0, 2));
    Append(body, EndpointDescriptor{.bEndpointAddress = kEpOut, .wMaxPacketSize = maxPacket});
    Append(body, EndpointDescriptor{.bEndpointAddress = kEpIn, .wMaxPacketSize = maxPacket});
    if (p.refuseAltSetting) Append(body, Interface(p, 1, 0));

    usb_config_descriptor c{};
    c.bLength = USB_DT_CONFIG_SIZE;
    c.bDescriptorType = USB_DT_CONFIG;
    c.wTotalLength = static_cast<uint16_t>(USB_DT_CONFIG_SIZE + body.size());
    c.bNumInterfaces = 1;
    c.bConfigurationValue = 1;
    c.bmAttributes = USB_CONFIG_ATT_ONE | USB_CONFIG_ATT_SELFPOWER;
    c.bMaxPower = 1;
    std::vector<uint8_t> out;
    Append(out, c);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

GadgetFs::GadgetFs(std::string dir, Personality personality) : dir_(std::move(dir)), personality_(personality) {}

GadgetFs::~GadgetFs()
{
    for (int fd : {in_, out_, ep0_}) {
        if (fd >= 0) close(fd);
    }
}

std::string GadgetFs::Start()
{
    std::string ep0;
    if (DIR* d = opendir(dir_.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.' && std::strncmp(e->d_name, "ep", 2) != 0) ep0 = dir_ + "/" + e->d_name;
        }
        closedir(d);
    }
    if (ep0.empty()) return "no controller file in " + dir_;
    ep0_ = open(ep0.c_str(), O_RDWR | O_CLOEXEC);
    if (ep0_ < 0) return Errno("open " + ep0);

    usb_device_descriptor dev{};
    dev.bLength = USB_DT_DEVICE_SIZE;
    dev.bDescriptorType = USB_DT_DEVICE;
    dev.bcdUSB = 0x0200;
    dev.bMaxPacketSize0 = 64;
    dev.idVendor = personality_.vendor;
    dev.idProduct = personality_.product;
    dev.bcdDevice = 0x0100;
    dev.bNumConfigurations = 1;

    std::vector<uint8_t> msg;
    Append(msg, uint32_t{0});
    const auto fs = Configuration(personality_, quellbar::kFullSpeedPacket);
    const auto hs = Configuration(personality_, quellbar::kHighSpeedPacket);
    msg.insert(msg.end(), fs.begin(), fs.end());
    msg.insert(msg.end(), hs.begin(), hs.end());
    Append(msg, dev);
    if (write(ep0_, msg.data(), msg.size()) != static_cast<ssize_t>(msg.size())) return Errno("configure " + ep0);
    return "";
}

std::string GadgetFs::EnableEndpoints()
{
    struct Ep {
        const char* file;
        uint8_t address;
        int* fd;
    };
    for (const Ep& ep : {Ep{"ep1out-bulk", kEpOut, &out_}, Ep{"ep2in-bulk", kEpIn, &in_}}) {
        const std::string path = dir_ + "/" + ep.file;
        const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) return Errno("open " + path);
        std::vector<uint8_t> msg;
        Append(msg, uint32_t{1});
        Append(msg, EndpointDescriptor{.bEndpointAddress = ep.address, .wMaxPacketSize = quellbar::kFullSpeedPacket});
        Append(msg, EndpointDescriptor{.bEndpointAddress = ep.address, .wMaxPacketSize = quellbar::kHighSpeedPacket});
        if (write(fd, msg.data(), msg.size()) != static_cast<ssize_t>(msg.size())) {
            const std::string e = Errno("configure " + path);
            close(fd);
            return e;
        }
        *ep.fd = fd;
    }
    return "";
}

// A request without a data stage is acknowledged by a read of nothing.
void GadgetFs::Ack()
{
    char c;
    (void)!read(ep0_, &c, 0);
}

// ... and refused by an I/O call in the wrong direction.
void GadgetFs::Stall(bool in)
{
    char c = 0;
    if (in) {
        (void)!read(ep0_, &c, 0);
    } else {
        (void)!write(ep0_, &c, 0);
    }
}

GadgetFs::Event GadgetFs::NextEvent()
{
    usb_gadgetfs_event ev{};
    const ssize_t n = read(ep0_, &ev, sizeof ev);
    if (n < static_cast<ssize_t>(sizeof ev)) return Event::None;
    switch (ev.type) {
    case GADGETFS_CONNECT: highSpeed_ = ev.u.speed == USB_SPEED_HIGH; return Event::Connect;
    case GADGETFS_DISCONNECT: return Event::Disconnect;
    case GADGETFS_SUSPEND: return Event::Suspend;
    case GADGETFS_SETUP: break;
    default: return Event::Other;
    }
    const usb_ctrlrequest& s = ev.u.setup;
    const bool in = (s.bRequestType & USB_DIR_IN) != 0;
    if ((s.bRequestType & USB_TYPE_MASK) != USB_TYPE_STANDARD) {
        Stall(in);
        return Event::Other;
    }
    switch (s.bRequest) {
    case USB_REQ_SET_CONFIGURATION:
        // Sent again on every set-configuration call of the host: the
        // endpoints stay as they are.
        if (s.wValue == 1 && !Configured()) {
            const std::string e = EnableEndpoints();
            if (!e.empty()) {
                std::fprintf(stderr, "quellbar-gadget: %s\n", e.c_str());
                Stall(in);
                return Event::Other;
            }
        }
        Ack();
        return Event::Configured;
    case USB_REQ_SET_INTERFACE:
        // No clear-halt here: gadgetfs would wait behind the pending OUT read.
        if (personality_.refuseAltSetting || s.wValue != 0 || s.wIndex != personality_.interfaceNumber) {
            Stall(in);
            return Event::Other;
        }
        Ack();
        return Event::Interface;
    case USB_REQ_GET_INTERFACE: {
        const uint8_t alt = 0;
        (void)!write(ep0_, &alt, 1);
        return Event::Other;
    }
    default: Stall(in); return Event::Other;
    }
}

bool GadgetFs::Halt(int fd, bool inEndpoint)
{
    char c = 0;
    const ssize_t r = inEndpoint ? read(fd, &c, 0) : write(fd, &c, 0);
    return r < 0 && errno == EBADMSG;
}

bool GadgetFs::ClearHalt(int fd) { return ioctl(fd, GADGETFS_CLEAR_HALT) == 0; }

}  // namespace gadget
