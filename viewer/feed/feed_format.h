// The picture feed's messages: what the process holding the Quellbar sends to
// its readers, on the local socket and, unchanged, to browsers. docs/feed.md
// is the byte-level description; this header is its one home in code.
//
// Every message is an 8-byte header and a body, all little-endian, fixed-size
// fields only:
//   header  u32 body length, u8 type, 3 bytes zero
//   hello   u32 magic kMagic, u16 version kVersion, u16 zero, u32 pid,
//           program name (UTF-8, 1 to kMaxNameLength bytes, the rest of the body)
//   whole   f64 time, u16 width, u16 zero, 256 x (blue, green, red, zero),
//           480 x width palette indices, bottom row first
//   band    f64 time, u16 first row, u16 row count, count x width indices
//           (the width of the last whole picture; 0 rows: shown, unchanged)
//   state   u32 FeedState
// A stream is one hello, then state, whole, band messages in any order, a
// band only after a whole picture.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "shown_picture.h"

namespace karvolen::feed {

inline constexpr uint32_t kMagic = 0x4446564B;  // "KVFD" as it appears on the wire
inline constexpr uint16_t kVersion = 1;
inline constexpr size_t kHeaderSize = 8;
inline constexpr size_t kMaxNameLength = 64;

enum class MessageType : uint8_t { kHello = 1, kWhole = 2, kBand = 3, kState = 4 };

// The polling state, as the window's title says it.
enum class FeedState : uint32_t { kCommunicating = 1, kPaused = 2, kCommunicationFailure = 3, kStopping = 4 };

inline constexpr size_t kHelloFixedSize = 12;
inline constexpr size_t kPictureFixedSize = 12;  // time, width or band rows
inline constexpr size_t kPaletteSize = wire::kColourCount * sizeof(RgbQuad);
inline constexpr size_t kStateSize = 4;
inline constexpr size_t kMaxPixels = size_t{wire::kWideWidth} * wire::kPictureHeight;
// The largest body there is: a whole 800 x 480 picture. Nothing longer is read.
inline constexpr size_t kMaxBodySize = kPictureFixedSize + kPaletteSize + kMaxPixels;
inline constexpr size_t kMaxMessageSize = kHeaderSize + kMaxBodySize;

using Bytes = std::vector<uint8_t>;

// Encoders, for the owner. A picture must fit its description (width 640 or
// 800, width x 480 pixels, the band inside it); the publisher checks first.
Bytes EncodeHello(std::string_view program, uint32_t pid);
Bytes EncodeWhole(const ShownPicture& picture);
Bytes EncodeBand(const ShownPicture& picture);
Bytes EncodeState(FeedState state);
// Whether `picture` fits the description above, so it can be encoded.
bool Encodable(const ShownPicture& picture);

// Why a stream was refused. Every one ends the stream: the reader cannot
// find the next message's start again.
enum class DecodeError {
    kNone,
    kBadHeader,      // the header's zero bytes are not zero
    kUnknownType,    // a type this version does not know
    kBadLength,      // longer than kMaxMessageSize, or not the type's length
    kBadMagic,       // a first message that is not a hello of this feed
    kBadVersion,     // a hello of another format version
    kOutOfOrder,     // a second hello, or a band before any whole picture
    kBadField,       // a width, band, state or name outside its range
};
// One line of plain English for each error.
const char* DecodeErrorText(DecodeError error);

struct Hello {
    uint16_t version = 0;
    uint32_t pid = 0;
    std::string program;
};

// One decoded message. Spans point into the decoder's buffer and are valid
// until its next Take.
struct Message {
    MessageType type = MessageType::kHello;
    Hello hello;                    // kHello
    FeedState state{};              // kState
    double time = 0.0;              // kWhole, kBand
    int width = 0;                  // kWhole, kBand (the stream's current width)
    int firstRow = 0;               // kBand; 0 for kWhole
    int rowCount = 0;               // kBand; kPictureHeight for kWhole
    std::span<const uint8_t> palette;  // kWhole: kPaletteSize bytes, RgbQuad order
    std::span<const uint8_t> pixels;   // rowCount x width indices
};

// Cuts a byte stream into checked messages, however it was split. Holds at
// most one message's bytes (never more than kMaxMessageSize).
class Decoder {
public:
    enum class Outcome { kNeedMore, kMessage, kError };
    struct Step {
        Outcome outcome = Outcome::kNeedMore;
        size_t used = 0;  // bytes of the input taken; the rest is for the next call
    };

    // Takes bytes up to the end of one message. kMessage: message() holds it.
    // kError: error() says why; every later call returns kError, taking nothing.
    Step Take(std::span<const uint8_t> bytes);
    const Message& message() const { return message_; }
    DecodeError error() const { return error_; }
    // Whether bytes of an unfinished message are held: an end of the stream
    // here cuts a message.
    bool Midway() const { return filled_ > 0; }

private:
    DecodeError CheckHeader() const;
    DecodeError Parse();

    uint8_t header_[kHeaderSize]{};
    Bytes body_;
    size_t filled_ = 0;  // bytes of the current message held, header included
    size_t bodyLength_ = 0;
    bool helloSeen_ = false;
    int width_ = 0;  // of the last whole picture; 0 before one
    DecodeError error_ = DecodeError::kNone;
    Message message_;
};

}  // namespace karvolen::feed
