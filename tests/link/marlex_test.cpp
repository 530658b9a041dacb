// marlex over the stand-in libusb: result codes, undo orders and transfers as
// the stand-in records them. marlex is loaded by name, as the viewer loads it;
// its libusb-0.1.so.4 resolves to the stand-in already linked into this test.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "marlex.h"
#include "protocol.h"
#include "simctl.h"

namespace {

using Calls = std::vector<std::string>;

struct Marlex {
    int (*OpenCom)();
    int (*CloseCom)();
    int (*ReadCom)(unsigned char*, int);
    int (*WriteCom)(const unsigned char*, int);
};

const Marlex& Lib()
{
    static const Marlex lib = [] {
        void* h = dlopen(MARLEX_SONAME, RTLD_NOW | RTLD_LOCAL);
        if (!h) {
            ADD_FAILURE() << "dlopen " MARLEX_SONAME ": " << dlerror();
            std::abort();
        }
        Marlex m{};
        m.OpenCom = reinterpret_cast<int (*)()>(dlsym(h, "OpenCom"));
        m.CloseCom = reinterpret_cast<int (*)()>(dlsym(h, "CloseCom"));
        m.ReadCom = reinterpret_cast<int (*)(unsigned char*, int)>(dlsym(h, "ReadCom"));
        m.WriteCom = reinterpret_cast<int (*)(const unsigned char*, int)>(dlsym(h, "WriteCom"));
        if (!m.OpenCom || !m.CloseCom || !m.ReadCom || !m.WriteCom) std::abort();
        return m;
    }();
    return lib;
}

Calls RecordedCalls()
{
    std::string text(static_cast<size_t>(simctl_calls(nullptr, 0)) + 1, '\0');
    simctl_calls(text.data(), static_cast<int>(text.size()));
    Calls calls;
    std::istringstream in(text.c_str());
    for (std::string line; std::getline(in, line);) calls.push_back(line);
    return calls;
}

const Calls kRescan = {"usb_init", "usb_find_busses", "usb_find_devices", "usb_get_busses"};

Calls Concat(Calls a, const Calls& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string Open(int id) { return "usb_open(" + std::to_string(id) + ")"; }

const std::string kRead64 = "usb_bulk_read(0x82,64,5000)";
const std::string kWrite8 = "usb_bulk_write(0x01,8,5000)";
const Calls kPrepare = {"usb_set_configuration(1)", "usb_claim_interface(0)", "usb_set_altinterface(0)"};
const Calls kClose = {"usb_release_interface(0)", "usb_reset", "usb_close"};

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Lib().CloseCom();  // a link left open by an earlier test
        simctl_reset();
        bus_ = simctl_add_bus();
        simctl_add_device(bus_, 0x1d6b, 0x0002);
        quellbar_ = simctl_add_device(bus_, MARLEX_VENDOR_ID, MARLEX_PRODUCT_ID_A);
    }

    // Opens the link and forgets the calls it took.
    void OpenLink()
    {
        ASSERT_EQ(Lib().OpenCom(), MARLEX_OK);
        simctl_clear_calls();
    }

    int bus_ = 0;
    int quellbar_ = 0;
};

// ---------------------------------------------------------------- OpenCom

TEST_F(LinkTest, OpenPreparesTheDeviceInOrder)
{
    EXPECT_EQ(Lib().OpenCom(), 0);
    EXPECT_EQ(RecordedCalls(), Concat(Concat(kRescan, {Open(quellbar_)}), kPrepare));
    EXPECT_EQ(simctl_open_handles(), 1);
}

TEST_F(LinkTest, NoBusOrNoMatchingDeviceIsMinusOneAndOpensNothing)
{
    simctl_reset();
    EXPECT_EQ(Lib().OpenCom(), -1) << "no bus at all";
    EXPECT_EQ(RecordedCalls(), kRescan);

    // Only near misses: right vendor with another product, right products with another vendor.
    simctl_reset();
    const int bus = simctl_add_bus();
    simctl_add_device(bus, 0x1d6b, 0x0002);
    simctl_add_device(bus, MARLEX_VENDOR_ID, 0xFF06);
    simctl_add_device(bus, MARLEX_VENDOR_ID, 0x0000);
    simctl_add_device(bus, 0x7E3B, MARLEX_PRODUCT_ID_A);
    simctl_add_device(bus, 0x0000, MARLEX_PRODUCT_ID_B);
    simctl_add_device(simctl_add_bus(), 0xFE3A, 0x0009);
    EXPECT_EQ(Lib().OpenCom(), -1);
    EXPECT_EQ(RecordedCalls(), kRescan);
    EXPECT_EQ(simctl_open_handles(), 0);

    unsigned char buf[4] = {1, 2, 3, 4};
    EXPECT_EQ(Lib().ReadCom(buf, 4), MARLEX_ERR_READ_CLOSED);
}

TEST_F(LinkTest, SecondProductIdIsAccepted)
{
    simctl_reset();
    const int bus = simctl_add_bus();
    simctl_add_device(bus, MARLEX_VENDOR_ID, 0x1234);
    const int q = simctl_add_device(bus, MARLEX_VENDOR_ID, MARLEX_PRODUCT_ID_B);
    EXPECT_EQ(Lib().OpenCom(), 0);
    EXPECT_EQ(RecordedCalls(), Concat(Concat(kRescan, {Open(q)}), kPrepare));
}

TEST_F(LinkTest, FirstMatchInBusThenDeviceOrderIsOpened)
{
    simctl_reset();
    const int bus0 = simctl_add_bus();
    const int bus1 = simctl_add_bus();
    simctl_add_device(bus0, 0x1d6b, 0x0002);
    simctl_add_device(bus0, MARLEX_VENDOR_ID, 0x0001);
    const int first = simctl_add_device(bus1, MARLEX_VENDOR_ID, MARLEX_PRODUCT_ID_B);
    simctl_add_device(bus1, MARLEX_VENDOR_ID, MARLEX_PRODUCT_ID_A);
    simctl_add_device(simctl_add_bus(), MARLEX_VENDOR_ID, MARLEX_PRODUCT_ID_A);

    EXPECT_EQ(Lib().OpenCom(), 0);
    EXPECT_EQ(RecordedCalls(), Concat(Concat(kRescan, {Open(first)}), kPrepare));
}

TEST_F(LinkTest, FailedOpenIsMinusTwoAndTheSecondMatchIsNeverTried)
{
    const int second = simctl_add_device(bus_, MARLEX_VENDOR_ID, MARLEX_PRODUCT_ID_B);
    ASSERT_GT(second, quellbar_);
    simctl_fail("usb_open", 0, 1);
    EXPECT_EQ(Lib().OpenCom(), -2);
    EXPECT_EQ(RecordedCalls(), Concat(kRescan, {Open(quellbar_)}));

    unsigned char buf[8] = {};
    EXPECT_EQ(Lib().WriteCom(buf, 8), MARLEX_ERR_WRITE_CLOSED) << "slot stays empty after -2";
}

struct PrepareFailure {
    const char* call;
    int expected;
    Calls undo;  // calls after the open, failing call included
};

void PrintTo(const PrepareFailure& p, std::ostream* os) { *os << p.call; }

class PrepareFailureTest : public LinkTest, public ::testing::WithParamInterface<PrepareFailure> {};

TEST_P(PrepareFailureTest, UndoesOnlyWhatWasDoneAndNeverResets)
{
    const auto& p = GetParam();
    simctl_fail(p.call, -32, 1);
    EXPECT_EQ(Lib().OpenCom(), p.expected);
    EXPECT_EQ(RecordedCalls(), Concat(Concat(kRescan, {Open(quellbar_)}), p.undo));
    EXPECT_EQ(simctl_open_handles(), 0) << "the handle is closed";

    simctl_clear_calls();
    unsigned char buf[8];
    std::memset(buf, 0xCC, sizeof buf);
    EXPECT_EQ(Lib().ReadCom(buf, 8), MARLEX_ERR_READ_CLOSED);
    EXPECT_EQ(Lib().CloseCom(), 0);
    EXPECT_TRUE(RecordedCalls().empty()) << "the slot was emptied";

    // The failure was a single one: the next attempt succeeds.
    EXPECT_EQ(Lib().OpenCom(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, PrepareFailureTest,
    ::testing::Values(
        PrepareFailure{"usb_set_configuration", -4, {"usb_set_configuration(1)", "usb_close"}},
        PrepareFailure{"usb_claim_interface", -5, {"usb_set_configuration(1)", "usb_claim_interface(0)", "usb_close"}},
        PrepareFailure{"usb_set_altinterface",
                       -6,
                       {"usb_set_configuration(1)", "usb_claim_interface(0)", "usb_set_altinterface(0)",
                        "usb_release_interface(0)", "usb_close"}}),
    [](const auto& info) { return std::string(info.param.call + 4); });

// ---------------------------------------------------------------- transfers

TEST_F(LinkTest, TransfersUseTheEndpointsAndTimeoutAndMoveTheBytes)
{
    OpenLink();
    const unsigned char request[8] = {'B', 'M', 'P', '?', ' ', '0', '\r', '\n'};
    EXPECT_EQ(Lib().WriteCom(request, 8), 8);

    const unsigned char reply[5] = {0, 0, 0, 1, 0x42};
    simctl_device_send(quellbar_, reply, 5);
    std::array<unsigned char, 64> buf{};
    EXPECT_EQ(Lib().ReadCom(buf.data(), 64), 5);
    EXPECT_EQ(0, std::memcmp(buf.data(), reply, 5));

    std::array<unsigned char, 8> received{};
    ASSERT_EQ(simctl_device_received(quellbar_, received.data(), 8), 8);
    EXPECT_EQ(0, std::memcmp(received.data(), request, 8));
    EXPECT_EQ(RecordedCalls(), (Calls{kWrite8, kRead64}));
}

TEST_F(LinkTest, NoLinkRefusesTransfersWithoutTouchingTheBuffer)
{
    std::array<unsigned char, 16> buf;
    buf.fill(0xCC);
    // Before any OpenCom (the SetUp's CloseCom emptied the slot).
    EXPECT_EQ(Lib().ReadCom(buf.data(), 16), -101);
    EXPECT_EQ(Lib().WriteCom(buf.data(), 16), -102);

    OpenLink();
    EXPECT_EQ(Lib().CloseCom(), 0);
    simctl_clear_calls();
    simctl_script_data(SIMCTL_IN, reinterpret_cast<const unsigned char*>("xxxxxxxx"), 8, 0);
    EXPECT_EQ(Lib().ReadCom(buf.data(), 16), -101);
    EXPECT_EQ(Lib().WriteCom(buf.data(), 16), -102);
    for (unsigned char b : buf) ASSERT_EQ(b, 0xCC);
    EXPECT_TRUE(RecordedCalls().empty()) << "nothing reaches libusb";
}

TEST_F(LinkTest, ShortAndEmptyReadsKeepTheLinkOpen)
{
    OpenLink();
    std::array<unsigned char, 64> buf{};
    simctl_script_data(SIMCTL_IN, reinterpret_cast<const unsigned char*>("abc"), 3, 0);
    EXPECT_EQ(Lib().ReadCom(buf.data(), 64), 3);
    simctl_script_stall(SIMCTL_IN);
    EXPECT_EQ(Lib().ReadCom(buf.data(), 64), 0);
    simctl_script_stall(SIMCTL_OUT);
    EXPECT_EQ(Lib().WriteCom(buf.data(), 8), 0);

    simctl_script_data(SIMCTL_IN, reinterpret_cast<const unsigned char*>("de"), 2, 0);
    EXPECT_EQ(Lib().ReadCom(buf.data(), 64), 2);
    EXPECT_EQ(RecordedCalls(), (Calls{kRead64, kRead64, kWrite8, kRead64}));
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
    OpenLink();
    std::array<unsigned char, 64> buf{};
    const int dir = p.read ? SIMCTL_IN : SIMCTL_OUT;
    if (p.error == -19) {
        simctl_unplug(quellbar_, -1);
    } else {
        simctl_script_error(dir, p.error, 20);
    }
    const int result = p.read ? Lib().ReadCom(buf.data(), 64) : Lib().WriteCom(buf.data(), 8);
    EXPECT_EQ(result, p.error) << "libusb's value is passed through";
    EXPECT_EQ(RecordedCalls(), Concat({p.read ? kRead64 : kWrite8}, kClose));
    EXPECT_EQ(simctl_open_handles(), 0);

    EXPECT_EQ(Lib().ReadCom(buf.data(), 64), -101);
    EXPECT_EQ(Lib().WriteCom(buf.data(), 8), -102);
}

INSTANTIATE_TEST_SUITE_P(Errors, TransferFailureTest,
                         ::testing::Values(TransferFailure{true, -110}, TransferFailure{false, -110},
                                           TransferFailure{true, -19}, TransferFailure{false, -19},
                                           TransferFailure{true, -71}),
                         [](const auto& info) {
                             return std::string(info.param.read ? "Read" : "Write") + "Minus" +
                                    std::to_string(-info.param.error);
                         });

TEST_F(LinkTest, BadArgumentsAreRefusedAndTheLinkStaysOpen)
{
    OpenLink();
    std::array<unsigned char, 8> buf{};
    EXPECT_EQ(Lib().ReadCom(buf.data(), -1), -22);
    EXPECT_EQ(Lib().WriteCom(buf.data(), -8), -22);
    EXPECT_EQ(Lib().ReadCom(nullptr, 8), -22);
    EXPECT_EQ(Lib().WriteCom(nullptr, 8), -22);
    EXPECT_TRUE(RecordedCalls().empty()) << "refused before libusb";

    simctl_script_data(SIMCTL_IN, reinterpret_cast<const unsigned char*>("ok"), 2, 0);
    EXPECT_EQ(Lib().ReadCom(buf.data(), 8), 2) << "link still open";
}

// ---------------------------------------------------------------- CloseCom

TEST_F(LinkTest, CloseReleasesResetsClosesOnceOnly)
{
    OpenLink();
    EXPECT_EQ(Lib().CloseCom(), 0);
    EXPECT_EQ(RecordedCalls(), kClose);
    EXPECT_EQ(simctl_open_handles(), 0);

    simctl_clear_calls();
    EXPECT_EQ(Lib().CloseCom(), 0);
    EXPECT_TRUE(RecordedCalls().empty());
}

TEST_F(LinkTest, OpenRightAfterCloseWaitsForReEnumeration)
{
    simctl_set_reenum_ms(300);
    const int before = simctl_devnum(quellbar_);
    OpenLink();
    ASSERT_EQ(Lib().CloseCom(), 0);

    EXPECT_EQ(Lib().OpenCom(), -1) << "still re-enumerating";
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(Lib().OpenCom(), 0);
    EXPECT_NE(simctl_devnum(quellbar_), before) << "came back under a new number";
}

}  // namespace
