// The stand-in's simulated buses: which device sits in which slot, whether it
// is on the bus, its device number, and when an unplugged one comes back.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "plain_device.h"
#include "quellbar_transport.h"

namespace sim::standin {

class Topology;

// A place on a bus; it is the port its device sees.
struct Slot final : sim::Port {
    void Unplug(int backAfterMs) override;

    Topology* topology = nullptr;
    int id = 0;
    int bus = 0;
    std::unique_ptr<sim::Device> device;
    bool present = false;
    bool returning = false;  // off the bus, coming back at backAt
    Clock::time_point backAt{};
    uint8_t devnum = 0;
    uint64_t instance = 0;  // which enumeration of the device is on the bus
};

struct Bus {
    std::vector<int> order;  // slot ids, in list order
    int nextDevnum = 1;
};

class Topology {
public:
    // The root hub and one Quellbar, set up by QUELLBAR_SIM.
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

    int AddBus()
    {
        buses_.emplace_back();
        return static_cast<int>(buses_.size()) - 1;
    }

    int AddDevice(int bus, std::unique_ptr<sim::Device> device)
    {
        if (bus < 0 || bus >= static_cast<int>(buses_.size())) return -EINVAL;
        auto slot = std::make_unique<Slot>();
        slot->topology = this;
        slot->id = nextId_++;
        slot->bus = bus;
        slot->device = std::move(device);
        const int id = slot->id;
        slots_[id] = std::move(slot);
        buses_[bus].order.push_back(id);
        Plug(*slots_[id], false);
        return id;
    }

    size_t BusCount() const { return buses_.size(); }
    const std::vector<int>& Order(size_t bus) const { return buses_[bus].order; }

    Slot* FindSlot(int id)
    {
        auto it = slots_.find(id);
        return it == slots_.end() ? nullptr : it->second.get();
    }

    // The slot, if that enumeration of its device is still on the bus.
    Slot* Live(int id, uint64_t instance)
    {
        Slot* s = FindSlot(id);
        return s && s->present && s->instance == instance ? s : nullptr;
    }

    sim::PlainDevice* Plain(int id)
    {
        Slot* s = FindSlot(id);
        return s ? dynamic_cast<sim::PlainDevice*>(s->device.get()) : nullptr;
    }

    sim::QuellbarTransport* FirstQuellbar()
    {
        for (auto& [id, slot] : slots_) {
            if (auto* q = dynamic_cast<sim::QuellbarTransport*>(slot->device.get())) return q;
        }
        return nullptr;
    }

    void SetReenumMs(int ms) { reenumMs_ = ms; }

    int Unplug(int id, int backAfterMs)
    {
        Slot* s = FindSlot(id);
        if (!s) return -EINVAL;
        if (s->present) s->device->PlugChanged(false);
        TakeOff(*s, backAfterMs);
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

    // Resets the device; true when it stays on the bus, as Linux does it,
    // false when it leaves to re-enumerate and every handle to it goes stale.
    bool ResetInPlace(Slot& s)
    {
        s.device->Reset();
        if (reenumMs_ < 0) return true;
        TakeOff(s, reenumMs_);
        return false;
    }

    // Devices whose re-enumeration delay has passed come back.
    void Refresh()
    {
        const auto now = Clock::now();
        for (auto& [id, slot] : slots_) {
            if (!slot->present && slot->returning && now >= slot->backAt) Plug(*slot, true);
        }
    }

private:
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
        s.device->AttachPort(&s);
        s.device->PlugChanged(true);
    }

    // Off the bus; back after backAfterMs, or never if it is < 0.
    static void TakeOff(Slot& s, int backAfterMs)
    {
        s.present = false;
        s.devnum = 0;
        s.returning = backAfterMs >= 0;
        s.backAt = Clock::now() + std::chrono::milliseconds(std::max(0, backAfterMs));
    }

    std::map<int, std::unique_ptr<Slot>> slots_;
    std::vector<Bus> buses_;
    int reenumMs_ = -1;  // < 0: usb_reset in place
    int nextId_ = 1;
    uint64_t nextInstance_ = 1;
};

inline void Slot::Unplug(int backAfterMs) { topology->Unplug(id, backAfterMs); }

}  // namespace sim::standin
