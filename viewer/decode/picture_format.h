// Where the decoder finds the header fields it reads, as reply indices (the
// length prefix comes first), and how a whole picture's width is told.
#pragma once

#include <cstdint>

#include "wire_format.h"

namespace karvolen::decode {

using wire::kBufferSize;
using wire::kColourCount;
using wire::kColourTableOffset;
using wire::kPrefixSize;
using wire::ReadLe32;

// Reply indices of the little-endian header fields that are read.
using wire::kOffBitsIndex;                                    // bfOffBits
inline constexpr int32_t kSizeImageIndex = kPrefixSize + 34;  // biSizeImage
inline constexpr int32_t kXPelsIndex = kPrefixSize + 38;      // biXPelsPerMeter
inline constexpr int32_t kYPelsIndex = kPrefixSize + 42;      // biYPelsPerMeter
inline constexpr int32_t kMinReplySize = kOffBitsIndex + 4;

// The largest bfOffBits whose pixel-data start S = bfOffBits + 4 still leaves
// the header copy (reply bytes 4 .. S - 1) inside the reply buffer.
inline constexpr uint32_t kMaxOffBits = static_cast<uint32_t>(wire::kBufferLastIndex) - 3;

// A full frame's width follows from its received byte count alone.
inline constexpr int32_t kNarrowReplyMaxSize = 350000;
using wire::kModeLineDelta;
using wire::kNarrowWidth;
using wire::kPictureHeight;
using wire::kWideWidth;

}  // namespace karvolen::decode
