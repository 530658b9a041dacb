// The simulated Quellbar on an in-process link: marlex's four calls played
// straight on the device model, with time passing on a clock of the test's
// own instead of the wall clock. A negative transfer closes the link (and
// resets the device) as marlex does.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "device.h"
#include "fetch_cycle.h"
#include "marlex.h"
#include "protocol.h"

namespace karvolen::testing {

// Seconds that pass only when a test or a fake says so.
class FakeClock : public fetch::Clock {
public:
    double Now() override { return now; }
    double now = 1000.0;
};

class FakeQuellbar : public LinkApi {
public:
    // `options` in QUELLBAR_SIM syntax.
    explicit FakeQuellbar(const std::string& options = "seed=7")
    {
        quellbar::Options o;
        EXPECT_EQ(quellbar::ParseOptions(options, o), "") << options;
        model_ = std::make_unique<quellbar::Device>(o);
    }

    int32_t OpenCom() override
    {
        ++opens;
        if (!model_->Opts().present || clock.now < backAt_) return MARLEX_ERR_NO_DEVICE;
        if (std::exchange(gone_, false)) model_->Plugged(true);
        open = openResult == MARLEX_OK;
        return openResult;
    }
    int32_t CloseCom() override
    {
        if (open && !gone_) model_->Reset();
        open = false;
        return 0;
    }
    int32_t WriteCom(const uint8_t* data, int32_t length) override
    {
        if (!open) return MARLEX_ERR_WRITE_CLOSED;
        if (gone_) return Failed(-ENODEV);
        requests.emplace_back(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
        const quellbar::OutResult r = model_->Out(data, static_cast<size_t>(length));
        switch (r.kind) {
        case quellbar::OutResult::Kind::Accepted: return length;
        case quellbar::OutResult::Kind::Halt: return 0;
        case quellbar::OutResult::Kind::Leave: return Leave(0, r.backAfterMs);
        }
        return Failed(-EINVAL);
    }
    int32_t ReadCom(uint8_t* buffer, int32_t length) override
    {
        if (!open) return MARLEX_ERR_READ_CLOSED;
        reads.push_back(length);
        if (onRead) onRead(static_cast<int>(reads.size()));
        if (gone_) return Failed(-ENODEV);
        std::chrono::nanoseconds waited{0};
        // Time passes as the read waits, never beyond its time-out.
        auto wait = [&](std::chrono::nanoseconds d) {
            const auto step = std::min(d, kTimeout - waited);
            waited += step;
            Pass(step);
            return step == d;
        };
        for (size_t moved = 0;;) {
            const quellbar::InRead r = model_->ReadIn(buffer + moved, static_cast<size_t>(length) - moved);
            moved += r.moved;
            if (!wait(model_->WireTime(r.moved))) return Failed(-ETIMEDOUT);
            switch (r.end) {
            case quellbar::InRead::End::Done:
            case quellbar::InRead::End::Halted:
            case quellbar::InRead::End::Overflow: return static_cast<int32_t>(moved);
            case quellbar::InRead::End::Pending: wait(kTimeout); return Failed(-ETIMEDOUT);
            case quellbar::InRead::End::Delayed:
                if (!wait(std::chrono::milliseconds(r.delayMs))) return Failed(-ETIMEDOUT);
                break;
            case quellbar::InRead::End::Error: return Failed(r.error);
            case quellbar::InRead::End::Leave: return Leave(static_cast<int32_t>(moved), r.backAfterMs);
            }
        }
    }

    quellbar::Device& Model() { return *model_; }

    FakeClock clock;
    int32_t openResult = MARLEX_OK;  // what opening the present device gives
    bool open = false;
    int opens = 0;
    std::vector<std::string> requests;  // every write's bytes
    std::vector<int32_t> reads;         // every read's length, in order
    std::function<void(int)> onRead;    // before each read, with its 1-based number

private:
    static constexpr std::chrono::milliseconds kTimeout{MARLEX_TIMEOUT_MS};

    void Pass(std::chrono::nanoseconds d) { clock.now += std::chrono::duration<double>(d).count(); }
    int32_t Failed(int32_t error)
    {
        CloseCom();
        return error;
    }
    int32_t Leave(int32_t moved, int backAfterMs)
    {
        gone_ = true;
        model_->Plugged(false);
        backAt_ = backAfterMs < 0 ? std::numeric_limits<double>::infinity() : clock.now + backAfterMs / 1000.0;
        // The transfer completes with what came before; the next finds it gone.
        Pass(quellbar::kLeaveLatency);
        return moved;
    }

    std::unique_ptr<quellbar::Device> model_;
    bool gone_ = false;
    double backAt_ = -std::numeric_limits<double>::infinity();
};

}  // namespace karvolen::testing
