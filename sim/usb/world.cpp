#include "world.h"

__attribute__((visibility("default"))) struct usb_bus* usb_busses = nullptr;

namespace sim::standin {

World& TheWorld()
{
    static World world;
    world.EnsureInit();
    return world;
}

void SlotPort::Unplug(int backAfterMs) { world_.PortUnplug(id_, backAfterMs); }

}  // namespace sim::standin
