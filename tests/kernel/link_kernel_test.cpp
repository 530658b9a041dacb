// marlex over the real libusb 0.1 and the real kernel: the gadget Quellbar on
// dummy_hcd. Runs inside the rig's guest only (tools/kernel-rig link).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <usb.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#include "encoder.h"
#include "gadget_host.h"
#include "link_binding.h"
#include "marlex.h"
#include "protocol.h"
#include "wire_format.h"

namespace {

using karvolen::testing::DeviceNode;
using karvolen::testing::DevicePath;
using karvolen::testing::Gadget;
using karvolen::testing::ReadAttr;
using Clock = std::chrono::steady_clock;

karvolen::MarlexLink& Link()
{
    static karvolen::MarlexLink link;
    return link;
}

const auto* const kWhole = reinterpret_cast<const uint8_t*>(karvolen::wire::kRequestText);

double Ms(Clock::time_point since) { return std::chrono::duration<double, std::milli>(Clock::now() - since).count(); }

// The gadget's first reply at width 640, as the model builds it.
std::vector<uint8_t> FirstReply()
{
    quellbar::ScreenGenerator gen(640, 1);
    const auto& s = gen.Next();
    return quellbar::BuildReply(quellbar::BuildBmp(s, s.pixels));
}

class KernelLink : public ::testing::Test {
protected:
    void TearDown() override { Link().CloseCom(); }
};

TEST_F(KernelLink, OpensWritesAndReadsAWholeReply)
{
    Gadget g("width=640");
    ASSERT_EQ(Link().OpenCom(), 0);
    EXPECT_EQ(Link().WriteCom(kWhole, 8), 8);
    const auto expected = FirstReply();
    std::vector<uint8_t> got(expected.size() + 100);
    ASSERT_EQ(Link().ReadCom(got.data(), 64), 64);
    const auto start = Clock::now();
    // Asking for more than is left: a short read, and the link stays open.
    const int rest = Link().ReadCom(got.data() + 64, static_cast<int>(got.size() - 64));
    const double ms = Ms(start);
    ASSERT_EQ(rest, static_cast<int>(expected.size() - 64));
    EXPECT_EQ(0, std::memcmp(got.data(), expected.data(), expected.size()));
    std::printf("figure: rest of a whole 640x480 reply (%d bytes) in one read: %.0f ms\n", rest, ms);
    EXPECT_EQ(Link().WriteCom(kWhole, 8), 8) << "link still open after the short read";
}

TEST_F(KernelLink, NoMatchingDeviceIsMinusOne)
{
    EXPECT_EQ(Link().OpenCom(), MARLEX_ERR_NO_DEVICE) << "no gadget at all";
    {
        Gadget g("vendor=7e3b", "7e3b", "ff05");
        EXPECT_EQ(Link().OpenCom(), MARLEX_ERR_NO_DEVICE) << "another vendor";
    }
    {
        Gadget g("product=ff06", "7e3a", "ff06");
        EXPECT_EQ(Link().OpenCom(), MARLEX_ERR_NO_DEVICE) << "another product";
    }
    Gadget g("product=0009", "7e3a", "0009");
    EXPECT_EQ(Link().OpenCom(), MARLEX_OK) << "the second product id";
}

// Separate process, separate user: libusb opens the node read-only and the
// configuration cannot be set.
int OpenComAs(uid_t uid)
{
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgid(uid) != 0 || setuid(uid) != 0) _exit(99);
        _exit(static_cast<uint8_t>(-Link().OpenCom()));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? -WEXITSTATUS(status) : 99;
}

TEST_F(KernelLink, PreparationFailuresAsTheKernelGivesThem)
{
    {
        Gadget g("");
        // What the distribution's default rule gives a USB device node.
        ASSERT_EQ(chmod(g.Node().c_str(), 0664), 0);
        EXPECT_EQ(OpenComAs(65534), MARLEX_ERR_CONFIGURATION) << "a user without write access";

        // Another process holds the interface: usbfs refuses the set-configuration
        // already (EBUSY), so the claim is never reached.
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t holder = fork();
        if (holder == 0) {
            const char r = static_cast<char>(Link().OpenCom());
            (void)!write(ready[1], &r, 1);
            pause();
            _exit(0);
        }
        char r = 1;
        ASSERT_EQ(read(ready[0], &r, 1), 1);
        EXPECT_EQ(r, 0) << "the holder's own open";
        EXPECT_EQ(Link().OpenCom(), MARLEX_ERR_CONFIGURATION) << "interface held by another process";
        kill(holder, SIGKILL);
        waitpid(holder, nullptr, 0);
        EXPECT_EQ(Link().OpenCom(), MARLEX_OK) << "free again once the holder is gone";
    }
    {
        Gadget g("interface=1");
        EXPECT_EQ(Link().OpenCom(), MARLEX_ERR_CLAIM) << "a device without interface 0";
    }
    Gadget g("altsetting=refuse");
    EXPECT_EQ(Link().OpenCom(), MARLEX_ERR_ALT_SETTING) << "SET_INTERFACE stalled, two alternate settings";
}

TEST_F(KernelLink, TimeoutClosesTheLinkAndAResetKeepsTheDevice)
{
    Gadget g("faults=mute@1");
    const std::string node = g.Node();
    ASSERT_EQ(Link().OpenCom(), 0);
    ASSERT_EQ(Link().WriteCom(kWhole, 8), 8);
    uint8_t buf[64];
    const auto start = Clock::now();
    EXPECT_EQ(Link().ReadCom(buf, 64), -110);
    const double ms = Ms(start);
    EXPECT_GE(ms, 4900);
    EXPECT_LT(ms, 6000);
    EXPECT_EQ(Link().ReadCom(buf, 64), MARLEX_ERR_READ_CLOSED);
    EXPECT_EQ(Link().WriteCom(kWhole, 8), MARLEX_ERR_WRITE_CLOSED);
    EXPECT_EQ(Link().CloseCom(), 0);

    // The reset at the end of CloseCom leaves the device where it was.
    const auto again = Clock::now();
    EXPECT_EQ(Link().OpenCom(), 0) << "open straight after the reset of the failed read";
    std::printf("figure: OpenCom right after the reset: %.0f ms\n", Ms(again));
    EXPECT_EQ(g.Node(), node) << "same device number after the reset";
    EXPECT_EQ(Link().CloseCom(), 0);
    EXPECT_EQ(Link().OpenCom(), 0) << "and after a CloseCom";
    EXPECT_EQ(g.Node(), node);
}

TEST_F(KernelLink, DeviceLeavingDuringAReadGivesZeroThenNoDevice)
{
    Gadget g("width=640;faults=unplug:3000@1");
    ASSERT_EQ(Link().OpenCom(), 0);
    ASSERT_EQ(Link().WriteCom(kWhole, 8), 8);
    std::vector<uint8_t> buf(20480);
    ASSERT_EQ(Link().ReadCom(buf.data(), 64), 64);
    const auto start = Clock::now();
    EXPECT_EQ(Link().ReadCom(buf.data(), 20480), 0) << "the read the device left in";
    std::printf("figure: read during the unplug returned after %.0f ms\n", Ms(start));
    // Until the hub has seen the device go, reads give 0 too; then -19.
    int n = 0, zeros = 0;
    while ((n = Link().ReadCom(buf.data(), 20480)) == 0 && zeros < 50) ++zeros;
    EXPECT_EQ(n, -19) << "after " << zeros << " more reads of 0";
    std::printf("figure: %d more reads of 0 before -19\n", zeros);
    EXPECT_EQ(Link().ReadCom(buf.data(), 64), MARLEX_ERR_READ_CLOSED);
    // The old device's sysfs entry may outlive the -19 for a moment.
    EXPECT_TRUE(g.WaitFor(false, std::chrono::seconds(3))) << "gone from the bus";
    EXPECT_TRUE(g.WaitFor(true, std::chrono::seconds(8))) << "back after its delay";
    EXPECT_EQ(Link().OpenCom(), 0);
}

// A first read of 64 bytes where the device queued a longer packet: at high
// speed the rest of that packet is lost, at full speed a packet is 64 bytes.
TEST_F(KernelLink, WholeReplyAsOneTransfer)
{
    Gadget g("width=640;queue=whole");
    ASSERT_EQ(Link().OpenCom(), 0);
    ASSERT_EQ(Link().WriteCom(kWhole, 8), 8);
    std::vector<uint8_t> buf(20480);
    ASSERT_EQ(Link().ReadCom(buf.data(), 64), 64) << "reported as a success either way";
    const auto expected = FirstReply();
    EXPECT_EQ(0, std::memcmp(buf.data(), expected.data(), 64));
    const auto start = Clock::now();
    const int n = Link().ReadCom(buf.data(), 20480);
    if (std::string(std::getenv("RIG_SPEED")) == "high") {
        EXPECT_EQ(n, -110) << "the rest of the transfer went with the overflowing packet";
        EXPECT_GE(Ms(start), 4900);
    } else {
        ASSERT_EQ(n, 20480);
        EXPECT_EQ(0, std::memcmp(buf.data(), expected.data() + 64, 20480));
    }
}

// libusb's own walk over its lists: the nodes of the devices with ids the
// link accepts, in the order libusb gives them.
std::vector<std::string> MatchesAsLibusbListsThem()
{
    usb_init();
    usb_find_busses();
    usb_find_devices();
    std::vector<std::string> found;
    for (usb_bus* bus = usb_get_busses(); bus != nullptr; bus = bus->next)
        for (struct usb_device* dev = bus->devices; dev != nullptr; dev = dev->next)
            if (dev->descriptor.idVendor == MARLEX_VENDOR_ID &&
                (dev->descriptor.idProduct == MARLEX_PRODUCT_ID_A || dev->descriptor.idProduct == MARLEX_PRODUCT_ID_B))
                found.push_back(std::string("/dev/bus/usb/") + bus->dirname + "/" + dev->filename);
    return found;
}

// Whether a process holds interface 0 through usbfs, as OpenCom's claim does.
bool ClaimedThroughUsbfs(const std::filesystem::path& dev)
{
    std::error_code ec;
    const auto driver = std::filesystem::read_symlink(dev / (dev.filename().string() + ":1.0") / "driver", ec);
    return !ec && driver.filename() == "usbfs";
}

// The kernel's SourceSink function under 7e3a:0009, set up in configfs by the
// desktop scenario: bound to one UDC while it lives.
class SecondGadget {
public:
    explicit SecondGadget(const std::string& udc)
    {
        EXPECT_TRUE(Bind(udc) && WaitFor(true)) << "SourceSink on " << udc;
    }
    ~SecondGadget()
    {
        Bind("");
        WaitFor(false);
    }
    SecondGadget(const SecondGadget&) = delete;
    SecondGadget& operator=(const SecondGadget&) = delete;

private:
    static bool Bind(const std::string& udc)
    {
        const char* dir = std::getenv("RIG_SECOND_GADGET");
        if (dir == nullptr) return false;
        std::ofstream f(std::string(dir) + "/UDC");
        f << (udc.empty() ? "\n" : udc) << std::flush;
        return f.good();
    }
    static bool WaitFor(bool present)
    {
        return karvolen::testing::WaitForDevice("7e3a", "0009", present, std::chrono::seconds(10));
    }
};

// Needs two UDCs and the configfs gadget (tools/kernel-rig desktop). Both
// ways round, so that each device is once the first on libusb's lists.
TEST_F(KernelLink, TwoMatchingDevicesOpenTheFirstLibusbLists)
{
    ASSERT_TRUE(std::filesystem::exists("/sys/class/udc/dummy_udc.1")) << "a second UDC (dummy_hcd num=2)";
    std::vector<std::string> opened;
    for (const bool quellbarFirst : {true, false}) {
        SCOPED_TRACE(quellbarFirst ? "gadget Quellbar on the first UDC" : "gadget Quellbar on the second UDC");
        // gadgetfs binds to the first UDC that is free when the gadget starts.
        std::unique_ptr<SecondGadget> second;
        if (!quellbarFirst) second = std::make_unique<SecondGadget>("dummy_udc.0");
        Gadget g("width=640");
        if (quellbarFirst) second = std::make_unique<SecondGadget>("dummy_udc.1");
        const auto quellbar = DevicePath("7e3a", "ff05"), other = DevicePath("7e3a", "0009");
        ASSERT_NE(ReadAttr(quellbar, "busnum"), ReadAttr(other, "busnum"));

        const auto listed = MatchesAsLibusbListsThem();
        ASSERT_EQ(listed.size(), 2u);
        ASSERT_EQ(Link().OpenCom(), MARLEX_OK);
        const bool openedQuellbar = ClaimedThroughUsbfs(quellbar);
        EXPECT_NE(openedQuellbar, ClaimedThroughUsbfs(other)) << "exactly one of the two claimed";
        const std::string node = openedQuellbar ? g.Node() : DeviceNode("7e3a", "0009");
        EXPECT_EQ(node, listed.front()) << "libusb listed " << listed.front() << ", then " << listed.back();
        std::printf("libusb lists %s, %s; OpenCom opened %s (%s)\n", listed.front().c_str(), listed.back().c_str(),
                    node.c_str(), openedQuellbar ? "gadget Quellbar" : "SourceSink");
        if (openedQuellbar) {
            // Only the gadget Quellbar answers a request with its reply.
            ASSERT_EQ(Link().WriteCom(kWhole, 8), 8);
            uint8_t head[64];
            ASSERT_EQ(Link().ReadCom(head, 64), 64);
            EXPECT_EQ(0, std::memcmp(head, FirstReply().data(), 64));
        }
        opened.push_back(openedQuellbar ? "ff05" : "0009");
        Link().CloseCom();
    }
    // Swapping the UDCs swaps libusb's order, so the two runs opened different devices.
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_NE(opened[0], opened[1]);
}

}  // namespace
