// The stand-in libusb 0.1's world: handles, claims and bulk transfers over its
// parts. libusb_api.cpp and simctl.cpp export it as libusb 0.1 and simctl_*.
#pragma once

#include <usb.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <set>
#include <string>

#include "device_lists.h"
#include "test_hooks.h"
#include "timing.h"

#define SIM_EXPORT extern "C" __attribute__((visibility("default")))

struct usb_dev_handle {
    int slot;
    uint64_t instance;  // which enumeration of the device the handle belongs to
    int claimedInterface = -1;
};

namespace sim::standin {

// Only these endpoints exist on every simulated device (as on the Quellbar).
constexpr int kEndpointIn = 0x82;
constexpr int kEndpointOut = 0x01;
constexpr int kInterface = 0;
constexpr int kConfiguration = 1;
// How long the host takes to give up a request whose device left the bus.
constexpr auto kLeftSettle = std::chrono::milliseconds(500);

class World {
public:
    World() { topology.BuildFromEnvironment(); }

    void ResetEmpty()
    {
        lists.Free();
        for (auto* h : handles_) delete h;
        handles_.clear();
        topology = Topology();
        hooks = TestHooks();
    }

    int OpenHandles() const { return static_cast<int>(handles_.size()); }

    usb_dev_handle* Open(struct usb_device* dev)
    {
        const DeviceLists::Key* key = lists.Find(dev);
        if (!key) {
            hooks.Record("usb_open(stale)");
            return nullptr;
        }
        hooks.Record("usb_open(" + std::to_string(key->first) + ")");
        if (hooks.Fails("usb_open")) return nullptr;
        auto* h = new usb_dev_handle{key->first, key->second};
        handles_.insert(h);
        return h;
    }

    int Close(usb_dev_handle* h)
    {
        hooks.Record("usb_close");
        if (!handles_.count(h)) return -EBADF;
        handles_.erase(h);
        delete h;
        return 0;
    }

    struct usb_device* DeviceOf(usb_dev_handle* h)
    {
        if (!handles_.count(h)) return nullptr;
        Slot* s = topology.Live(h->slot, h->instance);
        return s ? lists.StructOf(*s) : nullptr;
    }

    int SetConfiguration(usb_dev_handle* h, int configuration)
    {
        if (auto r = Enter(h, "usb_set_configuration", "(" + std::to_string(configuration) + ")")) return *r;
        if (ClaimedOnDevice(h)) return -EBUSY;
        return configuration == kConfiguration ? 0 : -EINVAL;
    }

    int ClaimInterface(usb_dev_handle* h, int interface)
    {
        if (auto r = Enter(h, "usb_claim_interface", "(" + std::to_string(interface) + ")")) return *r;
        if (interface != kInterface) return -ENOENT;
        if (h->claimedInterface == interface) return 0;
        if (ClaimedOnDevice(h)) return -EBUSY;
        h->claimedInterface = interface;
        return 0;
    }

    int ReleaseInterface(usb_dev_handle* h, int interface)
    {
        if (auto r = Enter(h, "usb_release_interface", "(" + std::to_string(interface) + ")")) return *r;
        if (h->claimedInterface != interface) return -EINVAL;
        h->claimedInterface = -1;
        return 0;
    }

    int SetAltInterface(usb_dev_handle* h, int alternate)
    {
        if (auto r = Enter(h, "usb_set_altinterface", "(" + std::to_string(alternate) + ")")) return *r;
        if (h->claimedInterface < 0) return -EINVAL;  // libusb 0.1 needs a claimed interface
        return alternate == 0 ? 0 : -EINVAL;
    }

    int ResetDevice(usb_dev_handle* h)
    {
        if (auto r = Enter(h, "usb_reset", "")) return *r;
        if (!topology.ResetInPlace(*topology.FindSlot(h->slot))) return 0;
        // Same number and node, handles still reach the device, but every claim on it is gone.
        for (auto* other : handles_) {
            if (SameDevice(other, h)) other->claimedInterface = -1;
        }
        return 0;
    }

    int Bulk(usb_dev_handle* h, bool in, int ep, uint8_t* bytes, int size, int timeout)
    {
        char call[96];
        std::snprintf(call, sizeof call, "usb_bulk_%s(0x%02x,%d,%d)", in ? "read" : "write", ep, size, timeout);
        hooks.Record(call);
        if (int e = Check(h); e) return e;
        // libusb 0.1 forces the direction bit; the kernel rejects unknown endpoints.
        ep = in ? (ep | USB_ENDPOINT_IN) : (ep & ~USB_ENDPOINT_IN);
        if (ep != (in ? kEndpointIn : kEndpointOut)) return -ENOENT;
        if (size < 0) return -EINVAL;
        if (bytes == nullptr && size > 0) return -EFAULT;
        if (auto scripted = hooks.RunScript(in, bytes, size)) return *scripted;

        // One deadline for the whole call, as libusb 0.1.12 computes it once.
        const Clock::time_point deadline =
            timeout > 0 ? Clock::now() + std::chrono::milliseconds(timeout) : Clock::time_point::max();
        sim::Device& device = *topology.FindSlot(h->slot)->device;
        int done = 0;
        int requested = 0;
        int moved = 0;
        do {
            if (!topology.Live(h->slot, h->instance)) return -ENODEV;
            requested = std::min(size - done, sim::kMaxRequest);
            moved = in ? device.BulkIn(ep, bytes + done, requested, deadline)
                       : device.BulkOut(ep, bytes + done, requested, deadline);
            if (moved == sim::kLeftDuringTransfer) {
                // The request completes with EPROTO, which libusb 0.1.12
                // ignores: the call returns what came before, about half a
                // second later; the next transfer finds the device gone.
                sim::SleepWithin(kLeftSettle, deadline);
                return done;
            }
            if (moved < 0) return moved;
            moved = std::min(moved, requested);
            done += moved;
        } while (done < size && moved == requested);
        return done;
    }

    Topology topology;
    DeviceLists lists{topology};
    TestHooks hooks;

private:
    int Check(usb_dev_handle* h)
    {
        if (!handles_.count(h)) return -EBADF;
        return topology.Live(h->slot, h->instance) ? 0 : -ENODEV;
    }

    // Records the call; its result if the handle is bad or a failure is injected.
    std::optional<int> Enter(usb_dev_handle* h, const std::string& call, const std::string& args)
    {
        hooks.Record(call + args);
        if (int e = Check(h); e) return e;
        return hooks.Fails(call);
    }

    // Both handles reach the same enumeration of the same device.
    static bool SameDevice(const usb_dev_handle* a, const usb_dev_handle* b)
    {
        return a->slot == b->slot && a->instance == b->instance;
    }

    bool ClaimedOnDevice(usb_dev_handle* h) const
    {
        return std::any_of(handles_.begin(), handles_.end(), [&](const usb_dev_handle* other) {
            return SameDevice(other, h) && other->claimedInterface >= 0;
        });
    }

    std::set<usb_dev_handle*> handles_;
};

// The one world of the process, built from QUELLBAR_SIM at the first call.
inline World& TheWorld()
{
    static World world;
    return world;
}

}  // namespace sim::standin
