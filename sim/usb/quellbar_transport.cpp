#include "quellbar_transport.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "timing.h"

namespace sim {

using quellbar::InTransfer;
using quellbar::OutResult;

bool QuellbarTransport::Wire(size_t bytes, Clock::time_point deadline) const
{
    const auto wire = std::chrono::nanoseconds(static_cast<int64_t>(bytes) * 1'000'000'000 / model_.Opts().speed);
    return SleepWithin(wire, deadline);
}

int QuellbarTransport::BulkOut(int, const uint8_t* data, int length, Clock::time_point deadline)
{
    if (!Wire(static_cast<size_t>(length), deadline)) return -ETIMEDOUT;
    const OutResult r = model_.Out(data, static_cast<size_t>(length));
    switch (r.kind) {
    case OutResult::Kind::Accepted: return length;
    case OutResult::Kind::Halt: return 0;
    case OutResult::Kind::Leave:
        if (port_) port_->Unplug(r.backAfterMs);
        return kLeftDuringTransfer;
    }
    return -EINVAL;
}

int QuellbarTransport::BulkIn(int, uint8_t* data, int length, Clock::time_point deadline)
{
    const size_t packet = static_cast<size_t>(model_.Opts().maxPacket);
    size_t moved = 0;
    const size_t want = static_cast<size_t>(length);
    while (moved < want) {
        const InTransfer* t = model_.Front();
        if (!t) {
            // Nothing queued: the request stays pending until the host gives up.
            std::this_thread::sleep_until(deadline);
            return -ETIMEDOUT;
        }
        switch (t->kind) {
        case InTransfer::Kind::Halt: return static_cast<int>(moved);
        case InTransfer::Kind::Error: {
            const int error = t->error;
            model_.Pop();
            return error;
        }
        case InTransfer::Kind::Leave: {
            const int back = t->backAfterMs;
            model_.Pop();
            if (port_) port_->Unplug(back);  // PlugChanged(false) drops the queue
            return kLeftDuringTransfer;
        }
        case InTransfer::Kind::Data: break;
        }
        if (t->sent == 0 && t->delayMs > 0) {
            if (!SleepWithin(std::chrono::milliseconds(model_.TakeDelay()), deadline)) return -ETIMEDOUT;
        }
        const size_t size = t->bytes.size();
        const size_t avail = size - t->sent;
        const bool closed = size % packet != 0 || t->zlp;
        const size_t room = want - moved;
        if (avail == 0) {
            model_.Sent(0);  // a zero-length packet ends the request
            return static_cast<int>(moved);
        }
        const size_t n = std::min(avail, room);
        if (!Wire(n, deadline)) return -ETIMEDOUT;
        std::memcpy(data + moved, t->bytes.data() + t->sent, n);
        moved += n;
        if (avail > room && room % packet != 0 && model_.Opts().overflow) {
            // The packet was longer than the room left: the host takes what
            // fits and the rest of the transfer is gone with it.
            model_.Sent(avail);
            return static_cast<int>(moved);
        }
        model_.Sent(n);
        if (n == avail && closed) return static_cast<int>(moved);
    }
    return static_cast<int>(moved);
}

}  // namespace sim
