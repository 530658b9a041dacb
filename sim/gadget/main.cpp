// The gadget Quellbar: the simulated Quellbar's device model as a real USB
// device, through gadgetfs on the kernel's UDC (dummy_hcd in the rig).
//
//   quellbar-gadget [OPTIONS]   e.g. 'width=640;faults=noreply@2;log=/tmp/q.log'
//
// OPTIONS are the simulated Quellbar's (QUELLBAR_SIM syntax), with
// vendor=HEX, interface=N and altsetting=refuse for another USB personality.
// With GADGET_TAKEN_FD=N in the environment it writes one byte to file N for
// every write of the host's that the model has taken. It runs until killed.
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/gadgetfs.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>
#include <tuple>
#include <utility>

#include "device.h"

namespace gadget {
namespace {

using namespace std::chrono_literals;
using quellbar::InTransfer;
using quellbar::OutResult;
constexpr uint8_t kEpOut = MARLEX_EP_OUT, kEpIn = MARLEX_EP_IN;

// One gadgetfs device: /dev/gadget/<udc> and its endpoint files, open as
// long as the process runs (an exec closes them).
class GadgetFs {
public:
    GadgetFs(std::string dir, const quellbar::Options& options) : dir_(std::move(dir)), options_(options) {}

    // Writes the configurations at both speeds and the device descriptor; the
    // UDC then connects. Returns "" or what failed.
    std::string Start()
    {
        std::string ep0;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(dir_, ec)) {
            if (e.path().filename().string().rfind("ep", 0) != 0) ep0 = e.path();
        }
        if (ep0.empty()) return "no controller file in " + dir_;
        ep0_ = open(ep0.c_str(), O_RDWR | O_CLOEXEC);
        if (ep0_ < 0) return Errno("open " + ep0);
        std::vector<uint8_t> msg(4, 0);
        for (int packet : {quellbar::kFullSpeedPacket, quellbar::kHighSpeedPacket}) {
            const auto d = Descriptors(packet);
            msg.insert(msg.end(), d.begin() + USB_DT_DEVICE_SIZE, d.end());
        }
        const auto d = Descriptors(quellbar::kFullSpeedPacket);
        msg.insert(msg.end(), d.begin(), d.begin() + USB_DT_DEVICE_SIZE);
        if (write(ep0_, msg.data(), msg.size()) != static_cast<ssize_t>(msg.size())) return Errno("configure " + ep0);
        return "";
    }

    // Configured: the host set the configuration or the alternate setting.
    enum class Event { None, Disconnect, Configured, Other };
    // Blocks for the next event of the control endpoint and answers the
    // requests that reach user space. Returns Event::None when interrupted.
    Event NextEvent()
    {
        usb_gadgetfs_event ev{};
        if (read(ep0_, &ev, sizeof ev) < static_cast<ssize_t>(sizeof ev)) return Event::None;
        if (ev.type == GADGETFS_CONNECT) highSpeed_ = ev.u.speed == USB_SPEED_HIGH;
        if (ev.type == GADGETFS_DISCONNECT) return Event::Disconnect;
        if (ev.type != GADGETFS_SETUP) return Event::Other;
        const usb_ctrlrequest& s = ev.u.setup;
        const bool in = (s.bRequestType & USB_DIR_IN) != 0;
        const bool standard = (s.bRequestType & USB_TYPE_MASK) == USB_TYPE_STANDARD;
        if (standard && s.bRequest == USB_REQ_SET_CONFIGURATION) {
            // Sent again on every set-configuration call of the host: the
            // endpoints stay as they are.
            const std::string e = s.wValue == 1 && !Configured() ? EnableEndpoints() : "";
            if (!e.empty()) std::fprintf(stderr, "quellbar-gadget: %s\n", e.c_str());
            return Answer(in, e.empty(), Event::Configured);
        }
        if (standard && s.bRequest == USB_REQ_SET_INTERFACE) {
            // No clear-halt here: gadgetfs would wait behind the pending OUT read.
            // (With one alternate setting only, the host ignores a refusal.)
            return Answer(in, !options_.refuseAltSetting && s.wValue == 0 && s.wIndex == options_.interface,
                          Event::Configured);
        }
        if (standard && s.bRequest == USB_REQ_GET_INTERFACE) {
            const uint8_t alt = 0;
            (void)!write(ep0_, &alt, 1);
            return Event::Other;
        }
        return Answer(in, false, Event::Other);
    }

    int OutFd() const { return out_; }
    int InFd() const { return in_; }
    size_t MaxPacket() const
    {
        return static_cast<size_t>(highSpeed_ ? quellbar::kHighSpeedPacket : quellbar::kFullSpeedPacket);
    }
    bool Configured() const { return out_ >= 0 && in_ >= 0; }

    // Halts an endpoint the way gadgetfs offers it: an I/O call of nothing
    // in the wrong direction. Clearing needs no transfer pending on that endpoint.
    static void Halt(int fd, bool inEndpoint)
    {
        char c = 0;
        (void)!(inEndpoint ? read(fd, &c, 0) : write(fd, &c, 0));
    }
    static void ClearHalt(int fd) { ioctl(fd, GADGETFS_CLEAR_HALT); }

private:
    static std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

    std::vector<uint8_t> Descriptors(int packet) const
    {
        return quellbar::Descriptors(options_.vendor, options_.product, packet, options_.interface,
                                     options_.refuseAltSetting);
    }

    std::string EnableEndpoints()
    {
        for (auto [file, address, fd] : {std::tuple{"ep1out-bulk", kEpOut, &out_}, {"ep2in-bulk", kEpIn, &in_}}) {
            const std::string path = dir_ + "/" + file;
            *fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
            if (*fd < 0) return Errno("open " + path);
            std::vector<uint8_t> msg = {1, 0, 0, 0};
            for (int packet : {quellbar::kFullSpeedPacket, quellbar::kHighSpeedPacket}) {
                const auto e = quellbar::Endpoint(address, packet);
                msg.insert(msg.end(), e.begin(), e.end());
            }
            if (write(*fd, msg.data(), msg.size()) != static_cast<ssize_t>(msg.size())) {
                const std::string e = Errno("configure " + path);
                close(std::exchange(*fd, -1));
                return e;
            }
        }
        return "";
    }

    // A request without a data stage is acknowledged by a read of nothing and
    // refused by an I/O call of nothing in the wrong direction: what Halt does.
    Event Answer(bool in, bool ok, Event event)
    {
        Halt(ep0_, ok || in);
        return ok ? event : Event::Other;
    }

    std::string dir_;
    const quellbar::Options& options_;
    int ep0_ = -1, out_ = -1, in_ = -1;
    bool highSpeed_ = false;
};

// Transfers a reset or an unplug cancels.
bool Cancelled(int err) { return err == ESHUTDOWN || err == ECONNRESET || err == ENODEV || err == EPROTO; }

// Moves bytes between gadgetfs and the device model, and plays its bus events.
class Bridge {
public:
    Bridge(GadgetFs& fs, quellbar::Device& model, char** argv, int takenFd)
        : fs_(fs), model_(model), argv_(argv), takenFd_(takenFd)
    {
    }

    void Run()
    {
        for (;;) {
            const auto ev = fs_.NextEvent();
            std::unique_lock lock(m_);
            if (ev == GadgetFs::Event::Configured) {
                ++configurations_;
                cv_.notify_all();
                if (!started_ && fs_.Configured()) {
                    started_ = true;
                    in_ = std::thread([this] { InLoop(); });
                    out_ = std::thread([this] { OutLoop(); });
                }
            } else if (ev == GadgetFs::Event::Disconnect) {
                // A reset (or the host going away): what was queued is dropped.
                model_.Reset();
                Dropped(lock);
            } else if (ev == GadgetFs::Event::None && errno != EINTR && errno != EIDRM) {
                // (EIDRM: the host gave up on a set-up request before it was
                // answered and sends the next one; the device goes on.)
                std::perror("quellbar-gadget: ep0");
                std::_Exit(1);
            }
        }
    }

private:
    void OutLoop()
    {
        std::vector<uint8_t> buf(16384);
        for (;;) {
            std::unique_lock lock(m_);
            if (model_.WriteFaultDue()) {
                // The host's write must find the fault already in place.
                const OutResult r = model_.Out(nullptr, 0);
                if (r.kind == OutResult::Kind::Halt) {
                    // Halted until the host configures the device again.
                    const uint64_t seen = configurations_;
                    lock.unlock();
                    GadgetFs::Halt(fs_.OutFd(), false);
                    lock.lock();
                    cv_.wait(lock, [&] { return configurations_ != seen; });
                    lock.unlock();
                    GadgetFs::ClearHalt(fs_.OutFd());
                    continue;
                }
                if (r.kind == OutResult::Kind::Leave) {
                    // Gone by the time the host writes: once the last reply is out.
                    cv_.wait(lock, [&] { return !model_.Front() && !writing_; });
                    Leave(r.backAfterMs);
                }
            }
            lock.unlock();
            const ssize_t n = read(fs_.OutFd(), buf.data(), buf.size());
            if (n < 0) {
                std::this_thread::sleep_for(10ms);  // a reset cancelled the read: try again
                continue;
            }
            // The host writes only after its last read. If that read took the
            // transfer the IN thread is writing, the thread is awake but has not
            // told the model yet: wait for it, however long a loaded machine
            // keeps it from running. Asleep in the write, the transfer is still
            // on its way.
            lock.lock();
            const uint64_t seen = completions_;
            const auto giveUp = std::chrono::steady_clock::now() + 5s;
            while (writing_ && !overflowHeld_ && completions_ == seen && !AsleepInWrite() &&
                   std::chrono::steady_clock::now() < giveUp)
                cv_.wait_for(lock, 1ms);
            if (model_.Out(buf.data(), static_cast<size_t>(n)).newReply) Dropped(lock);
            ++outsTaken_;
            cv_.notify_all();
            // Told only now: a host that waits for it before reading on never
            // lets an IN transfer complete ahead of the request it follows.
            if (takenFd_ >= 0) (void)!write(takenFd_, "t", 1);
        }
    }

    void InLoop()
    {
        bool halted = false;
        std::unique_lock lock(m_);
        inTid_ = gettid();
        for (;;) {
            cv_.wait(lock, [&] {
                const InTransfer* t = model_.Front();
                return t && !(t->kind == InTransfer::Kind::Halt && halted);
            });
            const uint64_t gen = generation_;
            const InTransfer& front = *model_.Front();
            switch (front.kind) {
            case InTransfer::Kind::Halt:
                // Stays at the front until a new request or a reset.
                lock.unlock();
                GadgetFs::Halt(fs_.InFd(), true);
                lock.lock();
                halted = true;
                continue;
            case InTransfer::Kind::Error:
                // Refused at start-up: a real device cannot fail a read on its own.
                std::_Exit(1);
            case InTransfer::Kind::Data: break;
            case InTransfer::Kind::Leave: {
                const int back = front.backAfterMs;
                model_.Plugged(false);  // drops the queue
                Leave(back);            // does not return
            }
            }
            if (halted) {
                lock.unlock();
                GadgetFs::ClearHalt(fs_.InFd());
                lock.lock();
                halted = false;
                if (generation_ != gen) continue;
            }
            if (const int delay = model_.TakeDelay(); delay > 0) {
                cv_.wait_for(lock, std::chrono::milliseconds(delay), [&] { return generation_ != gen; });
                if (generation_ != gen) continue;
            }
            const InTransfer* t = model_.Front();
            const std::vector<uint8_t> bytes(t->bytes.begin() + static_cast<std::ptrdiff_t>(t->sent), t->bytes.end());
            const bool closingZlp = t->zlp && !bytes.empty() && t->bytes.size() % fs_.MaxPacket() == 0;
            writing_ = true;
            lock.unlock();
            int err = Write(bytes, gen);
            if (err == 0 && closingZlp) err = Write({}, gen);
            lock.lock();
            writing_ = false;
            ++completions_;
            cv_.notify_all();
            if (generation_ != gen) continue;  // dropped while it was on its way
            if (err == EOVERFLOW) {
                // The host took part of a packet and the rest is gone. Only a
                // first read of a reply (64 bytes) does that, so this was the
                // rest of an old reply read after a new request: the device
                // saw that request while the old reply was still on its way.
                overflowHeld_ = true;
                const uint64_t seen = outsTaken_;
                cv_.wait_for(lock, 200ms, [&] { return outsTaken_ != seen || generation_ != gen; });
                overflowHeld_ = false;
                if (generation_ != gen) continue;
                model_.Sent(bytes.size());
            } else if (err == 0) {
                model_.Sent(bytes.size());
            } else if (Cancelled(err)) {
                // The reset or unplug that cancelled it comes through ep0.
                lock.unlock();
                std::this_thread::sleep_for(10ms);
                lock.lock();
            } else {
                std::fprintf(stderr, "quellbar-gadget: ep2in: %s\n", std::strerror(err));
                model_.Sent(bytes.size());
            }
        }
    }

    // One IN transfer; 0 or the errno it failed with. A signal ends the wait
    // only once the transfer has been dropped. A write that moved fewer bytes
    // than it had is EOVERFLOW: the host's read was shorter than the packet
    // and the rest of the transfer is gone (dummy_hcd completes the gadget's
    // side without an error).
    int Write(const std::vector<uint8_t>& bytes, uint64_t gen)
    {
        inWrite_ = true;
        int err = 0;
        for (;;) {
            const ssize_t n = write(fs_.InFd(), bytes.data(), bytes.size());
            if (n >= 0) {
                if (static_cast<size_t>(n) < bytes.size()) err = EOVERFLOW;
                break;
            }
            err = errno;
            if (err != EINTR || generation_ != gen) break;
        }
        inWrite_ = false;
        return err;
    }

    // The IN thread sleeps inside its write: the transfer is not complete.
    bool AsleepInWrite() const
    {
        if (!inWrite_) return false;
        std::ifstream stat("/proc/self/task/" + std::to_string(inTid_) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const size_t close = text.rfind(')');
        return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'S' && inWrite_;
    }

    // The model dropped what the IN thread may be writing: stop that write.
    void Dropped(std::unique_lock<std::mutex>& lock)
    {
        ++generation_;
        cv_.notify_all();
        // A signal that comes just before the write begins is missed: repeat.
        for (int i = 0; i < 100 && writing_; ++i) {
            pthread_kill(in_.native_handle(), SIGUSR1);
            cv_.wait_for(lock, 10ms, [&] { return !writing_; });
        }
    }

    // The device leaves the bus: the process starts afresh, with every file
    // of gadgetfs closed (the host sees the unplug), and comes back after ms,
    // told where to take up as "requests:frames:ms".
    [[noreturn]] void Leave(int ms)
    {
        const std::string resume = std::to_string(model_.Requests()) + ":" + std::to_string(model_.Frames()) + ":" +
                                   std::to_string(std::max(ms, 0));
        execl("/proc/self/exe", argv_[0], argv_[1] ? argv_[1] : "", resume.c_str(), static_cast<char*>(nullptr));
        std::perror("quellbar-gadget: exec");
        std::_Exit(1);
    }

    GadgetFs& fs_;
    quellbar::Device& model_;
    char** argv_;
    const int takenFd_;  // -1: nobody is told
    bool started_ = false;
    std::thread in_, out_;
    std::mutex m_;
    std::condition_variable cv_;
    std::atomic<uint64_t> generation_ = 0;  // bumped whenever the model drops its IN queue
    uint64_t configurations_ = 0;
    uint64_t completions_ = 0;
    uint64_t outsTaken_ = 0;     // OUT transfers handed to the model
    bool overflowHeld_ = false;  // the IN thread waits for the OUT before an overflow
    bool writing_ = false;
    std::atomic<bool> inWrite_ = false;  // the IN thread is inside write()
    std::atomic<pid_t> inTid_ = 0;
};

}  // namespace
}  // namespace gadget

int main(int argc, char** argv)
{
    quellbar::Options options;
    std::string problem = argc > 1 ? quellbar::ParseOptions(argv[1], options) : "";
    for (const auto& f : options.faults) {
        if (f.fault == quellbar::Fault::ChunkError || f.fault == quellbar::Fault::FinalError)
            problem = "fault " + quellbar::Describe(f) + " exists on the emulated usbfs only";
    }
    if (!problem.empty()) {
        std::fprintf(stderr, "quellbar-gadget: %s\n", problem.c_str());
        return 2;
    }
    // Interrupts a blocking transfer without ending the process.
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    sigaction(SIGUSR1, &sa, nullptr);

    // Back from leaving the bus (Bridge::Leave).
    unsigned long long requests = 0, frames = 0;
    int awayMs = 0;
    if (argc > 2) std::sscanf(argv[2], "%llu:%llu:%d", &requests, &frames, &awayMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(awayMs));
    const char* dir = std::getenv("GADGETFS_DIR");
    gadget::GadgetFs fs(dir ? dir : "/dev/gadget", options);
    if (const std::string e = fs.Start(); !e.empty()) {
        std::fprintf(stderr, "quellbar-gadget: %s\n", e.c_str());
        return 1;
    }
    quellbar::Device model(options);
    model.Resume(requests, frames);
    const char* taken = std::getenv("GADGET_TAKEN_FD");
    gadget::Bridge bridge(fs, model, argv, taken ? std::atoi(taken) : -1);
    bridge.Run();
}
