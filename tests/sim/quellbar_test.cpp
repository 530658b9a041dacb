// The simulated Quellbar on the emulated usbfs, under the system's libusb:
// replies and fault scenarios, read the way the viewer reads them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numeric>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "encoder.h"
#include "screen.h"
#include "sim_test_util.h"
#include "usbfs.h"
#include "wire_format.h"

namespace {

using namespace karvolen::testing;
namespace wire = karvolen::wire;
using Ms = std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr uint16_t kQuellbarVendor = 0x7E3A;
constexpr int kHeader = wire::kPixelOffset;
constexpr char kWhole[] = "BMP? 0\r\n";
constexpr char kDelta[] = "BMP? 2\r\n";

class Quellbar : public ::testing::Test {
protected:
    void Start(const std::string& options)
    {
        quellbar::Options o;
        ASSERT_EQ(quellbar::ParseOptions(options, o), "");
        bus_ = std::make_unique<usbfs::Bus>();
        id_ = bus_->AddQuellbar(1, o);
        struct usb_device* dev = Find(kQuellbarVendor);
        ASSERT_NE(dev, nullptr);
        h_ = usb_open(dev);
        ASSERT_NE(h_, nullptr);
    }
    void TearDown() override
    {
        if (h_) usb_close(h_);
    }

    // One read call as the viewer makes it, appended to `reply_`.
    int ReadInto(int length, int timeout = 5000)
    {
        std::vector<uint8_t> buf(static_cast<size_t>(std::max(length, 0)));
        const int n = Read(h_, buf.data(), length, timeout);
        if (n > 0) reply_.insert(reply_.end(), buf.begin(), buf.begin() + n);
        return n;
    }

    // The viewer's reading pattern: 64, chunks while more than 25600 remain, the rest.
    void ReadReply(int chunk = 25600)
    {
        reply_.clear();
        ASSERT_EQ(ReadInto(64), 64);
        const long total = long{wire::ReadBe32(reply_.data())} + wire::kPrefixSize;
        while (total - static_cast<long>(reply_.size()) > 25600) ASSERT_GT(ReadInto(chunk), 0);
        const int rest = static_cast<int>(total - static_cast<long>(reply_.size()));
        ASSERT_EQ(ReadInto(rest), rest);
    }

    // Asks for a whole picture and reads it as the viewer does, up to the
    // final read; returns the count that read will ask for.
    int ReadUpToFinal()
    {
        EXPECT_EQ(Write(h_, kWhole, 8), 8);
        reply_.clear();
        EXPECT_EQ(ReadInto(64), 64);
        const int total = static_cast<int>(wire::ReadBe32(reply_.data())) + wire::kPrefixSize;
        while (total - static_cast<int>(reply_.size()) > 25600) {
            if (ReadInto(25600) != 25600) {
                ADD_FAILURE() << "a chunk came short";
                break;
            }
        }
        return total - static_cast<int>(reply_.size());
    }

    // Reads until the first piece that is not a full 16384: the viewer's drain.
    std::vector<int> Drain(int timeout)
    {
        std::vector<int> pieces;
        int n = 0;
        do {
            n = ReadInto(16384, timeout);
            pieces.push_back(n);
        } while (n == 16384);
        return pieces;
    }

    // The model's answer to Configure or Inject: "" when taken.
    std::string Model(std::string (quellbar::Device::*call)(std::string_view), const char* text)
    {
        std::string problem;
        bus_->WithModel(id_, [&](quellbar::Device& d) { problem = (d.*call)(text); });
        return problem;
    }

    std::unique_ptr<usbfs::Bus> bus_;
    int id_ = 0;
    usb_dev_handle* h_ = nullptr;
    std::vector<uint8_t> reply_;
};

TEST_F(Quellbar, WholeThenDeltaRepliesCarryTheGeneratorsFrames)
{
    Start("width=800;seed=7");
    quellbar::ScreenGenerator expected(800, 7);

    ASSERT_EQ(Write(h_, kWhole, 8), 8);
    ReadReply();
    const quellbar::Screen first = expected.Next();
    ASSERT_EQ(reply_.size(), 4u + kHeader + 800u * 480u);
    EXPECT_EQ(wire::ReadBe32(reply_.data()), reply_.size() - wire::kPrefixSize);
    EXPECT_EQ(reply_[4], 'B');
    EXPECT_EQ(reply_[5], 'M');
    EXPECT_EQ(wire::ReadLe32(&reply_[14]), uint32_t{wire::kPixelOffset});
    EXPECT_EQ(wire::ReadLe32(&reply_[22]), 800u);
    EXPECT_TRUE(std::equal(first.pixels.begin(), first.pixels.end(), reply_.begin() + 4 + kHeader));

    ASSERT_EQ(Write(h_, kDelta, 8), 8);
    ReadReply();
    const quellbar::Screen second = expected.Next();
    const auto delta = quellbar::EncodeLineDelta(first.pixels.data(), second.pixels.data(), 800);
    ASSERT_EQ(reply_.size(), 4u + kHeader + delta.size());
    EXPECT_EQ(reply_[4], 'B');
    EXPECT_EQ(wire::ReadLe32(&reply_[14]), uint32_t{wire::kPixelOffset});
    EXPECT_TRUE(std::equal(delta.begin(), delta.end(), reply_.begin() + 4 + kHeader));
}

TEST_F(Quellbar, GarbageIsIgnoredAndARequestReplacesOnlyAReplyNotBegun)
{
    Start("");
    EXPECT_EQ(Write(h_, "BMP? 1\r\n", 8), 8);
    EXPECT_EQ(ReadInto(64, 100), -110) << "no reply to garbage";

    ASSERT_EQ(Write(h_, kWhole, 8), 8);
    ASSERT_EQ(Write(h_, kWhole, 8), 8);
    ReadReply();
    quellbar::ScreenGenerator expected(800, 1);
    expected.Next();
    const quellbar::Screen second = expected.Next();
    EXPECT_TRUE(std::equal(second.pixels.begin(), second.pixels.end(), reply_.begin() + 4 + kHeader))
        << "the reply not begun gave way to the second request's";

    // Partly sent: the request is lost and the rest of the reply still comes.
    ASSERT_EQ(Write(h_, kWhole, 8), 8);
    ASSERT_EQ(ReadInto(64), 64);
    ASSERT_EQ(Write(h_, kDelta, 8), 8);
    const std::vector<int> rest = Drain(200);
    EXPECT_EQ(std::accumulate(rest.begin(), rest.end(), 0), 385082 - 64);
    EXPECT_EQ(ReadInto(64, 100), -110) << "no reply to the lost request";
}

TEST_F(Quellbar, NoSignatureFollowedByBytesDrainsOnThePieceBoundary)
{
    Start("faults=nosig:40000,nosig:32768@2");
    ASSERT_EQ(Write(h_, kWhole, 8), 8);
    ASSERT_EQ(ReadInto(64), 64);
    EXPECT_FALSE(reply_[4] == 'B' && reply_[5] == 'M');
    EXPECT_EQ(Drain(200), (std::vector<int>{16384, 16384, 7232}));

    // On a 16384 boundary the drain ends only with a read that times out.
    ASSERT_EQ(Write(h_, kWhole, 8), 8);
    ASSERT_EQ(ReadInto(64), 64);
    EXPECT_EQ(Drain(200), (std::vector<int>{16384, 16384, -110}));
}

TEST_F(Quellbar, ChunkReadStallsTwiceThenGoesOnWhereItWas)
{
    Start("faults=chunkstall:2");
    ASSERT_EQ(Write(h_, kWhole, 8), 8);
    ASSERT_EQ(ReadInto(64), 64);
    EXPECT_EQ(ReadInto(25600), 0);
    EXPECT_EQ(ReadInto(25600), 0);
    // A request now, as the cycle after a reply given up sends it, finds the
    // device still sending: it is ignored and the rest of the old reply comes.
    ASSERT_EQ(Write(h_, kWhole, 8), 8);
    EXPECT_EQ(ReadInto(25600), 25600);
    EXPECT_EQ(wire::ReadLe32(&reply_[14]), uint32_t{wire::kPixelOffset}) << "no bytes were lost";
}

TEST_F(Quellbar, FinalReadStallsOnceAndFailsWithAnErrorOnce)
{
    Start("width=800;faults=finalstall,finalerror@2");
    int rest = ReadUpToFinal();
    EXPECT_EQ(ReadInto(rest), 0);
    EXPECT_EQ(ReadInto(rest), rest);

    // libusb gives up on the failing reaps at its deadline; the reply goes on.
    rest = ReadUpToFinal();
    EXPECT_EQ(ReadInto(rest, 300), -110);
    EXPECT_EQ(ReadInto(rest), rest);
}

TEST_F(Quellbar, SlowChunkArrivesLateButWhole)
{
    Start("faults=slowchunk:300");
    ASSERT_EQ(Write(h_, kWhole, 8), 8);
    ASSERT_EQ(ReadInto(64), 64);
    const auto start = steady_clock::now();
    EXPECT_EQ(ReadInto(25600), 25600);
    EXPECT_GE(steady_clock::now() - start, Ms(300));
}

TEST_F(Quellbar, BrokenLengthPrefixes)
{
    Start("faults=toolarge:500000,topbit@2,finalshort:1000@3");
    ASSERT_EQ(Write(h_, kWhole, 8), 8);
    ASSERT_EQ(ReadInto(64), 64);
    EXPECT_EQ(wire::ReadBe32(reply_.data()), 500000u);
    EXPECT_EQ(reply_[4], 'B');

    usb_reset(h_);  // the viewer's fault ending closes the link
    ASSERT_EQ(Write(h_, kWhole, 8), 8);
    reply_.clear();
    ASSERT_EQ(ReadInto(64), 64);
    EXPECT_EQ(wire::ReadBe32(reply_.data()), 0x80000000u + uint32_t{wire::kPixelOffset} + 800u * 480u);

    usb_reset(h_);
    const int rest = ReadUpToFinal();
    EXPECT_EQ(ReadInto(rest), rest - 1000) << "the final read comes short";
    EXPECT_EQ(ReadInto(1000, 100), -110) << "and nothing follows";
}

TEST_F(Quellbar, AfterAShortenedReplyTheNextDeltaRewritesEveryRow)
{
    Start("freeze=1;faults=finalshort:10@2");
    ASSERT_EQ(Write(h_, kWhole, 8), 8);
    ReadReply();
    ASSERT_EQ(Write(h_, kDelta, 8), 8);
    reply_.clear();
    ASSERT_EQ(ReadInto(64), 64);
    ASSERT_EQ(ReadInto(480 + kHeader - 60), 480 + kHeader - 60 - 10) << "shortened";

    // The picture is frozen, yet the host may hold a half-applied delta.
    ASSERT_EQ(Write(h_, kDelta, 8), 8);
    ReadReply();
    EXPECT_GT(reply_.size(), 4u + kHeader + 480u);
    ASSERT_EQ(Write(h_, kDelta, 8), 8);
    ReadReply();
    EXPECT_EQ(reply_.size(), 4u + kHeader + 480u) << "then unchanged rows again";
}

TEST_F(Quellbar, NoReplyStallsAndMuteTimesOut)
{
    Start("faults=noreply,mute@2");
    ASSERT_EQ(Write(h_, kWhole, 8), 8);
    EXPECT_EQ(ReadInto(64, 1000), 0);
    EXPECT_EQ(ReadInto(64, 1000), 0);
    ASSERT_EQ(Write(h_, kWhole, 8), 8);
    EXPECT_EQ(ReadInto(64, 100), -110);
}

TEST_F(Quellbar, WriteFaults)
{
    Start("faults=writefail,writegone:900@2");
    EXPECT_EQ(Write(h_, kWhole, 8), 0) << "stalled write";
    EXPECT_EQ(ReadInto(64, 100), -110) << "the request never arrived";

    // As the real stack: the pending write completes with nothing after about
    // half a second, and only the next transfer sees the device gone.
    const auto start = steady_clock::now();
    EXPECT_EQ(Write(h_, kWhole, 8), 0);
    EXPECT_GE(steady_clock::now() - start, Ms(400));
    EXPECT_EQ(Write(h_, kWhole, 8), -19);
    EXPECT_EQ(Find(kQuellbarVendor), nullptr) << "gone, so a re-open fails";
    std::this_thread::sleep_for(Ms(500));
    EXPECT_NE(Find(kQuellbarVendor), nullptr) << "and back later";
}

TEST_F(Quellbar, UnplugDuringTheReplyAndBack)
{
    Start("faults=unplug:900");
    const int before = bus_->Devnum(id_);
    ASSERT_EQ(Write(h_, kWhole, 8), 8);
    ASSERT_EQ(ReadInto(64), 64);
    EXPECT_EQ(ReadInto(25600), 0) << "a read pending when the device leaves gives 0";
    EXPECT_EQ(ReadInto(25600), -19) << "the next transfer finds it gone";
    EXPECT_EQ(Find(kQuellbarVendor), nullptr);
    std::this_thread::sleep_for(Ms(500));
    ASSERT_NE(Find(kQuellbarVendor), nullptr);
    EXPECT_NE(bus_->Devnum(id_), before);
}

// A 64-byte read at high speed of a reply queued as one transfer loses the
// rest of it, as the real host stack does; the first 64 bytes apart do not.
TEST_F(Quellbar, HighSpeedOverflowLosesTheRestOfAWholeTransfer)
{
    Start("usb=high;overflow=1");
    ASSERT_EQ(Write(h_, kWhole, 8), 8);
    ReadReply();
    EXPECT_EQ(reply_.size(), 4u + kHeader + 800u * 480u) << "first 64 bytes apart: complete";

    ASSERT_EQ(Model(&quellbar::Device::Configure, "queue=whole"), "");
    ASSERT_EQ(Write(h_, kWhole, 8), 8);
    reply_.clear();
    EXPECT_EQ(ReadInto(64), 64) << "the read itself looks well";
    EXPECT_EQ(reply_[4], 'B');
    EXPECT_EQ(ReadInto(25600, 200), -110) << "the rest of the transfer is gone";

    ASSERT_EQ(Model(&quellbar::Device::Configure, "overflow=0"), "");
    ASSERT_EQ(Write(h_, kWhole, 8), 8);
    ReadReply();
    EXPECT_EQ(reply_.size(), 4u + kHeader + 800u * 480u) << "without the option nothing is lost";
}

TEST_F(Quellbar, InjectCountsFromTheNextRequest)
{
    Start("");
    ASSERT_EQ(Write(h_, kWhole, 8), 8);
    ReadReply();
    ASSERT_EQ(Model(&quellbar::Device::Inject, "topbit@2"), "");
    EXPECT_NE(Model(&quellbar::Device::Inject, "nonsense"), "");
    ASSERT_EQ(Write(h_, kDelta, 8), 8);
    ReadReply();
    ASSERT_EQ(Write(h_, kDelta, 8), 8);
    reply_.clear();
    ASSERT_EQ(ReadInto(64), 64);
    EXPECT_TRUE(reply_[0] & 0x80);
}

TEST_F(Quellbar, DumpAndLogFollowTheReplies)
{
    const auto dir = std::filesystem::temp_directory_path() / ("quellbar_test_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto dump = (dir / "screen.ppm").string();
    const auto log = (dir / "events.log").string();
    Start("width=640;seed=5;dump=" + dump + ";log=" + log + ";faults=nosig:10@2");

    ASSERT_EQ(Write(h_, kWhole, 8), 8);
    ReadReply();
    quellbar::ScreenGenerator expected(640, 5);
    const quellbar::Screen& s = expected.Next();

    std::ifstream in(dump, std::ios::binary);
    const std::string ppm((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
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

    ASSERT_EQ(Write(h_, kDelta, 8), 8);
    usb_reset(h_);

    std::ifstream logIn(log);
    std::stringstream text;
    text << logIn.rdbuf();
    const std::string events = text.str();
    for (const char* e : {"request BMP? 0", "reply sent 308282 bytes whole", "request BMP? 2",
                          "fault nosig:10 at request 2", "reset", "reply abandoned after 0 of 74 bytes"}) {
        EXPECT_NE(events.find(e), std::string::npos) << e << " in\n" << events;
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
