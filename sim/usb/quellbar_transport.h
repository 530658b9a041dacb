// The stand-in's transport for the simulated Quellbar: serves the host's bulk
// requests from the device model's IN queue, packet by packet.
#pragma once

#include "device.h"
#include "sim_device.h"

namespace sim {

class QuellbarTransport final : public Device {
public:
    explicit QuellbarTransport(const quellbar::Options& options) : model_(options) {}

    uint16_t VendorId() const override { return model_.VendorId(); }
    uint16_t ProductId() const override { return model_.ProductId(); }
    int BulkOut(int endpoint, const uint8_t* data, int length, Clock::time_point deadline) override;
    int BulkIn(int endpoint, uint8_t* data, int length, Clock::time_point deadline) override;
    void Reset() override { model_.Reset(); }
    void PlugChanged(bool plugged) override { model_.Plugged(plugged); }

    quellbar::Device& Model() { return model_; }

private:
    quellbar::Device model_;
};

}  // namespace sim
