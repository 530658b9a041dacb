// The reception half of one fetch cycle: the screen request and the chunked
// reading of the length-prefixed reply into the caller's buffer, with every
// ending.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "link_api.h"
#include "wire_format.h"

namespace karvolen::fetch {

inline constexpr double kChunkTimeLimit = 1.0;
// The polling timer's period: the next request follows this long after a
// picture, or after a cycle that ended quietly.
inline constexpr int kPollIntervalMs = 1000;

// At start-up: the link library is missing, or no Quellbar answers OpenCom.
inline const std::string kMsgNoDriver =
    "USB Driver not found\r\n\r\nUse the instructions in the manual to install the USB driver";
inline const std::string kMsgCannotConnect = "Cannot connect to the Quellbar\r\n\r\nCheck the following items\r\n"
                                             " Is the Quellbar connected to the PC through a USB cable?\r\n"
                                             " Is the Quellbar configured in Video Output mode?";
// In a cycle.
inline const std::string kMsgReconnectFailed = "Can't connect to the Quellbar\r\n\r\nCheck the USB cable and Quellbar";
inline const std::string kMsgNoReply = "Can't get the image from the Quellbar\r\n\r\nCheck the USB cable";
inline const std::string kMsgTimeOut = "Comunication time out";
inline const std::string kMsgFault = "Can't get the image from the Quellbar";

// Seconds on a clock that never jumps (not the time of day).
class Clock {
public:
    virtual ~Clock() = default;
    virtual double Now() = 0;
};

class SteadyClock : public Clock {
public:
    double Now() override;
};

// What one cycle works on; the caller owns each part and keeps it between
// cycles.
struct Exchange {
    std::span<uint8_t> rx;                           // the reply, length prefix first
    std::span<uint8_t, wire::kRequestSize> command;  // the request; its mode digit is set here
    int32_t& requestMode;                            // a reply given up makes the next one whole
    bool& transferBusy;                              // true while the cycle transfers
};

// What the cycle needs from the window around it.
class FetchHost {
public:
    virtual ~FetchHost() = default;
    // The polling timer: off while a cycle runs, on again where it ends quietly.
    virtual void SetTimerEnabled(bool enabled) = 0;
    // The window's logical width, read afresh for every chunk.
    virtual float LogicalWidth() = 0;
    // One pass over pending user-interface events.
    virtual void ProcessEvents() = 0;
    virtual void CommunicationFailure(const std::string& message) = 0;
};

enum class Ending {
    Complete,         // reply received; decoding follows, the timer still off
    Reconnected,      // write failed, link re-opened, timer on
    ReconnectFailed,  // write failed, re-open failed: message
    NoReply,          // both first reads failed: message
    Drained,          // no signature: rest discarded, timer on
    FailedRead,       // a chunk or the final read failed twice, timer on
    TimedOut,         // a chunk took longer than 1.0 s: message
    Fault,            // reply does not fit or counters overflow: message
};

struct FetchResult {
    Ending ending = Ending::Fault;
    int32_t received = 0;  // final received count when Complete
};

// Sends one request and receives its reply into io.rx, up to the point where
// decoding takes over; every other ending is taken here. Never stores outside
// io.rx, and refuses a reply larger than it.
FetchResult ReceiveScreen(const Exchange& io, LinkApi& link, FetchHost& host, Clock& clock);

const char* EndingName(Ending e);

}  // namespace karvolen::fetch
