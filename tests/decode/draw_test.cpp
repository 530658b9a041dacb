#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <vector>

#include "test_support.h"

using karvolen::BitmapInfo;
using karvolen::kBufferSize;
using karvolen::decode::SetDIBitsToDevice;

namespace {

constexpr uint32_t kUntouched = 0x12345678;

BitmapInfo Info(int32_t width)
{
    BitmapInfo info;
    karvolen::InitFrameInfo(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    for (int c = 0; c < 256; ++c) {
        auto& q = info.bmiColors[static_cast<size_t>(c)];
        q.rgbBlue = static_cast<uint8_t>(c);
        q.rgbGreen = static_cast<uint8_t>(c * 3);
        q.rgbRed = static_cast<uint8_t>(255 - c);
        q.rgbReserved = 0x77;  // must not reach the alpha byte
    }
    return info;
}

uint32_t Colour(int c)
{
    return 0xFF000000u | static_cast<uint32_t>(255 - c) << 16 | static_cast<uint32_t>((c * 3) & 0xFF) << 8 |
           static_cast<uint32_t>(c);
}

// A 400001-byte picture buffer that ends right at an inaccessible page, so a
// read past it crashes the test.
class GuardedBits {
public:
    GuardedBits()
    {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        dataPages_ = (static_cast<size_t>(kBufferSize) + page - 1) / page * page;
        base_ = mmap(nullptr, dataPages_ + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base_ == MAP_FAILED) throw std::runtime_error("mmap");
        mprotect(static_cast<uint8_t*>(base_) + dataPages_, page, PROT_NONE);
        bits_ = static_cast<uint8_t*>(base_) + dataPages_ - kBufferSize;
    }
    ~GuardedBits() { munmap(base_, dataPages_ + static_cast<size_t>(sysconf(_SC_PAGESIZE))); }
    uint8_t* data() { return bits_; }

private:
    void* base_;
    size_t dataPages_;
    uint8_t* bits_;
};

TEST(SetDIBitsToDevice, DrawsBottomUpRowsThroughThePalette)
{
    GuardedBits bits;
    for (int32_t i = 0; i < kBufferSize; ++i) bits.data()[i] = static_cast<uint8_t>(i / 640 + i % 640 * 7);
    const int stride = 660;
    std::vector<uint32_t> surface(static_cast<size_t>(stride) * 480, kUntouched);
    ASSERT_EQ(SetDIBitsToDevice(surface.data(), 640, 480, stride, Info(640), bits.data()), 480);
    for (int y = 0; y < 480; ++y) {
        for (int x = 0; x < 640; ++x) {
            ASSERT_EQ(surface[static_cast<size_t>(y * stride + x)], Colour(bits.data()[(479 - y) * 640 + x]))
                << x << "," << y;
        }
        ASSERT_EQ(surface[static_cast<size_t>(y * stride + 640)], kUntouched);
    }
}

TEST(SetDIBitsToDevice, ClipsToTheSurfaceAndKeepsBitsRowsApartByTheirWidth)
{
    GuardedBits bits;
    for (int32_t i = 0; i < kBufferSize; ++i) bits.data()[i] = static_cast<uint8_t>(i % 800 == 0 ? i / 800 : 1);
    // An 800-wide picture on a 640 x 200 surface: the top-left part is drawn.
    std::vector<uint32_t> surface(640 * 201, kUntouched);
    ASSERT_EQ(SetDIBitsToDevice(surface.data(), 640, 200, 640, Info(800), bits.data()), 200);
    for (int y = 0; y < 200; ++y) {
        ASSERT_EQ(surface[static_cast<size_t>(y * 640)], Colour((479 - y) & 0xFF)) << y;
        ASSERT_EQ(surface[static_cast<size_t>(y * 640 + 639)], Colour(1));
    }
    EXPECT_EQ(surface[640 * 200], kUntouched);
}

// 1000 x 480 would need 480000 bytes: rows past the buffer are not drawn, the
// row that straddles its end is drawn as far as it goes.
TEST(SetDIBitsToDevice, WideRowsAreCutAtTheEndOfTheBuffer)
{
    GuardedBits bits;
    for (int32_t i = 0; i < kBufferSize; ++i) bits.data()[i] = 5;
    std::vector<uint32_t> surface(1000 * 480, kUntouched);
    ASSERT_EQ(SetDIBitsToDevice(surface.data(), 1000, 480, 1000, Info(1000), bits.data()), 401);
    // Bits row 400 starts at index 400000 (surface row 79); row 401 lies beyond.
    EXPECT_EQ(surface[78 * 1000], kUntouched);
    EXPECT_EQ(surface[79 * 1000], Colour(5));
    EXPECT_EQ(surface[79 * 1000 + 1], kUntouched);
    EXPECT_EQ(surface[80 * 1000 + 999], Colour(5));
    EXPECT_EQ(surface[479 * 1000 + 999], Colour(5));
}

TEST(SetDIBitsToDevice, FailsWithoutAWidthOrASurface)
{
    GuardedBits bits;
    std::vector<uint32_t> surface(800 * 480, kUntouched);
    EXPECT_EQ(SetDIBitsToDevice(surface.data(), 800, 480, 800, Info(0), bits.data()), 0);
    EXPECT_EQ(SetDIBitsToDevice(surface.data(), 800, 480, 800, Info(-640), bits.data()), 0);
    EXPECT_EQ(SetDIBitsToDevice(nullptr, 800, 480, 800, Info(640), bits.data()), 0);
    EXPECT_EQ(SetDIBitsToDevice(surface.data(), 0, 480, 800, Info(640), bits.data()), 0);
    EXPECT_EQ(SetDIBitsToDevice(surface.data(), 800, 0, 800, Info(640), bits.data()), 0);
    EXPECT_EQ(SetDIBitsToDevice(surface.data(), 800, -1, 800, Info(640), bits.data()), 0);
    for (uint32_t px : surface) ASSERT_EQ(px, kUntouched);
}

}  // namespace
