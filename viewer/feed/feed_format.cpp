#include "feed_format.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace karvolen::feed {
namespace {

static_assert(std::endian::native == std::endian::little, "the feed's fields are copied as they lie in memory");

template <typename T>
void Put(Bytes& out, T value)
{
    const auto* p = reinterpret_cast<const uint8_t*>(&value);
    out.insert(out.end(), p, p + sizeof value);
}

template <typename T>
T Get(const uint8_t* at)
{
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

Bytes Header(MessageType type, size_t bodyLength)
{
    Bytes out;
    out.reserve(kHeaderSize + bodyLength);
    Put(out, static_cast<uint32_t>(bodyLength));
    Put(out, static_cast<uint8_t>(type));
    out.insert(out.end(), 3, 0);
    return out;
}

std::span<const uint8_t> Rows(const ShownPicture& p, int first, int count)
{
    return p.pixels.subspan(static_cast<size_t>(first) * p.width, static_cast<size_t>(count) * p.width);
}

bool KnownState(uint32_t s)
{
    return s >= static_cast<uint32_t>(FeedState::kCommunicating) && s <= static_cast<uint32_t>(FeedState::kStopping);
}

}  // namespace

bool Encodable(const ShownPicture& p)
{
    return (p.width == wire::kNarrowWidth || p.width == wire::kWideWidth) &&
           p.pixels.size() >= static_cast<size_t>(p.width) * wire::kPictureHeight && p.firstRow >= 0 &&
           p.rowCount >= 0 && p.firstRow + p.rowCount <= wire::kPictureHeight;
}

Bytes EncodeHello(std::string_view program, uint32_t pid)
{
    program = program.substr(0, kMaxNameLength);
    if (program.empty()) program = "?";
    Bytes out = Header(MessageType::kHello, kHelloFixedSize + program.size());
    Put(out, kMagic);
    Put(out, kVersion);
    Put(out, uint16_t{0});
    Put(out, pid);
    out.insert(out.end(), program.begin(), program.end());
    return out;
}

Bytes EncodeWhole(const ShownPicture& p)
{
    const auto pixels = Rows(p, 0, wire::kPictureHeight);
    Bytes out = Header(MessageType::kWhole, kPictureFixedSize + kPaletteSize + pixels.size());
    Put(out, p.time);
    Put(out, static_cast<uint16_t>(p.width));
    Put(out, uint16_t{0});
    const auto* colours = reinterpret_cast<const uint8_t*>(p.palette.data());
    out.insert(out.end(), colours, colours + kPaletteSize);
    out.insert(out.end(), pixels.begin(), pixels.end());
    return out;
}

Bytes EncodeBand(const ShownPicture& p)
{
    const auto pixels = Rows(p, p.firstRow, p.rowCount);
    Bytes out = Header(MessageType::kBand, kPictureFixedSize + pixels.size());
    Put(out, p.time);
    Put(out, static_cast<uint16_t>(p.firstRow));
    Put(out, static_cast<uint16_t>(p.rowCount));
    out.insert(out.end(), pixels.begin(), pixels.end());
    return out;
}

Bytes EncodeState(FeedState state)
{
    Bytes out = Header(MessageType::kState, kStateSize);
    Put(out, static_cast<uint32_t>(state));
    return out;
}

const char* DecodeErrorText(DecodeError error)
{
    switch (error) {
    case DecodeError::kNone: return "no error";
    case DecodeError::kBadHeader: return "malformed message header";
    case DecodeError::kUnknownType: return "unknown message type";
    case DecodeError::kBadLength: return "message length wrong for its type or too long";
    case DecodeError::kBadMagic: return "not a picture feed";
    case DecodeError::kBadVersion: return "picture feed of another format version";
    case DecodeError::kOutOfOrder: return "message out of order";
    case DecodeError::kBadField: return "message field out of range";
    }
    return "unknown decode error";
}

Decoder::Step Decoder::Take(std::span<const uint8_t> bytes)
{
    if (error_ != DecodeError::kNone) return {Outcome::kError, 0};
    size_t used = 0;
    if (filled_ < kHeaderSize) {
        const size_t n = std::min(kHeaderSize - filled_, bytes.size());
        std::memcpy(header_ + filled_, bytes.data(), n);
        filled_ += n;
        used = n;
        if (filled_ < kHeaderSize) return {Outcome::kNeedMore, used};
        // Judged before any body byte is held, so a long length allocates nothing.
        error_ = CheckHeader();
        if (error_ != DecodeError::kNone) return {Outcome::kError, used};
        bodyLength_ = Get<uint32_t>(header_);
        body_.resize(bodyLength_);
    }
    const size_t have = filled_ - kHeaderSize;
    const size_t n = std::min(bodyLength_ - have, bytes.size() - used);
    std::copy_n(bytes.data() + used, n, body_.data() + have);
    filled_ += n;
    used += n;
    if (filled_ < kHeaderSize + bodyLength_) return {Outcome::kNeedMore, used};
    filled_ = 0;
    error_ = Parse();
    return {error_ == DecodeError::kNone ? Outcome::kMessage : Outcome::kError, used};
}

DecodeError Decoder::CheckHeader() const
{
    if (header_[5] != 0 || header_[6] != 0 || header_[7] != 0) return DecodeError::kBadHeader;
    const uint32_t length = Get<uint32_t>(header_);
    if (length > kMaxBodySize) return DecodeError::kBadLength;
    const auto type = static_cast<MessageType>(header_[4]);
    if (!helloSeen_ && type != MessageType::kHello) return DecodeError::kBadMagic;
    switch (type) {
    case MessageType::kHello:
        if (helloSeen_) return DecodeError::kOutOfOrder;
        return length > kHelloFixedSize && length <= kHelloFixedSize + kMaxNameLength ? DecodeError::kNone
                                                                                      : DecodeError::kBadLength;
    case MessageType::kWhole:
        return length == kPictureFixedSize + kPaletteSize + size_t{wire::kNarrowWidth} * wire::kPictureHeight ||
                       length == kMaxBodySize
                   ? DecodeError::kNone
                   : DecodeError::kBadLength;
    case MessageType::kBand:
        if (width_ == 0) return DecodeError::kOutOfOrder;
        return length >= kPictureFixedSize && (length - kPictureFixedSize) % width_ == 0 ? DecodeError::kNone
                                                                                         : DecodeError::kBadLength;
    case MessageType::kState: return length == kStateSize ? DecodeError::kNone : DecodeError::kBadLength;
    }
    return DecodeError::kUnknownType;
}

DecodeError Decoder::Parse()
{
    const uint8_t* b = body_.data();
    Message m;
    m.type = static_cast<MessageType>(header_[4]);
    switch (m.type) {
    case MessageType::kHello:
        if (Get<uint32_t>(b) != kMagic) return DecodeError::kBadMagic;
        m.hello.version = Get<uint16_t>(b + 4);
        if (m.hello.version != kVersion) return DecodeError::kBadVersion;
        if (Get<uint16_t>(b + 6) != 0) return DecodeError::kBadField;
        m.hello.pid = Get<uint32_t>(b + 8);
        m.hello.program.assign(reinterpret_cast<const char*>(b) + kHelloFixedSize, bodyLength_ - kHelloFixedSize);
        helloSeen_ = true;
        break;
    case MessageType::kWhole: {
        m.time = Get<double>(b);
        m.width = Get<uint16_t>(b + 8);
        const size_t pixels = bodyLength_ - kPictureFixedSize - kPaletteSize;
        if (Get<uint16_t>(b + 10) != 0 || static_cast<size_t>(m.width) * wire::kPictureHeight != pixels) {
            return DecodeError::kBadField;
        }
        m.rowCount = wire::kPictureHeight;
        m.palette = std::span(body_).subspan(kPictureFixedSize, kPaletteSize);
        m.pixels = std::span(body_).subspan(kPictureFixedSize + kPaletteSize);
        width_ = m.width;
        break;
    }
    case MessageType::kBand:
        m.time = Get<double>(b);
        m.width = width_;
        m.firstRow = Get<uint16_t>(b + 8);
        m.rowCount = Get<uint16_t>(b + 10);
        if (m.firstRow + m.rowCount > wire::kPictureHeight ||
            static_cast<size_t>(m.rowCount) * width_ != bodyLength_ - kPictureFixedSize) {
            return DecodeError::kBadField;
        }
        m.pixels = std::span(body_).subspan(kPictureFixedSize);
        break;
    case MessageType::kState: {
        const uint32_t s = Get<uint32_t>(b);
        if (!KnownState(s)) return DecodeError::kBadField;
        m.state = static_cast<FeedState>(s);
        break;
    }
    }
    message_ = std::move(m);
    return DecodeError::kNone;
}

}  // namespace karvolen::feed
