#include "feed_publisher.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "feed_socket.h"

namespace karvolen::feed {
namespace {

using MessagePtr = std::shared_ptr<const Bytes>;

struct Reader {
    int fd = -1;
    std::deque<MessagePtr> queue;
    size_t sent = 0;    // bytes of queue.front() already written
    size_t queued = 0;  // bytes not yet written
    const Bytes* replacement = nullptr;  // the whole picture queued on overflow, until written
    bool drop = false;
};

std::string Reason(const std::string& what, const std::string& path)
{
    return what + " " + path + ": " + std::strerror(errno);
}

}  // namespace

struct FeedPublisher::Shared {
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    int listenFd = -1;
    int wakeRead = -1;
    int wakeWrite = -1;
    size_t queueBytes = 0;
    std::thread thread;

    mutable std::mutex mutex;
    // Under the mutex:
    bool stopping = false;
    std::vector<Reader> readers;
    MessagePtr hello;
    MessagePtr state;
    std::vector<uint8_t> pixels = std::vector<uint8_t>(kMaxPixels);
    std::array<RgbQuad, wire::kColourCount> palette{};
    int width = 0;  // 0: no picture yet
    double time = 0.0;
    MessagePtr whole;  // the current picture encoded, made when first needed

    ~Shared()
    {
        for (int fd : {listenFd, wakeRead, wakeWrite}) {
            if (fd >= 0) close(fd);
        }
    }

    void Wake() const
    {
        const uint8_t byte = 1;
        // A full pipe already wakes the thread.
        [[maybe_unused]] const ssize_t n = write(wakeWrite, &byte, 1);
    }

    MessagePtr Whole()
    {
        if (!whole) {
            whole = std::make_shared<const Bytes>(EncodeWhole({pixels, width, palette, 0, wire::kPictureHeight, time}));
        }
        return whole;
    }

    void Push(Reader& r, const MessagePtr& message)
    {
        r.queued += message->size();
        r.queue.push_back(message);
    }

    void Enqueue(Reader& r, const MessagePtr& message)
    {
        if (r.drop) return;
        if (r.queued + message->size() <= queueBytes) {
            Push(r, message);
            return;
        }
        if (r.replacement != nullptr) {
            r.drop = true;
            return;
        }
        // The message partly written stays, so the stream keeps its framing.
        const size_t keep = r.sent > 0 ? 1 : 0;
        r.queue.resize(keep);
        r.queued = keep != 0 ? r.queue.front()->size() - r.sent : 0;
        Push(r, state);
        if (width != 0) {
            Push(r, Whole());
            r.replacement = r.queue.back().get();
        }
    }

    // false: accepting failed for want of descriptors or memory.
    bool Accept()
    {
        for (;;) {
            const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0) return errno == EAGAIN || errno == ECONNABORTED || errno == EINTR;
            const std::lock_guard lock(mutex);
            if (!PeerIsOwnUser(fd) || readers.size() >= kMaxReaders) {
                close(fd);
                continue;
            }
            Reader& r = readers.emplace_back();
            r.fd = fd;
            Push(r, hello);
            Push(r, state);
            if (width != 0) Push(r, Whole());
        }
    }

    // Writes what the socket takes now; false when the reader is gone.
    static bool Write(Reader& r)
    {
        while (!r.queue.empty()) {
            const Bytes& m = *r.queue.front();
            const ssize_t n = send(r.fd, m.data() + r.sent, m.size() - r.sent, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0) return errno == EAGAIN || errno == EINTR;
            r.sent += static_cast<size_t>(n);
            r.queued -= static_cast<size_t>(n);
            if (r.sent == m.size()) {
                if (&m == r.replacement) r.replacement = nullptr;
                r.queue.pop_front();
                r.sent = 0;
            }
        }
        return true;
    }
};

FeedPublisher::StartResult FeedPublisher::Start(const std::string& path, std::string_view program, size_t queueBytes)
{
    auto s = std::make_unique<Shared>();
    s->path = path;
    s->queueBytes = queueBytes;
    sockaddr_un address{};
    if (!SocketAddress(path, address)) return {nullptr, "socket path too long: " + path};
    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) return {nullptr, Reason("cannot make a pipe for", path)};
    s->wakeRead = wake[0];
    s->wakeWrite = wake[1];
    s->listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s->listenFd < 0) return {nullptr, Reason("cannot make a socket for", path)};
    const auto* sa = reinterpret_cast<const sockaddr*>(&address);
    if (bind(s->listenFd, sa, sizeof address) != 0) {
        if (errno != EADDRINUSE) return {nullptr, Reason("cannot listen at", path)};
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return {nullptr, path + " is not a socket"};
        // Someone answering is a live owner; a refusal is a socket left by
        // one that ended without removing it.
        const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool live = probe >= 0 && connect(probe, sa, sizeof address) == 0;
        const int probeErrno = errno;
        if (probe >= 0) close(probe);
        if (live) return {nullptr, "another program already feeds pictures at " + path};
        if (probeErrno != ECONNREFUSED) return {nullptr, Reason("cannot check the socket at", path)};
        if (unlink(path.c_str()) != 0 || bind(s->listenFd, sa, sizeof address) != 0) {
            return {nullptr, Reason("cannot replace the stale socket", path)};
        }
    }
    struct stat st {};
    if (listen(s->listenFd, SOMAXCONN) != 0 || stat(path.c_str(), &st) != 0) {
        const std::string reason = Reason("cannot listen at", path);
        unlink(path.c_str());
        return {nullptr, reason};
    }
    s->device = st.st_dev;
    s->inode = st.st_ino;
    s->hello = std::make_shared<const Bytes>(EncodeHello(program, static_cast<uint32_t>(getpid())));
    s->state = std::make_shared<const Bytes>(EncodeState(FeedState::kCommunicating));
    std::unique_ptr<FeedPublisher> publisher(new FeedPublisher(std::move(s)));
    return {std::move(publisher), ""};
}

FeedPublisher::FeedPublisher(std::unique_ptr<Shared> shared) : shared_(std::move(shared))
{
    shared_->thread = std::thread([this] { Run(); });
}

FeedPublisher::~FeedPublisher()
{
    Shared& s = *shared_;
    {
        const std::lock_guard lock(s.mutex);
        s.stopping = true;
    }
    s.Wake();
    s.thread.join();
    for (const Reader& r : s.readers) close(r.fd);
    // A successor may already have replaced a socket this one left unanswered.
    struct stat st {};
    if (stat(s.path.c_str(), &st) == 0 && st.st_dev == s.device && st.st_ino == s.inode) unlink(s.path.c_str());
}

bool FeedPublisher::Publish(const ShownPicture& p)
{
    if (!Encodable(p)) return false;
    Shared& s = *shared_;
    {
        const std::lock_guard lock(s.mutex);
        const bool whole = s.width != p.width || !std::equal(p.palette.begin(), p.palette.end(), s.palette.begin(),
                                                             [](const RgbQuad& a, const RgbQuad& b) {
                                                                 return std::memcmp(&a, &b, sizeof a) == 0;
                                                             });
        const int first = whole ? 0 : p.firstRow;
        const int count = whole ? wire::kPictureHeight : p.rowCount;
        const size_t offset = static_cast<size_t>(first) * p.width;
        std::copy_n(p.pixels.begin() + offset, static_cast<size_t>(count) * p.width, s.pixels.begin() + offset);
        std::copy(p.palette.begin(), p.palette.end(), s.palette.begin());
        s.width = p.width;
        s.time = p.time;
        s.whole.reset();
        const MessagePtr message = whole ? s.Whole() : std::make_shared<const Bytes>(EncodeBand(p));
        for (Reader& r : s.readers) s.Enqueue(r, message);
    }
    s.Wake();
    return true;
}

void FeedPublisher::SetState(FeedState state)
{
    Shared& s = *shared_;
    {
        const std::lock_guard lock(s.mutex);
        s.state = std::make_shared<const Bytes>(EncodeState(state));
        for (Reader& r : s.readers) s.Enqueue(r, s.state);
    }
    s.Wake();
}

size_t FeedPublisher::Readers() const
{
    const std::lock_guard lock(shared_->mutex);
    return shared_->readers.size();
}

void FeedPublisher::Run()
{
    Shared& s = *shared_;
    std::vector<pollfd> fds;
    // A connection that cannot be accepted stays pending and would wake the
    // loop at once for ever; it waits for the next picture or state instead.
    bool acceptFailed = false;
    for (;;) {
        fds.clear();
        fds.push_back({s.wakeRead, POLLIN, 0});
        fds.push_back({s.listenFd, static_cast<short>(acceptFailed ? 0 : POLLIN), 0});
        {
            const std::lock_guard lock(s.mutex);
            if (s.stopping) return;
            // Readers dropped by an overflow leave here, on the only thread
            // that changes the list.
            for (const Reader& r : s.readers) {
                if (r.drop) close(r.fd);
            }
            std::erase_if(s.readers, [](const Reader& r) { return r.drop; });
            for (const Reader& r : s.readers) {
                fds.push_back({r.fd, static_cast<short>(POLLIN | (r.queue.empty() ? 0 : POLLOUT)), 0});
            }
        }
        if (poll(fds.data(), fds.size(), -1) < 0) continue;  // EINTR; nothing else can fail here
        if (fds[0].revents != 0) {
            uint8_t drain[64];
            while (read(s.wakeRead, drain, sizeof drain) > 0) {
            }
            acceptFailed = false;
        }
        if (fds[1].revents != 0) acceptFailed = !s.Accept();
        const std::lock_guard lock(s.mutex);
        // Accept only appends, so the first readers are the ones polled.
        for (size_t i = 2; i < fds.size(); ++i) {
            Reader& r = s.readers[i - 2];
            const short ev = fds[i].revents;
            // Readers send nothing: input, a hang-up or an error ends the reader.
            if ((ev & (POLLIN | POLLHUP | POLLERR)) != 0 || ((ev & POLLOUT) != 0 && !Shared::Write(r))) r.drop = true;
        }
    }
}

}  // namespace karvolen::feed
