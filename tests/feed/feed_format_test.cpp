#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "feed_format.h"

namespace karvolen::feed {
namespace {

struct Decoded {
    std::vector<Message> messages;  // their views are dangling: pixels holds their copy
    std::vector<Bytes> pixels;
    DecodeError error = DecodeError::kNone;
    bool midway = false;
    size_t held = 0;  // the largest body the decoder had to hold
};

// Decodes `stream` handed over `piece` bytes at a time.
Decoded Decode(const Bytes& stream, size_t piece)
{
    Decoded run;
    Decoder d;
    for (size_t at = 0; at < stream.size() && run.error == DecodeError::kNone;) {
        std::span<const uint8_t> rest(stream.data() + at, std::min(piece, stream.size() - at));
        while (!rest.empty()) {
            const auto step = d.Take(rest);
            at += step.used;
            rest = rest.subspan(step.used);
            if (step.outcome == Decoder::Outcome::kMessage) {
                run.messages.push_back(d.message());
                run.pixels.emplace_back(d.message().pixels.begin(), d.message().pixels.end());
            }
            if (step.outcome == Decoder::Outcome::kError) {
                run.error = d.error();
                EXPECT_EQ(d.Take(rest).outcome, Decoder::Outcome::kError) << "an error is final";
                break;
            }
        }
    }
    run.midway = d.Midway();
    return run;
}

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Picture {
    std::vector<uint8_t> pixels = std::vector<uint8_t>(kMaxPixels);
    std::array<RgbQuad, 256> palette{};
    Picture()
    {
        for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint8_t(i * 13 + i / 800);
        for (int c = 0; c < 256; ++c) palette[c] = {uint8_t(c), uint8_t(c * 5), uint8_t(~c), 0};
    }
    ShownPicture At(int width, int first, int count) { return {pixels, width, palette, first, count, 1.8e9 + 0.25}; }
};

const Bytes kHello = EncodeHello("karvolen-viewer", 4242);

TEST(FeedFormatTest, StreamDecodesTheSameHoweverItIsSplit)
{
    Picture p;
    const Bytes stream = kHello + EncodeState(FeedState::kStopping) + EncodeWhole(p.At(800, 0, 480)) +
                         EncodeBand(p.At(800, 10, 2)) + EncodeBand(p.At(800, 479, 0)) +
                         EncodeWhole(p.At(640, 0, 480)) + EncodeBand(p.At(640, 0, 480));
    for (size_t piece : {size_t{1}, size_t{7}, size_t{4096}, stream.size()}) {
        SCOPED_TRACE(piece);
        const Decoded run = Decode(stream, piece);
        ASSERT_EQ(run.error, DecodeError::kNone) << DecodeErrorText(run.error);
        ASSERT_EQ(run.messages.size(), 7u);
        EXPECT_FALSE(run.midway);
        EXPECT_EQ(run.messages[0].hello.program, "karvolen-viewer");
        EXPECT_EQ(run.messages[0].hello.pid, 4242u);
        EXPECT_EQ(run.messages[1].state, FeedState::kStopping);
        const Message& band = run.messages[3];
        const Bytes& bandPixels = run.pixels[3];
        EXPECT_EQ(band.type, MessageType::kBand);
        EXPECT_EQ(band.width, 800);
        EXPECT_EQ(band.time, 1.8e9 + 0.25);
        EXPECT_EQ(band.firstRow, 10);
        ASSERT_EQ(bandPixels.size(), 1600u);
        EXPECT_EQ(std::memcmp(bandPixels.data(), p.pixels.data() + 8000, 1600), 0);
        EXPECT_EQ(run.pixels[5], Bytes(p.pixels.begin(), p.pixels.begin() + 640 * 480));
        EXPECT_EQ(run.messages[4].rowCount, 0);
        EXPECT_EQ(run.messages[6].width, 640) << "a band takes the width of the whole picture before it";
    }
    Decoder d;
    d.Take(kHello);
    const Bytes whole = EncodeWhole(p.At(640, 0, 480));
    ASSERT_EQ(d.Take(whole).outcome, Decoder::Outcome::kMessage);
    EXPECT_EQ(std::memcmp(d.message().palette.data(), p.palette.data(), kPaletteSize), 0);
}

Bytes Patched(Bytes message, size_t at, std::initializer_list<uint8_t> bytes)
{
    std::copy(bytes.begin(), bytes.end(), message.begin() + static_cast<ptrdiff_t>(at));
    return message;
}

TEST(FeedFormatTest, MalformedStreamsAreRefused)
{
    Picture p;
    const Bytes whole = EncodeWhole(p.At(800, 0, 480));
    const Bytes band = EncodeBand(p.At(800, 0, 2));
    const Bytes state = EncodeState(FeedState::kPaused);
    struct Case {
        const char* what;
        Bytes stream;
        DecodeError error;
    };
    const Case cases[] = {
        {"no hello first", state, DecodeError::kBadMagic},
        {"another magic", Patched(kHello, 8, {'X'}), DecodeError::kBadMagic},
        {"version 2", Patched(kHello, 12, {2}), DecodeError::kBadVersion},
        {"second hello", kHello + kHello, DecodeError::kOutOfOrder},
        {"hello without a name", Patched(kHello, 0, {12}), DecodeError::kBadLength},
        {"unknown type", kHello + Patched(state, 4, {9}), DecodeError::kUnknownType},
        {"header padding", kHello + Patched(state, 6, {1}), DecodeError::kBadHeader},
        {"over-long", kHello + Patched(state, 0, {0x0D, 0xE0, 0x05, 0}), DecodeError::kBadLength},
        {"4 GB", kHello + Patched(state, 0, {0xFF, 0xFF, 0xFF, 0xFF}), DecodeError::kBadLength},
        {"state 5", kHello + Patched(state, 8, {5}), DecodeError::kBadField},
        {"band before a whole picture", kHello + band, DecodeError::kOutOfOrder},
        {"width 640 with 800's rows", kHello + Patched(whole, 16, {0x80, 0x02}), DecodeError::kBadField},
        {"band past row 480", kHello + whole + Patched(band, 16, {0xDF, 0x01}), DecodeError::kBadField},
        {"band rows not its length", kHello + whole + Patched(band, 18, {3}), DecodeError::kBadField},
        {"band not whole rows", kHello + whole + Patched(band, 0, {13}), DecodeError::kBadLength},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Decoded run = Decode(c.stream, 5);
        EXPECT_EQ(run.error, c.error) << DecodeErrorText(run.error);
    }
    // The over-long length is refused from its header alone.
    Decoder d;
    d.Take(kHello);
    const Bytes header = Patched(state, 0, {0x0D, 0xE0, 0x05, 0});
    EXPECT_EQ(d.Take(std::span(header).first(kHeaderSize)).outcome, Decoder::Outcome::kError);
    EXPECT_EQ(kMaxBodySize, 0x05E00Cu) << "the longest body: a whole wide picture";

    const Bytes cut = kHello + Bytes(whole.begin(), whole.end() - 1);
    const Decoded run = Decode(cut, 4096);
    EXPECT_EQ(run.error, DecodeError::kNone);
    EXPECT_TRUE(run.midway) << "a cut message is seen when the stream ends";
}

}  // namespace
}  // namespace karvolen::feed
