// The simulated Quellbar: answers screen requests with length-prefixed BMP replies.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "../quellbar/screen.h"
#include "sim_device.h"
#include "sim_options.h"

namespace sim {

class QuellbarDevice final : public Device {
public:
    explicit QuellbarDevice(const QuellbarOptions& options);
    ~QuellbarDevice() override;

    uint16_t VendorId() const override;
    uint16_t ProductId() const override { return options_.product; }
    int BulkOut(int endpoint, const uint8_t* data, int length, Clock::time_point deadline) override;
    int BulkIn(int endpoint, uint8_t* data, int length, Clock::time_point deadline) override;
    void BeginTransfer(int endpoint, int length) override;
    void Reset() override;
    void PlugChanged(bool plugged) override;

    // Applies options in QUELLBAR_SIM syntax; returns the problem, or "".
    std::string Configure(std::string_view options);
    // Schedules a fault "name[:arg][@n]", n counted from the next request.
    std::string Inject(std::string_view fault);

    const QuellbarOptions& Options() const { return options_; }
    uint64_t Requests() const { return requests_; }

private:
    enum class ReadKind { First, Chunk, Final };

    struct Reply {
        std::vector<uint8_t> bytes;
        size_t sent = 0;
        bool whole = false;
        bool faulty = false;             // shaped by a fault: not the picture as is
        quellbar::Screen screen;         // what the reply shows
        int reads = 0;                   // host read calls on this reply so far
    };

    // Faults armed for the reply being served.
    struct Armed {
        int chunkStalls = 0, finalStalls = 0;
        bool chunkError = false, finalError = false;
        int slowChunkMs = 0;
        int unplugMs = -1;
        bool noReply = false;            // reads stall until the next request
    };

    void StartRequest(int mode);
    std::vector<FaultSpec> TakeFaults();
    void BuildReply(int mode, const std::vector<FaultSpec>& faults);
    void Delivered();
    void Dump(const quellbar::Screen& screen);
    void Log(const std::string& event);
    void OpenLog();

    QuellbarOptions options_;
    std::unique_ptr<quellbar::ScreenGenerator> generator_;
    int pendingWidth_;
    uint64_t frames_ = 0;
    uint64_t requests_ = 0;
    std::vector<FaultSpec> scheduled_;   // `at` counted in absolute request numbers
    std::mt19937 random_;

    std::unique_ptr<Reply> reply_;
    Armed armed_;
    ReadKind currentRead_ = ReadKind::First;
    bool currentReadHit_ = false;        // a fault already acted on this read call

    std::vector<uint8_t> lastSent_;      // pixels of the picture last sent whole or as delta
    int lastSentWidth_ = 0;

    bool unplugged_ = false;
    std::FILE* log_ = nullptr;
    Clock::time_point born_ = Clock::now();
};

}  // namespace sim
