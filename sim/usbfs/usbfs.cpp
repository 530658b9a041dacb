#include "usbfs.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <set>

namespace usbfs {
namespace {

using Clock = std::chrono::steady_clock;
using quellbar::OutResult;

// An empty REAPURBNDELAY is answered this late: libusb 0.1 polls it between
// 1 ms select()s on a node that is always ready, and would spin otherwise.
constexpr auto kEmptyReapDelay = std::chrono::milliseconds(1);
constexpr uint16_t kRootHubVendor = 0x1d6b, kRootHubProduct = 0x0002;

using Named = std::pair<unsigned long, const char*>;
#define USBFS_NAMED(request) Named(USBDEVFS_##request, #request)
constexpr Named kNames[] = {
    USBFS_NAMED(CONNECTINFO),      USBFS_NAMED(IOCTL),          USBFS_NAMED(GETDRIVER),
    USBFS_NAMED(SETCONFIGURATION), USBFS_NAMED(CLAIMINTERFACE), USBFS_NAMED(RELEASEINTERFACE),
    USBFS_NAMED(SETINTERFACE),     USBFS_NAMED(RESET),          USBFS_NAMED(SUBMITURB),
    USBFS_NAMED(DISCARDURB),       USBFS_NAMED(REAPURB),        USBFS_NAMED(REAPURBNDELAY),
};
#undef USBFS_NAMED

std::string NameOf(unsigned long request)
{
    for (const auto& [r, name] : kNames) {
        if (r == request) return name;
    }
    return "UNKNOWN";
}

struct Urb {
    UMockdevIoctlData* urb = nullptr;  // the client's struct, resolved
    UMockdevIoctlData* buffer = nullptr;
    int length = 0;
    int moved = 0;
    bool done = false;
    int status = 0;
    int reapErrno = 0;  // every reap fails with this until the host gives the URB up
    Clock::time_point readyAt{};

    void Release() const
    {
        g_object_unref(urb);
        g_object_unref(buffer);
    }
};

}  // namespace

struct Device;

struct Node {
    Bus::Impl* bus = nullptr;
    Device* device = nullptr;  // null: the root hub
    int devnum = 0;
    bool gone = false;
    std::string syspath, devnode;
    UMockdevIoctlBase* handler = nullptr;
};

struct Device {
    int id = 0;
    int busnum = 0;
    uint16_t vendor = 0, product = 0;
    std::unique_ptr<quellbar::Device> model;  // null: a plain device
    Node* node = nullptr;
};

struct Handle {
    Node* node = nullptr;
    int serial = 0;  // names the handle in the call record
    bool claimed = false;
    std::deque<Urb> urbs;
};

struct Bus::Impl {
    std::mutex m;
    UMockdevTestbed* testbed = umockdev_testbed_new();
    std::string root;                          // the testbed's folder
    std::vector<std::unique_ptr<Node>> nodes;  // never freed: handlers point at them
    std::vector<std::unique_ptr<Device>> devices;
    std::map<int, int> nextDevnum;  // by bus number
    std::map<UMockdevIoctlClient*, Handle> handles;
    std::map<std::string, std::pair<int, int>> failures;  // ioctl name: errno, times left
    std::vector<std::pair<int, std::string>> calls;       // by handle serial
    std::set<int> busy;                                   // the serials of handles that did more than open and close
    int serials = 0;

    // Work due later, run by `timer` under the lock.
    std::multimap<Clock::time_point, std::function<void()>> due;
    std::condition_variable wake;
    bool stopping = false;
    std::thread timer;

    void Later(Clock::duration after, std::function<void()> f)
    {
        due.emplace(Clock::now() + after, std::move(f));
        wake.notify_one();
    }
    void RunTimer();
    int Add(int bus, uint16_t vendor, uint16_t product, std::unique_ptr<quellbar::Device> model);
    Device& At(int id) { return *devices.at(static_cast<size_t>(id - 1)); }

    void Plug(Device* device, int busnum);
    void Leave(Node* node, int backAfterMs);
    void Record(const Handle& h, const std::string& what)
    {
        if (!h.node->device) return;
        calls.emplace_back(h.serial, std::to_string(h.node->device->id) + " " + what);
        if (what != "open" && what != "close") busy.insert(h.serial);
    }
    bool ClaimedElsewhere(const Node* node, const Handle& h) const
    {
        return std::any_of(handles.begin(), handles.end(),
                           [&](const auto& e) { return e.second.node == node && e.second.claimed && &e.second != &h; });
    }

    void Ioctl(Node* node, UMockdevIoctlClient* client);
    void Submit(Handle& h, UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void Advance(Handle& h, Urb& u);
    void Reap(UMockdevIoctlClient* client, bool block, bool firstTry);
};

namespace {

gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer node)
{
    auto* n = static_cast<Node*>(node);
    n->bus->Ioctl(n, client);
    return TRUE;
}

// umockdev 0.17 does not emit client-vanished: a client is gone when
// umockdev drops its object, after the host closed the node.
void OnClientGone(gpointer node, GObject* client)
{
    Bus::Impl& bus = *static_cast<Node*>(node)->bus;
    std::lock_guard lock(bus.m);
    auto it = bus.handles.find(reinterpret_cast<UMockdevIoctlClient*>(client));
    if (it == bus.handles.end()) return;
    for (const Urb& u : it->second.urbs) u.Release();
    bus.Record(it->second, "close");
    bus.handles.erase(it);
}

void OnConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer node)
{
    auto* n = static_cast<Node*>(node);
    std::lock_guard lock(n->bus->m);
    Handle& h = n->bus->handles[client];
    h.node = n;
    h.serial = ++n->bus->serials;
    n->bus->Record(h, "open");
    g_object_weak_ref(G_OBJECT(client), OnClientGone, node);
}

}  // namespace

void Bus::Impl::RunTimer()
{
    std::unique_lock lock(m);
    while (!stopping) {
        if (due.empty()) {
            wake.wait(lock);
        } else if (due.begin()->first > Clock::now()) {
            wake.wait_until(lock, due.begin()->first);
        } else {
            auto f = std::move(due.begin()->second);
            due.erase(due.begin());
            f();
        }
    }
}

void Bus::Impl::Plug(Device* device, int busnum)
{
    auto node = std::make_unique<Node>();
    node->bus = this;
    node->device = device;
    node->devnum = nextDevnum[busnum]++;
    char name[64];
    std::snprintf(name, sizeof name, "/dev/bus/usb/%03d/%03d", busnum, node->devnum);
    node->devnode = name;
    std::snprintf(name, sizeof name, "usb%d-%d", busnum, node->devnum);
    // A character device (usb_device, major 189) makes umockdev create the node.
    const std::string dev = "189:" + std::to_string((busnum - 1) * 128 + node->devnum - 1);
    char* syspath = umockdev_testbed_add_device(testbed, "usb", name, nullptr, "dev", dev.c_str(), nullptr, "DEVNAME",
                                                node->devnode.c_str() + 5, "DEVTYPE", "usb_device", nullptr);
    node->syspath = syspath;
    g_free(syspath);
    // libusb reads the descriptors from the node itself.
    const int packet = device && device->model ? device->model->Opts().maxPacket : quellbar::kFullSpeedPacket;
    const auto bytes = device ? quellbar::Descriptors(device->vendor, device->product, packet)
                              : quellbar::Descriptors(kRootHubVendor, kRootHubProduct, packet);
    const std::filesystem::path file = root + node->devnode;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));

    node->handler = umockdev_ioctl_base_new();
    g_signal_connect(node->handler, "handle-ioctl", G_CALLBACK(OnIoctl), node.get());
    g_signal_connect(node->handler, "client-connected", G_CALLBACK(OnConnected), node.get());
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed, node->devnode.c_str(), node->handler, &error)) {
        std::fprintf(stderr, "usbfs: cannot emulate %s: %s\n", node->devnode.c_str(), error->message);
        g_error_free(error);
    }
    if (device) device->node = node.get();
    if (device && device->model) device->model->Plugged(true);
    nodes.push_back(std::move(node));
}

void Bus::Impl::Leave(Node* node, int backAfterMs)
{
    if (node->gone) return;
    node->gone = true;
    umockdev_testbed_remove_device(testbed, node->syspath.c_str());
    std::remove((root + node->devnode).c_str());
    Device* device = node->device;
    if (device->model) device->model->Plugged(false);
    // Pending transfers end as usbfs ends them when the device goes.
    for (auto& [client, h] : handles) {
        for (Urb& u : h.urbs) {
            if (h.node != node || u.done) continue;
            u.done = true;
            u.status = -EPROTO;
            u.readyAt = Clock::now() + quellbar::kLeaveLatency;
        }
    }
    if (backAfterMs >= 0) {
        Later(std::chrono::milliseconds(backAfterMs), [this, device] { Plug(device, device->busnum); });
    }
}

void Bus::Impl::Ioctl(Node* node, UMockdevIoctlClient* client)
{
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::lock_guard lock(m);
    Handle& h = handles[client];
    h.node = node;
    const std::string name = NameOf(request);
    auto done = [client](bool ok, int error = 0) { umockdev_ioctl_client_complete(client, ok ? 0 : -1, error); };
    // resolve() hands over a reference of its own: held to the end of the call.
    UMockdevIoctlData* resolved = nullptr;
    auto resolve = [&](size_t size) -> void* {
        return (resolved = umockdev_ioctl_data_resolve(arg, 0, size, nullptr))->data;
    };

    // The scan's own ioctls stay out of the call record; URBs are recorded by
    // direction and size, and by name only when refused.
    const bool reap = request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY;
    const bool urb = reap || request == USBDEVFS_SUBMITURB;
    const bool scan = request == USBDEVFS_CONNECTINFO || request == USBDEVFS_IOCTL || request == USBDEVFS_GETDRIVER;
    if (!scan && !urb) Record(h, name);
    auto refuse = [&](int error) {
        if (urb) Record(h, name);
        done(false, error);
    };
    if (auto f = failures.find(name); f != failures.end() && f->second.second > 0) {
        --f->second.second;
        refuse(f->second.first);
        return;
    }
    // What completed before the device left can still be reaped.
    if (node->gone && !(reap && !h.urbs.empty())) return refuse(ENODEV);
    quellbar::Device* model = node->device ? node->device->model.get() : nullptr;
    switch (request) {
    case USBDEVFS_CONNECTINFO:
        static_cast<usbdevfs_connectinfo*>(resolve(sizeof(usbdevfs_connectinfo)))->devnum =
            static_cast<unsigned>(node->devnum);
        done(true);
        break;
    case USBDEVFS_IOCTL: done(false, ENOSYS); break;  // not a hub: no ports to list
    case USBDEVFS_GETDRIVER: done(false, ENODATA); break;
    case USBDEVFS_SETCONFIGURATION: {
        const bool busy = h.claimed || ClaimedElsewhere(node, h);
        done(!busy, busy ? EBUSY : 0);
        break;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_SETINTERFACE: {
        // Claim and release pass the interface number alone.
        const bool set = request == USBDEVFS_SETINTERFACE;
        const auto* s =
            static_cast<usbdevfs_setinterface*>(resolve(set ? sizeof(usbdevfs_setinterface) : sizeof(unsigned)));
        // Interface 0 of a device (the root hub has none); setting its
        // alternate, usbfs claims it on the caller's behalf.
        if (s->interface != 0 || !node->device) {
            done(false, ENOENT);
        } else if (request == USBDEVFS_RELEASEINTERFACE) {
            done(h.claimed, h.claimed ? 0 : EINVAL);
            h.claimed = false;
        } else if (set && s->altsetting != 0) {
            done(false, EINVAL);
        } else if (!h.claimed && ClaimedElsewhere(node, h)) {
            done(false, EBUSY);
        } else {
            h.claimed = true;
            done(true);
        }
        break;
    }
    case USBDEVFS_RESET:
        // In place, as Linux resets: same node and number; the claims go with it.
        for (auto& [c, other] : handles) {
            if (other.node == node) other.claimed = false;
        }
        if (model) model->Reset();
        if (model && model->Opts().reenumerate) Leave(node, model->Opts().reenumMs);
        done(true);
        break;
    case USBDEVFS_SUBMITURB: Submit(h, client, arg); break;
    case USBDEVFS_DISCARDURB: {
        const gulong target = *reinterpret_cast<gulong*>(arg->data);
        auto it =
            std::find_if(h.urbs.begin(), h.urbs.end(), [&](const Urb& u) { return u.urb->client_addr == target; });
        if (it == h.urbs.end() || (it->done && !it->reapErrno)) {
            done(false, EINVAL);
            break;
        }
        it->done = true;
        it->status = -ENOENT;
        it->reapErrno = 0;
        it->readyAt = Clock::now();
        done(true);
        break;
    }
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: Reap(client, request == USBDEVFS_REAPURB, true); break;
    default: done(false, ENOTTY); break;
    }
    if (resolved) g_object_unref(resolved);
}

void Bus::Impl::Submit(Handle& h, UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    const auto* urb = reinterpret_cast<usbdevfs_urb*>(data->data);
    if (urb->type != USBDEVFS_URB_TYPE_BULK || (urb->endpoint != MARLEX_EP_IN && urb->endpoint != MARLEX_EP_OUT) ||
        urb->buffer_length < 0 || urb->buffer_length > quellbar::kUrbSize) {
        umockdev_ioctl_client_complete(client, -1, urb->type != USBDEVFS_URB_TYPE_BULK ? EINVAL : ENOENT);
        g_object_unref(data);
        return;
    }
    // libusb 0.1 returns a failed reap's errno at its deadline without a
    // discard: such a URB is abandoned once the next one comes.
    std::erase_if(h.urbs, [](const Urb& old) { return old.reapErrno && (old.Release(), true); });
    // Both references are the resolves' own; the URB keeps them until reaped.
    Urb& u = h.urbs.emplace_back();
    const bool in = urb->endpoint == MARLEX_EP_IN;
    u.length = urb->buffer_length;
    u.urb = data;
    u.buffer =
        umockdev_ioctl_data_resolve(data, offsetof(usbdevfs_urb, buffer), static_cast<size_t>(u.length), nullptr);
    Record(h, std::string(in ? "in " : "out ") + std::to_string(u.length));
    umockdev_ioctl_client_complete(client, 0, 0);
    quellbar::Device* model = h.node->device->model.get();
    if (in) return;
    const OutResult r = model ? model->Out(u.buffer->data, static_cast<size_t>(u.length)) : OutResult{};
    if (r.kind == OutResult::Kind::Leave) return Leave(h.node, r.backAfterMs);  // ends the URB with EPROTO later
    u.done = true;
    u.moved = r.kind == OutResult::Kind::Accepted ? u.length : 0;
    u.status = r.kind == OutResult::Kind::Halt ? -EPIPE : 0;
    u.readyAt = Clock::now() + (model ? model->WireTime(static_cast<size_t>(u.length)) : Clock::duration{});
}

// Moves the model's IN transfers into a pending read.
void Bus::Impl::Advance(Handle& h, Urb& u)
{
    quellbar::Device* model = h.node->device->model.get();
    const auto now = Clock::now();
    if (u.done || !model || now < u.readyAt) return;  // (a slow chunk not ready yet)
    using End = quellbar::InRead::End;
    const quellbar::InRead r = model->ReadIn(u.buffer->data + u.moved, static_cast<size_t>(u.length - u.moved));
    u.moved += static_cast<int>(r.moved);
    if (r.end == End::Pending) return;
    if (r.end == End::Delayed) {
        u.readyAt = now + std::chrono::milliseconds(r.delayMs);
        return;
    }
    if (r.end == End::Leave) return Leave(h.node, r.backAfterMs);
    u.done = true;
    u.status = r.end == End::Halted ? -EPIPE : r.end == End::Overflow ? -EOVERFLOW : 0;
    u.reapErrno = r.end == End::Error ? -r.error : 0;
    u.readyAt = now + model->WireTime(static_cast<size_t>(u.moved));
}

void Bus::Impl::Reap(UMockdevIoctlClient* client, bool block, bool firstTry)
{
    Handle& h = handles[client];
    for (Urb& u : h.urbs) Advance(h, u);
    const auto now = Clock::now();
    auto it = std::find_if(h.urbs.begin(), h.urbs.end(), [&](const Urb& u) { return u.done && u.readyAt <= now; });
    if (it != h.urbs.end() && it->reapErrno) return umockdev_ioctl_client_complete(client, -1, it->reapErrno);
    if (it != h.urbs.end()) {
        auto* urb = reinterpret_cast<usbdevfs_urb*>(it->urb->data);
        urb->status = it->status;
        urb->actual_length = it->moved;
        umockdev_ioctl_data_set_ptr(umockdev_ioctl_client_get_arg(client), 0, it->urb);
        umockdev_ioctl_client_complete(client, 0, 0);
        it->Release();
        h.urbs.erase(it);
        return;
    }
    if (h.urbs.empty() && h.node->gone) return umockdev_ioctl_client_complete(client, -1, ENODEV);
    if (!block && !firstTry) return umockdev_ioctl_client_complete(client, -1, EAGAIN);
    // Answer later, off umockdev's worker thread; the client stays waiting, and
    // the reference keeps it, so OnClientGone cannot take its handle meanwhile.
    g_object_ref(client);
    Later(kEmptyReapDelay, [this, client, block] {
        Reap(client, block, false);
        g_object_unref(client);
    });
}

int Bus::Impl::Add(int bus, uint16_t vendor, uint16_t product, std::unique_ptr<quellbar::Device> model)
{
    const int id = static_cast<int>(devices.size()) + 1;
    devices.push_back(std::make_unique<Device>(Device{id, bus, vendor, product, std::move(model)}));
    Plug(devices.back().get(), bus);
    return id;
}

Bus::Bus() : impl_(std::make_unique<Impl>())
{
    gchar* root = umockdev_testbed_get_root_dir(impl_->testbed);
    impl_->root = root;
    g_free(root);
    impl_->timer = std::thread([this] { impl_->RunTimer(); });
    std::lock_guard lock(impl_->m);
    impl_->nextDevnum[1] = 1;
    impl_->Plug(nullptr, 1);
}

Bus::~Bus()
{
    {
        std::lock_guard lock(impl_->m);
        impl_->stopping = true;
        impl_->wake.notify_one();
    }
    impl_->timer.join();
    for (auto& node : impl_->nodes) {
        if (!node->gone) umockdev_testbed_detach_ioctl(impl_->testbed, node->devnode.c_str(), nullptr);
    }
    g_object_unref(impl_->testbed);
    for (auto& node : impl_->nodes) g_object_unref(node->handler);
}

std::string Bus::Dir() const { return impl_->root; }

int Bus::AddBus()
{
    std::lock_guard lock(impl_->m);
    const int busnum = impl_->nextDevnum.rbegin()->first + 1;
    impl_->nextDevnum[busnum] = 1;
    return busnum;
}

int Bus::AddDevice(int bus, uint16_t vendor, uint16_t product)
{
    std::lock_guard lock(impl_->m);
    return impl_->Add(bus, vendor, product, nullptr);
}

int Bus::AddQuellbar(int bus, const quellbar::Options& options)
{
    std::lock_guard lock(impl_->m);
    auto model = std::make_unique<quellbar::Device>(options);
    const uint16_t vendor = model->Opts().vendor, product = model->Opts().product;
    return impl_->Add(bus, vendor, product, std::move(model));
}

void Bus::Unplug(int id, int backAfterMs)
{
    std::lock_guard lock(impl_->m);
    impl_->Leave(impl_->At(id).node, backAfterMs);
}

int Bus::Devnum(int id)
{
    std::lock_guard lock(impl_->m);
    return impl_->At(id).node->devnum;
}

void Bus::FailIoctl(std::string_view name, int error, int times)
{
    std::lock_guard lock(impl_->m);
    impl_->failures[std::string(name)] = {error, times};
}

std::vector<std::string> Bus::Calls()
{
    std::lock_guard lock(impl_->m);
    // A handle that only opened and closed is the bus scan's.
    std::vector<std::string> calls;
    for (const auto& [serial, text] : impl_->calls) {
        if (impl_->busy.count(serial)) calls.push_back(text);
    }
    return calls;
}

void Bus::ClearCalls()
{
    std::lock_guard lock(impl_->m);
    impl_->calls.clear();
    impl_->busy.clear();
}

int Bus::OpenHandles()
{
    std::lock_guard lock(impl_->m);
    return static_cast<int>(std::count_if(impl_->handles.begin(), impl_->handles.end(),
                                          [](const auto& e) { return e.second.node->device != nullptr; }));
}

void Bus::WithModel(int id, const std::function<void(quellbar::Device&)>& f)
{
    std::lock_guard lock(impl_->m);
    f(*impl_->At(id).model);
}

}  // namespace usbfs
