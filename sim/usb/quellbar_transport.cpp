#include "quellbar_transport.h"

#include <thread>

#include "timing.h"

namespace sim {

using quellbar::OutResult;

int QuellbarTransport::BulkOut(int, const uint8_t* data, int length, Clock::time_point deadline)
{
    if (!SleepWithin(model_.WireTime(static_cast<size_t>(length)), deadline)) return -ETIMEDOUT;
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
    const quellbar::InRead r = model_.ReadIn(data, static_cast<size_t>(length),
                                             [&](std::chrono::nanoseconds d) { return SleepWithin(d, deadline); });
    switch (r.end) {
    case quellbar::InRead::End::Done: return static_cast<int>(r.moved);
    case quellbar::InRead::End::Pending: std::this_thread::sleep_until(deadline); return -ETIMEDOUT;
    case quellbar::InRead::End::TimedOut: return -ETIMEDOUT;
    case quellbar::InRead::End::Error: return r.error;
    case quellbar::InRead::End::Leave:
        if (port_) port_->Unplug(r.backAfterMs);  // PlugChanged(false) drops the queue
        return kLeftDuringTransfer;
    }
    return -EINVAL;
}

}  // namespace sim
