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
    using End = quellbar::InRead::End;
    size_t moved = 0;
    for (;;) {
        const quellbar::InRead r = model_.ReadIn(data + moved, static_cast<size_t>(length) - moved);
        moved += r.moved;
        if (!SleepWithin(model_.WireTime(r.moved), deadline)) return -ETIMEDOUT;
        switch (r.end) {
        case End::Done:
        case End::Halted:
        case End::Overflow: return static_cast<int>(moved);
        case End::Pending: std::this_thread::sleep_until(deadline); return -ETIMEDOUT;
        case End::Delayed:
            if (!SleepWithin(std::chrono::milliseconds(r.delayMs), deadline)) return -ETIMEDOUT;
            break;
        case End::Error: return r.error;
        case End::Leave:
            if (port_) port_->Unplug(r.backAfterMs);  // PlugChanged(false) drops the queue
            return kLeftDuringTransfer;
        }
    }
}

}  // namespace sim
