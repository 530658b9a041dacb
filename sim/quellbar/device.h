// The simulated Quellbar as a device model that knows no transport: it takes
// the bytes of bulk OUT writes and queues its answers as IN transfers. A
// transport (the stand-in libusb in sim/usb/, gadgetfs in sim/gadget/) moves
// bytes between the host and the model and plays the bus events.
//
// How a transport drives it (all calls on one thread, or under one lock):
//
//  1. Construct it from Options (ParseOptions of QUELLBAR_SIM text). Present
//     VendorId()/ProductId(), configuration 1, interface 0 alternate 0, bulk
//     0x01 OUT and 0x82 IN with Options().maxPacket.
//  2. Plugged(true) once the host can see the device (and again after every
//     return to the bus); Plugged(false) when it leaves. Leaving drops the queue.
//  3. Every bulk OUT write of the host: Out(bytes). The result says what the
//     host's write sees:
//       Accepted - the write completes with all its bytes;
//       Halt     - the OUT endpoint halts, the write moves nothing (a stalled
//                  write; libusb 0.1 reports 0);
//       Leave    - the device leaves the bus during the write and comes back
//                  after backAfterMs (-1: never); call Plugged(false) now and
//                  Plugged(true) when it is back.
//     A request that finds a reply partly sent is ignored: the device goes
//     on sending that reply, and the host reads its rest first (it drains it).
//     Any other accepted request replaces whatever was still queued and queues
//     the new reply (newReply). A transport that cannot see the host's write
//     before it completes asks WriteFaultDue() first and, if so, calls
//     Out(nullptr, 0) to play the refused write.
//  4. Serve the host's IN reads from Front(), in order (ReadIn plays it all):
//       Data  - one IN transfer. Before its first byte, wait TakeDelay() ms
//               (0 mostly; a slow chunk). Hand bytes from bytes[sent] on and
//               report each piece with Sent(n); Sent pops the transfer when all
//               its bytes are out. The host's read ends at the transfer's end
//               when its last packet is short (length not a multiple of
//               maxPacket), when it is empty (a zero-length packet: Sent(0)
//               pops it), or when `zlp` asks for a closing zero-length packet;
//               otherwise the host's read runs on into the next transfer.
//       Halt  - the IN endpoint is halted: every read ends at once with what it
//               has (libusb 0.1 ignores the stall status). Do not pop it; the
//               next accepted request or Reset() clears it.
//       Error - the read fails at once with `error` (a negative errno). Pop().
//               Only the stand-in can produce this; a real transport may halt.
//       Leave - the device leaves the bus while the read is pending. Pop(),
//               Plugged(false), and Plugged(true) after backAfterMs (-1: never).
//     Front() null: nothing queued; the host's read stays pending.
//  5. Time-outs are the host's: a read that runs out of time leaves the queue
//     as it is (the model is not told), so a late read still gets the rest.
//  6. Reset() on a USB reset from the host (usb_reset, a port reset): the
//     queue and any halt are dropped; the picture sequence goes on.
//
// Faults are scheduled through Options::faults, Configure("faults=...") or
// Inject(); they act on the request they are due at (see faults.h).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "options.h"
#include "screen.h"

namespace quellbar {

struct InTransfer {
    enum class Kind { Data, Halt, Error, Leave };
    Kind kind = Kind::Data;
    std::vector<uint8_t> bytes;  // Data: the transfer; empty: a zero-length packet
    size_t sent = 0;             // Data: bytes of it already out
    bool zlp = false;            // Data: close with a zero-length packet if it ends on a packet boundary
    int delayMs = 0;             // Data: the first byte is ready only this much later
    int error = 0;               // Error: the read's result
    int backAfterMs = -1;        // Leave: back on the bus after this; -1: never
};

// How far one host IN read got, as ReadIn plays it.
struct InRead {
    enum class End {
        Done,      // the read completes with what it has (a short packet, a zero-length packet, full)
        Halted,    // the IN endpoint is halted: the read ends with what it has
        Overflow,  // a packet was longer than the room left: the read keeps what fit, the rest is lost
        Pending,   // nothing queued: the read stays pending until the host gives up
        Delayed,   // the next byte is ready only delayMs later: wait, then ReadIn the rest
        Error,     // the read fails with `error`
        Leave,     // the device left the bus during the read: Plugged(false), back after backAfterMs
    };
    End end = End::Done;
    size_t moved = 0;  // bytes stored by this call, whatever the end
    int error = 0;
    int delayMs = 0;
    int backAfterMs = -1;
};

struct OutResult {
    enum class Kind { Accepted, Halt, Leave };
    Kind kind = Kind::Accepted;
    int backAfterMs = -1;   // Leave: as in InTransfer
    bool newReply = false;  // Accepted: the IN queue now holds a new reply
};

class Device {
public:
    explicit Device(const Options& options);
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    uint16_t VendorId() const;
    uint16_t ProductId() const { return options_.product; }

    OutResult Out(const uint8_t* data, size_t length);
    // The next request's write itself fails (writefail, writegone).
    bool WriteFaultDue() const;

    // The IN queue; null when empty.
    const InTransfer* Front() const { return queue_.empty() ? nullptr : &queue_.front(); }
    int TakeDelay();
    void Sent(size_t n);
    void Pop();
    // Serves a host IN read of up to `length` bytes from the queue as step 4
    // describes, packet by packet, as far as it can go now; it never waits.
    InRead ReadIn(uint8_t* data, size_t length);
    // How long `bytes` take on the wire at Options().speed.
    std::chrono::nanoseconds WireTime(size_t bytes) const;

    void Reset();
    void Plugged(bool plugged);

    // Applies options in QUELLBAR_SIM syntax; returns the problem, or "".
    // device= is refused (the transport owns presence).
    std::string Configure(std::string_view options);
    // Schedules a fault "name[:arg][@n]", n counted from the next request.
    std::string Inject(std::string_view fault);

    const Options& Opts() const { return options_; }
    uint64_t Requests() const { return requests_; }
    uint64_t Frames() const { return frames_; }
    // Takes up where another process of the same device left off.
    void Resume(uint64_t requests, uint64_t frames);

private:
    struct Reply {
        size_t size = 0;  // data bytes of the reply over all its transfers
        size_t sent = 0;
        bool whole = false;
        bool faulty = false;  // shaped by a fault: not the picture as is
        Screen screen;        // what the reply shows
    };

    std::vector<FaultSpec> TakeFaults();
    void StartRequest(int mode);
    void QueueReply(int mode, const std::vector<FaultSpec>& faults);
    void Abandon();
    void Delivered();
    void Dump(const Screen& screen);
    void Log(const std::string& event);
    void OpenLog();

    Options options_;
    std::unique_ptr<ScreenGenerator> generator_;
    int pendingWidth_;
    uint64_t frames_ = 0;
    uint64_t requests_ = 0;
    std::vector<FaultSpec> scheduled_;  // `at` counted in absolute request numbers
    std::mt19937 random_;

    std::deque<InTransfer> queue_;
    std::unique_ptr<Reply> reply_;

    std::vector<uint8_t> lastSent_;  // pixels of the picture last sent whole or as delta
    int lastSentWidth_ = 0;

    bool unplugged_ = false;
    std::FILE* log_ = nullptr;
    std::chrono::steady_clock::time_point born_ = std::chrono::steady_clock::now();
};

}  // namespace quellbar
