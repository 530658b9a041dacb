#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "test_support.h"

using karvolen::BitmapInfo;
using karvolen::kBufferSize;
using karvolen::decode::DrawPicture;

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
std::span<uint8_t> GuardedBits()
{
    static uint8_t* const bits = [] {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        const size_t data = (static_cast<size_t>(kBufferSize) + page - 1) / page * page;
        void* base = mmap(nullptr, data + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED || mprotect(static_cast<uint8_t*>(base) + data, page, PROT_NONE) != 0) std::abort();
        return static_cast<uint8_t*>(base) + data - kBufferSize;
    }();
    return {bits, static_cast<size_t>(kBufferSize)};
}

TEST(DrawPicture, DrawsBottomUpRowsThroughThePalette)
{
    const std::span<uint8_t> bits = GuardedBits();
    for (int32_t i = 0; i < kBufferSize; ++i) bits[i] = static_cast<uint8_t>(i / 640 + i % 640 * 7);
    const int stride = 660;
    std::vector<uint32_t> surface(static_cast<size_t>(stride) * 480, kUntouched);
    ASSERT_EQ(DrawPicture(surface.data(), 640, 480, stride, Info(640), bits), 480);
    for (int y = 0; y < 480; ++y) {
        for (int x = 0; x < 640; ++x) {
            ASSERT_EQ(surface[static_cast<size_t>(y * stride + x)], Colour(bits[(479 - y) * 640 + x])) << x << "," << y;
        }
        ASSERT_EQ(surface[static_cast<size_t>(y * stride + 640)], kUntouched);
    }
}

TEST(DrawPicture, ClipsToTheSurfaceAndKeepsBitsRowsApartByTheirWidth)
{
    const std::span<uint8_t> bits = GuardedBits();
    for (int32_t i = 0; i < kBufferSize; ++i) bits[i] = static_cast<uint8_t>(i % 800 == 0 ? i / 800 : 1);
    // An 800-wide picture on a 640 x 200 surface: the top-left part is drawn.
    std::vector<uint32_t> surface(640 * 201, kUntouched);
    ASSERT_EQ(DrawPicture(surface.data(), 640, 200, 640, Info(800), bits), 200);
    for (int y = 0; y < 200; ++y) {
        ASSERT_EQ(surface[static_cast<size_t>(y * 640)], Colour((479 - y) & 0xFF)) << y;
        ASSERT_EQ(surface[static_cast<size_t>(y * 640 + 639)], Colour(1));
    }
    EXPECT_EQ(surface[640 * 200], kUntouched);
}

// 1000 x 480 would need 480000 bytes: rows past the buffer are not drawn, the
// row that straddles its end is drawn as far as it goes.
TEST(DrawPicture, WideRowsAreCutAtTheEndOfTheBuffer)
{
    const std::span<uint8_t> bits = GuardedBits();
    for (int32_t i = 0; i < kBufferSize; ++i) bits[i] = 5;
    std::vector<uint32_t> surface(1000 * 480, kUntouched);
    ASSERT_EQ(DrawPicture(surface.data(), 1000, 480, 1000, Info(1000), bits), 401);
    // Bits row 400 starts at index 400000 (surface row 79); row 401 lies beyond.
    EXPECT_EQ(surface[78 * 1000], kUntouched);
    EXPECT_EQ(surface[79 * 1000], Colour(5));
    EXPECT_EQ(surface[79 * 1000 + 1], kUntouched);
    EXPECT_EQ(surface[80 * 1000 + 999], Colour(5));
    EXPECT_EQ(surface[479 * 1000 + 999], Colour(5));
}

TEST(DrawPicture, FailsWithoutAWidthOrASurface)
{
    const std::span<uint8_t> bits = GuardedBits();
    std::vector<uint32_t> surface(800 * 480, kUntouched);
    EXPECT_EQ(DrawPicture(surface.data(), 800, 480, 800, Info(0), bits), 0);
    EXPECT_EQ(DrawPicture(surface.data(), 800, 480, 800, Info(-640), bits), 0);
    EXPECT_EQ(DrawPicture(nullptr, 800, 480, 800, Info(640), bits), 0);
    EXPECT_EQ(DrawPicture(surface.data(), 0, 480, 800, Info(640), bits), 0);
    EXPECT_EQ(DrawPicture(surface.data(), 800, 0, 800, Info(640), bits), 0);
    EXPECT_EQ(DrawPicture(surface.data(), 800, -1, 800, Info(640), bits), 0);
    for (uint32_t px : surface) ASSERT_EQ(px, kUntouched);
}

}  // namespace
