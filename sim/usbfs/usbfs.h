// usbfs emulated on a umockdev testbed: device nodes under /dev/bus/usb whose
// ioctls (claims, resets, URBs) are answered here, so that the system's own
// libusb, loaded under umockdev's preload, talks to the simulated Quellbar as
// it talks to the kernel.
//
// Every device node's ioctls run on umockdev's worker thread; the test or
// launcher thread changes the bus. One lock guards both. Never hold it, or
// call in here, from inside a libusb call of the same process.
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
    // A testbed with bus 1 and its root hub; sets UMOCKDEV_DIR for this process.
    Bus();
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // The testbed's folder: UMOCKDEV_DIR for the processes that use it.
    std::string Dir() const;

    // Another bus (no root hub); returns its number.
    int AddBus();
    // Devices at the end of a bus; return the device's id (its number stays
    // with it over re-plugs: Devnum changes). A plain device has ids only.
    int AddDevice(int bus, uint16_t vendor, uint16_t product);
    int AddQuellbar(int bus, const quellbar::Options& options);

    // Takes a device off the bus; back under a new number after backAfterMs (-1: never).
    void Unplug(int id, int backAfterMs);
    int Devnum(int id);
    // The node the device has now, "/dev/bus/usb/001/002".
    std::string Node(int id);

    // The next `times` ioctls `name` (as in the call record) fail with errno `error`.
    void FailIoctl(std::string_view name, int error, int times = 1);
    // What the host did on device nodes beyond the bus scan, in order: ioctls
    // by name ("<id> SETCONFIGURATION"), URBs as "<id> in 64" / "<id> out 8"
    // (by name when refused), and "<id> open" / "<id> close" of handles that
    // did more than open and close. A close shows once umockdev has noticed it.
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
