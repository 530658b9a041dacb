#include "poller.h"

#include <chrono>
#include <filesystem>
#include <fstream>

#include <sys/stat.h>
#include <unistd.h>

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

ShownPicture View(const FormState& st, int firstRow, int rowCount, double time)
{
    const auto size = static_cast<size_t>(std::max<int>(st.ImageWidth, 0)) * wire::kPictureHeight;
    return {std::span(st.PixelBuffer).first(std::min(size, st.PixelBuffer.size())),
            st.ImageWidth,
            st.FrameInfo.bmiColors,
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

std::optional<std::string> LikelyHolder()
{
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string pid = entry.path().filename();
        struct stat owner {};
        if (pid.find_first_not_of("0123456789") != std::string::npos || std::stol(pid) == getpid() ||
            stat(entry.path().c_str(), &owner) != 0 || owner.st_uid != getuid()) {
            continue;
        }
        std::ifstream comm(entry.path() / "comm");
        std::string name;
        // The kernel keeps 15 characters of the name.
        if (std::getline(comm, name) && (name == "karvolen-viewer" || name == "karvolen-captur")) {
            return (name == "karvolen-viewer" ? name : "karvolen-capture") + " (process " + pid + ")";
        }
    }
    return std::nullopt;
}

}  // namespace karvolen::poll
