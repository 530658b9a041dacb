// The emulated usbfs as the system's libusb meets it: URBs, claims, resets
// and a device leaving the bus, as the kernel answers them.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "protocol.h"
#include "sim_test_util.h"
#include "usbfs.h"

namespace {

using namespace karvolen::testing;
using Ms = std::chrono::milliseconds;

class Usbfs : public ::testing::Test {
protected:
    void Start(const std::string& options = "")
    {
        quellbar::Options o;
        ASSERT_EQ(quellbar::ParseOptions(options, o), "");
        id_ = bus_.AddQuellbar(1, o);
        struct usb_device* dev = Find(MARLEX_VENDOR_ID);
        ASSERT_NE(dev, nullptr);
        h_ = usb_open(dev);
        ASSERT_NE(h_, nullptr);
    }
    void TearDown() override
    {
        if (h_) usb_close(h_);
    }
    int Count(const std::string& call)
    {
        const auto calls = bus_.Calls();
        return static_cast<int>(std::count(calls.begin(), calls.end(), std::to_string(id_) + " " + call));
    }

    usbfs::Bus bus_;
    int id_ = 0;
    usb_dev_handle* h_ = nullptr;
};

TEST_F(Usbfs, TransfersGoIn16KiBUrbsAndAShortOneEndsTheRead)
{
    Start("queue=whole");
    std::vector<uint8_t> buf(400000);
    ASSERT_EQ(Write(h_, "BMP? 0\r\n", 8), 8);
    EXPECT_EQ(Read(h_, buf.data(), 400000), 4 + 1078 + 800 * 480);
    EXPECT_EQ(Count("in 16384"), 24) << "23 full URBs, the 24th short";
    std::vector<char> garbage(20000, 'x');
    EXPECT_EQ(Write(h_, garbage.data(), 20000), 20000);
    EXPECT_EQ(Count("out 16384"), 1);
    EXPECT_EQ(Count("out 3616"), 1);
}

TEST_F(Usbfs, UnknownEndpointsDoNotExist)
{
    Start();
    uint8_t buf[8];
    EXPECT_EQ(usb_bulk_read(h_, 0x81, reinterpret_cast<char*>(buf), 8, 100), -2);
    EXPECT_EQ(usb_bulk_write(h_, 0x02, "x", 1, 100), -2);
}

TEST_F(Usbfs, AnUnpluggedDeviceIsGoneAndComesBackUnderANewNumber)
{
    Start();
    const int before = bus_.Devnum(id_);
    bus_.Unplug(id_, 100);
    uint8_t buf[64];
    EXPECT_EQ(Read(h_, buf, 64), -19);
    EXPECT_EQ(Write(h_, "x", 1), -19);
    EXPECT_EQ(usb_set_configuration(h_, 1), -19);
    EXPECT_EQ(Find(MARLEX_VENDOR_ID), nullptr);

    std::this_thread::sleep_for(Ms(150));
    struct usb_device* dev = Find(MARLEX_VENDOR_ID);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(dev->devnum, bus_.Devnum(id_));
    EXPECT_NE(dev->devnum, before);
    EXPECT_EQ(Read(h_, buf, 64), -19) << "the old handle stays dead";
}

TEST_F(Usbfs, LeavingDuringATransferEndsItWithNothingHalfASecondLater)
{
    Start("faults=writegone:800,unplug:300@2");
    // As the real stack: the pending URB completes with EPROTO, which libusb
    // ignores; only the next transfer sees the device gone.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Write(h_, "BMP? 0\r\n", 8), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, Ms(450));
    EXPECT_EQ(Write(h_, "BMP? 0\r\n", 8), -19);
    EXPECT_EQ(Find(MARLEX_VENDOR_ID), nullptr);

    std::this_thread::sleep_for(Ms(400));
    usb_close(h_);
    h_ = usb_open(Find(MARLEX_VENDOR_ID));
    ASSERT_EQ(Write(h_, "BMP? 0\r\n", 8), 8);
    std::vector<uint8_t> buf(25600);
    ASSERT_EQ(Read(h_, buf.data(), 64), 64);
    EXPECT_EQ(Read(h_, buf.data(), 25600), 0) << "gone where the first chunk begins";
    EXPECT_EQ(Read(h_, buf.data(), 25600), -19);
}

TEST_F(Usbfs, ResetIsInPlaceAndDropsTheClaims)
{
    Start();
    const int before = bus_.Devnum(id_);
    ASSERT_EQ(usb_claim_interface(h_, 0), 0);
    EXPECT_EQ(usb_reset(h_), 0);
    struct usb_device* dev = Find(MARLEX_VENDOR_ID);
    ASSERT_NE(dev, nullptr) << "still on the bus";
    EXPECT_EQ(dev->devnum, before) << "same number";
    usb_dev_handle* other = usb_open(dev);
    EXPECT_EQ(usb_claim_interface(other, 0), 0) << "the claim went with the reset";
    usb_close(other);
    ASSERT_EQ(Write(h_, "BMP? 0\r\n", 8), 8) << "the handle still reaches the device";
}

TEST_F(Usbfs, ResetWithReEnumerationComesBackUnderANewNumber)
{
    Start("reset=reenum;reenum_ms=150");
    const int before = bus_.Devnum(id_);
    EXPECT_EQ(usb_reset(h_), 0);
    EXPECT_EQ(Find(MARLEX_VENDOR_ID), nullptr) << "gone while re-enumerating";
    uint8_t buf[8];
    EXPECT_EQ(Read(h_, buf, 8), -19);

    std::this_thread::sleep_for(Ms(200));
    struct usb_device* dev = Find(MARLEX_VENDOR_ID);
    ASSERT_NE(dev, nullptr);
    EXPECT_NE(dev->devnum, before);
    EXPECT_EQ(Read(h_, buf, 8), -19) << "the old handle does not follow";
    usb_close(h_);
    h_ = usb_open(dev);
    EXPECT_EQ(usb_claim_interface(h_, 0), 0);
}

TEST_F(Usbfs, ConfigurationIsBusyWhileAnInterfaceIsClaimed)
{
    Start();
    EXPECT_EQ(usb_set_configuration(h_, 1), 0);
    ASSERT_EQ(usb_claim_interface(h_, 0), 0);
    EXPECT_EQ(usb_set_configuration(h_, 1), -16);
    // As usbfs: another handle's claim refuses the configuration and the claim.
    usb_dev_handle* other = usb_open(usb_device(h_));
    EXPECT_EQ(usb_set_configuration(other, 1), -16);
    EXPECT_EQ(usb_claim_interface(other, 0), -16);
    usb_close(other);
    EXPECT_EQ(usb_claim_interface(h_, 1), -2) << "no interface 1";
    EXPECT_EQ(usb_release_interface(h_, 0), 0);
    EXPECT_EQ(usb_set_configuration(h_, 1), 0);
    EXPECT_EQ(usb_release_interface(h_, 0), -22) << "nothing claimed";
}

}  // namespace
