// The libusb 0.1 bus and device lists callers walk from usb_busses (defined in
// libusb_api.cpp), brought up to date with the topology by usb_find_*.
#pragma once

#include <usb.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

#include "bus_topology.h"

namespace sim::standin {

class DeviceLists {
public:
    // Which enumeration of which slot a listed struct stands for.
    using Key = std::pair<int, uint64_t>;  // (slot, instance)

    explicit DeviceLists(Topology& topology) : topology_(topology) {}

    int FindBusses()
    {
        // Buses only change through the control interface; the C structs follow.
        int changes = 0;
        while (busStructs_.size() < topology_.BusCount()) {
            auto* b = static_cast<usb_bus*>(std::calloc(1, sizeof(usb_bus)));
            std::snprintf(b->dirname, sizeof b->dirname, "%03zu", busStructs_.size() + 1);
            b->location = static_cast<uint32_t>(busStructs_.size() + 1);
            busStructs_.push_back(b);
            ++changes;
        }
        usb_busses = Link(busStructs_);
        return changes;
    }

    int FindDevices()
    {
        topology_.Refresh();
        int changes = 0;
        for (size_t b = 0; b < busStructs_.size(); ++b) {
            usb_bus* bus = busStructs_[b];
            // Gone, or re-enumerated under another number: the old struct is freed.
            for (struct usb_device* d = bus->devices; d != nullptr;) {
                struct usb_device* next = d->next;
                auto it = listed_.find(d);
                if (it == listed_.end() || !topology_.Live(it->second.first, it->second.second)) {
                    listed_.erase(d);
                    std::free(d);
                    ++changes;
                }
                d = next;
            }
            bus->devices = nullptr;
            std::vector<struct usb_device*> list;
            for (int id : topology_.Order(b)) {
                Slot* s = topology_.FindSlot(id);
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
            bus->devices = Link(list);
            bus->root_dev = bus->devices;
        }
        return changes;
    }

    // Null for a struct the lists no longer hold.
    const Key* Find(struct usb_device* dev) const
    {
        auto it = listed_.find(dev);
        return it == listed_.end() ? nullptr : &it->second;
    }

    struct usb_device* StructOf(const Slot& s)
    {
        for (auto& [dev, key] : listed_) {
            if (key.first == s.id && key.second == s.instance) return dev;
        }
        return nullptr;
    }

    void Free()
    {
        for (auto& [dev, key] : listed_) std::free(dev);
        listed_.clear();
        for (auto* b : busStructs_) std::free(b);
        busStructs_.clear();
        usb_busses = nullptr;
    }

private:
    // Chains the structs through prev/next in list order; returns the head.
    template <typename T>
    static T* Link(const std::vector<T*>& list)
    {
        for (size_t i = 0; i < list.size(); ++i) {
            list[i]->prev = i > 0 ? list[i - 1] : nullptr;
            list[i]->next = i + 1 < list.size() ? list[i + 1] : nullptr;
        }
        return list.empty() ? nullptr : list.front();
    }

    Topology& topology_;
    std::vector<usb_bus*> busStructs_;
    std::map<struct usb_device*, Key> listed_;
};

}  // namespace sim::standin
