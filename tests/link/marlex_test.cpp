// marlex over the system's libusb 0.1 on an emulated usbfs: result codes, undo
// orders and transfers as the device nodes see them. Each case runs in a process
// of its own, under umockdev's preload.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <usb.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "link_binding.h"
#include "marlex.h"
#include "protocol.h"
#include "usbfs.h"
#include "wire_format.h"

namespace {

using Calls = std::vector<std::string>;

// The one place libusb itself cannot fail as marlex expects: usb_open
// returns a handle even for a node it cannot open, so -2 needs this seam.
// marlex's usb_open resolves to this executable's export first.
int failOpens = 0;
std::vector<std::string> opened;  // "bus/device" of every usb_open

}  // namespace

extern "C" __attribute__((visibility("default"))) usb_dev_handle* usb_open(struct usb_device* dev)
{
    opened.push_back(std::string(dev->bus->dirname) + "/" + dev->filename);
    if (failOpens > 0) {
        --failOpens;
        return nullptr;
    }
    static auto real = reinterpret_cast<usb_dev_handle* (*)(struct usb_device*)>(dlsym(RTLD_NEXT, "usb_open"));
    return real(dev);
}

namespace {

// Bound as the viewer binds it, by the name the install ships.
karvolen::MarlexLink& Lib()
{
    static karvolen::MarlexLink link(MARLEX_SONAME);
    return link;
}

const auto* const kRequest = reinterpret_cast<const unsigned char*>(karvolen::wire::kRequestText);

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(std::getenv("LD_PRELOAD"), nullptr) << "run under umockdev's preload";
        bus_ = std::make_unique<usbfs::Bus>();
    }
    void TearDown() override { Lib().CloseCom(); }

    int AddQuellbar(const std::string& options = "")
    {
        quellbar::Options o;
        EXPECT_EQ(quellbar::ParseOptions(options, o), "");
        return bus_->AddQuellbar(1, o);
    }

    // What the device's nodes saw beyond the bus scan, once `handles` are
    // left open (umockdev notices a close a moment later).
    Calls Seen(int id, int handles)
    {
        for (int i = 0; i < 200 && bus_->OpenHandles() != handles; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(bus_->OpenHandles(), handles);
        const std::string prefix = std::to_string(id) + " ";
        Calls calls;
        for (const auto& c : bus_->Calls()) {
            if (c.rfind(prefix, 0) == 0) calls.push_back(c.substr(prefix.size()));
        }
        return calls;
    }

    void OpenLink()
    {
        ASSERT_EQ(Lib().OpenCom(), MARLEX_OK);
        bus_->ClearCalls();
    }

    std::unique_ptr<usbfs::Bus> bus_;
};

const Calls kPrepare = {"open", "SETCONFIGURATION", "CLAIMINTERFACE", "SETINTERFACE"};
const Calls kClose = {"RELEASEINTERFACE", "RESET", "close"};

Calls Concat(Calls a, const Calls& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(LinkTest, OpenPreparesTheDeviceInOrderOnTheSystemsLibusb)
{
    const int q = AddQuellbar();
    EXPECT_EQ(Lib().OpenCom(), 0);
    EXPECT_EQ(Seen(q, 1), kPrepare);

    // No libusb of our own is in the way: marlex's usb_bulk_read is the system's.
    void* marlex = dlopen(MARLEX_SONAME, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(marlex, nullptr);
    Dl_info info{};
    ASSERT_NE(dladdr(dlsym(marlex, "usb_bulk_read"), &info), 0);
    EXPECT_EQ(std::filesystem::canonical(info.dli_fname), std::filesystem::canonical(SYSTEM_LIBUSB));
}

TEST_F(LinkTest, NoMatchingDeviceIsMinusOneAndOpensNothingTheSecondProductIdMatches)
{
    EXPECT_EQ(Lib().OpenCom(), -1) << "only the root hub";
    // Only near misses: right vendor with another product, right products with another vendor.
    bus_->AddDevice(1, MARLEX_VENDOR_ID, 0xFF06);
    bus_->AddDevice(1, MARLEX_VENDOR_ID, 0x0000);
    bus_->AddDevice(1, 0x7E3B, MARLEX_PRODUCT_ID_A);
    bus_->AddDevice(1, 0x0000, MARLEX_PRODUCT_ID_B);
    bus_->AddDevice(bus_->AddBus(), 0xFE3A, 0x0009);
    EXPECT_EQ(Lib().OpenCom(), -1);
    EXPECT_TRUE(opened.empty());
    EXPECT_TRUE(bus_->Calls().empty());

    unsigned char buf[4] = {1, 2, 3, 4};
    EXPECT_EQ(Lib().ReadCom(buf, 4), MARLEX_ERR_READ_CLOSED);

    bus_->AddDevice(1, MARLEX_VENDOR_ID, 0x1234);
    const int q = bus_->AddDevice(1, MARLEX_VENDOR_ID, MARLEX_PRODUCT_ID_B);
    EXPECT_EQ(Lib().OpenCom(), 0);
    EXPECT_EQ(Seen(q, 1), kPrepare);
}

TEST_F(LinkTest, FirstMatchInLibusbsBusThenDeviceOrderIsOpened)
{
    const int bus2 = bus_->AddBus();
    bus_->AddDevice(1, MARLEX_VENDOR_ID, 0x0001);
    for (int bus : {1, bus2, bus_->AddBus()}) {
        bus_->AddDevice(bus, MARLEX_VENDOR_ID, MARLEX_PRODUCT_ID_B);
        bus_->AddDevice(bus, MARLEX_VENDOR_ID, MARLEX_PRODUCT_ID_A);
    }
    EXPECT_EQ(Lib().OpenCom(), 0);
    // libusb lists what it found in its own order; marlex takes the first match.
    Calls matches;
    for (usb_bus* b = usb_get_busses(); b != nullptr; b = b->next)
        for (struct usb_device* d = b->devices; d != nullptr; d = d->next)
            if (d->descriptor.idVendor == MARLEX_VENDOR_ID &&
                (d->descriptor.idProduct == MARLEX_PRODUCT_ID_A || d->descriptor.idProduct == MARLEX_PRODUCT_ID_B))
                matches.push_back(std::string(b->dirname) + "/" + d->filename);
    ASSERT_EQ(matches.size(), 6u);
    EXPECT_EQ(opened, Calls{matches.front()});
}

TEST_F(LinkTest, FailedOpenIsMinusTwoAndTheSecondMatchIsNeverTried)
{
    AddQuellbar();
    bus_->AddDevice(1, MARLEX_VENDOR_ID, MARLEX_PRODUCT_ID_B);
    failOpens = 1;
    EXPECT_EQ(Lib().OpenCom(), -2);
    EXPECT_EQ(opened.size(), 1u);

    unsigned char buf[8] = {};
    EXPECT_EQ(Lib().WriteCom(buf, 8), MARLEX_ERR_WRITE_CLOSED) << "slot stays empty after -2";
}

struct PrepareFailure {
    const char* ioctl;
    int error;
    int expected;
    Calls undo;  // after the open, failing call included
};

void PrintTo(const PrepareFailure& p, std::ostream* os) { *os << p.ioctl; }

class PrepareFailureTest : public LinkTest, public ::testing::WithParamInterface<PrepareFailure> {};

TEST_P(PrepareFailureTest, UndoesOnlyWhatWasDoneAndNeverResets)
{
    const auto& p = GetParam();
    const int q = AddQuellbar();
    bus_->FailIoctl(p.ioctl, p.error);
    EXPECT_EQ(Lib().OpenCom(), p.expected);
    EXPECT_EQ(Seen(q, 0), Concat({"open"}, p.undo)) << "the handle is closed";

    bus_->ClearCalls();
    unsigned char buf[8];
    std::memset(buf, 0xCC, sizeof buf);
    EXPECT_EQ(Lib().ReadCom(buf, 8), MARLEX_ERR_READ_CLOSED);
    EXPECT_EQ(Lib().CloseCom(), 0);
    EXPECT_TRUE(bus_->Calls().empty()) << "the slot was emptied";

    // The failure was a single one: the next attempt succeeds.
    EXPECT_EQ(Lib().OpenCom(), 0);
}

// EPERM: a node without write access (no udev rule); EBUSY: another program holds the interface.
const PrepareFailure kPrepareFailures[] = {
    {"SETCONFIGURATION", EPERM, -4, {"SETCONFIGURATION", "close"}},
    {"CLAIMINTERFACE", EBUSY, -5, {"SETCONFIGURATION", "CLAIMINTERFACE", "close"}},
    {"SETINTERFACE", EPIPE, -6, {"SETCONFIGURATION", "CLAIMINTERFACE", "SETINTERFACE", "RELEASEINTERFACE", "close"}},
};
INSTANTIATE_TEST_SUITE_P(Steps, PrepareFailureTest, ::testing::ValuesIn(kPrepareFailures),
                         [](const auto& info) { return std::string(info.param.ioctl); });

TEST_F(LinkTest, TransfersUseTheEndpointsAndMoveTheBytes)
{
    const int q = AddQuellbar("width=640");
    OpenLink();
    EXPECT_EQ(Lib().WriteCom(kRequest, 8), 8);
    std::array<unsigned char, 64> buf{};
    EXPECT_EQ(Lib().ReadCom(buf.data(), 64), 64);
    EXPECT_EQ(buf[0] << 24 | buf[1] << 16 | buf[2] << 8 | buf[3], 1078 + 640 * 480);
    EXPECT_EQ(buf[4], 'B');
    EXPECT_EQ(Seen(q, 1), (Calls{"out 8", "in 64"}));
    int requests = 0;
    bus_->WithModel(q, [&](quellbar::Device& d) { requests = static_cast<int>(d.Requests()); });
    EXPECT_EQ(requests, 1);
}

// Without a link (before an open, after a close) and with bad arguments (the
// link stays open): refused before libusb, the buffer untouched.
TEST_F(LinkTest, RefusedTransfersNeverReachLibusb)
{
    AddQuellbar();
    std::array<unsigned char, 64> buf, reply{};
    buf.fill(0xCC);
    EXPECT_EQ(Lib().ReadCom(buf.data(), 16), -101);
    EXPECT_EQ(Lib().WriteCom(buf.data(), 16), -102);

    OpenLink();
    EXPECT_EQ(Lib().ReadCom(buf.data(), -1), -22);
    EXPECT_EQ(Lib().WriteCom(buf.data(), -8), -22);
    EXPECT_EQ(Lib().ReadCom(nullptr, 8), -22);
    EXPECT_EQ(Lib().WriteCom(nullptr, 8), -22);
    EXPECT_TRUE(bus_->Calls().empty()) << "bad arguments refused before libusb";
    ASSERT_EQ(Lib().WriteCom(kRequest, 8), 8);
    EXPECT_EQ(Lib().ReadCom(reply.data(), 64), 64) << "link still open";

    EXPECT_EQ(Lib().CloseCom(), 0);
    bus_->ClearCalls();
    EXPECT_EQ(Lib().ReadCom(buf.data(), 16), -101);
    EXPECT_EQ(Lib().WriteCom(buf.data(), 16), -102);
    for (unsigned char b : buf) ASSERT_EQ(b, 0xCC);
    EXPECT_TRUE(bus_->Calls().empty()) << "nothing reaches libusb";
}

TEST_F(LinkTest, ShortStalledAndEmptyTransfersKeepTheLinkOpen)
{
    // At high speed the device's first 64 bytes are a short packet. It halts
    // its IN endpoint for the second request, its OUT endpoint at the third.
    AddQuellbar("usb=high;faults=noreply@2,writefail@3");
    OpenLink();
    std::vector<unsigned char> buf(400000);
    ASSERT_EQ(Lib().WriteCom(kRequest, 8), 8);
    EXPECT_EQ(Lib().ReadCom(buf.data(), 1000), 64) << "a short packet ends the read";
    EXPECT_EQ(Lib().ReadCom(buf.data(), 400000), 1078 + 800 * 480 - 60) << "the rest, across 16 KiB URBs";
    ASSERT_EQ(Lib().WriteCom(kRequest, 8), 8);
    EXPECT_EQ(Lib().ReadCom(buf.data(), 64), 0) << "stalled";
    EXPECT_EQ(Lib().WriteCom(kRequest, 8), 0) << "stalled";

    ASSERT_EQ(Lib().WriteCom(kRequest, 8), 8);
    EXPECT_EQ(Lib().ReadCom(buf.data(), 64), 64) << "still open";
}

struct TransferFailure {
    bool read;
    int error;
};

void PrintTo(const TransferFailure& p, std::ostream* os) { *os << (p.read ? "read " : "write ") << p.error; }

class TransferFailureTest : public LinkTest, public ::testing::WithParamInterface<TransferFailure> {};

TEST_P(TransferFailureTest, ClosesTheLinkWithReleaseResetClose)
{
    const auto& p = GetParam();
    const int q = AddQuellbar();
    OpenLink();
    std::array<unsigned char, 64> buf{};
    if (p.error == -ENODEV) {
        bus_->Unplug(q, -1);
    } else {
        bus_->FailIoctl("SUBMITURB", -p.error);
    }
    const int result = p.read ? Lib().ReadCom(buf.data(), 64) : Lib().WriteCom(kRequest, 8);
    EXPECT_EQ(result, p.error) << "libusb's value is passed through";
    EXPECT_EQ(Seen(q, 0), Concat({"SUBMITURB"}, kClose));

    EXPECT_EQ(Lib().ReadCom(buf.data(), 64), -101);
    EXPECT_EQ(Lib().WriteCom(buf.data(), 8), -102);
}

const TransferFailure kTransferFailures[] = {
    {true, -ETIMEDOUT}, {false, -ETIMEDOUT}, {true, -ENODEV}, {false, -ENODEV}, {true, -EPROTO}};
INSTANTIATE_TEST_SUITE_P(Errors, TransferFailureTest, ::testing::ValuesIn(kTransferFailures), [](const auto& info) {
    return std::string(info.param.read ? "Read" : "Write") + "Minus" + std::to_string(-info.param.error);
});

TEST_F(LinkTest, ASilentDeviceTimesOutAfterFiveSecondsAndClosesTheLink)
{
    const int q = AddQuellbar("faults=mute");
    OpenLink();
    ASSERT_EQ(Lib().WriteCom(kRequest, 8), 8);
    std::array<unsigned char, 64> buf{};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Lib().ReadCom(buf.data(), 64), -ETIMEDOUT);
    const auto took = std::chrono::steady_clock::now() - start;
    // libusb keeps its deadline on the wall clock, which may be slewed.
    EXPECT_GE(took, std::chrono::milliseconds(MARLEX_TIMEOUT_MS - 100));
    EXPECT_LT(took, std::chrono::milliseconds(MARLEX_TIMEOUT_MS + 1000));
    EXPECT_EQ(Seen(q, 0), Concat({"out 8", "in 64", "DISCARDURB"}, kClose));
}

TEST_F(LinkTest, CloseReleasesResetsClosesOnceOnly)
{
    const int q = AddQuellbar();
    OpenLink();
    EXPECT_EQ(Lib().CloseCom(), 0);
    EXPECT_EQ(Seen(q, 0), kClose);

    bus_->ClearCalls();
    EXPECT_EQ(Lib().CloseCom(), 0);
    EXPECT_TRUE(bus_->Calls().empty());
    EXPECT_EQ(Lib().OpenCom(), 0) << "an in-place reset: at once again";
}

TEST_F(LinkTest, OpenRightAfterCloseWaitsForReEnumeration)
{
    const int q = AddQuellbar("reset=reenum;reenum_ms=300");
    const int before = bus_->Devnum(q);
    OpenLink();
    ASSERT_EQ(Lib().CloseCom(), 0);

    EXPECT_EQ(Lib().OpenCom(), -1) << "still re-enumerating";
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(Lib().OpenCom(), 0);
    EXPECT_NE(bus_->Devnum(q), before) << "came back under a new number";
}

}  // namespace
