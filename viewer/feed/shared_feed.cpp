#include "shared_feed.h"

#include <chrono>

#include "feed_reader.h"
#include "feed_socket.h"

namespace karvolen::feed {

FeedState ToFeed(poll::PollingState state)
{
    switch (state) {
    case poll::PollingState::kCommunicating: return FeedState::kCommunicating;
    case poll::PollingState::kPaused: return FeedState::kPaused;
    case poll::PollingState::kFailure: return FeedState::kCommunicationFailure;
    case poll::PollingState::kStopping: return FeedState::kStopping;
    }
    return FeedState::kCommunicationFailure;
}

std::optional<std::string> CurrentOwner()
{
    const PathResult path = FeedSocketPath();
    if (!path.ok()) {
        return std::nullopt;
    }
    const OwnerProbe probe = ProbeOwner(path.path, std::chrono::seconds(1));
    if (!probe.live) {
        return std::nullopt;
    }
    return probe.owner.program + " (process " + std::to_string(probe.owner.pid) + ")";
}

SharedFeed::StartResult SharedFeed::Start(poll::Poller& poller, std::string_view program)
{
    const PathResult path = FeedSocketPath();
    if (!path.ok()) {
        return {nullptr, path.error};
    }
    FeedPublisher::StartResult started = FeedPublisher::Start(path.path, program);
    if (!started.publisher) {
        return {nullptr, started.error};
    }
    return {std::unique_ptr<SharedFeed>(new SharedFeed(poller, std::move(started.publisher))), {}};
}

SharedFeed::SharedFeed(poll::Poller& poller, std::unique_ptr<FeedPublisher> publisher)
    : poller_(poller), publisher_(std::move(publisher))
{
    publisher_->SetState(ToFeed(poller_.State()));
    if (const std::optional<ShownPicture> current = poller_.Current()) {
        publisher_->Publish(*current);
    }
    poller_.AddWatcher(*this);
}

SharedFeed::~SharedFeed() { poller_.RemoveWatcher(*this); }

void SharedFeed::StateChanged(poll::PollingState state) { publisher_->SetState(ToFeed(state)); }

}  // namespace karvolen::feed
