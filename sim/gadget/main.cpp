// The gadget Quellbar: the simulated Quellbar as a real USB device, through
// gadgetfs on the kernel's UDC (dummy_hcd in the rig).
//
//   quellbar-gadget [OPTIONS]   e.g. 'width=640;faults=noreply@2;log=/tmp/q.log'
//
// Besides the device's options: vendor=HEX, product=HEX, interface=N and
// altsetting=refuse give it another USB personality. It runs until killed.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>

#include "gadgetfs.h"
#include "reply_plan.h"

namespace gadget {
namespace {

using namespace std::chrono_literals;

// Transfers a reset or an unplug cancels; the device drops what it was doing.
bool Cancelled(int err) { return err == ESHUTDOWN || err == ECONNRESET || err == ENODEV || err == EPROTO; }

class Device {
public:
    Device(GadgetFs& fs, Quellbar& model, char** argv) : fs_(fs), model_(model), argv_(argv) {}

    void Run()
    {
        for (;;) {
            const auto ev = fs_.NextEvent();
            if (ev == GadgetFs::Event::Configured || ev == GadgetFs::Event::Interface) {
                {
                    std::lock_guard lock(m_);
                    ++configurations_;
                }
                cv_.notify_all();
                if (!started_ && fs_.Configured()) {
                    started_ = true;
                    model_.Log(std::string("configured at ") + (fs_.HighSpeed() ? "high" : "full") + " speed");
                    in_ = std::thread([this] { InLoop(); });
                    out_ = std::thread([this] { OutLoop(); });
                }
            } else if (ev == GadgetFs::Event::None && errno != EINTR) {
                std::perror("quellbar-gadget: ep0");
                std::_Exit(1);
            }
        }
    }

private:
    // Requests come in on OUT; each replaces whatever reply is pending.
    void OutLoop()
    {
        std::vector<uint8_t> buf(16384);
        for (;;) {
            int ms = 0;
            switch (model_.TakeWriteFault(ms)) {
            case Quellbar::WriteFault::WriteFail: {
                // Halted until the host configures the device again.
                std::unique_lock lock(m_);
                const uint64_t seen = configurations_;
                lock.unlock();
                GadgetFs::Halt(fs_.OutFd(), false);
                lock.lock();
                cv_.wait(lock, [&] { return configurations_ != seen; });
                lock.unlock();
                GadgetFs::ClearHalt(fs_.OutFd());
                continue;
            }
            case Quellbar::WriteFault::WriteGone: {
                // Gone by the time the host writes: once the last reply is out.
                std::unique_lock lock(m_);
                cv_.wait(lock, [&] { return queue_.empty() && !writing_; });
                Leave(ms);
            }
            case Quellbar::WriteFault::None:
                break;
            }
            const ssize_t n = read(fs_.OutFd(), buf.data(), buf.size());
            if (n < 0) {
                std::this_thread::sleep_for(10ms);  // a reset cancelled the read: try again
                continue;
            }
            auto steps = model_.Request(buf.data(), static_cast<int>(n));
            if (steps.empty() && n != 8) continue;  // garbage: a pending reply stays
            std::unique_lock lock(m_);
            queue_.assign(steps.begin(), steps.end());
            ++generation_;
            const bool interrupt = writing_;
            lock.unlock();
            cv_.notify_all();
            if (interrupt) pthread_kill(in_.native_handle(), SIGUSR1);
        }
    }

    void InLoop()
    {
        bool halted = false;
        for (;;) {
            std::unique_lock lock(m_);
            cv_.wait(lock, [&] { return !queue_.empty(); });
            Step step = std::move(queue_.front());
            queue_.pop_front();
            const uint64_t gen = generation_;
            writing_ = true;
            lock.unlock();

            if (halted && step.kind != Step::HaltIn) {
                GadgetFs::ClearHalt(fs_.InFd());
                halted = false;
            }
            bool lost = false;
            switch (step.kind) {
            case Step::Send:
            case Step::ZeroLength:
                for (;;) {
                    const ssize_t r = write(fs_.InFd(), step.bytes.data(), step.bytes.size());
                    if (r >= 0) break;
                    const int err = errno;
                    if (err == EINTR && Generation() == gen) continue;
                    lost = err != EINTR && Cancelled(err);
                    break;
                }
                break;
            case Step::Delay: {
                const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(step.ms);
                while (std::chrono::steady_clock::now() < end && Generation() == gen) std::this_thread::sleep_for(5ms);
                break;
            }
            case Step::HaltIn:
                halted = GadgetFs::Halt(fs_.InFd(), true);
                break;
            case Step::Leave:
                Leave(step.ms);
            }

            lock.lock();
            writing_ = false;
            if (lost && generation_ == gen) queue_.clear();
            const bool done = !lost && generation_ == gen && queue_.empty();
            lock.unlock();
            cv_.notify_all();
            if (lost) model_.Lost();
            if (done) model_.Delivered();
        }
    }

    uint64_t Generation()
    {
        std::lock_guard lock(m_);
        return generation_;
    }

    // The device leaves the bus: the process starts afresh, with every file
    // of gadgetfs closed (the host sees the unplug), and comes back after ms.
    [[noreturn]] void Leave(int ms)
    {
        model_.Log("unplug");
        const std::string options = std::string(argv_[1] ? argv_[1] : "") + ";" + model_.ResumeOption() +
                                    ";away=" + std::to_string(ms);
        execl("/proc/self/exe", argv_[0], options.c_str(), static_cast<char*>(nullptr));
        std::perror("quellbar-gadget: exec");
        std::_Exit(1);
    }

    GadgetFs& fs_;
    Quellbar& model_;
    char** argv_;
    bool started_ = false;
    std::thread in_, out_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<Step> queue_;
    uint64_t generation_ = 0;
    uint64_t configurations_ = 0;
    bool writing_ = false;
};

Personality ParsePersonality(const std::string& text)
{
    Personality p;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t semi = text.find(';', pos);
        const std::string kv = text.substr(pos, semi - pos);
        pos = semi + 1;
        const size_t eq = kv.find('=');
        const std::string key = kv.substr(0, eq), value = kv.substr(eq + 1);
        if (key == "vendor") p.vendor = static_cast<uint16_t>(std::strtoul(value.c_str(), nullptr, 16));
        if (key == "product") p.product = static_cast<uint16_t>(std::strtoul(value.c_str(), nullptr, 16));
        if (key == "interface") p.interfaceNumber = static_cast<uint8_t>(std::atoi(value.c_str()));
        if (key == "altsetting") p.refuseAltSetting = value == "refuse";
    }
    return p;
}

}  // namespace
}  // namespace gadget

int main(int argc, char** argv)
{
    const char* dir = std::getenv("GADGETFS_DIR");
    gadget::Options options;
    std::string usbOptions;
    if (argc > 1) {
        if (const std::string e = gadget::ParseOptions(argv[1], options, &usbOptions); !e.empty()) {
            std::fprintf(stderr, "quellbar-gadget: %s\n", e.c_str());
            return 2;
        }
    }
    // Interrupts a blocking transfer without ending the process.
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    sigaction(SIGUSR1, &sa, nullptr);

    const gadget::Personality personality = gadget::ParsePersonality(usbOptions);
    // Back from leaving the bus.
    if (options.awayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(options.awayMs));
    gadget::GadgetFs fs(dir ? dir : "/dev/gadget", personality);
    if (const std::string e = fs.Start(); !e.empty()) {
        std::fprintf(stderr, "quellbar-gadget: %s\n", e.c_str());
        return 1;
    }
    gadget::Quellbar model(options);
    gadget::Device device(fs, model, argv);
    device.Run();
}
