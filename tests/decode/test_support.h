// For the decoder tests: replies into a PollState, LineDelta streams read apart from the decoder.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "encoder.h"
#include "poll_state.h"
#include "screen.h"

namespace karvolen::testing {

inline quellbar::Screen ScreenWith(int width, uint32_t paletteSalt)
{
    quellbar::Screen s;
    s.width = width;
    for (uint32_t c = 0; c < 256; ++c) s.palette[c] = ((c * 0x010203u) ^ (paletteSalt * 0x9E3779u)) & 0xFFFFFFu;
    return s;
}

inline std::vector<uint8_t> Reply(const std::vector<uint8_t>& pixelData, int width = 640, uint32_t paletteSalt = 0)
{
    return quellbar::BuildReply(quellbar::BuildBmp(ScreenWith(width, paletteSalt), pixelData));
}

inline int32_t Receive(karvolen::PollState& st, const std::vector<uint8_t>& reply)
{
    std::memcpy(st.reply.data(), reply.data(), reply.size());
    return static_cast<int32_t>(reply.size());
}

// The window's decoding of the first `received` bytes of reply.
inline decode::DecodeResult Decode(karvolen::PollState& st, int32_t received)
{
    return decode::DecodeReply(st.Received(received), st.Decoding());
}

// Strict reading of a LineDelta stream: exactly `rows` records, every changed
// row exactly `width` pixels, a first group with literals, nothing left over.
inline bool IsWellFormedLineDelta(const std::vector<uint8_t>& s, int width, int rows)
{
    size_t i = 0;
    for (int row = 0; row < rows; ++row) {
        if (i < s.size() && s[i] == 0) {
            ++i;
            continue;
        }
        int p = 0;
        for (bool literals = true; p < width; literals = !literals) {  // literals, run, literals, ...
            if (i >= s.size()) return false;
            const size_t n = s[i++];
            if (literals && i + n > s.size()) return false;
            if (literals) i += n;
            p += static_cast<int>(n);
        }
        if (p != width) return false;
    }
    return i == s.size();
}

inline bool SamePalette(const karvolen::BitmapInfo& info, const std::array<uint32_t, 256>& palette)
{
    for (size_t c = 0; c < 256; ++c) {
        const auto& q = info.bmiColors[c];
        const uint32_t rgb = (uint32_t{q.rgbRed} << 16) | (uint32_t{q.rgbGreen} << 8) | q.rgbBlue;
        if (rgb != palette[c] || q.rgbReserved != 0) return false;
    }
    return true;
}

}  // namespace karvolen::testing
