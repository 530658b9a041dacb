// The stand-in libusb 0.1's world: simulated buses and their devices, the
// handles opened on them, bulk transfers, and the hooks tests steer it with.
// libusb_api.cpp and simctl.cpp export it as libusb 0.1 and as simctl_*.
#pragma once

#include <usb.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "plain_device.h"
#include "quellbar_transport.h"
#include "sim_device.h"
#include "simctl.h"
#include "timing.h"

#define SIM_EXPORT extern "C" __attribute__((visibility("default")))

// usb.h declares usb_busses, the bus list head libusb 0.1 exports as a
// variable; world.cpp defines it.

struct usb_dev_handle {
    int slot;
    uint64_t instance;  // which enumeration of the device the handle belongs to
    int claimedInterface = -1;
};

namespace sim::standin {

using sim::Clock;

// Only these endpoints exist on every simulated device (as on the Quellbar).
constexpr int kEndpointIn = 0x82;
constexpr int kEndpointOut = 0x01;
constexpr int kInterface = 0;
constexpr int kConfiguration = 1;
// How long the host takes to give up a request whose device left the bus.
constexpr auto kLeftSettle = std::chrono::milliseconds(500);

struct Scripted {
    enum Kind { Data, Error, Stall } kind;
    std::vector<uint8_t> data;
    int error = 0;
    int delayMs = 0;
};

struct Failure {
    int result = 0;
    int times = 0;  // -1: always
};

class World;

struct Slot;

class SlotPort final : public sim::Port {
public:
    SlotPort(World& world, int id) : world_(world), id_(id) {}
    void Unplug(int backAfterMs) override;

private:
    World& world_;
    int id_;
};

struct Slot {
    int id = 0;
    int bus = 0;
    std::unique_ptr<sim::Device> device;
    sim::PlainDevice* plain = nullptr;
    sim::QuellbarTransport* quellbar = nullptr;
    std::unique_ptr<SlotPort> port;
    bool present = false;
    bool returning = false;  // off the bus, coming back at backAt
    Clock::time_point backAt{};
    uint8_t devnum = 0;
    uint64_t instance = 0;
};

struct Bus {
    std::vector<int> order;  // slot ids, in list order
    int nextDevnum = 1;
};

class World {
public:
    void EnsureInit()
    {
        if (initialised_) return;
        initialised_ = true;
        BuildFromEnvironment();
    }

    void ResetEmpty()
    {
        FreeLists();
        for (auto* h : handles_) delete h;
        handles_.clear();
        slots_.clear();
        buses_.clear();
        calls_.clear();
        failures_.clear();
        scripts_[0].clear();
        scripts_[1].clear();
        reenumMs_ = -1;
        nextId_ = 1;
        nextInstance_ = 1;
        initialised_ = true;
    }

    int AddBus()
    {
        buses_.emplace_back();
        return static_cast<int>(buses_.size()) - 1;
    }

    int AddDevice(int bus, std::unique_ptr<sim::Device> device)
    {
        if (bus < 0 || bus >= static_cast<int>(buses_.size())) return -EINVAL;
        auto slot = std::make_unique<Slot>();
        slot->id = nextId_++;
        slot->bus = bus;
        slot->plain = dynamic_cast<sim::PlainDevice*>(device.get());
        slot->quellbar = dynamic_cast<sim::QuellbarTransport*>(device.get());
        slot->device = std::move(device);
        slot->port = std::make_unique<SlotPort>(*this, slot->id);
        const int id = slot->id;
        slots_[id] = std::move(slot);
        buses_[bus].order.push_back(id);
        Plug(*slots_[id], false);
        return id;
    }

    Slot* FindSlot(int id)
    {
        auto it = slots_.find(id);
        return it == slots_.end() ? nullptr : it->second.get();
    }

    sim::PlainDevice* Plain(int id)
    {
        Slot* s = FindSlot(id);
        return s ? s->plain : nullptr;
    }

    sim::QuellbarTransport* FirstQuellbar()
    {
        for (auto& [id, slot] : slots_) {
            if (slot->quellbar) return slot->quellbar;
        }
        return nullptr;
    }

    void SetReenumMs(int ms) { reenumMs_ = ms; }

    int Unplug(int id, int backAfterMs)
    {
        Slot* s = FindSlot(id);
        if (!s) return -EINVAL;
        if (s->present) s->device->PlugChanged(false);
        s->present = false;
        s->devnum = 0;
        s->returning = backAfterMs >= 0;
        s->backAt = Clock::now() + std::chrono::milliseconds(std::max(0, backAfterMs));
        return 0;
    }

    int Replug(int id)
    {
        Slot* s = FindSlot(id);
        if (!s) return -EINVAL;
        if (!s->present) Plug(*s, true);
        return 0;
    }

    int Devnum(int id)
    {
        Slot* s = FindSlot(id);
        if (!s) return -EINVAL;
        Refresh();
        return s->present ? s->devnum : 0;
    }

    int OpenHandles() const { return static_cast<int>(handles_.size()); }

    void Record(std::string call) { calls_.push_back(std::move(call)); }
    std::string Calls() const
    {
        std::string all;
        for (const auto& c : calls_) all += c + "\n";
        return all;
    }
    void ClearCalls() { calls_.clear(); }

    int SetFailure(const std::string& call, int result, int times)
    {
        static const std::set<std::string> known = {
            "usb_open", "usb_set_configuration", "usb_claim_interface", "usb_set_altinterface", "usb_release_interface",
            "usb_reset"};
        if (!known.count(call)) return -EINVAL;
        failures_[call] = Failure{result, times};
        return 0;
    }

    void AddScript(int dir, Scripted s)
    {
        if (dir == SIMCTL_IN || dir == SIMCTL_OUT) scripts_[dir].push_back(std::move(s));
    }

    // --- libusb operations ---

    int FindBusses()
    {
        // Buses only change through the control interface; the C structs follow.
        int changes = 0;
        while (busStructs_.size() < buses_.size()) {
            auto* b = static_cast<usb_bus*>(std::calloc(1, sizeof(usb_bus)));
            std::snprintf(b->dirname, sizeof b->dirname, "%03zu", busStructs_.size() + 1);
            b->location = static_cast<uint32_t>(busStructs_.size() + 1);
            busStructs_.push_back(b);
            ++changes;
        }
        Relink();
        return changes;
    }

    int FindDevices()
    {
        Refresh();
        int changes = 0;
        for (size_t b = 0; b < busStructs_.size(); ++b) {
            usb_bus* bus = busStructs_[b];
            // Gone, or re-enumerated under another number: the old struct is freed.
            for (struct usb_device* d = bus->devices; d != nullptr;) {
                struct usb_device* next = d->next;
                auto it = listed_.find(d);
                Slot* s = it == listed_.end() ? nullptr : FindSlot(it->second.first);
                if (!s || !s->present || s->instance != it->second.second) {
                    listed_.erase(d);
                    std::free(d);
                    ++changes;
                }
                d = next;
            }
            bus->devices = nullptr;
            std::vector<struct usb_device*> list;
            for (int id : buses_[b].order) {
                Slot* s = FindSlot(id);
                if (!s->present) continue;
                struct usb_device* d = StructOf(*s);
                if (!d) {
                    d = static_cast<struct usb_device*>(std::calloc(1, sizeof(struct usb_device)));
                    std::snprintf(d->filename, sizeof d->filename, "%03u", static_cast<unsigned>(s->devnum));
                    d->bus = bus;
                    d->devnum = s->devnum;
                    d->descriptor.bLength = USB_DT_DEVICE_SIZE;
                    d->descriptor.bDescriptorType = USB_DT_DEVICE;
                    d->descriptor.bcdUSB = 0x0200;
                    d->descriptor.bMaxPacketSize0 = 64;
                    d->descriptor.idVendor = s->device->VendorId();
                    d->descriptor.idProduct = s->device->ProductId();
                    d->descriptor.bNumConfigurations = 1;
                    listed_[d] = {s->id, s->instance};
                    ++changes;
                }
                list.push_back(d);
            }
            for (size_t i = 0; i < list.size(); ++i) {
                list[i]->prev = i > 0 ? list[i - 1] : nullptr;
                list[i]->next = i + 1 < list.size() ? list[i + 1] : nullptr;
            }
            bus->devices = list.empty() ? nullptr : list.front();
            bus->root_dev = bus->devices;
        }
        return changes;
    }

    usb_dev_handle* Open(struct usb_device* dev)
    {
        auto it = dev ? listed_.find(dev) : listed_.end();
        if (it == listed_.end()) {
            Record("usb_open(stale)");
            return nullptr;
        }
        Record("usb_open(" + std::to_string(it->second.first) + ")");
        if (Fails("usb_open", nullptr)) return nullptr;
        auto* h = new usb_dev_handle{it->second.first, it->second.second};
        handles_.insert(h);
        return h;
    }

    int Close(usb_dev_handle* h)
    {
        Record("usb_close");
        if (!handles_.count(h)) return -EBADF;
        handles_.erase(h);
        delete h;
        return 0;
    }

    struct usb_device* DeviceOf(usb_dev_handle* h)
    {
        if (!handles_.count(h)) return nullptr;
        Slot* s = Live(h);
        return s ? StructOf(*s) : nullptr;
    }

    int SetConfiguration(usb_dev_handle* h, int configuration)
    {
        Record("usb_set_configuration(" + std::to_string(configuration) + ")");
        int result = 0;
        if (int e = Check(h); e) return e;
        if (Fails("usb_set_configuration", &result)) return result;
        if (ClaimedOnDevice(h)) return -EBUSY;
        return configuration == kConfiguration ? 0 : -EINVAL;
    }

    int ClaimInterface(usb_dev_handle* h, int interface)
    {
        Record("usb_claim_interface(" + std::to_string(interface) + ")");
        int result = 0;
        if (int e = Check(h); e) return e;
        if (Fails("usb_claim_interface", &result)) return result;
        if (interface != kInterface) return -ENOENT;
        if (h->claimedInterface == interface) return 0;
        if (ClaimedOnDevice(h)) return -EBUSY;
        h->claimedInterface = interface;
        return 0;
    }

    int ReleaseInterface(usb_dev_handle* h, int interface)
    {
        Record("usb_release_interface(" + std::to_string(interface) + ")");
        int result = 0;
        if (int e = Check(h); e) return e;
        if (Fails("usb_release_interface", &result)) return result;
        if (h->claimedInterface != interface) return -EINVAL;
        h->claimedInterface = -1;
        return 0;
    }

    int SetAltInterface(usb_dev_handle* h, int alternate)
    {
        Record("usb_set_altinterface(" + std::to_string(alternate) + ")");
        int result = 0;
        if (int e = Check(h); e) return e;
        if (Fails("usb_set_altinterface", &result)) return result;
        if (h->claimedInterface < 0) return -EINVAL;  // libusb 0.1 needs a claimed interface
        return alternate == 0 ? 0 : -EINVAL;
    }

    int ResetDevice(usb_dev_handle* h)
    {
        Record("usb_reset");
        int result = 0;
        if (int e = Check(h); e) return e;
        if (Fails("usb_reset", &result)) return result;
        Slot* s = FindSlot(h->slot);
        s->device->Reset();
        if (reenumMs_ < 0) {
            // In place, as Linux does it: same number and node, handles still
            // reach the device, but every claim on it is gone.
            for (auto* other : handles_) {
                if (other->slot == h->slot && other->instance == h->instance) other->claimedInterface = -1;
            }
            return 0;
        }
        // Off the bus while re-enumerating; every handle to it goes stale.
        s->present = false;
        s->devnum = 0;
        s->returning = true;
        s->backAt = Clock::now() + std::chrono::milliseconds(reenumMs_);
        return 0;
    }

    int Bulk(usb_dev_handle* h, bool in, int ep, uint8_t* bytes, int size, int timeout)
    {
        char call[96];
        std::snprintf(call, sizeof call, "usb_bulk_%s(0x%02x,%d,%d)", in ? "read" : "write", ep, size, timeout);
        Record(call);
        if (int e = Check(h); e) return e;
        // libusb 0.1 forces the direction bit; the kernel rejects unknown endpoints.
        ep = in ? (ep | USB_ENDPOINT_IN) : (ep & ~USB_ENDPOINT_IN);
        if (ep != (in ? kEndpointIn : kEndpointOut)) return -ENOENT;
        if (size < 0) return -EINVAL;
        if (bytes == nullptr && size > 0) return -EFAULT;

        auto& script = scripts_[in ? SIMCTL_IN : SIMCTL_OUT];
        if (!script.empty()) {
            Scripted s = std::move(script.front());
            script.pop_front();
            return RunScript(s, in, bytes, size);
        }

        // One deadline for the whole call, as libusb 0.1.12 computes it once.
        const Clock::time_point deadline =
            timeout > 0 ? Clock::now() + std::chrono::milliseconds(timeout) : Clock::time_point::max();
        Slot* s = FindSlot(h->slot);
        sim::Device& device = *s->device;
        int done = 0;
        int requested = 0;
        int moved = 0;
        do {
            if (!Live(h)) return -ENODEV;
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

    void PortUnplug(int id, int backAfterMs) { Unplug(id, backAfterMs); }

private:
    void BuildFromEnvironment()
    {
        quellbar::Options options;
        const char* env = std::getenv("QUELLBAR_SIM");
        if (env) {
            const std::string problem = quellbar::ParseOptions(env, options);
            if (!problem.empty()) std::fprintf(stderr, "QUELLBAR_SIM: %s\n", problem.c_str());
        }
        reenumMs_ = options.reenumerate ? options.reenumMs : -1;
        const int bus = AddBus();
        AddDevice(bus, std::make_unique<sim::PlainDevice>(quellbar::kRootHubVendor, quellbar::kRootHubProduct));
        const int id = AddDevice(bus, std::make_unique<sim::QuellbarTransport>(options));
        if (!options.present) Unplug(id, -1);
    }

    void Plug(Slot& s, bool first)
    {
        Bus& bus = buses_[s.bus];
        s.present = true;
        s.returning = false;
        s.devnum = static_cast<uint8_t>(bus.nextDevnum);
        bus.nextDevnum = bus.nextDevnum >= 127 ? 2 : bus.nextDevnum + 1;
        s.instance = nextInstance_++;
        if (first) {
            auto& order = bus.order;
            order.erase(std::find(order.begin(), order.end(), s.id));
            order.insert(order.begin(), s.id);
        }
        s.device->AttachPort(s.port.get());
        s.device->PlugChanged(true);
    }

    // Devices whose re-enumeration delay has passed come back.
    void Refresh()
    {
        const auto now = Clock::now();
        for (auto& [id, slot] : slots_) {
            if (!slot->present && slot->returning && now >= slot->backAt) Plug(*slot, true);
        }
    }

    struct usb_device* StructOf(const Slot& s)
    {
        for (auto& [dev, key] : listed_) {
            if (key.first == s.id && key.second == s.instance) return dev;
        }
        return nullptr;
    }

    void Relink()
    {
        for (size_t i = 0; i < busStructs_.size(); ++i) {
            busStructs_[i]->prev = i > 0 ? busStructs_[i - 1] : nullptr;
            busStructs_[i]->next = i + 1 < busStructs_.size() ? busStructs_[i + 1] : nullptr;
        }
        usb_busses = busStructs_.empty() ? nullptr : busStructs_.front();
    }

    void FreeLists()
    {
        for (auto& [dev, key] : listed_) std::free(dev);
        listed_.clear();
        for (auto* b : busStructs_) std::free(b);
        busStructs_.clear();
        usb_busses = nullptr;
    }

    // The slot behind a handle, if the handle still reaches the device.
    Slot* Live(usb_dev_handle* h)
    {
        Slot* s = FindSlot(h->slot);
        return s && s->present && s->instance == h->instance ? s : nullptr;
    }

    int Check(usb_dev_handle* h)
    {
        if (!handles_.count(h)) return -EBADF;
        return Live(h) ? 0 : -ENODEV;
    }

    bool ClaimedOnDevice(usb_dev_handle* h) const
    {
        for (auto* other : handles_) {
            if (other->slot == h->slot && other->instance == h->instance && other->claimedInterface >= 0) return true;
        }
        return false;
    }

    bool Fails(const std::string& call, int* result)
    {
        auto it = failures_.find(call);
        if (it == failures_.end() || it->second.times == 0) return false;
        if (result) *result = it->second.result;
        if (it->second.times > 0) --it->second.times;
        return true;
    }

    int RunScript(const Scripted& s, bool in, uint8_t* bytes, int size)
    {
        if (s.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(s.delayMs));
        switch (s.kind) {
        case Scripted::Stall: return 0;
        case Scripted::Error: return s.error;
        case Scripted::Data: {
            const int n = std::min(size, static_cast<int>(s.data.size()));
            if (in) std::copy_n(s.data.begin(), n, bytes);
            return n;
        }
        }
        return -EINVAL;
    }

    bool initialised_ = false;
    std::map<int, std::unique_ptr<Slot>> slots_;
    std::vector<Bus> buses_;
    std::vector<usb_bus*> busStructs_;
    std::map<struct usb_device*, std::pair<int, uint64_t>> listed_;  // struct -> (slot, instance)
    std::set<usb_dev_handle*> handles_;
    std::vector<std::string> calls_;
    std::map<std::string, Failure> failures_;
    std::deque<Scripted> scripts_[2];
    int reenumMs_ = -1;  // < 0: usb_reset in place
    int nextId_ = 1;
    uint64_t nextInstance_ = 1;
};

// The one world of the process, built from QUELLBAR_SIM at the first call.
World& TheWorld();

}  // namespace sim::standin
