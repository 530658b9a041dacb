// The control calls tests steer the stand-in with (simctl.h).
#include "world.h"

using sim::standin::Scripted;
using sim::standin::TheWorld;

SIM_EXPORT void simctl_reset(void) { TheWorld().ResetEmpty(); }
SIM_EXPORT int simctl_add_bus(void) { return TheWorld().topology.AddBus(); }
SIM_EXPORT int simctl_add_device(int bus, unsigned vendor, unsigned product)
{
    return TheWorld().topology.AddDevice(
        bus, std::make_unique<sim::PlainDevice>(static_cast<uint16_t>(vendor), static_cast<uint16_t>(product)));
}

SIM_EXPORT int simctl_add_quellbar(int bus, const char* options)
{
    quellbar::Options parsed;
    if (!quellbar::ParseOptions(options ? options : "", parsed).empty()) return -EINVAL;
    return TheWorld().topology.AddDevice(bus, std::make_unique<sim::QuellbarTransport>(parsed));
}

SIM_EXPORT int simctl_quellbar_configure(const char* options)
{
    auto* q = TheWorld().topology.FirstQuellbar();
    if (!q) return -ENODEV;
    quellbar::Options probe = q->Model().Opts();
    quellbar::OptionsSeen seen;
    if (!quellbar::ParseOptions(options ? options : "", probe, &seen).empty()) return -EINVAL;
    if (!q->Model().Configure(options ? options : "").empty()) return -EINVAL;
    if (seen.reset || seen.reenumMs) TheWorld().topology.SetReenumMs(probe.reenumerate ? probe.reenumMs : -1);
    return 0;
}

SIM_EXPORT int simctl_quellbar_inject(const char* fault)
{
    auto* q = TheWorld().topology.FirstQuellbar();
    if (!q) return -ENODEV;
    return q->Model().Inject(fault ? fault : "").empty() ? 0 : -EINVAL;
}

SIM_EXPORT int simctl_fail(const char* call, int result, int times)
{
    return TheWorld().hooks.SetFailure(call ? call : "", result, times);
}

SIM_EXPORT void simctl_script_data(int dir, const unsigned char* data, int length, int delay_ms)
{
    Scripted s{Scripted::Data, {}, 0, delay_ms};
    if (data && length > 0) s.data.assign(data, data + length);
    TheWorld().hooks.AddScript(dir, std::move(s));
}
SIM_EXPORT void simctl_script_error(int dir, int error, int delay_ms)
{
    TheWorld().hooks.AddScript(dir, Scripted{Scripted::Error, {}, error, delay_ms});
}
SIM_EXPORT void simctl_script_stall(int dir) { TheWorld().hooks.AddScript(dir, Scripted{Scripted::Stall, {}, 0, 0}); }

SIM_EXPORT int simctl_device_send(int id, const unsigned char* data, int length)
{
    auto* d = TheWorld().topology.Plain(id);
    if (!d || length < 0 || (!data && length > 0)) return -EINVAL;
    d->Send(data, length);
    return 0;
}
SIM_EXPORT int simctl_device_stall(int id, int dir, int on)
{
    auto* d = TheWorld().topology.Plain(id);
    if (!d) return -EINVAL;
    d->Stall(dir == SIMCTL_IN, on != 0);
    return 0;
}
SIM_EXPORT int simctl_device_pace(int id, int max_piece, int delay_ms)
{
    auto* d = TheWorld().topology.Plain(id);
    if (!d) return -EINVAL;
    d->Pace(std::max(0, max_piece), std::max(0, delay_ms));
    return 0;
}
SIM_EXPORT int simctl_device_received(int id, unsigned char* buf, int size)
{
    auto* d = TheWorld().topology.Plain(id);
    if (!d) return -EINVAL;
    const auto& r = d->Received();
    if (buf && size > 0) std::copy_n(r.begin(), std::min<size_t>(r.size(), static_cast<size_t>(size)), buf);
    return static_cast<int>(r.size());
}
SIM_EXPORT int simctl_device_requests(int id, int dir, int* sizes, int size)
{
    auto* d = TheWorld().topology.Plain(id);
    if (!d) return -EINVAL;
    const auto& r = d->Requests(dir == SIMCTL_IN);
    if (sizes && size > 0) std::copy_n(r.begin(), std::min<size_t>(r.size(), static_cast<size_t>(size)), sizes);
    return static_cast<int>(r.size());
}

SIM_EXPORT void simctl_set_reenum_ms(int ms) { TheWorld().topology.SetReenumMs(ms); }
SIM_EXPORT int simctl_unplug(int id, int back_after_ms) { return TheWorld().topology.Unplug(id, back_after_ms); }
SIM_EXPORT int simctl_replug(int id) { return TheWorld().topology.Replug(id); }
SIM_EXPORT int simctl_devnum(int id) { return TheWorld().topology.Devnum(id); }
SIM_EXPORT int simctl_open_handles(void) { return TheWorld().OpenHandles(); }

SIM_EXPORT int simctl_calls(char* buf, int size)
{
    const std::string all = TheWorld().hooks.Calls();
    if (buf && size > 0) {
        const size_t n = std::min(all.size(), static_cast<size_t>(size - 1));
        std::copy_n(all.data(), n, buf);
        buf[n] = '\0';
    }
    return static_cast<int>(all.size());
}
SIM_EXPORT void simctl_clear_calls(void) { TheWorld().hooks.ClearCalls(); }
