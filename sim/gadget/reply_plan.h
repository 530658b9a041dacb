// What the gadget Quellbar does for one request, as steps on its endpoints.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "screen.h"

namespace gadget {

struct Step {
    enum Kind { Send, ZeroLength, Delay, HaltIn, Leave } kind = Send;
    std::vector<uint8_t> bytes;  // Send: one IN transfer
    int ms = 0;                  // Delay; Leave: back after ms
};

struct Fault {
    std::string name;
    int arg = -1;
    int at = 1;
};

struct Options {
    int width = 800;
    uint32_t seed = 1;
    bool wholeTransfer = false;  // the reply as one transfer, not 64 bytes apart
    std::vector<Fault> faults;
    std::string log;
    std::string dump;
    // Where a device that left the bus takes up again: requests and frames so far.
    uint64_t resumeRequests = 0, resumeFrames = 0;
    int awayMs = 0;  // off the bus for this long before it connects
};

// "key=value;..." as the gadget's command line takes it; returns the problem or "".
std::string ParseOptions(std::string_view text, Options& out, std::string* personality);

class Quellbar {
public:
    explicit Quellbar(Options options);
    ~Quellbar();

    // A fault on the next request's write itself. The write counts as a
    // request. WriteFail: OUT halts; WriteGone: the device leaves, back after `ms`.
    enum class WriteFault { None, WriteFail, WriteGone };
    WriteFault TakeWriteFault(int& ms);
    // The bytes of one OUT transfer; the steps of the answer (none for garbage).
    std::vector<Step> Request(const uint8_t* data, int length);
    // The host reset the device or it left the bus: what was pending is lost.
    void Lost();
    // The last reply went out whole and unaltered.
    void Delivered();
    void Log(const std::string& event);
    // The option that resumes this state in a new process.
    std::string ResumeOption() const;

private:
    const Fault* Due(std::string_view name) const;

    Options o_;
    quellbar::ScreenGenerator gen_;
    uint64_t requests_ = 0;
    uint64_t frames_ = 0;
    std::vector<uint8_t> lastSent_;
    quellbar::Screen pendingScreen_;
    bool pendingClean_ = false;
    bool delivered_ = false;  // the host holds lastSent_: the last reply went out whole
    std::FILE* log_ = nullptr;
};

}  // namespace gadget
