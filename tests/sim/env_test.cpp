// The bus a program sees under quellbar-run, built from QUELLBAR_SIM alone.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "protocol.h"
#include "sim_test_util.h"
#include "wire_format.h"

namespace {

using namespace karvolen::testing;
namespace wire = karvolen::wire;

TEST(EnvDefaults, OneBusWithRootHubThenQuellbar800Wide)
{
    // The system's libusb, no stand-in in front of it.
    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&usb_bulk_read), &info), 0);
    EXPECT_EQ(std::filesystem::canonical(info.dli_fname), std::filesystem::canonical(SYSTEM_LIBUSB));

    usb_init();
    usb_find_busses();
    usb_find_devices();
    usb_bus* bus = usb_get_busses();
    ASSERT_NE(bus, nullptr);
    EXPECT_EQ(bus->next, nullptr);
    struct usb_device* hub = bus->devices;
    ASSERT_NE(hub, nullptr);
    EXPECT_EQ(hub->descriptor.idVendor, 0x1d6b);
    ASSERT_NE(hub->next, nullptr);
    EXPECT_EQ(hub->next->descriptor.idVendor, MARLEX_VENDOR_ID);
    EXPECT_EQ(hub->next->descriptor.idProduct, MARLEX_PRODUCT_ID_A);

    usb_dev_handle* h = usb_open(hub->next);
    ASSERT_EQ(Write(h, "BMP? 0\r\n", 8), 8);
    std::vector<uint8_t> buf(400000);
    ASSERT_EQ(Read(h, buf.data(), 64), 64);
    EXPECT_EQ(wire::ReadBe32(buf.data()), uint32_t{wire::kPixelOffset} + 800u * 480u);
    usb_close(h);
}

TEST(EnvOptions, ProductWidthFaultsLogAndDump)
{
    const std::filesystem::path dir = std::getenv("SIM_ENV_DIR");
    struct usb_device* dev = Find(MARLEX_VENDOR_ID);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(dev->descriptor.idProduct, 0x0009);

    usb_dev_handle* h = usb_open(dev);
    std::vector<uint8_t> buf(400000);
    ASSERT_EQ(Write(h, "BMP? 0\r\n", 8), 8);
    ASSERT_EQ(Read(h, buf.data(), 400000), 4 + 1078 + 640 * 480);
    EXPECT_EQ(std::filesystem::file_size(dir / "screen.ppm"), 15u + 640u * 480u * 3u);

    ASSERT_EQ(Write(h, "BMP? 2\r\n", 8), 8);
    ASSERT_EQ(Read(h, buf.data(), 400000), 164) << "the scheduled nosig:100 at request 2";

    // A reset re-enumerates after reenum_ms=50.
    usb_reset(h);
    usb_close(h);
    EXPECT_EQ(Find(MARLEX_VENDOR_ID), nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    EXPECT_NE(Find(MARLEX_VENDOR_ID), nullptr);

    std::ifstream in(dir / "quellbar.log");
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("fault nosig:100 at request 2"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("reset"), std::string::npos);
}

TEST(EnvAbsent, OnlyTheRootHub)
{
    EXPECT_EQ(Find(MARLEX_VENDOR_ID), nullptr);
    EXPECT_NE(Find(0x1d6b), nullptr);
}

}  // namespace
