// The device side of the stand-in libusb: one simulated USB device.
// The stand-in owns buses, handles, claims, resets and the splitting of bulk
// transfers into requests; a Device only answers single requests.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstdint>

namespace sim {

using Clock = std::chrono::steady_clock;

// Largest single request the stand-in hands to a device (as Debian's libusb 0.1.12).
inline constexpr int kMaxRequest = 16384;

// A request that was pending when its device left the bus completes with
// this status (EPROTO), which libusb 0.1 ignores.
inline constexpr int kLeftDuringTransfer = -EPROTO;

class Device;

// What a device may ask of the bus it sits on. Real devices can only vanish;
// the simulated ones use this to play an unplug.
class Port {
public:
    virtual ~Port() = default;
    // The device drops off the bus now and, unless backAfterMs < 0, comes
    // back (re-enumerated, new device number) that many milliseconds later.
    virtual void Unplug(int backAfterMs) = 0;
};

class Device {
public:
    virtual ~Device() = default;

    virtual uint16_t VendorId() const = 0;
    virtual uint16_t ProductId() const = 0;

    // One bulk request of 1..kMaxRequest bytes (0 for a zero-length packet).
    // Returns the bytes moved (fewer than asked ends the whole transfer),
    // or a negative errno: -110 when the deadline passed before the request
    // completed, -19 when the device is gone, kLeftDuringTransfer when it left
    // the bus while this request was pending. A stall returns the bytes moved
    // so far (usually 0). A device may block until `deadline`, never beyond.
    virtual int BulkOut(int endpoint, const uint8_t* data, int length, Clock::time_point deadline) = 0;
    virtual int BulkIn(int endpoint, uint8_t* data, int length, Clock::time_point deadline) = 0;

    // The host reset the device: whatever it was doing is abandoned.
    virtual void Reset() {}

    // The device left the bus (false) or came back on it (true).
    virtual void PlugChanged(bool plugged) { (void)plugged; }

    // Set by the stand-in while the device is plugged in; null otherwise.
    void AttachPort(Port* port) { port_ = port; }

protected:
    Port* port_ = nullptr;
};

}  // namespace sim
