// The simulated Quellbar's replies and fault scenarios, received by the
// viewer's own fetch cycle over the in-process link.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "encoder.h"
#include "fake_quellbar.h"
#include "fault_endings.h"
#include "poll_state.h"
#include "wire_format.h"

namespace karvolen {
namespace {

using fetch::Ending;
using testing::FakeQuellbar;
constexpr int kHeader = wire::kPixelOffset;
constexpr size_t kWhole800 = 4u + kHeader + 800u * 480u;
constexpr char kDelta[] = "BMP? 2\r\n";
constexpr int32_t kFirst = wire::kFirstReadSize;
constexpr int32_t kChunk800 = wire::kChunkRows * 800;
constexpr int32_t kDrain = wire::kDrainBlockSize;

class Quellbar : public ::testing::Test {
protected:
    void Start(const std::string& options)
    {
        link_.emplace(options);
        ASSERT_EQ(link_->OpenCom(), 0);
        host_.closeOnFailure = &*link_;
        std::copy_n(wire::kRequestText, wire::kRequestSize, st_->request.begin());
    }
    // One reception as the viewer makes it; the reply is left in Reply().
    Ending Fetch(int32_t mode = kModeWhole)
    {
        st_->requestMode = mode;
        const auto r = fetch::ReceiveScreen(st_->Fetching(), *link_, host_, link_->clock);
        received_ = r.received;
        return r.ending;
    }
    std::vector<uint8_t> Reply() const { return {st_->reply.data(), st_->reply.data() + received_}; }
    uint32_t Prefix() const { return wire::ReadBe32(st_->reply.data()); }
    int32_t ReadCom(int32_t length)
    {
        std::vector<uint8_t> buf(static_cast<size_t>(length));
        return link_->ReadCom(buf.data(), length);
    }
    FakeQuellbar& Link() { return *link_; }
    double& Now() { return link_->clock.now; }

    std::optional<FakeQuellbar> link_;
    std::unique_ptr<PollState> st_ = std::make_unique<PollState>();
    testing::RecordingHost host_;
    int32_t received_ = 0;
};

TEST_F(Quellbar, WholeThenDeltaRepliesCarryTheGeneratorsFrames)
{
    Start("width=800;seed=7");
    quellbar::ScreenGenerator expected(800, 7);

    ASSERT_EQ(Fetch(), Ending::Complete);
    auto reply = Reply();
    const quellbar::Screen first = expected.Next();
    ASSERT_EQ(reply.size(), kWhole800);
    EXPECT_EQ(wire::ReadBe32(reply.data()), reply.size() - wire::kPrefixSize);
    EXPECT_EQ(reply[4], 'B');
    EXPECT_EQ(reply[5], 'M');
    EXPECT_EQ(wire::ReadLe32(&reply[14]), uint32_t{wire::kPixelOffset});
    EXPECT_EQ(wire::ReadLe32(&reply[22]), 800u);
    EXPECT_TRUE(std::equal(first.pixels.begin(), first.pixels.end(), reply.begin() + 4 + kHeader));

    ASSERT_EQ(Fetch(kModeLineDelta), Ending::Complete);
    reply = Reply();
    const quellbar::Screen second = expected.Next();
    const auto delta = quellbar::EncodeLineDelta(first.pixels.data(), second.pixels.data(), 800);
    ASSERT_EQ(reply.size(), 4u + kHeader + delta.size());
    EXPECT_EQ(reply[4], 'B');
    EXPECT_EQ(wire::ReadLe32(&reply[14]), uint32_t{wire::kPixelOffset});
    EXPECT_TRUE(std::equal(delta.begin(), delta.end(), reply.begin() + 4 + kHeader));
}

TEST_F(Quellbar, GarbageIsIgnoredAndARequestReplacesOnlyAReplyNotBegun)
{
    const testing::ScratchDir scratch;
    const auto log = scratch.File("events.log");
    Start("log=" + log);
    ASSERT_EQ(Link().WriteCom(reinterpret_cast<const uint8_t*>("BMP? 1\r\n"), 8), 8);
    EXPECT_EQ(ReadCom(64), -ETIMEDOUT) << "no reply to garbage";
    ASSERT_EQ(Link().OpenCom(), 0);

    ASSERT_EQ(Link().WriteCom(reinterpret_cast<const uint8_t*>(wire::kRequestText), 8), 8);
    ASSERT_EQ(Fetch(), Ending::Complete);
    quellbar::ScreenGenerator expected(800, 1);
    expected.Next();
    const quellbar::Screen second = expected.Next();
    EXPECT_TRUE(std::equal(second.pixels.begin(), second.pixels.end(), Reply().begin() + 4 + kHeader))
        << "the reply not begun gave way to the second request's";

    // Partly sent: the request is lost and the rest of the reply still comes.
    ASSERT_EQ(Link().WriteCom(reinterpret_cast<const uint8_t*>(wire::kRequestText), 8), 8);
    ASSERT_EQ(ReadCom(kFirst), kFirst);
    EXPECT_EQ(Fetch(kModeLineDelta), Ending::Drained) << "the rest has no signature where a reply has one";
    EXPECT_EQ(Link().Model().Frames(), 3u) << "the request during the reply was lost";
    EXPECT_TRUE(Link().open);
    EXPECT_EQ(ReadCom(64), -ETIMEDOUT) << "the drain took all of it, and no reply to the lost request";
    const std::string given_up = "reply sent " + std::to_string(kWhole800) + " bytes whole (faulty)";
    EXPECT_NE(testing::Slurp(log).find(given_up), std::string::npos) << "the host gave it up: never shown";
}

TEST_F(Quellbar, NoSignatureFollowedByBytesDrainsOnThePieceBoundary)
{
    Start("faults=nosig:40000,nosig:" + std::to_string(2 * kDrain) + "@2");
    const std::vector<int32_t> drained = {kFirst, kDrain, kDrain, kDrain};
    double start = Now();
    EXPECT_EQ(Fetch(), Ending::Drained);
    EXPECT_EQ(Link().reads, drained);
    EXPECT_TRUE(Link().open) << "ended by the short third piece";
    EXPECT_LT(Now() - start, 1.0);

    // On a drain block's boundary the drain ends only with a read that times out.
    Link().reads.clear();
    start = Now();
    EXPECT_EQ(Fetch(), Ending::Drained);
    EXPECT_EQ(Link().reads, drained);
    EXPECT_FALSE(Link().open);
    EXPECT_GE(Now() - start, 5.0);
}

TEST_F(Quellbar, ChunkReadStallsTwiceThenGoesOnWhereItWas)
{
    Start("faults=chunkstall:2");
    ASSERT_EQ(Fetch(), Ending::FailedRead);
    EXPECT_EQ(Link().reads, (std::vector<int32_t>{kFirst, kChunk800, kChunk800}));

    // The next cycle's request finds the device still sending: it is ignored
    // and the cycle reads on in the old reply, where the first one stopped.
    std::vector<uint8_t> head;
    Link().onRead = [&](int n) {
        if (n == 5) head.assign(st_->reply.data(), st_->reply.data() + kFirst);  // before the first drain read
    };
    EXPECT_EQ(Fetch(), Ending::Drained);
    quellbar::ScreenGenerator expected(800, 1);
    const quellbar::Screen& s = expected.Next();
    const auto sent = quellbar::BuildReply(quellbar::BuildBmp(s, s.pixels));
    EXPECT_EQ(head, std::vector<uint8_t>(sent.begin() + kFirst, sent.begin() + 2 * kFirst)) << "no bytes were lost";
}

TEST_F(Quellbar, FinalReadStallsOnceAndFailsWithAnErrorAtOnce)
{
    Start("width=800;faults=finalstall,finalerror@2");
    ASSERT_EQ(Fetch(), Ending::Complete);
    EXPECT_EQ(received_, static_cast<int32_t>(kWhole800));
    ASSERT_EQ(Link().reads.size(), 18u) << "64, 15 chunks, the final read twice";
    EXPECT_EQ(Link().reads[16], Link().reads[17]);

    const double start = Now();
    EXPECT_EQ(Fetch(), Ending::FailedRead);
    EXPECT_FALSE(Link().open);
    EXPECT_LT(Now() - start, 1.0);
}

TEST_F(Quellbar, SlowChunkArrivesLateButWhole)
{
    Start("faults=slowchunk:300");
    const double start = Now();
    ASSERT_EQ(Fetch(), Ending::Complete);
    EXPECT_EQ(Reply().size(), kWhole800);
    EXPECT_GE(Now() - start, 0.3);
}

TEST_F(Quellbar, BrokenLengthPrefixes)
{
    Start("faults=toolarge:500000,topbit@2,finalshort:1000@3");
    EXPECT_EQ(Fetch(), Ending::Fault);
    EXPECT_EQ(Prefix(), 500000u);
    EXPECT_EQ(st_->reply[4], 'B');

    ASSERT_EQ(Link().OpenCom(), 0);  // the fault ending closed the link
    EXPECT_EQ(Fetch(), Ending::Fault);
    EXPECT_EQ(Prefix(), 0x80000000u + uint32_t{wire::kPixelOffset} + 800u * 480u);

    ASSERT_EQ(Link().OpenCom(), 0);
    ASSERT_EQ(Fetch(), Ending::Complete);
    EXPECT_EQ(received_, static_cast<int32_t>(kWhole800) - 1000) << "the final read comes short";
    EXPECT_EQ(ReadCom(1000), -ETIMEDOUT) << "and nothing follows";
}

TEST_F(Quellbar, AfterAShortenedReplyTheNextDeltaRewritesEveryRow)
{
    Start("freeze=1;faults=finalshort:10@2");
    ASSERT_EQ(Fetch(), Ending::Complete);
    ASSERT_EQ(Fetch(kModeLineDelta), Ending::Complete);
    ASSERT_EQ(received_, 4 + kHeader + 480 - 10) << "shortened";

    // The picture is frozen, yet the host may hold a half-applied delta.
    ASSERT_EQ(Fetch(kModeLineDelta), Ending::Complete);
    EXPECT_GT(received_, 4 + kHeader + 480);
    ASSERT_EQ(Fetch(kModeLineDelta), Ending::Complete);
    EXPECT_EQ(received_, 4 + kHeader + 480) << "then unchanged rows again";
}

TEST_F(Quellbar, NoReplyStallsAndMuteTimesOut)
{
    Start("faults=noreply,mute@2");
    double start = Now();
    EXPECT_EQ(Fetch(), Ending::NoReply);
    EXPECT_EQ(Link().reads, (std::vector<int32_t>{kFirst, kFirst}));
    EXPECT_EQ(Now(), start) << "a stall answers at once";

    ASSERT_EQ(Link().OpenCom(), 0);  // the message closed the link
    start = Now();
    EXPECT_EQ(Fetch(), Ending::NoReply);
    EXPECT_DOUBLE_EQ(Now() - start, 5.0) << "one time-out; it closed the link, so the retry fails at once";
}

TEST_F(Quellbar, WriteFaults)
{
    Start("faults=writefail,writegone:900@2");
    EXPECT_EQ(Fetch(), Ending::Reconnected) << "a stalled write";
    EXPECT_EQ(Link().Model().Frames(), 0u) << "the request never arrived";

    // As the real stack: the pending write completes with nothing after about
    // half a second, and the device is gone for the reconnect.
    const double start = Now();
    EXPECT_EQ(Fetch(), Ending::ReconnectFailed);
    EXPECT_GE(Now() - start, 0.4);
    EXPECT_EQ(host_.messages, std::vector<std::string>{fetch::kMsgReconnectFailed});
    Now() += 0.5;
    EXPECT_EQ(Link().OpenCom(), 0) << "and back later";
}

TEST_F(Quellbar, UnplugDuringTheReplyAndBack)
{
    Start("faults=unplug:900");
    EXPECT_EQ(Fetch(), Ending::FailedRead) << "0 from the read pending when it left, then the retry finds it gone";
    EXPECT_EQ(Link().reads, (std::vector<int32_t>{kFirst, kChunk800, kChunk800}));
    EXPECT_FALSE(Link().open);
    EXPECT_EQ(Link().OpenCom(), MARLEX_ERR_NO_DEVICE);
    Now() += 0.5;
    ASSERT_EQ(Link().OpenCom(), 0);
    EXPECT_EQ(Fetch(), Ending::Complete);
}

// A 64-byte read at high speed of a reply queued as one transfer loses the
// rest of it, as the real host stack does; the first 64 bytes apart do not.
TEST_F(Quellbar, HighSpeedOverflowLosesTheRestOfAWholeTransfer)
{
    Start("usb=high;overflow=1");
    ASSERT_EQ(Fetch(), Ending::Complete);
    EXPECT_EQ(Reply().size(), kWhole800) << "first 64 bytes apart: complete";

    ASSERT_EQ(Link().Model().Configure("queue=whole"), "");
    EXPECT_EQ(Fetch(), Ending::FailedRead) << "the rest of the transfer is gone";
    EXPECT_EQ(st_->reply[4], 'B') << "the first read itself looks well";

    ASSERT_EQ(Link().Model().Configure("overflow=0"), "");
    ASSERT_EQ(Link().OpenCom(), 0);
    ASSERT_EQ(Fetch(), Ending::Complete);
    EXPECT_EQ(Reply().size(), kWhole800) << "without the option nothing is lost";
}

TEST_F(Quellbar, InjectCountsFromTheNextRequest)
{
    Start("");
    ASSERT_EQ(Fetch(), Ending::Complete);
    ASSERT_EQ(Link().Model().Inject("topbit@2"), "");
    EXPECT_NE(Link().Model().Inject("nonsense"), "");
    ASSERT_EQ(Fetch(kModeLineDelta), Ending::Complete);
    EXPECT_EQ(Fetch(kModeLineDelta), Ending::Fault);
    EXPECT_TRUE(st_->reply[0] & 0x80);
}

TEST_F(Quellbar, DumpAndLogFollowTheReplies)
{
    const testing::ScratchDir scratch;
    const auto dump = scratch.File("screen.ppm");
    const auto log = scratch.File("events.log");
    Start("width=640;seed=5;dump=" + dump + ";log=" + log + ";faults=nosig:10@2");
    host_.scaleWidth = 640.0f;

    ASSERT_EQ(Fetch(), Ending::Complete);
    quellbar::ScreenGenerator expected(640, 5);
    const quellbar::Screen& s = expected.Next();

    const std::string ppm = testing::Slurp(dump);
    const std::string head = "P6\n640 480\n255\n";
    ASSERT_EQ(ppm.size(), head.size() + 640u * 480u * 3u);
    EXPECT_EQ(ppm.substr(0, head.size()), head);
    // The file's first pixel is the top-left one: the last row of the bottom-up picture.
    const uint32_t topLeft = s.palette[s.pixels[479u * 640u]];
    EXPECT_EQ(static_cast<uint8_t>(ppm[head.size()]), static_cast<uint8_t>(topLeft >> 16));
    EXPECT_EQ(static_cast<uint8_t>(ppm[head.size() + 1]), static_cast<uint8_t>(topLeft >> 8));
    EXPECT_EQ(static_cast<uint8_t>(ppm[head.size() + 2]), static_cast<uint8_t>(topLeft));
    const uint32_t bottomRight = s.palette[s.pixels[639]];
    EXPECT_EQ(static_cast<uint8_t>(ppm[ppm.size() - 1]), static_cast<uint8_t>(bottomRight));

    ASSERT_EQ(Link().WriteCom(reinterpret_cast<const uint8_t*>(kDelta), 8), 8);
    Link().CloseCom();

    const std::string events = testing::Slurp(log);
    for (const char* e : {"request BMP? 0", "reply sent 308282 bytes whole", "request BMP? 2",
                          "fault nosig:10 at request 2", "reset", "reply abandoned after 0 of 74 bytes"}) {
        EXPECT_NE(events.find(e), std::string::npos) << e << " in\n" << events;
    }
}

}  // namespace
}  // namespace karvolen
