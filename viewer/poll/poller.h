// The Quellbar polled for every front end: the window, karvolen-capture and
// the feed's readers see one picture through one poller. It owns the link
// session and the buffers a cycle works on; the front end keeps the pace (a
// timer, a wait) and says what a picture's failure to show means.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "decode.h"
#include "fetch_cycle.h"
#include "link_api.h"
#include "poll_state.h"
#include "shown_picture.h"

namespace karvolen::poll {

// How the first OpenCom of a run went.
struct Connection {
    enum class Outcome {
        kOpen,
        kNoDriver,       // the link library or one of its names cannot be bound
        kCannotConnect,  // OpenCom's failure in `code`
    };
    Outcome outcome = Outcome::kOpen;
    int32_t code = 0;
    // The Quellbar is there but another process has claimed it: selecting the
    // configuration fails while one holds it, claiming when one just took it.
    bool InUse() const;
};

// The polling state as the window's title tells it.
enum class PollingState { kCommunicating, kPaused, kFailure, kStopping };

// Told of every picture shown and every change of the polling state.
class Watcher {
public:
    virtual ~Watcher() = default;
    // `picture` views the poller's buffers until its next cycle.
    virtual void PictureShown(const ShownPicture& picture) = 0;
    virtual void StateChanged(PollingState) {}
};

class Poller {
public:
    Poller(LinkApi& link, fetch::Clock& clock) : link_(link), clock_(clock) {}

    // Start-up: the buffers ready for chunks of a `width`-pixel picture, then
    // the first OpenCom.
    Connection Connect(int16_t width);
    // A library that cannot be bound has nothing open to close.
    void Close();

    // The next picture is asked for whole.
    void RequestWhole() { st_.requestMode = wire::kModeWhole; }
    bool Transferring() const { return st_.transferBusy; }

    // The request and the reply's reception, every ending but a picture's
    // taken through `host`.
    fetch::FetchResult Receive(fetch::FetchHost& host);
    // The reply just received, decoded into the poller's picture.
    decode::DecodeResult Decode(int32_t received);
    // The decoded picture is on show: every watcher gets it, stamped now.
    ShownPicture Show(const decode::DecodeResult& decoded);
    // The picture as last shown (empty before the first), the whole of it.
    std::optional<ShownPicture> Current() const;

    void SetState(PollingState state);
    PollingState State() const { return state_; }

    void AddWatcher(Watcher& w) { watchers_.push_back(&w); }
    void RemoveWatcher(Watcher& w) { std::erase(watchers_, &w); }

    PollState& Buffers() { return st_; }
    const PollState& Buffers() const { return st_; }

private:
    LinkApi& link_;
    fetch::Clock& clock_;
    PollState st_;
    PollingState state_ = PollingState::kCommunicating;
    double shownAt_ = 0.0;
    bool shown_ = false;
    std::vector<Watcher*> watchers_;
};

// The cycle's host for a front end without a window: nothing to process
// between reads, the picture's width as the logical width, a failure kept
// for the front end to report.
class HeadlessHost : public fetch::FetchHost {
public:
    explicit HeadlessHost(const PollState& st) : st_(st) {}
    void SetTimerEnabled(bool) override {}
    float LogicalWidth() override { return st_.imageWidth; }
    void ProcessEvents() override {}
    void CommunicationFailure(const std::string& message) override { failure_ = message; }
    // The message of a cycle that stopped polling, taken once.
    std::optional<std::string> TakeFailure() { return std::exchange(failure_, std::nullopt); }

private:
    const PollState& st_;
    std::optional<std::string> failure_;
};

}  // namespace karvolen::poll
