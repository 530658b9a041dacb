#include "decode.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "picture_format.h"

namespace karvolen::decode {
namespace {

static_assert(sizeof(BitmapInfo::bmiColors) == kColourCount * sizeof(RgbQuad));

// Number of 0x00 bytes at p, at most `max`: runs of unchanged rows are skipped
// a word at a time.
int32_t CountZeros(const uint8_t* p, int32_t max)
{
    int32_t n = 0;
    if constexpr (std::endian::native == std::endian::little) {
        while (n + 8 <= max) {
            uint64_t v;
            std::memcpy(&v, p + n, 8);
            if (v != 0) return n + std::countr_zero(v) / 8;
            n += 8;
        }
    }
    while (n < max && p[n] == 0) ++n;
    return n;
}

// The fixed-size moves of a group: literals move 16 bytes and runs 8 bytes at a
// time whatever their count, so that groups of random shape do not cost a
// mispredicted branch or two each. (A memcpy with the count is inlined by GCC
// as `rep movs`, several times slower on these short copies; see CMakeLists.txt.)
constexpr int32_t kLiteralMove = 16;
constexpr int32_t kRunMove = 8;
constexpr int32_t kMaxCount = 255;
// A group starts before the row's last pixel and its moves end at most this
// far past its start, so a row is decoded into a scratch row this much wider.
constexpr int32_t kRowSlack = kMaxCount + kLiteralMove;
// imageWidth is 16-bit.
constexpr int32_t kMaxWidth = std::numeric_limits<int16_t>::max();

// Copies n literals as whole 16-byte moves, and up to 15 bytes more.
inline void CopyLiterals(uint8_t* dst, const uint8_t* src, int32_t n)
{
    int32_t j = 0;
    do {
        std::memcpy(dst + j, src + j, kLiteralMove);
        j += kLiteralMove;
    } while (j < n);
}

// Writes n copies of value and up to 7 bytes more.
inline void FillRun(uint8_t* dst, uint8_t value, int32_t n)
{
    const uint64_t pattern = value * 0x0101010101010101ull;
    int32_t j = 0;
    do {
        std::memcpy(dst + j, &pattern, kRunMove);
        j += kRunMove;
    } while (j < n);
}

// Applies the line records in rx[i .. received-1] to px (rows of w pixels) and
// returns the end of the last pixels written; `low` becomes the start of the
// first. Stops quietly where a group would write at index `limit` or beyond,
// or would need a byte that was not received.
//
// Every record begins at D = k * W (an unchanged row adds W, a changed row is
// cut back to its end), so the record count k is kept as D alone. A changed
// row is decoded into `row`, where the moves may overshoot, and only the
// pixels its groups reached are committed: a row the stream stops inside keeps
// its earlier pixels past that point, and the pixels of an overlong row spill
// into the next one.
int64_t DecodeLineDelta(const uint8_t* rx, int32_t i, int32_t received, uint8_t* px, int32_t limit, int32_t w,
                        int64_t& low)
{
    // A row is committed once the next changed row has been decoded: a copy of
    // pixels only just stored, by moves of other sizes, stalls on every load.
    uint8_t rows[2][kMaxWidth + kRowSlack];
    int32_t next = 0;
    int64_t pendingAt = 0;
    int32_t pendingCount = 0;
    int64_t high = 0;
    auto commit = [px, &low, &high](int64_t at, const uint8_t* pixels, int32_t count) {
        if (count <= 0) return;
        std::memcpy(px + at, pixels, static_cast<size_t>(count));
        low = std::min(low, at);
        high = at + count;
    };
    int64_t d = 0;  // 64-bit: unchanged rows advance it without bound
    while (i < received) {
        if (rx[i] == 0) {
            const int32_t unchanged = CountZeros(rx + i, received - i);
            d += static_cast<int64_t>(unchanged) * w;
            i += unchanged;
            continue;
        }
        // The pixels this row may write before `limit` (none once D is past it).
        const int32_t room = static_cast<int32_t>(std::clamp<int64_t>(limit - d, -1, w + kRowSlack));
        uint8_t* row = rows[next];
        int32_t p = 0;  // pixels of the row decoded so far
        bool complete = false;
        for (;;) {
            const int32_t n = rx[i];
            uint8_t value;  // what the group's run repeats
            if (n == 0) {
                // No literals (never a row's first group): a run of index 0,
                // taken as the two bytes it is so that the next group's
                // address need not wait for this count to load.
                if (received - i < 2) break;
                value = 0;
                i += 1;
            } else {
                if (n >= received - i || p + n > room) break;
                // The moves read past the literals only into bytes that were
                // received; a group at the very end of the stream is copied exactly.
                // Short groups, the most frequent, take their one move directly.
                if (n <= kLiteralMove && received - i > kLiteralMove) {
                    std::memcpy(row + p, rx + i + 1, kLiteralMove);
                } else if (received - i > ((n + kLiteralMove - 1) & -kLiteralMove)) {
                    CopyLiterals(row + p, rx + i + 1, n);
                } else {
                    std::copy_n(rx + i + 1, n, row + p);
                }
                p += n;
                i += 1 + n;
                if (p >= w) {
                    complete = true;
                    break;
                }
                if (i >= received) break;
                value = rx[i - 1];
            }
            const int32_t r = rx[i];
            if (p + r > room) break;
            FillRun(row + p, value, r);
            p += r;
            i += 1;
            if (p >= w) {
                complete = true;
                break;
            }
        }
        commit(pendingAt, rows[next ^ 1], pendingCount);
        if (!complete) {
            commit(d, row, p);
            return high;
        }
        pendingAt = d;
        pendingCount = p;
        next ^= 1;
        d += w;
    }
    commit(pendingAt, rows[next ^ 1], pendingCount);
    return high;
}

}  // namespace

DecodeResult DecodeReply(std::span<const uint8_t> reply, const DecodeTarget& t)
{
    const int32_t received = static_cast<int32_t>(std::min<size_t>(reply.size(), kBufferSize));
    const uint8_t* rx = reply.data();
    if (received < kMinReplySize || t.header.size() < kColourTableOffset + sizeof(t.frameInfo.bmiColors)) {
        return {.refused = true};
    }
    const uint32_t offBits = ReadLe32(rx + kOffBitsIndex);
    if (offBits > kMaxOffBits) {
        return {.refused = true};
    }
    const int32_t s = static_cast<int32_t>(offBits) + kPrefixSize;

    // Headers and colour table; bytes that did not arrive keep their old value.
    const int32_t headerEnd = std::min(s, received);
    if (headerEnd > kPrefixSize) {
        std::memcpy(t.header.data(), rx + kPrefixSize,
                    std::min(static_cast<size_t>(headerEnd - kPrefixSize), t.header.size()));
    }

    DecodeResult result;
    // Pixels stop short of the buffer's last index, as the first picture's copy does.
    const int32_t limit = static_cast<int32_t>(std::min<size_t>(t.pixels.size(), kBufferSize)) - 1;
    int64_t low = 0;  // the pixels written, [low, high)
    int64_t high = 0;
    if (t.requestMode == kModeLineDelta) {
        low = std::numeric_limits<int64_t>::max();
        if (t.imageWidth > 0 && limit > 0)
            high = DecodeLineDelta(rx, s, received, t.pixels.data(), limit, t.imageWidth, low);
    } else {
        if (s < received) {
            std::memcpy(t.pixels.data(), rx + s, static_cast<size_t>(std::min(received - s, limit)));
        }
        t.requestMode = kModeLineDelta;
        BitmapInfoHeader& h = t.frameInfo.bmiHeader;
        if (received >= kSizeImageIndex + 4) h.biSizeImage = ReadLe32(rx + kSizeImageIndex);
        if (received >= kXPelsIndex + 4) h.biXPelsPerMeter = static_cast<int32_t>(ReadLe32(rx + kXPelsIndex));
        if (received >= kYPelsIndex + 4) h.biYPelsPerMeter = static_cast<int32_t>(ReadLe32(rx + kYPelsIndex));
        t.imageWidth = received <= kNarrowReplyMaxSize ? kNarrowWidth : kWideWidth;
        if (t.imageWidth != t.appliedWidth) {
            t.appliedWidth = t.imageWidth;
            result.widthChanged = true;
        }
        result.fullFrame = true;
        high = static_cast<int64_t>(kPictureHeight) * t.imageWidth;
    }
    if (high > low) {
        const int64_t first = std::min<int64_t>(low / t.imageWidth, kPictureHeight);
        const int64_t end = std::min<int64_t>((high + t.imageWidth - 1) / t.imageWidth, kPictureHeight);
        result.firstRow = static_cast<int32_t>(first);
        result.rowCount = static_cast<int32_t>(std::max<int64_t>(end - first, 0));
    }

    std::memcpy(t.frameInfo.bmiColors.data(), t.header.data() + kColourTableOffset, sizeof(t.frameInfo.bmiColors));
    return result;
}

int32_t DrawPicture(uint32_t* surface, int32_t surfaceWidth, int32_t surfaceHeight, int32_t stride,
                    const BitmapInfo& info, std::span<const uint8_t> bits)
{
    const int32_t width = info.bmiHeader.biWidth;
    if (surface == nullptr || bits.data() == nullptr || width <= 0 || surfaceWidth <= 0 || surfaceHeight <= 0 ||
        stride < surfaceWidth) {
        return 0;
    }

    uint32_t lut[kColourCount];
    std::transform(info.bmiColors.begin(), info.bmiColors.end(), lut, Argb);

    const int32_t columns = std::min(width, surfaceWidth);
    const int32_t rows = std::min(kPictureHeight, surfaceHeight);
    int32_t drawn = 0;
    for (int32_t y = 0; y < rows; ++y) {
        // Bottom-up bits: the top surface row shows the last row. Rows of a
        // width above 833 reach past the buffer and are cut off at its end.
        const int64_t size = static_cast<int64_t>(bits.size());
        const int64_t start = static_cast<int64_t>(kPictureHeight - 1 - y) * width;
        if (start >= size) continue;
        ++drawn;
        const int32_t n = static_cast<int32_t>(std::min<int64_t>(columns, size - start));
        const uint8_t* src = bits.data() + start;
        uint32_t* dst = surface + static_cast<int64_t>(y) * stride;
        int32_t x = 0;
        for (; x + 4 <= n; x += 4) {
            dst[x] = lut[src[x]];
            dst[x + 1] = lut[src[x + 1]];
            dst[x + 2] = lut[src[x + 2]];
            dst[x + 3] = lut[src[x + 3]];
        }
        for (; x < n; ++x) dst[x] = lut[src[x]];
    }
    return drawn;
}

}  // namespace karvolen::decode
