// The fetch cycle's endings over marlex, the real libusb 0.1 and the real
// kernel, each brought about by the gadget Quellbar's faults. Runs inside the
// rig's guest only (tools/kernel-rig fetch).
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "decode.h"
#include "fetch_cycle.h"
#include "gadget_host.h"
#include "scripted_link.h"
#include "link_binding.h"

namespace karvolen {
namespace {

using fetch::Ending;

struct Scenario {
    const char* faults;          // at the second request
    std::vector<Ending> endings;  // of the cycles from the faulty request on
    std::string message;          // "" for the silent ones
};

void PrintTo(const Scenario& sc, std::ostream* os) { *os << "\"" << sc.faults << "\""; }

std::string Slurp(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// The decoded picture as the gadget's dump writes it: P6, top row first.
std::string AsPpm(const FormState& st)
{
    const int w = st.ImageWidth;
    std::string out = "P6\n" + std::to_string(w) + " 480\n255\n";
    for (int y = 479; y >= 0; --y) {
        for (int x = 0; x < w; ++x) {
            const RgbQuad& c = st.FrameInfo.bmiColors[st.PixelBuffer[y * w + x]];
            out += static_cast<char>(c.rgbRed);
            out += static_cast<char>(c.rgbGreen);
            out += static_cast<char>(c.rgbBlue);
        }
    }
    return out;
}

// The mode digit of the last request the gadget logged.
char LastRequestMode(const std::string& log)
{
    const std::string text = Slurp(log);
    const size_t at = text.rfind("request BMP? ");
    return at == std::string::npos ? '?' : text[at + 13];
}

class KernelFetch : public ::testing::TestWithParam<Scenario> {};

TEST_P(KernelFetch, EndsAsItMustAndPollingRecovers)
{
    const Scenario& sc = GetParam();
    const std::string log = "/tmp/gadget.log", dump = "/tmp/frame.ppm";
    std::remove(log.c_str());
    std::remove(dump.c_str());
    kernel_rig::Gadget gadget("width=640;log=" + log + ";dump=" + dump + ";faults=" + sc.faults);
    ASSERT_TRUE(gadget.Enumerated());

    MarlexLink link;
    ASSERT_EQ(link.OpenCom(), 0);
    auto st = std::make_unique<FormState>();
    st->CommandBytes = {'B', 'M', 'P', '?', ' ', '0', '\r', '\n'};
    testing::RecordingHost host;
    host.scaleWidth = 640.0f;
    host.closeOnFailure = &link;
    fetch::SteadyClock clock;
    auto cycle = [&] {
        const auto r = fetch::ReceiveScreen(*st, link, host, clock);
        if (r.ending == Ending::Complete) decode::DecodeReply(*st, r.received);
        return r.ending;
    };

    ASSERT_EQ(cycle(), Ending::Complete);
    ASSERT_EQ(st->RequestMode, kModeLineDelta) << "the first picture was decoded";
    for (size_t i = 0; i < sc.endings.size(); ++i) {
        const Ending e = cycle();
        EXPECT_EQ(e, sc.endings[i]) << "cycle " << i + 2 << ": " << fetch::EndingName(e);
        EXPECT_EQ(st->TransferBusy, kFalse);
    }
    if (!sc.message.empty()) {
        ASSERT_EQ(host.messages.size(), 1u);
        EXPECT_EQ(host.messages[0], sc.message);
        EXPECT_FALSE(host.timer) << "polling stops with a message";
        link.CloseCom();
        return;
    }
    EXPECT_TRUE(host.messages.empty()) << host.messages.front();
    if (sc.endings.back() != Ending::Complete) {
        EXPECT_TRUE(host.timer) << "a silent ending polls on";
    }
    // Recovered: a line delta request shows the gadget's picture. Bytes of an
    // abandoned reply still on their way are drained first.
    host.timer = false;
    Ending e = cycle();
    for (int i = 0; i < 2 && (e == Ending::Reconnected || e == Ending::Drained); ++i) e = cycle();
    ASSERT_EQ(e, Ending::Complete);
    EXPECT_EQ(LastRequestMode(log), '2') << "a silent ending keeps the request mode";
    bool same = false;
    for (int i = 0; i < 50 && !same; ++i) {
        same = Slurp(dump) == AsPpm(*st);
        if (!same) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(same) << "the decoded picture is the gadget's";
    link.CloseCom();
}

INSTANTIATE_TEST_SUITE_P(
    Endings, KernelFetch,
    ::testing::Values(Scenario{"", {Ending::Complete}, ""},
                      // The reset of the reconnect keeps the device: the re-open succeeds.
                      Scenario{"writefail@2", {Ending::Reconnected}, ""},
                      Scenario{"writegone:4000@2", {Ending::ReconnectFailed}, fetch::kMsgReconnectFailed},
                      Scenario{"noreply@2", {Ending::NoReply}, fetch::kMsgNoReply},
                      Scenario{"nosig:20000@2", {Ending::Drained}, ""},
                      Scenario{"chunkstall:1@2", {Ending::Complete}, ""},
                      Scenario{"chunkstall:2@2", {Ending::FailedRead}, ""},
                      Scenario{"finalstall:1@2", {Ending::Complete}, ""},
                      Scenario{"finalstall:2@2", {Ending::FailedRead}, ""},
                      Scenario{"finalshort:1000@2", {Ending::Complete}, ""},
                      Scenario{"slowchunk:1300@2", {Ending::TimedOut}, fetch::kMsgTimeOut},
                      Scenario{"toolarge@2", {Ending::Fault}, fetch::kMsgFault},
                      Scenario{"topbit@2", {Ending::Fault}, fetch::kMsgFault},
                      // The read the device leaves in gives 0, its retry -19: silent; the
                      // reconnect then finds no device.
                      Scenario{"unplug:4000@2", {Ending::FailedRead, Ending::ReconnectFailed},
                               fetch::kMsgReconnectFailed}));

}  // namespace
}  // namespace karvolen
