// Arbitrary bytes as what the picture feed's socket gives a reader: through
// the reader's decoder, in pieces, each message applied to a picture as the
// reader applies it.
//
// Input layout:
//   [0]       flags: kFlagPreamble starts the stream with a valid hello and a
//             whole picture (so short inputs reach bands); kFlagWide makes
//             that picture 800 wide, else 640
//   [1]       piece size - 1: the stream is handed over this many bytes at a time
//   [2, end)  the stream (after the preamble)
//
// Besides ASan and UBSan the target checks: no piece is over-used; a message
// fits the picture (width, rows, pixel count); each message encodes back to
// exactly the bytes it was decoded from; an error is final and takes nothing.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "fuzz_check.h"
#include "feed_format.h"

namespace {

using namespace karvolen;
using namespace karvolen::feed;

constexpr uint8_t kFlagPreamble = 0x01;
constexpr uint8_t kFlagWide = 0x02;

struct Picture {
    std::vector<uint8_t> pixels = std::vector<uint8_t>(kMaxPixels);
    std::array<RgbQuad, wire::kColourCount> palette{};
    int width = 0;
};

Bytes Reencode(const Message& m, const Picture& shown)
{
    switch (m.type) {
    case MessageType::kHello: return EncodeHello(m.hello.program, m.hello.pid);
    case MessageType::kState: return EncodeState(m.state);
    case MessageType::kWhole: return EncodeWhole({shown.pixels, m.width, shown.palette, 0, m.rowCount, m.time});
    case MessageType::kBand: return EncodeBand({shown.pixels, m.width, shown.palette, m.firstRow, m.rowCount, m.time});
    }
    Fail("message of no known type");
}

// Applies `m` to `shown` as the reader does, checking that it fits.
void Apply(const Message& m, Picture& shown)
{
    if (m.type != MessageType::kWhole && m.type != MessageType::kBand) return;
    CHECK(m.width == wire::kNarrowWidth || m.width == wire::kWideWidth);
    CHECK(m.firstRow >= 0 && m.rowCount >= 0 && m.firstRow + m.rowCount <= wire::kPictureHeight);
    CHECK(m.pixels.size() == static_cast<size_t>(m.rowCount) * m.width);
    if (m.type == MessageType::kWhole) {
        CHECK(m.palette.size() == kPaletteSize && m.rowCount == wire::kPictureHeight && m.firstRow == 0);
        std::memcpy(shown.palette.data(), m.palette.data(), kPaletteSize);
        shown.width = m.width;
    }
    CHECK(m.width == shown.width);
    std::copy(m.pixels.begin(), m.pixels.end(), shown.pixels.begin() + static_cast<ptrdiff_t>(m.firstRow) * m.width);
}

Bytes Preamble(int width)
{
    Picture p;
    for (size_t i = 0; i < p.pixels.size(); ++i) p.pixels[i] = static_cast<uint8_t>(i % 251);
    Bytes stream = EncodeHello("karvolen-fuzz", 1);
    const Bytes whole = EncodeWhole({p.pixels, width, p.palette, 0, wire::kPictureHeight, 0.0});
    stream.insert(stream.end(), whole.begin(), whole.end());
    return stream;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) return 0;
    const uint8_t flags = data[0];
    const size_t piece = size_t{data[1]} + 1;
    static const Bytes preambles[2] = {Preamble(wire::kNarrowWidth), Preamble(wire::kWideWidth)};
    Decoder decoder;
    // Kept between inputs: a stream's first picture is whole and writes it all.
    static Picture shown;
    if (flags & kFlagPreamble) {
        // Known good, so handed over whole and not encoded again: big
        // allocations are what costs most under ASan.
        std::span<const uint8_t> preamble = preambles[(flags & kFlagWide) ? 1 : 0];
        for (MessageType expected : {MessageType::kHello, MessageType::kWhole}) {
            const auto step = decoder.Take(preamble);
            CHECK(step.outcome == Decoder::Outcome::kMessage && decoder.message().type == expected);
            Apply(decoder.message(), shown);
            preamble = preamble.subspan(step.used);
        }
        CHECK(preamble.empty());
    }

    const std::span<const uint8_t> stream(data + 2, size - 2);
    size_t at = 0;
    size_t messageStart = 0;
    while (at < stream.size()) {
        const size_t given = std::min(piece, stream.size() - at);
        const auto step = decoder.Take(stream.subspan(at, given));
        CHECK(step.used <= given);
        at += step.used;
        if (step.outcome == Decoder::Outcome::kError) {
            CHECK(decoder.error() != DecodeError::kNone);
            CHECK(decoder.Take(stream.subspan(at)).used == 0);
            return 0;
        }
        if (step.outcome == Decoder::Outcome::kNeedMore) {
            CHECK(step.used == given);
            continue;
        }
        const Message& m = decoder.message();
        Apply(m, shown);
        const Bytes again = Reencode(m, shown);
        CHECK(again.size() == at - messageStart);
        CHECK(std::equal(again.begin(), again.end(), stream.begin() + static_cast<ptrdiff_t>(messageStart)));
        messageStart = at;
    }
    CHECK(decoder.Midway() == (messageStart < at));
    return 0;
}
