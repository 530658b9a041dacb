// Settings of the simulated Quellbar and of its bus, as QUELLBAR_SIM writes
// them: semicolon-separated key=value pairs; faults as name[:arg][@n].
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocol.h"

namespace quellbar {

// The faults a real device or cable produces.
enum class Fault {
    WriteFail,   // the OUT endpoint halts: the request write moves nothing
    WriteGone,   // the device leaves the bus at the request write, back after arg ms
    NoReply,     // the IN endpoint halts instead of replying
    Mute,        // no reply at all: the host's read runs into its time-out
    NoSig,       // 64 bytes without the signature, then arg more bytes
    ChunkStall,  // arg zero-length packets where the first chunk read begins
    ChunkError,  // the first chunk read fails (the emulated usbfs only)
    FinalStall,  // arg zero-length packets where the final read begins
    FinalError,  // the final read fails (the emulated usbfs only)
    SlowChunk,   // the data of the first chunk comes arg ms late
    TooLarge,    // declares arg bytes and sends that many
    TopBit,      // the length prefix has its top bit set
    FinalShort,  // the last arg bytes of the reply are never sent
    Unplug,      // the device leaves where the first chunk begins, back after arg ms
    Palette,     // the reply's colour table is turned by arg entries, the pixels as they are
    BadOffset,   // the pixel offset in the picture's header points far beyond any reply
};

// Where a fault acts: the request write, the reply's bytes, or where the
// host's first chunk read or its final read begins.
enum class Strikes { Write, Reply, FirstChunk, FinalRead };

// One row of the one fault table (options.cpp), which parsing, the random
// pools and the device's dispatch all read.
struct FaultInfo {
    Fault fault;
    std::string_view name;
    int defaultArg;  // -1: takes no argument
    bool loud;       // the viewer's ending shows a message
    Strikes strikes;
    std::span<const int> soakArgs;  // variants a random soak draws; empty: not drawn
};

std::span<const FaultInfo> Faults();  // in the order of the enum
const FaultInfo& InfoOf(Fault fault);

struct FaultSpec {
    Fault fault = Fault::Mute;
    int arg = -1;  // the fault's argument, the default filled in
    int at = 1;    // 1-based request number the fault hits
};

// "name[:arg]", as the log and the documentation write it.
std::string Describe(const FaultSpec& f);
// Parses one fault "name[:arg][@n]": "" or what is wrong (`out` unchanged).
std::string ParseFault(std::string_view text, FaultSpec& out);
// What a random soak draws from: the quiet faults, and the loud ones too if asked.
std::vector<FaultSpec> SoakPool(bool loud);

inline constexpr int kDefaultWidth = 800;
// Bulk max packet size at full and at high speed.
inline constexpr int kFullSpeedPacket = 64;
inline constexpr int kHighSpeedPacket = 512;
// libusb 0.1 splits a bulk transfer into URBs of at most this many bytes.
inline constexpr int kUrbSize = 16384;

struct Options {
    bool present = true;
    uint16_t product = MARLEX_PRODUCT_ID_A;
    int width = kDefaultWidth;
    int64_t speed = 20'000'000;  // bytes per second
    bool freeze = false;
    bool loud = false;  // random= also draws faults that end with a message
    uint32_t seed = 1;
    std::string dump;
    std::string log;
    // usb_reset takes the device off the bus for reenumMs and it comes back
    // under a new number, instead of the reset in place real devices do.
    bool reenumerate = false;
    int reenumMs = 300;
    std::vector<FaultSpec> faults;
    double random = 0.0;
    int widthSwitch = 0;
    bool wholeTransfer = false;  // the reply as one IN transfer, not its first 64 bytes apart
    int maxPacket = kFullSpeedPacket;
    // A read shorter than the packet queued loses the rest of that transfer,
    // as the high-speed host stack does.
    bool overflow = false;
    // Another USB personality, for tests of the link's refusals; the emulated
    // usbfs takes the vendor only (its interface 0 has alternate 0 alone).
    uint16_t vendor = MARLEX_VENDOR_ID;
    uint8_t interface = MARLEX_INTERFACE;
    // A second alternate setting, and SET_INTERFACE refused with a stall.
    bool refuseAltSetting = false;
};

// Applies `text` on top of `options`: "" or the first problem found (options
// before it are applied).
std::string ParseOptions(std::string_view text, Options& options);

}  // namespace quellbar
