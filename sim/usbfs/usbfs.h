// usbfs emulated on a umockdev testbed: device nodes under /dev/bus/usb whose
// ioctls (claims, resets, URBs) are answered here, so that the system's own
// libusb, under umockdev's preload, talks to the simulated Quellbar as it
// talks to the kernel. The ioctls run on umockdev's worker thread, the bus
// changes on the caller's; one lock guards both. Never call in here from
// inside a libusb call of the same process.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "device.h"

namespace usbfs {

class Bus {
public:
    // A testbed with bus 1 and its root hub.
    Bus();
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // The testbed's folder: UMOCKDEV_DIR for the processes that use it.
    std::string Dir() const;
    // Another bus (no root hub); returns its number.
    int AddBus();
    // A device at the end of a bus, by id (it keeps its id over re-plugs, its
    // Devnum changes). A plain device has ids only.
    int AddDevice(int bus, uint16_t vendor, uint16_t product);
    int AddQuellbar(int bus, const quellbar::Options& options);
    // Takes a device off the bus; back under a new number after backAfterMs (-1: never).
    void Unplug(int id, int backAfterMs);
    int Devnum(int id);

    // The next `times` ioctls `name` (as in the call record) fail with errno `error`.
    void FailIoctl(std::string_view name, int error, int times = 1);
    // What the host did on device nodes beyond the bus scan, in order: ioctls
    // by name ("<id> SETCONFIGURATION"), URBs as "<id> in 64" / "<id> out 8"
    // (by name when refused), "<id> open" / "<id> close" of handles that did
    // more than open and close (a close once umockdev has noticed it).
    std::vector<std::string> Calls();
    void ClearCalls();
    // File handles open on device nodes (the root hub's left out).
    int OpenHandles();
    // Runs f on the Quellbar's model under the lock.
    void WithModel(int id, const std::function<void(quellbar::Device&)>& f);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace usbfs
