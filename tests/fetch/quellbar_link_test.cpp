// The fetch cycle over the real libmarlex.so, the stand-in libusb and the
// simulated Quellbar: every fault scenario ends the way the viewer must end it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "decode.h"
#include "fetch_cycle.h"
#include "link_binding.h"
#include "scripted_link.h"
#include "screen.h"
#include "simctl.h"

namespace karvolen {
namespace {

using fetch::Ending;

struct Scenario {
    const char* options;
    std::vector<Ending> endings;  // of the cycles from the faulty request on
    std::string message;          // "" for the silent ones
    int pauseMs = 0;              // between cycles, as the timer would space them
};

void PrintTo(const Scenario& sc, std::ostream* os)
{
    *os << "\"" << sc.options << "\"";
}

class QuellbarLink : public ::testing::TestWithParam<Scenario> {};

// Every cycle asks for a whole picture, so that each one has chunk reads.
TEST_P(QuellbarLink, FaultEndsAsItMustAndPollingRecovers)
{
    const Scenario& sc = GetParam();
    simctl_reset();
    const int bus = simctl_add_bus();
    ASSERT_GE(simctl_add_quellbar(bus, (std::string("width=640;") + sc.options).c_str()), 0);

    MarlexLink link("libmarlex.so.1");
    ASSERT_EQ(link.OpenCom(), 0);
    auto st = std::make_unique<FormState>();
    std::copy_n(wire::kRequestText, wire::kRequestSize, st->CommandBytes.begin());
    testing::RecordingHost host;
    host.scaleWidth = 640.0f;
    host.closeOnFailure = &link;
    fetch::SteadyClock clock;

    ASSERT_EQ(fetch::ReceiveScreen(*st, link, host, clock).ending, Ending::Complete);
    int requests = 1;
    for (size_t i = 0; i < sc.endings.size(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(sc.pauseMs));
        const auto r = fetch::ReceiveScreen(*st, link, host, clock);
        EXPECT_EQ(r.ending, sc.endings[i]) << "cycle " << i + 2 << ": " << fetch::EndingName(r.ending);
        EXPECT_EQ(st->TransferBusy, kFalse);
        if (r.ending != Ending::Reconnected) {
            ++requests;
        }
    }
    if (sc.message.empty()) {
        EXPECT_TRUE(host.messages.empty()) << host.messages.front();
        if (sc.endings.back() != Ending::Complete) {
            EXPECT_TRUE(host.timer) << "a silent ending polls on";
        }
        // Recovered: the next cycle brings the instrument's current picture.
        host.timer = false;
        auto r = fetch::ReceiveScreen(*st, link, host, clock);
        if (r.ending == Ending::Reconnected) {
            r = fetch::ReceiveScreen(*st, link, host, clock);
        }
        ASSERT_EQ(r.ending, Ending::Complete);
        ++requests;
        ASSERT_FALSE(decode::DecodeReply(*st, r.received).refused);
        quellbar::ScreenGenerator gen(640, 1);
        for (int k = 0; k < requests; ++k) {
            gen.Next();
        }
        EXPECT_EQ(0, std::memcmp(st->PixelBuffer.data(), gen.Current().pixels.data(), 640 * 480));
    } else {
        ASSERT_EQ(host.messages.size(), 1u);
        EXPECT_EQ(host.messages[0], sc.message);
        EXPECT_FALSE(host.timer);
    }
    link.CloseCom();
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, QuellbarLink,
    ::testing::Values(Scenario{"", {Ending::Complete}, ""},
                      Scenario{"faults=writefail@2", {Ending::Reconnected}, ""},
                      Scenario{"faults=writegone:3000@2", {Ending::ReconnectFailed}, fetch::kMsgReconnectFailed},
                      Scenario{"faults=noreply@2", {Ending::NoReply}, fetch::kMsgNoReply},
                      Scenario{"faults=nosig:20000@2", {Ending::Drained}, ""},
                      Scenario{"faults=chunkstall:1@2", {Ending::Complete}, ""},
                      Scenario{"faults=chunkstall:2@2", {Ending::FailedRead}, ""},
                      Scenario{"faults=chunkerror@2", {Ending::FailedRead, Ending::Reconnected}, ""},
                      Scenario{"faults=finalstall:1@2", {Ending::Complete}, ""},
                      Scenario{"faults=finalstall:2@2", {Ending::FailedRead}, ""},
                      Scenario{"faults=finalerror@2", {Ending::FailedRead, Ending::Reconnected}, ""},
                      Scenario{"faults=finalshort:1000@2", {Ending::Complete}, ""},
                      Scenario{"faults=slowchunk:1300@2", {Ending::TimedOut}, fetch::kMsgTimeOut},
                      Scenario{"faults=toolarge@2", {Ending::Fault}, fetch::kMsgFault},
                      Scenario{"faults=topbit@2", {Ending::Fault}, fetch::kMsgFault},
                      Scenario{"reenum_ms=300;faults=unplug:300@2", {Ending::FailedRead, Ending::Reconnected}, "",
                               700}));

}  // namespace
}  // namespace karvolen
