// Inside the rig's guest: starts the gadget Quellbar as its own process and
// waits for the kernel to enumerate it (or to see it gone).
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace karvolen::testing {

inline std::string ReadAttr(const std::filesystem::path& dir, const char* name)
{
    std::ifstream f(dir / name);
    std::string s;
    f >> s;
    return s;
}

// The guest's USB device with these ids: its sysfs folder, or "".
inline std::filesystem::path DevicePath(const std::string& vendor, const std::string& product)
{
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/sys/bus/usb/devices", ec)) {
        if (ReadAttr(e.path(), "idVendor") == vendor && ReadAttr(e.path(), "idProduct") == product) return e.path();
    }
    return {};
}

// Its node, "/dev/bus/usb/BBB/DDD", or "".
inline std::string DeviceNode(const std::string& vendor, const std::string& product)
{
    const auto dev = DevicePath(vendor, product);
    if (dev.empty()) return "";
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", std::atoi(ReadAttr(dev, "busnum").c_str()),
                  std::atoi(ReadAttr(dev, "devnum").c_str()));
    return node;
}

// Until the device with these ids is there and configured (its node exists),
// or is gone, within `limit`.
inline bool WaitForDevice(const std::string& vendor, const std::string& product, bool present,
                          std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        const auto dev = DevicePath(vendor, product);
        if (!present && dev.empty()) return true;
        if (present && !dev.empty() && ReadAttr(dev, "bConfigurationValue") == "1" &&
            std::filesystem::exists(DeviceNode(vendor, product))) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

class Gadget {
public:
    // Starts `quellbar-gadget OPTIONS` and returns once the device is
    // enumerated and its node exists; a device that never is fails the test.
    explicit Gadget(const std::string& options, std::string vendor = "7e3a", std::string product = "ff05")
        : vendor_(std::move(vendor)), product_(std::move(product))
    {
        int taken[2];
        EXPECT_EQ(pipe2(taken, O_CLOEXEC), 0);
        // The gadget's end stays open across its exec, also when it leaves the
        // bus and starts again; a full pipe never holds the gadget up.
        fcntl(taken[1], F_SETFL, O_NONBLOCK);
        std::string env = "GADGET_TAKEN_FD=" + std::to_string(taken[1]);
        pid_ = fork();
        if (pid_ == 0) {
            fcntl(taken[1], F_SETFD, 0);
            putenv(env.data());
            const std::string bin = std::string(std::getenv("RIG_BUILD")) + "/bin/quellbar-gadget";
            execl(bin.c_str(), bin.c_str(), options.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(taken[1]);
        taken_ = taken[0];
        EXPECT_TRUE(WaitFor(true, std::chrono::seconds(10))) << "quellbar-gadget " << options << " enumerated";
    }
    ~Gadget()
    {
        close(taken_);
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        WaitFor(false, std::chrono::seconds(5));
    }
    Gadget(const Gadget&) = delete;
    Gadget& operator=(const Gadget&) = delete;

    std::string Node() const { return DeviceNode(vendor_, product_); }

    bool WaitFor(bool present, std::chrono::milliseconds limit) const
    {
        return WaitForDevice(vendor_, product_, present, limit);
    }

    // Until the device's model has taken the host's next write, within
    // `limit`. Its two threads learn of an OUT and an IN transfer in either
    // order; a host that reads only after this sees them in the bus's order.
    bool WaitUntilTaken(std::chrono::milliseconds limit) const
    {
        pollfd p{taken_, POLLIN, 0};
        char byte;
        return poll(&p, 1, static_cast<int>(limit.count())) == 1 && read(taken_, &byte, 1) == 1;
    }

private:
    std::string vendor_, product_;
    pid_t pid_ = -1;
    int taken_ = -1;
};

}  // namespace karvolen::testing
