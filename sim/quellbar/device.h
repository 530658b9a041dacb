// The simulated Quellbar as a device model that knows no transport: it takes
// the bytes of bulk OUT writes and queues its answers as IN transfers. A
// transport (sim/usbfs/, sim/gadget/, tests/support/fake_quellbar.h) moves the
// bytes and plays the bus events, all calls on one thread or under one lock:
//
//  - Plugged(true) once the host sees the device, Plugged(false) when it leaves
//    (which drops the queue); Reset() on a USB reset (the queue and a halt go,
//    the pictures go on).
//  - Out() for every bulk OUT write. Halt: the write stalls and moves nothing;
//    Leave: the device leaves during it, back after backAfterMs (-1: never).
//    A request that finds a reply partly sent is ignored (the host drains the
//    rest); any other request replaces what is queued. A transport that cannot
//    see a write before it completes asks WriteFaultDue() and plays the refused
//    write with Out(nullptr, 0).
//  - IN reads from Front(), in order; ReadIn plays one host read. Data: wait
//    TakeDelay() ms before its first byte, report bytes moved with Sent(n). A
//    host read ends with a transfer whose last packet is short, an empty one
//    (a zero-length packet) or one marked zlp; otherwise it runs on into the
//    next. Halt: every read ends at once, it stays until the next request.
//    Error (the emulated usbfs only): the read fails with `error`. Leave: the
//    device leaves during the read. Pop() Error and Leave.
//  - Time-outs are the host's: the queue stays as it is, a late read gets the rest.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "options.h"
#include "screen.h"

namespace quellbar {

// The descriptors a device presents: the device descriptor, then its
// configuration 1 with one vendor-specific interface, alternate 0 with bulk
// OUT and IN endpoints, and with `secondAlt` an alternate 1 without any.
std::vector<uint8_t> Descriptors(uint16_t vendor, uint16_t product, int maxPacket, uint8_t interface = MARLEX_INTERFACE,
                                 bool secondAlt = false);
// One bulk endpoint's descriptor.
std::vector<uint8_t> Endpoint(uint8_t address, int maxPacket);

// A device that leaves the bus while a transfer is pending: the host sees the
// transfer end about this much later (measured on the real kernel's usbfs).
inline constexpr std::chrono::milliseconds kLeaveLatency{500};

struct InTransfer {
    enum class Kind { Data, Halt, Error, Leave };
    Kind kind = Kind::Data;
    std::vector<uint8_t> bytes{};  // Data: the transfer; empty: a zero-length packet
    size_t sent = 0;               // Data: bytes of it already out
    bool zlp = false;              // Data: close with a zero-length packet if it ends on a packet boundary
    int delayMs = 0;               // Data: the first byte is ready only this much later
    int error = 0;                 // Error: the read's result
    int backAfterMs = -1;          // Leave: back on the bus after this; -1: never
};

// How far one host IN read got, as ReadIn plays it.
struct InRead {
    enum class End {
        Done,      // complete: a short packet, a zero-length packet, or full
        Halted,    // the IN endpoint is halted: ends with what it has
        Overflow,  // a packet was longer than the room left: what fit is kept, the rest lost
        Pending,   // nothing queued: pending until the host gives up
        Delayed,   // the next byte is ready only delayMs later: wait, then ReadIn the rest
        Error,     // fails with `error`
        Leave,     // the device left during the read: Plugged(false), back after backAfterMs
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
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    OutResult Out(const uint8_t* data, size_t length);
    // The next request's write itself fails (writefail, writegone).
    bool WriteFaultDue() const;

    const InTransfer* Front() const { return queue_.empty() ? nullptr : &queue_.front(); }
    int TakeDelay();
    void Sent(size_t n);
    void Pop();
    // Serves a host IN read of up to `length` bytes, packet by packet, as far
    // as it can go now; it never waits.
    InRead ReadIn(uint8_t* data, size_t length);
    // How long `bytes` take on the wire at Options().speed.
    std::chrono::nanoseconds WireTime(size_t bytes) const;

    void Reset();
    void Plugged(bool plugged);

    // Options in QUELLBAR_SIM syntax: "" or the problem. Faults count from the
    // next request; device= and seed= act at the start only.
    std::string Configure(std::string_view options);
    // Schedules a fault "name[:arg][@n]".
    std::string Inject(std::string_view fault) { return Configure("faults=" + std::string(fault)); }

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
        bool faulty = false;  // shaped by a fault or given up: not a picture the host shows
        Screen screen;        // what the reply shows
    };

    std::vector<FaultSpec> TakeFaults();
    void NextPicture(bool whole);
    void QueueReply(bool whole, const std::vector<FaultSpec>& faults);
    void Abandon();
    void Delivered();
    void Log(const std::string& event);

    Options options_;
    std::unique_ptr<ScreenGenerator> generator_;
    int pendingWidth_;
    uint64_t frames_ = 0;
    uint64_t requests_ = 0;
    std::vector<FaultSpec> scheduled_;  // `at` counted in absolute request numbers
    std::mt19937 random_;

    std::deque<InTransfer> queue_;
    std::unique_ptr<Reply> reply_;
    std::vector<uint8_t> lastSent_;  // pixels of the picture last sent whole or as delta, of its width

    bool unplugged_ = false;
    std::ofstream log_;
    std::chrono::steady_clock::time_point born_ = std::chrono::steady_clock::now();
};

}  // namespace quellbar
