// The fetch cycle's endings for each fault of the simulated Quellbar, run over every
// link to it: in-process, the system's libusb on the emulated usbfs, the kernel rig.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <stdlib.h>

#include "decode.h"
#include "encoder.h"
#include "fetch_cycle.h"
#include "poll_state.h"
#include "scripted_link.h"
#include "wire_format.h"

namespace karvolen::testing {

struct FaultEnding {
    std::string options;                 // the device's, faults at the second request
    std::vector<fetch::Ending> endings;  // of the cycles from the faulty request on
    std::string message;                 // "" for the silent ones
    int pauseMs = 0;                     // between cycles, as the timer would space them
};

inline void PrintTo(const FaultEnding& sc, std::ostream* os) { *os << "\"" << sc.options << "\""; }

inline std::vector<FaultEnding> CommonFaultEndings()
{
    using fetch::Ending;
    return {
        {"", {Ending::Complete}, ""},
        // The reset of the reconnect keeps the device: the re-open succeeds.
        {"faults=writefail@2", {Ending::Reconnected}, ""},
        {"faults=writegone:3000@2", {Ending::ReconnectFailed}, fetch::kMsgReconnectFailed},
        {"faults=noreply@2", {Ending::NoReply}, fetch::kMsgNoReply},
        {"faults=nosig:20000@2", {Ending::Drained}, ""},
        // Two whole drain blocks: the drain's last read runs into the link's time
        // limit, which closes the link; the next cycle reconnects.
        {"faults=nosig:" + std::to_string(2 * wire::kDrainBlockSize) + "@2",
         {Ending::Drained, Ending::Reconnected},
         ""},
        {"faults=chunkstall:1@2", {Ending::Complete}, ""},
        // The rest of the reply is still sent after the cycle gave it up: the
        // next cycle finds it instead of its own reply and drains it.
        {"faults=chunkstall:2@2", {Ending::FailedRead, Ending::Drained}, ""},
        {"faults=finalstall:1@2", {Ending::Complete}, ""},
        {"faults=finalstall:2@2", {Ending::FailedRead, Ending::Drained}, ""},
        {"faults=finalshort:1000@2", {Ending::Complete}, ""},
        {"faults=slowchunk:1300@2", {Ending::TimedOut}, fetch::kMsgTimeOut},
        {"faults=toolarge@2", {Ending::Fault}, fetch::kMsgFault},
        {"faults=topbit@2", {Ending::Fault}, fetch::kMsgFault},
    };
}

// A folder of the case's own below gtest's temporary folder, gone with
// everything in it when the case ends, also after a failed assertion.
class ScratchDir {
public:
    ScratchDir()
    {
        std::string pattern = ::testing::TempDir() + "karvolen-case.XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::filesystem::filesystem_error("mkdtemp", pattern, std::error_code(errno, std::generic_category()));
        }
        path_ = pattern;
    }
    ~ScratchDir()
    {
        std::error_code error;
        std::filesystem::remove_all(path_, error);
        EXPECT_FALSE(error) << path_ << " left behind: " << error.message();
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string File(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// A fresh file of this case in `dir`, apart from the other cases' (ctest runs them side by side).
inline std::string CaseFile(const std::string& dir, const std::string& what)
{
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string suite = test->test_suite_name(), name = test->name();
    const std::string path =
        dir + "/" + what + "-" + suite.substr(suite.rfind('/') + 1) + "-" + name.substr(name.rfind('/') + 1);
    std::remove(path.c_str());
    return path;
}

inline std::string Slurp(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

// Faults that strike a line-delta reply (one too small for chunk reads): the
// picture the host pieces together must still be the device's, whether it
// goes on with deltas or, after a reply it gave up, asks for a whole one.
inline std::vector<FaultEnding> DeltaFaultEndings()
{
    using fetch::Ending;
    return {
        {"", {Ending::Complete}, ""},
        {"faults=writefail@2", {Ending::Reconnected}, ""},
        {"faults=nosig:20000@2", {Ending::Drained}, ""},
        {"faults=finalstall:1@2", {Ending::Complete}, ""},
        {"faults=finalstall:2@2", {Ending::FailedRead, Ending::Drained}, ""},
        {"faults=finalshort:1000@2", {Ending::Complete}, ""},
        {"faults=palette:7@2", {Ending::Complete}, ""},
    };
}

enum class Requests {
    AllWhole,  // every cycle asks for a whole picture, so that each one has chunk reads
    AsViewer,  // every complete reply is decoded, which sets the next request's mode
};

// Plays one scenario on an open link to a 640-wide device that dumps each
// picture it delivers whole to `dump`. In real time, or on `fake` when the
// link's time passes there.
inline void PlayFaultEnding(const FaultEnding& sc, LinkApi& link, const std::string& dump,
                            Requests requests = Requests::AllWhole, FakeClock* fake = nullptr)
{
    using fetch::Ending;
    auto st = std::make_unique<PollState>();
    std::copy_n(wire::kRequestText, wire::kRequestSize, st->request.begin());
    RecordingHost host;
    host.scaleWidth = 640.0f;
    host.closeOnFailure = &link;
    fetch::SteadyClock steady;
    fetch::Clock& clock = fake != nullptr ? static_cast<fetch::Clock&>(*fake) : steady;
    auto cycle = [&] {
        if (fake != nullptr) fake->now += sc.pauseMs / 1000.0;
        if (fake == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(sc.pauseMs));
        const auto r = fetch::ReceiveScreen(st->Fetching(), link, host, clock);
        if (r.ending == Ending::Complete && requests == Requests::AsViewer) {
            EXPECT_FALSE(decode::DecodeReply(st->Received(r.received), st->Decoding()).refused);
        }
        return r;
    };

    ASSERT_EQ(cycle().ending, Ending::Complete);
    for (size_t i = 0; i < sc.endings.size(); ++i) {
        const Ending e = cycle().ending;
        EXPECT_EQ(e, sc.endings[i]) << "cycle " << i + 2 << ": " << fetch::EndingName(e);
        EXPECT_FALSE(st->transferBusy);
    }
    if (!sc.message.empty()) {
        ASSERT_EQ(host.messages.size(), 1u);
        EXPECT_EQ(host.messages[0], sc.message);
        EXPECT_FALSE(host.timer) << "polling stops with a message";
        return;
    }
    EXPECT_TRUE(host.messages.empty()) << host.messages.front();
    if (sc.endings.back() != Ending::Complete) {
        EXPECT_TRUE(host.timer) << "a silent ending polls on";
    }
    // Recovered: the next cycle brings the device's current picture. A drain
    // that ran into the link's time limit closed the link, and the cycle
    // after it reconnects first.
    host.timer = false;
    auto r = cycle();
    if (r.ending == Ending::Reconnected) r = cycle();
    ASSERT_EQ(r.ending, Ending::Complete) << fetch::EndingName(r.ending);
    if (requests == Requests::AsViewer) {
        const bool gaveUp = std::any_of(sc.endings.begin(), sc.endings.end(),
                                        [](Ending e) { return e == Ending::FailedRead || e == Ending::Drained; });
        EXPECT_EQ(st->request[wire::kModeDigitIndex], wire::ModeDigit(gaveUp ? kModeWhole : kModeLineDelta))
            << (gaveUp ? "a reply given up is no reference: the next picture is whole"
                       : "a silent ending keeps asking for line deltas");
    } else {
        ASSERT_FALSE(decode::DecodeReply(st->Received(r.received), st->Decoding()).refused);
    }
    // The decoded picture as the device's dump writes it, once the last bytes are out.
    quellbar::Screen decoded;
    decoded.width = st->imageWidth;
    decoded.pixels.assign(st->pixels.data(), st->pixels.data() + decoded.width * quellbar::kRows);
    for (size_t i = 0; i < decoded.palette.size(); ++i) {
        const RgbQuad& c = st->frameInfo.bmiColors[i];
        decoded.palette[i] = uint32_t{c.rgbRed} << 16 | uint32_t{c.rgbGreen} << 8 | c.rgbBlue;
    }
    bool same = false;
    for (int i = 0; i < 50 && !same; ++i) {
        same = Slurp(dump) == quellbar::EncodePpm(decoded);
        if (!same) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(same) << "the decoded picture is the device's";
}

}  // namespace karvolen::testing

// One transport's two suites: `endings` with whole pictures, the delta ones as
// the viewer asks for them; `play(scenario, requests)` runs one on it.
#define KARVOLEN_FAULT_ENDING_SUITES(Suite, play, endings)                                                          \
  class Suite : public ::testing::TestWithParam<::karvolen::testing::FaultEnding> {};                               \
  class Suite##Delta : public Suite {};                                                                             \
  TEST_P(Suite, FaultEndsAsItMustAndPollingRecovers) { play(GetParam(), ::karvolen::testing::Requests::AllWhole); } \
  TEST_P(Suite##Delta, FaultEndsAsItMustAndTheDeltasStayRight)                                                      \
  {                                                                                                                 \
    play(GetParam(), ::karvolen::testing::Requests::AsViewer);                                                      \
  }                                                                                                                 \
  INSTANTIATE_TEST_SUITE_P(Scenarios, Suite, ::testing::ValuesIn(endings));                                         \
  INSTANTIATE_TEST_SUITE_P(Scenarios, Suite##Delta, ::testing::ValuesIn(::karvolen::testing::DeltaFaultEndings()))
