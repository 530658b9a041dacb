#include "decode.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "picture_format.h"

namespace karvolen::decode {
namespace {

static_assert(sizeof(BitmapInfo::bmiColors) == kColourCount * sizeof(RgbQuad));

uint32_t ReadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

// Number of 0x00 bytes at p, at most `max`: runs of unchanged rows are skipped
// a word at a time.
int32_t CountZeros(const uint8_t* p, int32_t max) {
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

// Literal copies are at most 255 bytes, done as overlapping fixed-size moves.
// A plain memcpy here is inlined by GCC as `rep movs` because the length is
// known to be small, which costs several times more on short copies.
inline void CopyLiterals(uint8_t* dst, const uint8_t* src, int32_t n) {
    if (n < 4) {  // the common short groups first, with few branches
        if (n & 2) std::memcpy(dst, src, 2);
        if (n & 1) dst[n - 1] = src[n - 1];
    } else if (n < 8) {
        std::memcpy(dst, src, 4);
        std::memcpy(dst + n - 4, src + n - 4, 4);
    } else if (n < 16) {
        std::memcpy(dst, src, 8);
        std::memcpy(dst + n - 8, src + n - 8, 8);
    } else {
        for (int32_t j = 0; j + 16 < n; j += 16) std::memcpy(dst + j, src + j, 16);
        std::memcpy(dst + n - 16, src + n - 16, 16);
    }
}

inline void FillRun(uint8_t* dst, uint8_t value, int32_t n) {
    if (n < 4) {
        if (n & 2) {
            const uint16_t pattern = static_cast<uint16_t>(value * 0x0101u);
            std::memcpy(dst, &pattern, 2);
        }
        if (n & 1) dst[n - 1] = value;
    } else if (n < 8) {
        const uint32_t pattern = value * 0x01010101u;
        std::memcpy(dst, &pattern, 4);
        std::memcpy(dst + n - 4, &pattern, 4);
    } else {
        const uint64_t pattern = value * 0x0101010101010101ull;
        for (int32_t j = 0; j + 8 < n; j += 8) std::memcpy(dst + j, &pattern, 8);
        std::memcpy(dst + n - 8, &pattern, 8);
    }
}

// Applies the line records in rx[i .. received-1] to px (rows of w pixels).
// Stops quietly where a group would write at index 400000 or beyond, or would
// need a byte that was not received.
//
// Every record begins at D = k * W (an unchanged row adds W, a changed row is
// cut back to its end), so the record count k is kept as D alone.
void DecodeLineDelta(const uint8_t* rx, int32_t i, int32_t received, uint8_t* px, int32_t w) {
    // A group is at most 1 + 255 + 1 bytes and writes at most 510 pixels: away
    // from both ends a group needs no checks of its own.
    constexpr int32_t kMaxGroupBytes = 257;
    constexpr int64_t kMaxGroupPixels = 510;
    const int32_t safeInput = received - kMaxGroupBytes;
    constexpr int64_t safeOutput = kBufferLastIndex - kMaxGroupPixels;

    constexpr int32_t kMaxFastWidth = 1024;
    uint8_t rowCopy[kMaxFastWidth];
    const bool fastRows = w <= kMaxFastWidth;

    int64_t d = 0;  // 64-bit: unchanged rows advance it without bound
    while (i < received) {
        if (rx[i] == 0) {
            const int32_t unchanged = CountZeros(rx + i, received - i);
            d += static_cast<int64_t>(unchanged) * w;
            i += unchanged;
            continue;
        }
        const int64_t rowEnd = d + w;
        // Short groups in the middle of a row move a fixed 16 literal or 8 run
        // bytes whatever their count: small groups of random shape would
        // otherwise cost a mispredicted branch or two each. The bytes past the
        // count are rewritten by the row's next groups; should the stream stop
        // inside the row, the rest of the row gets its earlier pixels back.
        const int64_t savedEnd = std::min<int64_t>(rowEnd, kBufferSize);
        int64_t savedFrom = -1;  // the row's pixels from here on, saved before the first fixed-size move
        auto saveRow = [&] {
            if (savedFrom < 0) {
                savedFrom = d;
                std::memcpy(rowCopy, px + d, static_cast<size_t>(savedEnd - d));
            }
        };
        auto stopInsideRow = [&] {
            if (savedFrom >= 0 && d < savedEnd) {
                std::memcpy(px + d, rowCopy + (d - savedFrom), static_cast<size_t>(savedEnd - d));
            }
        };
        for (;;) {
            if (fastRows && i < safeInput && d <= safeOutput) {
                const int32_t n = rx[i];
                if (n == 0) {
                    // No literals (never the first group of a row): a run of
                    // index 0. Two bytes long, so the next group's address
                    // need not wait for this count to load.
                    const int32_t r = rx[i + 1];
                    if (r <= 8 && d + 8 <= rowEnd) {
                        saveRow();
                        std::memset(px + d, 0, 8);
                    } else {
                        FillRun(px + d, 0, r);
                    }
                    d += r;
                    i += 2;
                    if (d >= rowEnd) break;
                    continue;
                }
                if (n <= 16 && d + 16 <= rowEnd) {
                    saveRow();
                    std::memcpy(px + d, rx + i + 1, 16);
                    d += n;
                    i += 1 + n;
                    if (d >= rowEnd) break;
                    const int32_t r = rx[i];
                    if (r <= 8 && d + 8 <= rowEnd) {
                        const uint64_t pattern = rx[i - 1] * 0x0101010101010101ull;
                        std::memcpy(px + d, &pattern, 8);
                    } else {
                        FillRun(px + d, rx[i - 1], r);
                    }
                } else {
                    // Long literal groups are few per byte: exact moves.
                    CopyLiterals(px + d, rx + i + 1, n);
                    d += n;
                    i += 1 + n;
                    if (d >= rowEnd) break;
                    FillRun(px + d, rx[i - 1], rx[i]);
                }
                d += rx[i];
                i += 1;
                if (d >= rowEnd) break;
                continue;
            }
            const int32_t n = rx[i];
            if (d + n > kBufferLastIndex || n >= received - i) return stopInsideRow();
            CopyLiterals(px + d, rx + i + 1, n);
            d += n;
            i += 1 + n;
            if (d >= rowEnd) break;

            if (i >= received) return stopInsideRow();
            const int32_t r = rx[i];
            if (d + r > kBufferLastIndex) return stopInsideRow();
            FillRun(px + d, rx[i - 1], r);
            d += r;
            i += 1;
            if (d >= rowEnd) break;
        }
        d = rowEnd;
    }
}

}  // namespace

DecodeResult DecodeReply(FormState& st, int32_t received) {
    DecodeResult result;
    received = std::min(received, kBufferSize);
    const uint8_t* rx = st.RxBuffer.data();
    if (received < kMinReplySize) {
        result.refused = true;
        return result;
    }
    const uint32_t offBits = ReadLe32(rx + kOffBitsIndex);
    if (offBits > kMaxOffBits) {
        result.refused = true;
        return result;
    }
    const int32_t s = static_cast<int32_t>(offBits) + kPrefixSize;

    // Headers and colour table; bytes that did not arrive keep their old value.
    const int32_t headerEnd = std::min(s, received);
    if (headerEnd > kPrefixSize) {
        std::memcpy(st.HeaderBuffer.data(), rx + kPrefixSize, static_cast<size_t>(headerEnd - kPrefixSize));
    }

    if (st.RequestMode == kModeLineDelta) {
        if (st.ImageWidth > 0) DecodeLineDelta(rx, s, received, st.PixelBuffer.data(), st.ImageWidth);
    } else {
        if (s < received) std::memcpy(st.PixelBuffer.data(), rx + s, static_cast<size_t>(received - s));
        st.RequestMode = kModeLineDelta;
        BitmapInfoHeader& h = st.FrameInfo.bmiHeader;
        if (received >= kSizeImageIndex + 4) h.biSizeImage = ReadLe32(rx + kSizeImageIndex);
        if (received >= kXPelsIndex + 4) h.biXPelsPerMeter = static_cast<int32_t>(ReadLe32(rx + kXPelsIndex));
        if (received >= kYPelsIndex + 4) h.biYPelsPerMeter = static_cast<int32_t>(ReadLe32(rx + kYPelsIndex));
        st.ImageWidth = received <= kNarrowReplyMaxSize ? kNarrowWidth : kWideWidth;
        if (st.ImageWidth != st.AppliedWidth) {
            st.AppliedWidth = st.ImageWidth;
            result.widthChanged = true;
        }
        result.fullFrame = true;
    }

    std::memcpy(st.FrameInfo.bmiColors.data(), st.HeaderBuffer.data() + kColourTableOffset, sizeof(st.FrameInfo.bmiColors));
    return result;
}

int32_t SetDIBitsToDevice(uint32_t* surface, int32_t surfaceWidth, int32_t surfaceHeight, int32_t stride,
                          const BitmapInfo& info, const uint8_t* bits) {
    const int32_t width = info.bmiHeader.biWidth;
    if (surface == nullptr || bits == nullptr || width <= 0 || surfaceWidth <= 0 || surfaceHeight <= 0 ||
        stride < surfaceWidth) {
        return 0;
    }

    uint32_t lut[kColourCount];
    for (int c = 0; c < kColourCount; ++c) {
        const RgbQuad& q = info.bmiColors[static_cast<size_t>(c)];
        lut[c] = 0xFF000000u | (static_cast<uint32_t>(q.rgbRed) << 16) | (static_cast<uint32_t>(q.rgbGreen) << 8) |
                 static_cast<uint32_t>(q.rgbBlue);
    }

    const int32_t columns = std::min(width, surfaceWidth);
    const int32_t rows = std::min(kPictureHeight, surfaceHeight);
    for (int32_t y = 0; y < rows; ++y) {
        // Bottom-up bits: the top surface row shows the last row. Rows of a
        // width above 833 reach past the buffer and are cut off at its end.
        const int64_t start = static_cast<int64_t>(kPictureHeight - 1 - y) * width;
        if (start >= kBufferSize) continue;
        const int32_t n = static_cast<int32_t>(std::min<int64_t>(columns, kBufferSize - start));
        const uint8_t* src = bits + start;
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
    return kPictureHeight;
}

}  // namespace karvolen::decode
