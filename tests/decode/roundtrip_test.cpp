#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "test_support.h"

namespace karvolen {
namespace {

using testing::Decode;
using decode::DecodeResult;
using testing::IsWellFormedLineDelta;
using testing::Receive;
using testing::SamePalette;

using Bytes = std::vector<uint8_t>;

class GeneratorRoundTrip : public ::testing::TestWithParam<int> {};

// What the viewer sees over a polling run: one full frame, then deltas; the
// decoded picture must equal the generator's after every reply.
TEST_P(GeneratorRoundTrip, FullFrameThenDeltasReproduceEveryFrame)
{
    const int width = GetParam();
    quellbar::ScreenGenerator gen(width, 42);
    PollState st;
    st.imageWidth = 800;  // the window's start-up value

    DecodeResult r =
        Decode(st, Receive(st, quellbar::BuildReply(quellbar::BuildBmp(gen.Current(), gen.Current().pixels))));
    ASSERT_TRUE(r.fullFrame);
    EXPECT_EQ(std::pair(r.firstRow, r.rowCount), std::pair(0, quellbar::kRows));
    ASSERT_EQ(st.imageWidth, width);
    ASSERT_EQ(st.requestMode, kModeLineDelta);

    const size_t pixels = static_cast<size_t>(width) * quellbar::kRows;
    for (int frame = 1; frame <= 120; ++frame) {
        const Bytes prev = gen.Current().pixels;
        const quellbar::Screen& cur = gen.Next();
        const Bytes delta = quellbar::EncodeLineDelta(prev.data(), cur.pixels.data(), width);
        ASSERT_TRUE(IsWellFormedLineDelta(delta, width, quellbar::kRows)) << "frame " << frame;

        int same = 0, firstChanged = quellbar::kRows, lastChanged = -1;
        for (int row = 0; row < quellbar::kRows; ++row) {
            const size_t at = static_cast<size_t>(row) * static_cast<size_t>(width);
            const bool kept = std::memcmp(prev.data() + at, cur.pixels.data() + at, static_cast<size_t>(width)) == 0;
            same += kept;
            if (!kept) firstChanged = std::min(firstChanged, row), lastChanged = row;
        }
        EXPECT_GT(same, 0) << "frame " << frame;
        EXPECT_LT(same, quellbar::kRows) << "frame " << frame;
        EXPECT_LT(delta.size(), pixels / 4) << "frame " << frame;

        r = Decode(st, Receive(st, quellbar::BuildReply(quellbar::BuildBmp(cur, delta))));
        ASSERT_FALSE(r.fullFrame);
        EXPECT_EQ(std::pair(r.firstRow, r.rowCount), std::pair(firstChanged, lastChanged + 1 - firstChanged))
            << "the band of changed rows, frame " << frame;
        ASSERT_TRUE(std::equal(cur.pixels.begin(), cur.pixels.end(), st.pixels.data())) << "frame " << frame;
        ASSERT_TRUE(SamePalette(st.frameInfo, cur.palette)) << "frame " << frame;
    }
}

INSTANTIATE_TEST_SUITE_P(BothWidths, GeneratorRoundTrip, ::testing::Values(640, 800));

TEST(ScreenGenerator, DeterministicPerSeedWithPaletteChangesEveryFiftyFrames)
{
    quellbar::ScreenGenerator a(800, 7), b(800, 7), c(800, 8);
    std::vector<std::array<uint32_t, 256>> palettes;
    for (int f = 1; f <= 101; ++f) {
        a.Next();
        b.Next();
        c.Next();
        ASSERT_EQ(a.Current().pixels, b.Current().pixels) << f;
        ASSERT_EQ(a.Current().pixels.size(), 800u * 480u);
        palettes.push_back(a.Current().palette);
    }
    EXPECT_EQ(a.FrameNumber(), 101u);
    EXPECT_NE(a.Current().pixels, c.Current().pixels);
    // palettes[i] belongs to frame i + 1.
    EXPECT_EQ(palettes[0], palettes[48]);
    EXPECT_NE(palettes[48], palettes[49]);
    EXPECT_EQ(palettes[49], palettes[98]);
    EXPECT_NE(palettes[98], palettes[99]);

    quellbar::ScreenGenerator narrow(640, 7);
    EXPECT_EQ(narrow.Current().width, 640);
    EXPECT_EQ(narrow.Current().pixels.size(), 640u * 480u);
}

// Rows of every kind the encoder has to split: noise, runs of all lengths
// around the 255 limit, zeros, single changed pixels, untouched rows.
void RandomRow(std::mt19937& rng, uint8_t* row, int width)
{
    static constexpr int kLengths[] = {1, 2, 3, 4, 5, 254, 255, 256, 257, 511, 600};
    std::uniform_int_distribution<int> byte(0, 255);
    switch (rng() % 5) {
    case 0: return;  // unchanged
    case 1:
        for (int x = 0; x < width; ++x) row[x] = static_cast<uint8_t>(byte(rng));
        return;
    case 2: row[rng() % static_cast<unsigned>(width)] ^= static_cast<uint8_t>(1 + rng() % 255); return;
    default: {
        const bool zeroHeavy = rng() % 2 == 0;
        for (int x = 0; x < width;) {
            const int len = std::min(kLengths[rng() % std::size(kLengths)], width - x);
            const uint8_t v = zeroHeavy && rng() % 2 ? 0 : static_cast<uint8_t>(byte(rng));
            std::memset(row + x, v, static_cast<size_t>(len));
            x += len;
        }
    }
    }
}

TEST(LineDeltaRoundTrip, RandomPicturesWithRandomRuns)
{
    std::mt19937 rng(20240611);
    PollState st;
    st.requestMode = kModeLineDelta;
    for (int iter = 0; iter < 150; ++iter) {
        const int width = iter % 2 ? 640 : 800;
        const size_t n = static_cast<size_t>(width) * quellbar::kRows;
        Bytes prev(n);
        for (auto& b : prev) b = static_cast<uint8_t>(rng());
        Bytes cur = prev;
        for (int r = 0; r < quellbar::kRows; ++r) RandomRow(rng, cur.data() + static_cast<size_t>(r) * width, width);

        const Bytes delta = quellbar::EncodeLineDelta(prev.data(), cur.data(), width);
        ASSERT_TRUE(IsWellFormedLineDelta(delta, width, quellbar::kRows)) << iter;

        st.imageWidth = static_cast<int16_t>(width);
        std::memcpy(st.pixels.data(), prev.data(), n);
        const uint8_t beyond = st.pixels[static_cast<int32_t>(n)];
        Decode(st, Receive(st, testing::Reply(delta, width)));
        ASSERT_TRUE(std::equal(cur.begin(), cur.end(), st.pixels.data())) << iter;
        ASSERT_EQ(st.pixels[static_cast<int32_t>(n)], beyond) << iter;
    }
}

// Whatever follows the headers, decoding stays inside pixels: index
// 400000 is never written.
TEST(LineDeltaRoundTrip, GarbageNeverWritesTheLastPixelBufferIndex)
{
    constexpr int32_t kHeader = wire::kReplyHeaderSize;
    std::mt19937 rng(99);
    PollState st;
    for (int iter = 0; iter < 200; ++iter) {
        st.requestMode = kModeLineDelta;
        st.imageWidth = iter % 3 == 0 ? 640 : 800;
        st.pixels[kBufferLastIndex] = 0x3C;
        const int32_t received =
            iter % 4 == 0 ? kBufferSize : kHeader + static_cast<int32_t>(rng() % (kBufferSize - kHeader));
        Bytes reply = testing::Reply(Bytes(static_cast<size_t>(received - kHeader)));
        // Mostly large counts so that records run long and reach the guards.
        for (size_t i = kHeader; i < reply.size(); ++i)
            reply[i] = static_cast<uint8_t>(rng() % 4 ? 200 + rng() % 56 : rng());
        const DecodeResult r = Decode(st, Receive(st, reply));
        ASSERT_FALSE(r.refused);
        ASSERT_EQ(st.pixels[kBufferLastIndex], 0x3C) << iter;
    }
}

}  // namespace
}  // namespace karvolen
