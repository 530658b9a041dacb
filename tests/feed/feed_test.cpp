#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "feed_publisher.h"
#include "feed_reader.h"
#include "feed_socket.h"

namespace karvolen::feed {
namespace {

using namespace std::chrono_literals;
using Kind = FeedEvent::Kind;

// The owner's picture, changed band by band as a poller would.
struct Picture {
    int width = wire::kWideWidth;
    std::vector<uint8_t> pixels = std::vector<uint8_t>(kMaxPixels);
    std::array<RgbQuad, 256> palette{};
    double time = 1.8e9;

    explicit Picture(uint8_t salt = 0) { Colours(salt); }
    void Colours(uint8_t salt)
    {
        for (int c = 0; c < 256; ++c) palette[c] = {uint8_t(c + salt), uint8_t(c ^ salt), uint8_t(255 - c), 0};
    }
    void Draw(int firstRow, int rowCount, int seed)
    {
        for (int r = firstRow; r < firstRow + rowCount; ++r)
            for (int x = 0; x < width; ++x) pixels[size_t(r) * width + x] = uint8_t(x * 7 + r * 3 + seed * 31);
    }
    ShownPicture View(int firstRow, int rowCount) const
    {
        return {std::span(pixels).first(size_t(width) * wire::kPictureHeight), width, palette, firstRow, rowCount,
                time};
    }
};

// The next event that is not a state; a failure when there is none.
ShownPicture NextPicture(FeedReader& reader)
{
    for (;;) {
        FeedEvent e = reader.Next(5s);
        if (e.kind == Kind::kState) continue;
        if (e.kind != Kind::kPicture) ADD_FAILURE() << "kind " << int(e.kind) << " " << e.error;
        if (e.kind != Kind::kPicture) throw std::runtime_error("no picture");
        return *e.picture;
    }
}

void ExpectSame(const ShownPicture& got, const ShownPicture& sent)
{
    ASSERT_EQ(got.width, sent.width);
    EXPECT_EQ(got.time, sent.time);
    EXPECT_TRUE(std::equal(got.pixels.begin(), got.pixels.end(), sent.pixels.begin(), sent.pixels.end()));
    EXPECT_EQ(std::memcmp(got.palette.data(), sent.palette.data(), kPaletteSize), 0);
}

struct TempFolder {
    std::string dir = [] {
        std::string t = (std::filesystem::temp_directory_path() / "karvolen-feed.XXXXXX").string();
        return std::string(mkdtemp(t.data()));
    }();
    std::string socket = dir + "/feed";
    ~TempFolder() { std::filesystem::remove_all(dir); }
};

std::unique_ptr<FeedPublisher> StartAt(const std::string& path, size_t queueBytes = kQueueBytes)
{
    auto started = FeedPublisher::Start(path, "karvolen-test", queueBytes);
    EXPECT_TRUE(started.publisher) << started.error;
    return std::move(started.publisher);
}

std::unique_ptr<FeedReader> Connect(const std::string& path, FeedPublisher& publisher, size_t readersThen)
{
    auto opened = FeedReader::Open(path, 5s);
    EXPECT_TRUE(opened.reader) << opened.error;
    for (int i = 0; i < 500 && publisher.Readers() < readersThen; ++i) std::this_thread::sleep_for(2ms);
    EXPECT_EQ(publisher.Readers(), readersThen);
    return std::move(opened.reader);
}

// Every kind of change reaches every reader exactly, in order.
TEST(FeedTest, PicturesRoundTripToSeveralReaders)
{
    TempFolder folder;
    auto publisher = StartAt(folder.socket);
    std::vector<std::unique_ptr<FeedReader>> readers;
    for (size_t i = 1; i <= 3; ++i) readers.push_back(Connect(folder.socket, *publisher, i));
    EXPECT_EQ(readers[0]->owner().program, "karvolen-test");
    EXPECT_EQ(readers[0]->owner().pid, uint32_t(getpid()));

    Picture p;
    struct Change {
        const char* what;
        int firstRow, rowCount;
        int width;
        uint8_t salt;
    };
    const Change changes[] = {
        {"first, whole", 0, 480, 800, 0}, {"band", 100, 37, 800, 0},  {"top row", 479, 1, 800, 0},
        {"unchanged", 0, 0, 800, 0},      {"narrower", 0, 480, 640, 0}, {"band at 640", 0, 12, 640, 0},
        {"colours", 200, 3, 640, 9},      {"wider again", 5, 5, 800, 9},
    };
    int seed = 0;
    for (const Change& c : changes) {
        SCOPED_TRACE(c.what);
        p.width = c.width;
        p.Colours(c.salt);
        p.Draw(c.firstRow, c.rowCount, ++seed);
        p.time += 1.0;
        const ShownPicture sent = p.View(c.firstRow, c.rowCount);
        ASSERT_TRUE(publisher->Publish(sent));
        for (auto& reader : readers) {
            const ShownPicture got = NextPicture(*reader);
            ExpectSame(got, sent);
        }
    }
    // A reader that comes now gets the current picture whole.
    auto late = Connect(folder.socket, *publisher, 4);
    const ShownPicture got = NextPicture(*late);
    EXPECT_EQ(got.rowCount, wire::kPictureHeight);
    ExpectSame(got, p.View(0, 0));
    EXPECT_FALSE(publisher->Publish({p.pixels, 700, p.palette, 0, 480, 0.0})) << "no such width";
    EXPECT_FALSE(publisher->Publish({p.pixels, 800, p.palette, 470, 11, 0.0})) << "band past the top";
}

TEST(FeedTest, StateOnConnectAndChangeThenEndWithTheOwner)
{
    TempFolder folder;
    auto publisher = StartAt(folder.socket);
    publisher->SetState(FeedState::kPaused);
    auto reader = Connect(folder.socket, *publisher, 1);
    FeedEvent e = reader->Next(5s);
    ASSERT_EQ(e.kind, Kind::kState);
    EXPECT_EQ(e.state, FeedState::kPaused);
    publisher->SetState(FeedState::kCommunicationFailure);
    e = reader->Next(5s);
    ASSERT_EQ(e.kind, Kind::kState);
    EXPECT_EQ(e.state, FeedState::kCommunicationFailure);
    EXPECT_EQ(reader->Next(50ms).kind, Kind::kTimeout);

    publisher.reset();
    EXPECT_EQ(reader->Next(5s).kind, Kind::kEnd);
    EXPECT_EQ(reader->Next(5s).kind, Kind::kEnd);
    EXPECT_FALSE(std::filesystem::exists(folder.socket)) << "the socket is removed";
    EXPECT_FALSE(ProbeOwner(folder.socket, 1s).live);
}

// A reader that stops reading costs the owner no time; when it reads again it
// catches up through a whole picture equal to the owner's.
TEST(FeedTest, StalledReaderNeitherDelaysNorLosesThePicture)
{
    TempFolder folder;
    auto publisher = StartAt(folder.socket);
    auto stalled = Connect(folder.socket, *publisher, 1);
    auto live = Connect(folder.socket, *publisher, 2);
    Picture p;
    auto slowest = std::chrono::steady_clock::duration::zero();
    const int kPictures = 30;
    for (int i = 0; i < kPictures; ++i) {
        const int first = (i * 37) % 400;
        p.Draw(first, 48, i);
        p.time += 1.0;
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_TRUE(publisher->Publish(p.View(first, 48)));
        slowest = std::max(slowest, std::chrono::steady_clock::now() - t0);
        ExpectSame(NextPicture(*live), p.View(first, 48));
    }
    // A whole picture and 29 bands of 48 rows: 1.5 MB, past the socket's
    // buffer and the queue's bound.
    EXPECT_LT(slowest, 50ms);
    EXPECT_EQ(publisher->Readers(), 2u);
    int received = 0;
    int wholes = 0;
    ShownPicture got = NextPicture(*stalled);
    for (;; got = NextPicture(*stalled)) {
        ++received;
        wholes += got.rowCount == wire::kPictureHeight;
        if (got.time >= p.time) break;
    }
    EXPECT_LT(received, kPictures) << "bands were replaced";
    EXPECT_EQ(wholes, 2) << "the first picture, and the one in place of the bands";
    ExpectSame(got, p.View(0, 0));
    EXPECT_EQ(stalled->Next(50ms).kind, Kind::kTimeout);
}

TEST(FeedTest, ReaderThatDoesNotDrainEvenAWholePictureIsDropped)
{
    TempFolder folder;
    auto publisher = StartAt(folder.socket, 64 << 10);
    auto stalled = Connect(folder.socket, *publisher, 1);
    Picture p;
    for (int i = 0; i < 20 && publisher->Readers() > 0; ++i) {
        p.Draw(0, 480, i);
        p.time += 1.0;
        publisher->Publish(p.View(0, 480));
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(publisher->Readers(), 0u);
    FeedEvent e;
    do e = stalled->Next(5s);
    while (e.kind == Kind::kPicture || e.kind == Kind::kState);
    // Closed midway through a picture, or between two.
    EXPECT_TRUE(e.kind == Kind::kEnd || e.error == "the feed ended inside a message") << e.error;
}

TEST(FeedTest, StaleSocketIsReplacedLiveOneRefused)
{
    TempFolder folder;
    {
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        ASSERT_TRUE(SocketAddress(folder.socket, a));
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        close(fd);  // left behind, as by an owner that was killed
    }
    auto publisher = StartAt(folder.socket);
    ASSERT_TRUE(publisher);
    auto second = FeedPublisher::Start(folder.socket, "other");
    EXPECT_FALSE(second.publisher);
    EXPECT_NE(second.error.find("another program already feeds"), std::string::npos) << second.error;
    const OwnerProbe probe = ProbeOwner(folder.socket, 1s);
    EXPECT_TRUE(probe.live) << probe.error;
    EXPECT_EQ(probe.owner.program, "karvolen-test");
    EXPECT_EQ(probe.owner.pid, uint32_t(getpid()));
}

TEST(FeedTest, FolderMustBeTheUsersAlone)
{
    TempFolder folder;
    const std::string dir = folder.dir + "/karvolen";
    EXPECT_EQ(PrepareFolder(dir), "");
    struct stat st {};
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(PrepareFolder(dir), "") << "an existing fit folder";

    chmod(dir.c_str(), 0750);
    EXPECT_NE(PrepareFolder(dir).find("open to other users"), std::string::npos);
    const std::string link = folder.dir + "/link";
    std::filesystem::create_directory_symlink(folder.dir, link);
    EXPECT_NE(PrepareFolder(link).find("not a folder"), std::string::npos);
    if (geteuid() == 0) {
        chmod(dir.c_str(), 0700);
        ASSERT_EQ(chown(dir.c_str(), 65534, 65534), 0);
        EXPECT_NE(PrepareFolder(dir).find("another user"), std::string::npos);
    }

    const char* old = std::getenv("XDG_RUNTIME_DIR");
    const std::string saved = old != nullptr ? old : "";
    const std::string runtime = folder.dir + "/run";
    ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    EXPECT_EQ(FeedSocketPath().path, runtime + "/karvolen/feed") << FeedSocketPath().error;
    setenv("XDG_RUNTIME_DIR", "relative", 1);
    const std::string fallback = "/tmp/karvolen-" + std::to_string(geteuid());
    const bool hadFallback = std::filesystem::exists(fallback);
    EXPECT_EQ(FeedSocketPath().path, fallback + "/feed");
    if (!hadFallback) std::filesystem::remove(fallback);
    if (old != nullptr) setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
    else unsetenv("XDG_RUNTIME_DIR");
}

// feed_peer, run as `nobody`: connects and reports what it got by its status.
int RunPeerAs(bool nobody, const std::string& path)
{
    const std::string command = std::string(nobody ? "setpriv --reuid 65534 --regid 65534 --clear-groups " : "") +
                                FEED_PEER + " " + path;
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(FeedTest, AnotherUserCannotRead)
{
    if (geteuid() != 0) GTEST_SKIP() << "running a client as nobody needs root";
    TempFolder folder;
    // The peer's own statuses: 0 bytes came, 1 connect refused, 2 closed at once.
    {
        auto publisher = StartAt(folder.socket);
        EXPECT_EQ(RunPeerAs(false, folder.socket), 0) << "the owner's own user reads";
        EXPECT_EQ(RunPeerAs(true, folder.socket), 1) << "the 0700 folder keeps nobody out";
    }
    // With the folder and the socket opened up, the credentials still refuse.
    chmod(folder.dir.c_str(), 0755);
    auto publisher = StartAt(folder.socket);
    chmod(folder.socket.c_str(), 0777);
    EXPECT_EQ(RunPeerAs(true, folder.socket), 2);
    EXPECT_EQ(publisher->Readers(), 0u);
}

}  // namespace
}  // namespace karvolen::feed
