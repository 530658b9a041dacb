#include "poller.h"

#include <chrono>

#include "marlex.h"

namespace karvolen::poll {

bool Connection::InUse() const
{
    return outcome == Outcome::kCannotConnect && (code == MARLEX_ERR_CONFIGURATION || code == MARLEX_ERR_CLAIM);
}

Connection Poller::Connect(int16_t width)
{
    st_.BeginPolling(width);
    try {
        const int32_t r = link_.OpenCom();
        return {r < 0 ? Connection::Outcome::kCannotConnect : Connection::Outcome::kOpen, r};
    } catch (const LinkUnavailable&) {
        return {Connection::Outcome::kNoDriver, 0};
    }
}

void Poller::Close()
{
    try {
        link_.CloseCom();
    } catch (const LinkUnavailable&) {
        // Nothing can be open through a library that cannot be bound.
    }
}

fetch::FetchResult Poller::Receive(fetch::FetchHost& host)
{
    return fetch::ReceiveScreen(st_.Fetching(), link_, host, clock_);
}

decode::DecodeResult Poller::Decode(int32_t received)
{
    return decode::DecodeReply(st_.Received(received), st_.Decoding());
}

namespace {
double WallSeconds()
{
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

ShownPicture View(const PollState& st, int firstRow, int rowCount, double time)
{
    const auto size = static_cast<size_t>(std::max<int>(st.imageWidth, 0)) * wire::kPictureHeight;
    return {std::span(st.pixels).first(std::min(size, st.pixels.size())),
            st.imageWidth,
            st.frameInfo.bmiColors,
            firstRow,
            rowCount,
            time};
}
}  // namespace

ShownPicture Poller::Show(const decode::DecodeResult& decoded)
{
    shown_ = true;
    shownAt_ = WallSeconds();
    const ShownPicture picture = View(st_, decoded.firstRow, decoded.rowCount, shownAt_);
    for (Watcher* w : watchers_) {
        w->PictureShown(picture);
    }
    return picture;
}

std::optional<ShownPicture> Poller::Current() const
{
    if (!shown_) {
        return std::nullopt;
    }
    return View(st_, 0, wire::kPictureHeight, shownAt_);
}

void Poller::SetState(PollingState state)
{
    if (state == state_) {
        return;
    }
    state_ = state;
    for (Watcher* w : watchers_) {
        w->StateChanged(state);
    }
}

}  // namespace karvolen::poll
