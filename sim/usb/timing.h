// Waiting inside a transfer: never beyond the caller's deadline.
#pragma once

#include <thread>

#include "sim_device.h"

namespace sim {

// Sleeps `duration`; returns false (after sleeping up to `deadline`) when the
// deadline comes first.
inline bool SleepWithin(Clock::duration duration, Clock::time_point deadline)
{
    const auto now = Clock::now();
    if (deadline - now < duration) {
        std::this_thread::sleep_until(deadline);
        return false;
    }
    if (duration > Clock::duration::zero()) std::this_thread::sleep_for(duration);
    return true;
}

}  // namespace sim
