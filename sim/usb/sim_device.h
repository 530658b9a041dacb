// The device side of the stand-in libusb: one simulated USB device.
// The stand-in owns buses, handles, claims, resets and the splitting of bulk
// transfers into requests; a Device only answers single requests.
#pragma once

#include <chrono>
#include <cstdint>

namespace sim {

using Clock = std::chrono::steady_clock;

// Largest single request the stand-in hands to a device (as Debian's libusb 0.1.12).
inline constexpr int kMaxRequest = 16384;

class Device {
public:
    virtual ~Device() = default;

    virtual uint16_t VendorId() const = 0;
    virtual uint16_t ProductId() const = 0;

    // One bulk request of 1..kMaxRequest bytes (0 for a zero-length packet).
    // Returns the bytes moved (fewer than asked ends the whole transfer),
    // or a negative errno: -110 when the deadline passed before the request
    // completed, -19 when the device is gone. A stall returns the bytes moved
    // so far (usually 0). A device may block until `deadline`, never beyond.
    virtual int BulkOut(int endpoint, const uint8_t* data, int length, Clock::time_point deadline) = 0;
    virtual int BulkIn(int endpoint, uint8_t* data, int length, Clock::time_point deadline) = 0;

    // The host reset the device: whatever it was doing is abandoned.
    virtual void Reset() {}
};

}  // namespace sim
