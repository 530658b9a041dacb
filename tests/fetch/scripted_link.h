// A scripted USB conversation for the fetch cycle: each call takes the next step
// (expected length, canned result and data, time it takes). A negative transfer
// result closes the link, which then answers -101/-102 by itself, as marlex does.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "fake_quellbar.h"
#include "fetch_cycle.h"

namespace karvolen::testing {

// The window around the cycle, recorded. With `closeOnFailure` set, a message
// also closes that link, as the window does.
class RecordingHost : public fetch::FetchHost {
public:
    void SetTimerEnabled(bool enabled) override { timer = enabled; }
    float LogicalWidth() override { return scaleWidth; }
    void ProcessEvents() override { ++eventPasses; }
    void CommunicationFailure(const std::string& message) override
    {
        messages.push_back(message);
        if (closeOnFailure != nullptr) closeOnFailure->CloseCom();
    }

    bool timer = false;
    float scaleWidth = 800.0f;
    int eventPasses = 0;
    std::vector<std::string> messages;
    LinkApi* closeOnFailure = nullptr;
};

struct Step {
    enum Kind { Write, Read, Open } kind = Read;
    int32_t expectLength = -1;  // -1: any
    int32_t result = 0;
    std::vector<uint8_t> data;  // bytes a read stores (at most `result`)
    double seconds = 0.0;       // the call takes this long
};

inline Step ReadStep(int32_t expectLength, int32_t result, std::vector<uint8_t> data = {}, double seconds = 0.0)
{
    return Step{Step::Read, expectLength, result, std::move(data), seconds};
}
inline Step WriteStep(int32_t result) { return Step{Step::Write, 8, result, {}}; }
inline Step OpenStep(int32_t result) { return Step{Step::Open, -1, result, {}}; }

class ScriptedLink : public LinkApi {
public:
    explicit ScriptedLink(FakeClock& clock) : clock_(clock) {}

    std::deque<Step> script;
    std::vector<std::string> calls;
    std::vector<uint8_t> lastWrite;
    bool open = true;

    int32_t OpenCom() override
    {
        calls.push_back("OpenCom");
        Step s = Next(Step::Open);
        open = s.result >= 0;
        return s.result;
    }
    int32_t CloseCom() override
    {
        calls.push_back("CloseCom");
        open = false;
        return 0;
    }
    int32_t ReadCom(uint8_t* buffer, int32_t length) override
    {
        calls.push_back("ReadCom(" + std::to_string(length) + ")");
        if (!open) return MARLEX_ERR_READ_CLOSED;
        Step s = Next(Step::Read);
        EXPECT_TRUE(s.expectLength < 0 || length == s.expectLength)
            << "read #" << calls.size() << " of " << length << ", scripted " << s.expectLength;
        const size_t n = std::min<size_t>(s.data.size(), static_cast<size_t>(std::max(0, length)));
        if (n > 0) std::memcpy(buffer, s.data.data(), n);
        return Finish(s);
    }
    int32_t WriteCom(const uint8_t* buffer, int32_t length) override
    {
        calls.push_back("WriteCom(" + std::to_string(length) + ")");
        if (!open) return MARLEX_ERR_WRITE_CLOSED;
        lastWrite.assign(buffer, buffer + length);
        return Finish(Next(Step::Write));
    }

private:
    Step Next(Step::Kind kind)
    {
        if (script.empty()) {
            ADD_FAILURE() << "unexpected call " << calls.back();
            return Step{kind, -1, -1, {}};
        }
        Step s = std::move(script.front());
        script.pop_front();
        EXPECT_EQ(s.kind, kind) << "at call " << calls.back();
        return s;
    }
    int32_t Finish(const Step& s)
    {
        clock_.now += s.seconds;
        if (s.result < 0) open = false;
        return s.result;
    }

    FakeClock& clock_;
};

}  // namespace karvolen::testing
