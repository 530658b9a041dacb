// Settings of the simulated Quellbar and of the bus it sits on, as written in
// QUELLBAR_SIM: semicolon-separated key=value pairs; faults as name[:arg][@n].
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "faults.h"
#include "protocol.h"
#include "wire_format.h"

namespace quellbar {

// Defaults of the simulation.
inline constexpr uint16_t kRootHubVendor = 0x1d6b;
inline constexpr uint16_t kRootHubProduct = 0x0002;
inline constexpr int kDefaultWidth = 800;
inline constexpr int64_t kDefaultSpeed = 20'000'000;  // bytes per second
inline constexpr int kDefaultReenumMs = 300;
// Bulk max packet size at full and at high speed.
inline constexpr int kFullSpeedPacket = 64;
inline constexpr int kHighSpeedPacket = 512;

struct Options {
    bool present = true;
    uint16_t product = MARLEX_PRODUCT_ID_A;
    int width = kDefaultWidth;
    int64_t speed = kDefaultSpeed;
    bool freeze = false;
    // random= also draws faults that end with a message to the user.
    bool loud = false;
    uint32_t seed = 1;
    std::string dump;
    std::string log;
    // usb_reset takes the device off the bus for reenumMs and it comes back
    // under a new number, instead of the reset in place real devices do.
    bool reenumerate = false;
    int reenumMs = kDefaultReenumMs;
    std::vector<FaultSpec> faults;
    double random = 0.0;
    int widthSwitch = 0;
    // Queue the whole reply as one IN transfer instead of its first 64 bytes apart.
    bool wholeTransfer = false;
    // Bulk max packet size: 64 (full speed) or 512 (high speed).
    int maxPacket = kFullSpeedPacket;
    // A read shorter than the packet queued loses the rest of that transfer,
    // as the high-speed host stack does (the stand-in's option).
    bool overflow = false;
};

// The options a text set whose change a running device must act on.
struct OptionsSeen {
    bool present = false, width = false, seed = false, log = false, reset = false, reenumMs = false, faults = false;
};

// Applies `text` on top of `options`. Returns an empty string on success,
// otherwise the first problem found (options before it are applied).
std::string ParseOptions(std::string_view text, Options& options, OptionsSeen* seen = nullptr);

}  // namespace quellbar
