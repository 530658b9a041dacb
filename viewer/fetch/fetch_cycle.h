// The reception half of one fetch cycle: the screen request and the chunked
// reading of the length-prefixed reply into RxBuffer, with every ending.
#pragma once

#include <cstdint>
#include <string>

#include "form_state.h"
#include "link_api.h"

namespace karvolen::fetch {

inline constexpr double kChunkTimeLimit = 1.0;
using wire::kDrainBlockSize;

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

// What the cycle needs from the window around it.
class FetchHost {
public:
    virtual ~FetchHost() = default;
    virtual void SetTimerEnabled(bool enabled) = 0;
    // The window's logical width, read afresh for every chunk.
    virtual float ScaleWidth() = 0;
    // One pass over pending user-interface events.
    virtual void ProcessEvents() = 0;
    virtual void CommunicationFailure(const std::string& message) = 0;
};

enum class Ending {
    Complete,         // reply received; decoding follows, Tim1 still off
    Reconnected,      // write failed, link re-opened, Tim1 on
    ReconnectFailed,  // write failed, re-open failed: message
    NoReply,          // both first reads failed: message
    Drained,          // no signature: rest discarded, Tim1 on
    FailedRead,       // a chunk or the final read failed twice, Tim1 on
    TimedOut,         // a chunk took longer than 1.0 s: message
    Fault,            // reply does not fit or counters overflow: message
};

struct FetchResult {
    Ending ending = Ending::Fault;
    int32_t received = 0;  // final received count when Complete
};

// Sends one request and receives its reply into st.RxBuffer, up to the point
// where decoding takes over; every other ending is taken here. Never stores
// outside RxBuffer.
FetchResult ReceiveScreen(FormState& st, LinkApi& link, FetchHost& host, Clock& clock);

const char* EndingName(Ending e);

}  // namespace karvolen::fetch
