// The owner's side of the picture feed: the process that holds the Quellbar
// shows its pictures to readers of its own user on a Unix stream socket.
//
// A reader, from the moment it is accepted:
//   - gets the hello, the current state, the current whole picture (once
//     there is one), then every published picture and state in order;
//   - is closed at once when its peer credentials are another user's, when
//     it sends anything (readers only read), or when kMaxReaders are there;
//   - never slows the owner: messages are encoded once and queued per reader.
//     When a reader's queue would pass the bound, what it has not started
//     reading is replaced by the current state and whole picture; when it
//     has not taken even that by the next overflow, it is closed.
// Publish and SetState are for one owner thread and return at once; one
// thread of the publisher's own accepts and writes.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "feed_format.h"

namespace karvolen::feed {

// About 2.7 whole wide pictures: many seconds of typical bands.
inline constexpr size_t kQueueBytes = size_t{1} << 20;
inline constexpr size_t kMaxReaders = 64;

class FeedPublisher {
public:
    struct StartResult {
        std::unique_ptr<FeedPublisher> publisher;
        std::string error;  // why there is none: a live owner at the path, or the system's reason
    };

    // Listens at `path`, whose folder must already be fit (FeedSocketPath).
    // A socket there that nobody answers is replaced; one that answers
    // belongs to another owner and is left alone. `program` goes into the
    // hello with this process's pid.
    static StartResult Start(const std::string& path, std::string_view program, size_t queueBytes = kQueueBytes);

    // Ends the thread, closes every reader (each sees the end of its stream)
    // and removes the socket, if it is still the one this publisher made.
    ~FeedPublisher();
    FeedPublisher(const FeedPublisher&) = delete;
    FeedPublisher& operator=(const FeedPublisher&) = delete;

    // Passes on a shown picture: its band, or the whole picture when it is the
    // first or its width or colours differ from the one before. false: it does
    // not fit its description (Encodable) and nothing was sent.
    bool Publish(const ShownPicture& picture);
    // The state readers are told; kCommunicating until the first call.
    void SetState(FeedState state);

    // Readers connected now.
    size_t Readers() const;

private:
    struct Shared;
    explicit FeedPublisher(std::unique_ptr<Shared> shared);
    void Run();

    std::unique_ptr<Shared> shared_;
};

}  // namespace karvolen::feed
