// A plain simulated device: sends what it was given, keeps what it receives.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "sim_device.h"

namespace sim {

class PlainDevice final : public Device {
public:
    PlainDevice(uint16_t vendor, uint16_t product) : vendor_(vendor), product_(product) {}

    uint16_t VendorId() const override { return vendor_; }
    uint16_t ProductId() const override { return product_; }
    int BulkOut(int endpoint, const uint8_t* data, int length, Clock::time_point deadline) override;
    int BulkIn(int endpoint, uint8_t* data, int length, Clock::time_point deadline) override;

    void Send(const uint8_t* data, int length) { toSend_.insert(toSend_.end(), data, data + length); }
    void Stall(bool in, bool on) { (in ? stallIn_ : stallOut_) = on; }
    // Each request moves at most maxPiece bytes (0: no limit) and takes delayMs.
    void Pace(int maxPiece, int delayMs)
    {
        maxPiece_ = maxPiece;
        delayMs_ = delayMs;
    }

    const std::vector<uint8_t>& Received() const { return received_; }
    const std::vector<int>& Requests(bool in) const { return in ? requestsIn_ : requestsOut_; }

private:
    int PieceOf(int length) const { return maxPiece_ > 0 && maxPiece_ < length ? maxPiece_ : length; }

    uint16_t vendor_, product_;
    std::deque<uint8_t> toSend_;
    std::vector<uint8_t> received_;
    std::vector<int> requestsIn_, requestsOut_;
    bool stallIn_ = false, stallOut_ = false;
    int maxPiece_ = 0, delayMs_ = 0;
};

}  // namespace sim
