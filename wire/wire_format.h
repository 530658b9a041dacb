// The bytes of the conversation with the Quellbar above the USB link: the
// screen request, the framing of its reply and the picture it carries. The
// viewer's protocol, not the link's: marlex moves bytes and knows none of it.
#pragma once

#include <cstdint>

namespace karvolen::wire {

// The request: eight bytes, "BMP? 0\r\n" for a whole picture, with the digit at
// kModeDigitIndex replaced by '2' to ask for a LineDelta picture.
inline constexpr char kRequestText[] = "BMP? 0\r\n";
inline constexpr int32_t kRequestSize = sizeof(kRequestText) - 1;
inline constexpr int32_t kModeDigitIndex = 5;
// Request modes, as the window keeps them: the digit's value.
inline constexpr int32_t kModeWhole = 0;
inline constexpr int32_t kModeLineDelta = 2;
inline constexpr char ModeDigit(int32_t mode) { return mode == kModeLineDelta ? '2' : '0'; }

// The reply: a 4-byte big-endian count of the bytes that follow it, then a
// BMP stream, whose "BM" signature is at reply indices 4 and 5. A count with
// its top bit set is never a reply length.
inline constexpr int32_t kPrefixSize = 4;
inline constexpr int32_t kSignatureIndex = kPrefixSize;
inline constexpr uint8_t kSignature[2] = {'B', 'M'};
inline constexpr int32_t kMinSignedReply = kSignatureIndex + 2;
inline constexpr uint8_t kPrefixTopBit = 0x80;

// The picture: always 480 rows, 640 or 800 pixels wide.
inline constexpr int32_t kPictureHeight = 480;
inline constexpr int16_t kNarrowWidth = 640;
inline constexpr int16_t kWideWidth = 800;

// The viewer's reply, header and pixel buffers: indices 0 to 400000. A reply
// that would not fit is refused whole.
inline constexpr int32_t kBufferLastIndex = 400000;
inline constexpr int32_t kBufferSize = kBufferLastIndex + 1;

// The BMP stream: file header, info header, 256-entry colour table, then the
// pixel data (a whole picture or LineDelta records).
inline constexpr int32_t kFileHeaderSize = 14;
inline constexpr int32_t kInfoHeaderSize = 40;
inline constexpr int32_t kColourTableOffset = kFileHeaderSize + kInfoHeaderSize;
// bfOffBits, the file header's last field, as a reply index (little-endian).
inline constexpr int32_t kOffBitsIndex = kPrefixSize + kFileHeaderSize - 4;
inline constexpr int32_t kColourCount = 256;
inline constexpr int32_t kPixelOffset = kColourTableOffset + kColourCount * 4;  // 1078
// Everything of a reply in front of its pixel data.
inline constexpr int32_t kReplyHeaderSize = kPrefixSize + kPixelOffset;  // 1082

// How the viewer reads a reply: kFirstReadSize bytes first, then chunks of
// kChunkRows picture rows while more than kChunkThreshold bytes remain, then
// the rest at once. The simulated Quellbar cuts its transfers where they fall.
inline constexpr int32_t kFirstReadSize = 64;
inline constexpr int32_t kChunkThreshold = 25600;
inline constexpr int32_t kChunkRows = 32;
// A reply without its signature is drained in reads of this size until one
// comes back shorter. The viewer's choice, apart from libusb's URB size.
inline constexpr int32_t kDrainBlockSize = 16384;

inline uint32_t ReadBe32(const uint8_t* p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline void WriteBe32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

inline uint32_t ReadLe32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace karvolen::wire
