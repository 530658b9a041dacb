// The poller's pictures and states on the user's feed, while the program
// that holds the Quellbar runs: the window and karvolen-capture alike.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "feed_publisher.h"
#include "poller.h"

namespace karvolen::feed {

// The poller's state as the feed tells it; the web server's feed tells it too.
FeedState ToFeed(poll::PollingState state);

// The program of ours that feeds this user's pictures now, as
// "karvolen-capture (process 1234)"; empty when none does.
std::optional<std::string> CurrentOwner();

class SharedFeed : private poll::Watcher {
public:
    struct StartResult {
        std::unique_ptr<SharedFeed> feed;
        std::string error;  // why nothing is shared
    };
    // Publishes at the user's feed socket from now on, as `program`.
    static StartResult Start(poll::Poller& poller, std::string_view program);
    ~SharedFeed() override;
    SharedFeed(const SharedFeed&) = delete;
    SharedFeed& operator=(const SharedFeed&) = delete;

private:
    SharedFeed(poll::Poller& poller, std::unique_ptr<FeedPublisher> publisher);
    void PictureShown(const ShownPicture& picture) override { publisher_->Publish(picture); }
    void StateChanged(poll::PollingState state) override;

    poll::Poller& poller_;
    std::unique_ptr<FeedPublisher> publisher_;
};

}  // namespace karvolen::feed
