#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <limits>

#include "fault_endings.h"
#include "poll_state.h"
#include "fetch_cycle.h"
#include "scripted_link.h"
#include "wire_format.h"

namespace karvolen {
namespace {

using fetch::Ending;
using testing::FakeClock;
using testing::FakeQuellbar;
using testing::OpenStep;
using testing::ReadStep;
using testing::ScriptedLink;
using testing::WriteStep;

// The first `n` bytes of a reply: big-endian length prefix, "BM", then filler.
std::vector<uint8_t> Head(uint32_t declared, size_t n = 64)
{
    std::vector<uint8_t> r(n, 0x11);
    wire::WriteBe32(r.data(), declared);
    std::copy_n(wire::kSignature, 2, r.begin() + wire::kSignatureIndex);
    return r;
}

class FetchCycle : public ::testing::Test {
protected:
    FetchCycle() { std::copy_n(wire::kRequestText, wire::kRequestSize, st.request.begin()); }
    fetch::FetchResult Run() { return fetch::ReceiveScreen(st.Fetching(), link, host, clock); }

    PollState st;
    FakeClock clock;
    ScriptedLink link{clock};
    testing::RecordingHost host;
};

// The digit for a whole picture: every case of ScriptedCycle.
TEST_F(FetchCycle, RequestCarriesTheLineDeltaDigit)
{
    st.request[wire::kModeDigitIndex] = 'x';
    st.requestMode = kModeLineDelta;
    link.script = {WriteStep(8), ReadStep(64, 10, Head(6, 10))};
    EXPECT_EQ(Run().ending, Ending::Complete);
    EXPECT_EQ(std::string(link.lastWrite.begin(), link.lastWrite.end()), "BMP? 2\r\n");
}

// The largest reply that fits is read whole, and no chunk asks for more than
// the buffer holds (13000 would be 416000-byte chunks).
TEST_F(FetchCycle, WholePicturesTakeTheWorkedNumberOfReads)
{
    const struct {
        const char* options;
        float scaleWidth;
        int32_t received;
        int chunks;
        int32_t chunkSize;
        int32_t finalRead;  // 0: none
    } cases[] = {
        {"width=640", 640.0f, 1082 + 640 * 480, 14, 20480, 21498},
        {"width=640", 800.0f, 1082 + 640 * 480, 12, 25600, 1018},
        {"width=800", 800.0f, 1082 + 800 * 480, 15, 25600, 1018},
        {"faults=toolarge:399997", 800.0f, 400001, 15, 25600, 400001 - 64 - 15 * 25600},
        {"faults=toolarge:399997", 13000.0f, 400001, 1, 400001 - 64, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.options) + " at " + std::to_string(c.scaleWidth));
        FakeQuellbar device(c.options);
        ASSERT_EQ(device.OpenCom(), 0);
        host.scaleWidth = c.scaleWidth;
        const auto result = fetch::ReceiveScreen(st.Fetching(), device, host, device.clock);
        ASSERT_EQ(result.ending, Ending::Complete);
        EXPECT_EQ(result.received, c.received);
        ASSERT_EQ(device.reads.size(), static_cast<size_t>(c.chunks + 1 + (c.finalRead > 0)));
        EXPECT_EQ(device.reads.front(), 64);
        for (int i = 1; i <= c.chunks; ++i) EXPECT_EQ(device.reads[i], c.chunkSize);
        EXPECT_EQ(device.reads.back(), c.finalRead > 0 ? c.finalRead : c.chunkSize);
        EXPECT_FALSE(st.transferBusy);
        EXPECT_FALSE(host.timer) << "decoding re-arms the timer, not reception";
    }
}

// One cycle on a scripted conversation. Every case consumes its whole script,
// leaves no transfer busy, shows at most its one message and polls on only
// after a silent ending that is not Complete (decoding re-arms the timer).
struct Scripted {
    const char* name;
    Ending ending;
    int32_t received;  // -1: not checked
    std::string message;
    std::deque<testing::Step> script;
    float scaleWidth = 800.0f;
};

void PrintTo(const Scripted& c, std::ostream* os) { *os << c.name; }

class ScriptedCycle : public FetchCycle, public ::testing::WithParamInterface<Scripted> {};

TEST_P(ScriptedCycle, EndsAsScripted)
{
    const Scripted& c = GetParam();
    st.reply[4] = 'B';  // left from an earlier reply: never taken for this one's signature
    st.reply[5] = 'M';
    st.request[wire::kModeDigitIndex] = 'x';  // the cycle writes the digit itself
    host.scaleWidth = c.scaleWidth;
    link.script = c.script;
    const auto result = Run();
    EXPECT_EQ(result.ending, c.ending) << fetch::EndingName(result.ending);
    EXPECT_EQ(std::string(link.lastWrite.begin(), link.lastWrite.end()), "BMP? 0\r\n");
    EXPECT_TRUE(c.received < 0 || result.received == c.received) << result.received << " received";
    EXPECT_TRUE(link.script.empty()) << link.script.size() << " steps left";
    EXPECT_EQ(host.messages, c.message.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.message});
    EXPECT_EQ(host.timer, c.message.empty() && c.ending != Ending::Complete);
    EXPECT_FALSE(st.transferBusy);
}

std::vector<Scripted> ScriptedCases()
{
    using testing::Step;
    const auto head = [](uint32_t declared) { return ReadStep(64, 64, Head(declared)); };
    const auto chunk = [](int32_t got, double seconds = 0.0) { return ReadStep(25600, got, {}, seconds); };
    const Step w = WriteStep(8);
    const uint32_t oneChunk = 60 + 25601;  // one chunk, then a final read of 1
    const std::string timeOut = "Comunication time out", noImage = "Can't get the image from the Quellbar";
    const float inf = std::numeric_limits<float>::infinity();
    const auto row = [](const char* name, Ending e, int32_t received, std::string message, std::deque<Step> script,
                        float scaleWidth = 800.0f) {
        return Scripted{name, e, received, std::move(message), std::move(script), scaleWidth};
    };
    return {
        row("RemainingOfExactlyTheThresholdGoesStraightToTheFinalRead", Ending::Complete, 4 + 60 + 25600, "",
            {w, head(60 + 25600), chunk(25600)}),
        row("ChunkOfExactlyOneSecondIsInTime", Ending::Complete, -1, "",
            {w, head(oneChunk), chunk(25600, 1.0), ReadStep(1, 1)}),
        row("ChunkLongerThanOneSecondTimesOut", Ending::TimedOut, -1, timeOut,
            {w, head(oneChunk), chunk(25600, 1.0001)}),
        row("LastChunkTooSlowTimesOutEvenWithTheDataComplete", Ending::TimedOut, -1, timeOut,
            {w, head(oneChunk), chunk(25601, 1.5)}),
        row("ChunkTimeCoversBothTries", Ending::TimedOut, -1, timeOut,
            {w, head(oneChunk), chunk(0, 0.6), chunk(25600, 0.6)}),
        row("ChunkRetriedWithinTheSecondIsInTime", Ending::Complete, -1, "",
            {w, head(oneChunk), chunk(0, 0.3), chunk(25600, 0.3), ReadStep(1, 1)}),
        // Remaining 0 after the chunks: no final read.
        row("ShortChunksAdvanceByWhatArrived", Ending::Complete, 4 + 60 + 30000, "",
            {w, head(60 + 30000), chunk(1000), chunk(3400), chunk(25600)}),
        row("ShortFinalReadIsHandedOnShort", Ending::Complete, 564, "", {w, head(1000), ReadStep(940, 500)}),
        row("FirstReadRetriedOnce", Ending::Complete, -1, "", {w, ReadStep(64, 0), ReadStep(64, 70 - 6, Head(60))}),
        row("FirstReadEmptyTwiceIsNoReply", Ending::NoReply, -1, noImage + "\r\n\r\nCheck the USB cable",
            {w, ReadStep(64, 0), ReadStep(64, 0)}),
        row("ReconnectThatFailsShowsTheConnectMessage", Ending::ReconnectFailed, -1,
            "Can't connect to the Quellbar\r\n\r\nCheck the USB cable and Quellbar", {WriteStep(0), OpenStep(-1)}),
        row("TooFewBytesForASignatureAreNotMistakenForOne", Ending::Drained, -1, "",
            {w, ReadStep(64, 5, {0, 0, 0, 10, 'B'}), ReadStep(16384, 0)}),
        // Replies that do not fit are refused before any store: no read after the prefix.
        row("OneByteMoreThanTheBufferIsAFault", Ending::Fault, -1, noImage, {w, head(400001 - 4 + 1)}),
        row("Declared7FFFFFF0IsAFault", Ending::Fault, -1, noImage, {w, head(0x7FFFFFF0u)}),
        row("DeclaredWithTheTopBitIsAFault", Ending::Fault, -1, noImage, {w, head(0x80000010u)}),
        row("DeclaredFFFFFFFFIsAFault", Ending::Fault, -1, noImage, {w, head(0xFFFFFFFFu)}),
        row("UnconvertibleChunkSizeIsAFault", Ending::Fault, -1, noImage, {w, head(60000)}, inf),
    };
}

INSTANTIATE_TEST_SUITE_P(Conversations, ScriptedCycle, ::testing::ValuesIn(ScriptedCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FetchCycle, NegativeChunkClosesTheLinkAndTheNextTickReconnects)
{
    const uint32_t declared = 60 + 30000;
    link.script = {WriteStep(8), ReadStep(64, 64, Head(declared)), ReadStep(25600, -110)};
    EXPECT_EQ(Run().ending, Ending::FailedRead);
    EXPECT_EQ(link.calls.back(), "ReadCom(25600)") << "second try answered -101 by the closed link";
    EXPECT_TRUE(host.timer);
    EXPECT_TRUE(host.messages.empty());

    link.calls.clear();
    link.script = {OpenStep(0)};
    st.requestMode = kModeLineDelta;
    EXPECT_EQ(Run().ending, Ending::Reconnected);
    EXPECT_EQ(link.calls, (std::vector<std::string>{"WriteCom(8)", "CloseCom", "OpenCom"}));
    EXPECT_TRUE(host.timer);
    EXPECT_EQ(st.requestMode, kModeLineDelta);

    link.script = {WriteStep(8), ReadStep(64, 10, Head(6, 10))};
    EXPECT_EQ(Run().ending, Ending::Complete);
}

TEST_F(FetchCycle, FinalReadFailingTwiceIsSilentAndTheNextPictureIsWhole)
{
    st.requestMode = kModeLineDelta;
    link.script = {WriteStep(8), ReadStep(64, 64, Head(1000)), ReadStep(940, 0), ReadStep(940, 0)};
    EXPECT_EQ(Run().ending, Ending::FailedRead);
    EXPECT_TRUE(host.timer);
    EXPECT_TRUE(link.open);
    EXPECT_EQ(st.requestMode, kModeWhole) << "the device may take the reply given up for the reference";

    link.script = {WriteStep(8), ReadStep(64, 64, Head(1000)), ReadStep(940, 0), ReadStep(940, 940)};
    EXPECT_EQ(Run().ending, Ending::Complete);
}

TEST_F(FetchCycle, DrainStopsAtTheFirstReadThatIsNotABlockAndTheNextPictureIsWhole)
{
    st.requestMode = kModeLineDelta;
    std::vector<uint8_t> garbage(64, 0x55);
    link.script = {WriteStep(8), ReadStep(64, 64, garbage), ReadStep(16384, 16384), ReadStep(16384, 16384),
                   ReadStep(16384, 16383)};
    EXPECT_EQ(Run().ending, Ending::Drained);
    EXPECT_EQ(host.eventPasses, 2);
    EXPECT_TRUE(host.timer);
    EXPECT_TRUE(link.script.empty());
    EXPECT_TRUE(host.messages.empty());
    EXPECT_EQ(st.requestMode, kModeWhole) << "what was drained may be the rest of a reply given up";

    link.script = {WriteStep(8), ReadStep(64, 64, garbage), ReadStep(16384, -110)};
    EXPECT_EQ(Run().ending, Ending::Drained);
    EXPECT_FALSE(link.open);
}

class ThrowingLink : public ScriptedLink {
public:
    using ScriptedLink::ScriptedLink;
    int32_t ReadCom(uint8_t*, int32_t) override { throw LinkUnavailable("ReadCom"); }
};

TEST_F(FetchCycle, UnboundReadEndsAsAFault)
{
    ThrowingLink broken(clock);
    broken.script = {WriteStep(8)};
    const auto result = fetch::ReceiveScreen(st.Fetching(), broken, host, clock);
    EXPECT_EQ(result.ending, Ending::Fault);
    EXPECT_FALSE(st.transferBusy);
}

// The endings every transport gives alike, on the in-process link.
void PlayInProcess(const testing::FaultEnding& sc, testing::Requests requests)
{
    const testing::ScratchDir scratch;
    const std::string dump = scratch.File("screen.ppm");
    FakeQuellbar device("width=640;dump=" + dump + ";" + sc.options);
    ASSERT_EQ(device.OpenCom(), 0);
    testing::PlayFaultEnding(sc, device, dump, requests, &device.clock);
}

KARVOLEN_FAULT_ENDING_SUITES(InProcessLink, PlayInProcess, testing::CommonFaultEndings());

}  // namespace
}  // namespace karvolen
