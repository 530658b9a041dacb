// The stand-in's own libusb 0.1 behaviours, with plain devices.
#include <gtest/gtest.h>

#include <chrono>
#include <numeric>
#include <thread>
#include <vector>

#include "sim_test_util.h"
#include "simctl.h"

namespace {

using namespace karvolen::testing;
using Ms = std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr uint16_t kVendor = 0x1234;

class StandIn : public ::testing::Test {
protected:
    void SetUp() override
    {
        simctl_reset();
        bus_ = simctl_add_bus();
        simctl_add_device(bus_, 0x1d6b, 0x0002);
        id_ = simctl_add_device(bus_, kVendor, 0x0001);
        struct usb_device* dev = Find(kVendor);
        ASSERT_NE(dev, nullptr);
        h_ = usb_open(dev);
        ASSERT_NE(h_, nullptr);
    }
    void TearDown() override
    {
        if (h_) usb_close(h_);
    }

    std::vector<int> Requests(int dir)
    {
        std::vector<int> sizes(static_cast<size_t>(simctl_device_requests(id_, dir, nullptr, 0)));
        simctl_device_requests(id_, dir, sizes.data(), static_cast<int>(sizes.size()));
        return sizes;
    }

    void Queue(int n)
    {
        std::vector<uint8_t> data(static_cast<size_t>(n));
        std::iota(data.begin(), data.end(), uint8_t{0});
        simctl_device_send(id_, data.data(), n);
    }

    int bus_ = 0;
    int id_ = 0;
    usb_dev_handle* h_ = nullptr;
};

TEST_F(StandIn, ReadsAreSplitInto16KiBRequestsAndEndAtTheFirstShortOne)
{
    Queue(40000);
    std::vector<uint8_t> buf(50000);
    EXPECT_EQ(Read(h_, buf.data(), 50000), 40000);
    EXPECT_EQ(Requests(SIMCTL_IN), (std::vector<int>{16384, 16384, 16384}));
    EXPECT_EQ(buf[39999], static_cast<uint8_t>(39999));

    // A device that answers in small pieces: the first short piece ends the call.
    Queue(5000);
    simctl_device_pace(id_, 1000, 0);
    EXPECT_EQ(Read(h_, buf.data(), 20000), 1000);
    EXPECT_EQ(Requests(SIMCTL_IN).size(), 4u);
}

TEST_F(StandIn, WritesAreSplitToo)
{
    std::vector<char> data(20000, 'x');
    EXPECT_EQ(Write(h_, data.data(), 20000), 20000);
    EXPECT_EQ(Requests(SIMCTL_OUT), (std::vector<int>{16384, 3616}));
    EXPECT_EQ(simctl_device_received(id_, nullptr, 0), 20000);
}

TEST_F(StandIn, TimeoutCoversTheWholeCallAndLosesTheCountOfEarlierPieces)
{
    Queue(32768);
    std::vector<uint8_t> buf(40000, 0xEE);
    const auto start = steady_clock::now();
    EXPECT_EQ(Read(h_, buf.data(), 40000, 200), -110);
    EXPECT_GE(steady_clock::now() - start, Ms(200)) << "a device with nothing to send waits for the timeout";
    EXPECT_EQ(buf[32767], static_cast<uint8_t>(32767)) << "earlier pieces are in the buffer";

    // Each piece in time on its own, the call as a whole not.
    Queue(40000);
    simctl_device_pace(id_, 0, 60);
    const auto again = steady_clock::now();
    EXPECT_EQ(Read(h_, buf.data(), 40000, 100), -110);
    EXPECT_LT(steady_clock::now() - again, Ms(180)) << "never waits beyond the deadline";
}

TEST_F(StandIn, StallReturnsZeroNotAnError)
{
    simctl_device_stall(id_, SIMCTL_IN, 1);
    simctl_device_stall(id_, SIMCTL_OUT, 1);
    uint8_t buf[64];
    EXPECT_EQ(Read(h_, buf, 64, 1000), 0);
    EXPECT_EQ(Write(h_, "BMP? 0\r\n", 8, 1000), 0);
}

TEST_F(StandIn, UnpluggedDeviceFailsWithNoDeviceAndLeavesTheList)
{
    const int before = simctl_devnum(id_);
    simctl_unplug(id_, -1);
    uint8_t buf[64];
    EXPECT_EQ(Read(h_, buf, 64), -19);
    EXPECT_EQ(Write(h_, "x", 1), -19);
    EXPECT_EQ(usb_set_configuration(h_, 1), -19);
    EXPECT_EQ(Find(kVendor), nullptr);

    simctl_replug(id_);
    EXPECT_EQ(Read(h_, buf, 64), -19) << "the old handle stays dead";
    EXPECT_NE(Find(kVendor), nullptr);
    EXPECT_NE(simctl_devnum(id_), before) << "back under a new number";
}

TEST_F(StandIn, ResetIsInPlaceByDefault)
{
    const int before = simctl_devnum(id_);
    ASSERT_EQ(usb_claim_interface(h_, 0), 0);
    EXPECT_EQ(usb_reset(h_), 0);
    struct usb_device* dev = Find(kVendor);
    ASSERT_NE(dev, nullptr) << "still on the bus";
    EXPECT_EQ(dev->devnum, before) << "same number";
    EXPECT_EQ(usb_set_altinterface(h_, 0), -22) << "the claim went with the reset";
    EXPECT_EQ(usb_claim_interface(h_, 0), 0) << "the handle still reaches the device";
}

TEST_F(StandIn, ResetReEnumeratesUnderANewNumberFirstInTheBus)
{
    simctl_set_reenum_ms(150);
    const int before = simctl_devnum(id_);
    ASSERT_EQ(usb_claim_interface(h_, 0), 0);
    EXPECT_EQ(usb_reset(h_), 0);
    EXPECT_EQ(Find(kVendor), nullptr) << "gone while re-enumerating";
    uint8_t buf[8];
    EXPECT_EQ(Read(h_, buf, 8), -19);

    std::this_thread::sleep_for(Ms(200));
    struct usb_device* dev = Find(kVendor);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(usb_get_busses()->devices, dev) << "first in its bus's list";
    EXPECT_NE(dev->devnum, before);
    EXPECT_EQ(dev->devnum, simctl_devnum(id_));
    EXPECT_EQ(Read(h_, buf, 8), -19) << "the old handle does not follow";
    EXPECT_EQ(usb_close(h_), 0);

    h_ = usb_open(dev);
    ASSERT_NE(h_, nullptr);
    EXPECT_EQ(usb_claim_interface(h_, 0), 0) << "the old claim went with the reset";
}

TEST_F(StandIn, ConfigurationIsBusyWhileAnInterfaceIsClaimed)
{
    EXPECT_EQ(usb_set_configuration(h_, 1), 0);
    EXPECT_EQ(usb_set_altinterface(h_, 0), -22) << "needs a claimed interface";
    ASSERT_EQ(usb_claim_interface(h_, 0), 0);
    EXPECT_EQ(usb_set_altinterface(h_, 0), 0);
    EXPECT_EQ(usb_set_configuration(h_, 1), -16);
    // As usbfs: another process's claim refuses the configuration before its own claim is tried.
    usb_dev_handle* other = usb_open(usb_device(h_));
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(usb_set_configuration(other, 1), -16);
    EXPECT_EQ(usb_claim_interface(other, 0), -16);
    usb_close(other);
    EXPECT_EQ(usb_release_interface(h_, 0), 0);
    EXPECT_EQ(usb_set_configuration(h_, 1), 0);
    EXPECT_EQ(usb_release_interface(h_, 0), -22) << "nothing claimed";
}

TEST_F(StandIn, UnknownEndpointAndBadArguments)
{
    uint8_t buf[8];
    EXPECT_EQ(usb_bulk_read(h_, 0x81, reinterpret_cast<char*>(buf), 8, 100), -2);
    EXPECT_EQ(usb_bulk_write(h_, 0x02, "x", 1, 100), -2);
    EXPECT_EQ(Read(h_, buf, -1), -22);
    EXPECT_EQ(Read(h_, nullptr, 8), -14);
    // Calls on a closed handle are refused, not a crash.
    usb_dev_handle* closed = h_;
    EXPECT_EQ(usb_close(h_), 0);
    h_ = nullptr;
    EXPECT_EQ(Read(closed, buf, 8), -9);
    EXPECT_EQ(usb_close(closed), -9);
}

}  // namespace
