// Fixed positions and sizes of the picture stream inside a reply, as RxBuffer
// indices (the 4-byte length prefix comes first) or BMP offsets.
#pragma once

#include <cstdint>

#include "../window/form_state.h"

namespace karvolen::decode {

inline constexpr int32_t kPrefixSize = 4;

// RxBuffer indices of the little-endian header fields that are read.
inline constexpr int32_t kOffBitsIndex = 14;        // bfOffBits
inline constexpr int32_t kSizeImageIndex = 38;      // biSizeImage
inline constexpr int32_t kXPelsIndex = 42;          // biXPelsPerMeter
inline constexpr int32_t kYPelsIndex = 46;          // biYPelsPerMeter
inline constexpr int32_t kMinReplySize = kOffBitsIndex + 4;

inline uint32_t ReadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

// The colour table: 256 entries of blue, green, red, reserved at BMP offset 54.
inline constexpr int32_t kColourTableOffset = 54;
inline constexpr int32_t kColourCount = 256;

// The largest bfOffBits whose pixel-data start S = bfOffBits + 4 still leaves
// the header copy (RxBuffer 4 .. S - 1) inside RxBuffer.
inline constexpr uint32_t kMaxOffBits = static_cast<uint32_t>(kBufferLastIndex) - 3;

// A full frame's width follows from its received byte count alone.
inline constexpr int32_t kNarrowReplyMaxSize = 350000;
inline constexpr int16_t kNarrowWidth = 640;
inline constexpr int16_t kWideWidth = 800;

}  // namespace karvolen::decode
