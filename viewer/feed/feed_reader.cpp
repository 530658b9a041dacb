#include "feed_reader.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "feed_socket.h"

namespace karvolen::feed {

FeedReader::OpenResult FeedReader::Open(const std::string& path, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    sockaddr_un address{};
    if (!SocketAddress(path, address)) return {nullptr, "socket path too long: " + path};
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return {nullptr, std::string("cannot make a socket: ") + std::strerror(errno)};
    std::unique_ptr<FeedReader> reader(new FeedReader(fd));
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return {nullptr, "cannot connect to " + path + ": " + std::strerror(errno)};
    }
    if (!PeerIsOwnUser(fd)) return {nullptr, "the feed at " + path + " belongs to another user"};
    const std::optional<FeedEvent> first = reader->Read(deadline);
    if (first) {
        return {nullptr, "no hello from " + path + ": " +
                             (first->kind == FeedEvent::Kind::kTimeout ? std::string("timed out") : first->error)};
    }
    return {std::move(reader), ""};
}

FeedReader::FeedReader(int fd) : fd_(fd) {}

FeedReader::~FeedReader() { close(fd_); }

FeedEvent FeedReader::Next(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // Only the first message is a hello; the decoder refuses a second.
    std::optional<FeedEvent> event = Read(deadline);
    return event ? *std::move(event) : Fail("hello after the start");
}

std::optional<FeedEvent> FeedReader::Read(Deadline deadline)
{
    if (final_) return final_;
    for (;;) {
        while (chunkStart_ < chunkEnd_) {
            const auto step = decoder_.Take(std::span(chunk_).subspan(chunkStart_, chunkEnd_ - chunkStart_));
            chunkStart_ += step.used;
            if (step.outcome == Decoder::Outcome::kError) return Fail(DecodeErrorText(decoder_.error()));
            if (step.outcome == Decoder::Outcome::kMessage) return Deliver(decoder_.message());
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd_, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(std::clamp<int64_t>(left.count(), 0, INT32_MAX)));
        if (ready < 0 && errno != EINTR) return Fail(std::string("cannot wait for the feed: ") + std::strerror(errno));
        if (ready == 0) return FeedEvent{};  // kTimeout
        const ssize_t n = recv(fd_, chunk_.data(), chunk_.size(), 0);
        if (n > 0) {
            chunkStart_ = 0;
            chunkEnd_ = static_cast<size_t>(n);
        } else if (n == 0) {
            if (decoder_.Midway()) return Fail("the feed ended inside a message");
            final_ = FeedEvent{FeedEvent::Kind::kEnd, {}, {}, {}};
            return final_;
        } else if (errno != EAGAIN && errno != EINTR) {
            return Fail(std::string("cannot read the feed: ") + std::strerror(errno));
        }
    }
}

std::optional<FeedEvent> FeedReader::Deliver(const Message& m)
{
    FeedEvent event;
    switch (m.type) {
    case MessageType::kHello: owner_ = m.hello; return std::nullopt;
    case MessageType::kState:
        event.kind = FeedEvent::Kind::kState;
        event.state = m.state;
        return event;
    case MessageType::kWhole:
        width_ = m.width;
        std::memcpy(palette_.data(), m.palette.data(), kPaletteSize);
        [[fallthrough]];
    case MessageType::kBand:
        std::copy(m.pixels.begin(), m.pixels.end(), pixels_.begin() + static_cast<ptrdiff_t>(m.firstRow) * width_);
        event.kind = FeedEvent::Kind::kPicture;
        event.picture = ShownPicture{std::span(pixels_).first(static_cast<size_t>(width_) * wire::kPictureHeight), width_,
                         palette_, m.firstRow, m.rowCount, m.time};
        return event;
    }
    return Fail("unknown message");
}

FeedEvent FeedReader::Fail(std::string text)
{
    final_ = FeedEvent{FeedEvent::Kind::kError, {}, {}, std::move(text)};
    return *final_;
}

OwnerProbe ProbeOwner(const std::string& path, std::chrono::milliseconds timeout)
{
    FeedReader::OpenResult opened = FeedReader::Open(path, timeout);
    if (!opened.reader) return {false, {}, std::move(opened.error)};
    return {true, opened.reader->owner(), ""};
}

}  // namespace karvolen::feed
