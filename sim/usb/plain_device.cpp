#include "plain_device.h"

#include <algorithm>
#include <cerrno>

#include "timing.h"

namespace sim {

int PlainDevice::BulkOut(int, const uint8_t* data, int length, Clock::time_point deadline)
{
    requestsOut_.push_back(length);
    if (stallOut_) return 0;
    if (!SleepWithin(std::chrono::milliseconds(delayMs_), deadline)) return -ETIMEDOUT;
    const int n = PieceOf(length);
    received_.insert(received_.end(), data, data + n);
    return n;
}

int PlainDevice::BulkIn(int, uint8_t* data, int length, Clock::time_point deadline)
{
    requestsIn_.push_back(length);
    if (stallIn_ || length == 0) return 0;
    if (toSend_.empty()) {
        // Nothing to send: the request stays pending until the host gives up.
        std::this_thread::sleep_until(deadline);
        return -ETIMEDOUT;
    }
    if (!SleepWithin(std::chrono::milliseconds(delayMs_), deadline)) return -ETIMEDOUT;
    const int n = std::min<int>(PieceOf(length), static_cast<int>(toSend_.size()));
    std::copy_n(toSend_.begin(), n, data);
    toSend_.erase(toSend_.begin(), toSend_.begin() + n);
    return n;
}

}  // namespace sim
