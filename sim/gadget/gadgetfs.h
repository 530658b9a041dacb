// The Quellbar's USB personality on gadgetfs: descriptors, the control
// endpoint's events and the two bulk endpoints as plain file descriptors.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "options.h"
#include "protocol.h"

namespace gadget {

inline constexpr uint8_t kEpOut = MARLEX_EP_OUT;
inline constexpr uint8_t kEpIn = MARLEX_EP_IN;

struct Personality {
    uint16_t vendor = MARLEX_VENDOR_ID;
    uint16_t product = MARLEX_PRODUCT_ID_A;
    uint8_t interfaceNumber = 0;
    // A second alternate setting, and SET_INTERFACE refused with a stall
    // (with one setting only, the host ignores the refusal).
    bool refuseAltSetting = false;
};

// One gadgetfs device: /dev/gadget/<udc> and its endpoint files.
class GadgetFs {
public:
    GadgetFs(std::string dir, Personality personality);
    ~GadgetFs();
    GadgetFs(const GadgetFs&) = delete;
    GadgetFs& operator=(const GadgetFs&) = delete;

    // Writes the device and configuration descriptors; the UDC then connects.
    // Returns "" or what failed.
    std::string Start();

    enum class Event { None, Connect, Disconnect, Configured, Interface, Suspend, Other };
    // Blocks for the next event of the control endpoint and answers the
    // requests that reach user space. Returns Event::None when interrupted.
    Event NextEvent();

    int OutFd() const { return out_; }
    int InFd() const { return in_; }
    bool HighSpeed() const { return highSpeed_; }
    size_t MaxPacket() const
    {
        return static_cast<size_t>(highSpeed_ ? quellbar::kHighSpeedPacket : quellbar::kFullSpeedPacket);
    }
    bool Configured() const { return out_ >= 0 && in_ >= 0; }

    // Halts an endpoint the way gadgetfs offers it: an I/O call in the
    // wrong direction. Clearing needs no transfer pending on that endpoint.
    static bool Halt(int fd, bool inEndpoint);
    static bool ClearHalt(int fd);

private:
    std::string EnableEndpoints();
    void Ack();
    void Stall(bool in);

    std::string dir_;
    Personality personality_;
    int ep0_ = -1, out_ = -1, in_ = -1;
    bool highSpeed_ = false;
};

}  // namespace gadget
