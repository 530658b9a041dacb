// The reader's side of the picture feed: connects to the owner's socket,
// checks that the owner runs as this user, and rebuilds the pictures it shows.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "feed_format.h"

namespace karvolen::feed {

struct FeedEvent {
    enum class Kind {
        kPicture,  // picture: the owner's shown picture, a band applied on the one before
        kState,    // state: the owner's polling state changed (or was told on connect)
        kEnd,      // the owner closed the feed between messages
        kError,    // error: malformed input, a cut message or the socket's failure
        kTimeout,  // nothing complete within the time given
    };
    Kind kind = Kind::kTimeout;
    // kPicture: views into the reader's buffers, valid until its next Next. A
    // band's firstRow and rowCount say which rows it changed; pixels hold all.
    std::optional<ShownPicture> picture;
    FeedState state{};
    std::string error;
};

class FeedReader {
public:
    struct OpenResult {
        std::unique_ptr<FeedReader> reader;
        std::string error;  // why there is none: nobody there, another user's, no hello in time, ...
    };

    // Connects to the feed at `path` and reads the owner's hello, waiting at
    // most `timeout` for it.
    static OpenResult Open(const std::string& path, std::chrono::milliseconds timeout);
    ~FeedReader();
    FeedReader(const FeedReader&) = delete;
    FeedReader& operator=(const FeedReader&) = delete;

    // Who feeds: program name and pid.
    const Hello& owner() const { return owner_; }

    // The next event, waiting at most `timeout`. kEnd and kError are final:
    // every later call returns the same.
    FeedEvent Next(std::chrono::milliseconds timeout);

private:
    using Deadline = std::chrono::steady_clock::time_point;
    explicit FeedReader(int fd);
    // nullopt: the hello came and is in owner_.
    std::optional<FeedEvent> Read(Deadline deadline);
    std::optional<FeedEvent> Deliver(const Message& m);
    FeedEvent Fail(std::string text);

    int fd_;
    Decoder decoder_;
    Hello owner_;
    std::vector<uint8_t> pixels_ = std::vector<uint8_t>(kMaxPixels);
    std::array<RgbQuad, wire::kColourCount> palette_{};
    int width_ = 0;
    std::vector<uint8_t> chunk_ = std::vector<uint8_t>(size_t{64} << 10);
    size_t chunkStart_ = 0;
    size_t chunkEnd_ = 0;
    std::optional<FeedEvent> final_;  // kEnd or kError, once reached
};

struct OwnerProbe {
    bool live = false;
    Hello owner;        // when live
    std::string error;  // when not: why (usually nobody feeds at the path)
};
// Whether a live owner feeds at `path`, and who it is.
OwnerProbe ProbeOwner(const std::string& path, std::chrono::milliseconds timeout);

}  // namespace karvolen::feed
