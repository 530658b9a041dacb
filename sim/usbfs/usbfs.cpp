#include "usbfs.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>

namespace usbfs {
namespace {

using Clock = std::chrono::steady_clock;
using quellbar::OutResult;

// A device that leaves the bus while a transfer is pending: usbfs completes
// the URB with EPROTO about this much later (measured on the real kernel).
constexpr auto kLeaveLatency = std::chrono::milliseconds(500);
// An empty REAPURBNDELAY is answered this late: libusb 0.1 polls it between
// 1 ms select()s on a node that is always ready, and would spin otherwise.
constexpr auto kEmptyReapDelay = std::chrono::milliseconds(1);
constexpr uint8_t kEpIn = 0x82, kEpOut = 0x01;

struct Name {
    unsigned long request;
    const char* name;
};
constexpr Name kNames[] = {
    {USBDEVFS_CONNECTINFO, "CONNECTINFO"},
    {USBDEVFS_IOCTL, "IOCTL"},
    {USBDEVFS_GETDRIVER, "GETDRIVER"},
    {USBDEVFS_SETCONFIGURATION, "SETCONFIGURATION"},
    {USBDEVFS_CLAIMINTERFACE, "CLAIMINTERFACE"},
    {USBDEVFS_RELEASEINTERFACE, "RELEASEINTERFACE"},
    {USBDEVFS_SETINTERFACE, "SETINTERFACE"},
    {USBDEVFS_RESET, "RESET"},
    {USBDEVFS_SUBMITURB, "SUBMITURB"},
    {USBDEVFS_DISCARDURB, "DISCARDURB"},
    {USBDEVFS_REAPURB, "REAPURB"},
    {USBDEVFS_REAPURBNDELAY, "REAPURBNDELAY"},
};

const char* NameOf(unsigned long request)
{
    for (const auto& n : kNames) {
        if (n.request == request) return n.name;
    }
    return "UNKNOWN";
}

// The scan's own ioctls stay out of the call record.
bool IsScan(unsigned long request)
{
    return request == USBDEVFS_CONNECTINFO || request == USBDEVFS_IOCTL || request == USBDEVFS_GETDRIVER;
}

void Le16(std::vector<uint8_t>& d, uint16_t v)
{
    d.push_back(static_cast<uint8_t>(v));
    d.push_back(static_cast<uint8_t>(v >> 8));
}

// What libusb reads from the node: the device descriptor, then configuration
// 1 with interface 0 and its two bulk endpoints (a hub: one interrupt endpoint).
std::vector<uint8_t> Descriptors(uint16_t vendor, uint16_t product, int maxPacket, bool hub)
{
    std::vector<uint8_t> d = {18, 1, 0x00, 0x02, static_cast<uint8_t>(hub ? 9 : 0), 0, 0, 64};
    Le16(d, vendor);
    Le16(d, product);
    d.insert(d.end(), {0x00, 0x01, 0, 0, 0, 1});
    const uint8_t endpoints = hub ? 1 : 2;
    d.insert(d.end(), {9, 2});
    Le16(d, static_cast<uint16_t>(9 + 9 + 7 * endpoints));
    d.insert(d.end(), {1, 1, 0, 0x80, 50});
    d.insert(d.end(), {9, 4, 0, 0, endpoints, static_cast<uint8_t>(hub ? 9 : 0xFF), 0, 0, 0});
    if (hub) {
        d.insert(d.end(), {7, 5, 0x81, 3, 2, 0, 12});
        return d;
    }
    for (uint8_t ep : {kEpOut, kEpIn}) {
        d.insert(d.end(), {7, 5, ep, 2});
        Le16(d, static_cast<uint16_t>(maxPacket));
        d.push_back(0);
    }
    return d;
}

struct Urb {
    UMockdevIoctlData* urb = nullptr;  // the client's struct, resolved
    UMockdevIoctlData* buffer = nullptr;
    bool in = false;
    int length = 0;
    int moved = 0;
    bool done = false;
    int status = 0;
    int reapErrno = 0;  // every reap fails with this until the host gives the URB up
    Clock::time_point readyAt{};
};

}  // namespace

struct Device;

struct NodeState {
    Bus::Impl* bus = nullptr;
    Device* device = nullptr;  // null: the root hub
    int busnum = 0;
    int devnum = 0;
    bool gone = false;
    std::string syspath;
    std::string devnode;
    UMockdevIoctlBase* handler = nullptr;
};

struct Device {
    int id = 0;
    int busnum = 0;
    uint16_t vendor = 0, product = 0;
    std::unique_ptr<quellbar::Device> model;
    NodeState* node = nullptr;
};

struct Handle {
    NodeState* node = nullptr;
    int serial = 0;  // names the handle in the call record
    bool claimed = false;
    std::deque<Urb> urbs;
};

struct Bus::Impl {
    std::mutex m;
    UMockdevTestbed* testbed = nullptr;
    std::vector<std::unique_ptr<NodeState>> nodes;  // never freed: handlers point at them
    std::vector<std::unique_ptr<Device>> devices;
    std::map<int, int> nextDevnum;  // by bus number
    std::map<UMockdevIoctlClient*, Handle> handles;
    std::map<std::string, std::pair<int, int>> failures;  // ioctl name: errno, times left
    struct Call {
        int serial;
        std::string text;
    };
    std::vector<Call> calls;
    int serials = 0;

    // Work due later, run by `timer` under the lock.
    std::multimap<Clock::time_point, std::function<void()>> due;
    std::condition_variable wake;
    bool stopping = false;
    std::thread timer;

    void Later(Clock::time_point at, std::function<void()> f)
    {
        due.emplace(at, std::move(f));
        wake.notify_one();
    }
    void RunTimer();

    NodeState* Plug(Device* device, int busnum);
    void Leave(NodeState* node, int backAfterMs);
    void Record(const Handle& h, const std::string& what)
    {
        if (h.node->device) calls.push_back({h.serial, std::to_string(h.node->device->id) + " " + what});
    }

    gboolean Ioctl(NodeState* node, UMockdevIoctlClient* client);
    void Submit(Handle& h, UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void Advance(Handle& h, Urb& u);
    void Reap(UMockdevIoctlClient* client, bool block, bool firstTry);
};

namespace {

gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer node)
{
    auto* n = static_cast<NodeState*>(node);
    return n->bus->Ioctl(n, client);
}

// umockdev 0.17 does not emit client-vanished: a client is gone when
// umockdev drops its object, after the host closed the node.
void OnClientGone(gpointer node, GObject* client)
{
    auto* n = static_cast<NodeState*>(node);
    std::lock_guard lock(n->bus->m);
    auto it = n->bus->handles.find(reinterpret_cast<UMockdevIoctlClient*>(client));
    if (it == n->bus->handles.end()) return;
    for (Urb& u : it->second.urbs) {
        g_object_unref(u.urb);
        g_object_unref(u.buffer);
    }
    n->bus->Record(it->second, "close");
    n->bus->handles.erase(it);
}

void OnConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer node)
{
    auto* n = static_cast<NodeState*>(node);
    std::lock_guard lock(n->bus->m);
    Handle& h = n->bus->handles[client];
    h.node = n;
    h.serial = ++n->bus->serials;
    n->bus->Record(h, "open");
    g_object_weak_ref(G_OBJECT(client), OnClientGone, node);
}

std::chrono::nanoseconds WireTime(const quellbar::Device* model, int bytes)
{
    return model ? model->WireTime(static_cast<size_t>(bytes)) : std::chrono::nanoseconds{};
}

}  // namespace

void Bus::Impl::RunTimer()
{
    std::unique_lock lock(m);
    while (!stopping) {
        if (due.empty()) {
            wake.wait(lock);
            continue;
        }
        const auto first = due.begin();
        if (first->first > Clock::now()) {
            wake.wait_until(lock, first->first);
            continue;
        }
        auto f = std::move(first->second);
        due.erase(first);
        f();
    }
}

NodeState* Bus::Impl::Plug(Device* device, int busnum)
{
    auto node = std::make_unique<NodeState>();
    node->bus = this;
    node->device = device;
    node->busnum = busnum;
    node->devnum = nextDevnum[busnum]++;
    char name[64];
    std::snprintf(name, sizeof name, "bus/usb/%03d/%03d", busnum, node->devnum);
    node->devnode = std::string("/dev/") + name;
    std::snprintf(name, sizeof name, "usb%d-%d", busnum, node->devnum);
    const bool hub = device == nullptr;
    const int packet = device && device->model ? device->model->Opts().maxPacket : quellbar::kFullSpeedPacket;
    // A character device (usb_device, major 189) makes umockdev create the node.
    const std::string dev = "189:" + std::to_string((busnum - 1) * 128 + node->devnum - 1);
    char* syspath = umockdev_testbed_add_device(testbed, "usb", name, nullptr, "dev", dev.c_str(), nullptr, "DEVNAME",
                                                node->devnode.c_str() + 5, "DEVTYPE", "usb_device", nullptr);
    node->syspath = syspath;
    g_free(syspath);
    // libusb reads the descriptors from the node itself.
    const auto bytes = hub ? Descriptors(quellbar::kRootHubVendor, quellbar::kRootHubProduct, packet, true)
                           : Descriptors(device->vendor, device->product, packet, false);
    gchar* root = umockdev_testbed_get_root_dir(testbed);
    const std::filesystem::path file = std::string(root) + node->devnode;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    g_free(root);

    node->handler = umockdev_ioctl_base_new();
    g_signal_connect(node->handler, "handle-ioctl", G_CALLBACK(OnIoctl), node.get());
    g_signal_connect(node->handler, "client-connected", G_CALLBACK(OnConnected), node.get());
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed, node->devnode.c_str(), node->handler, &error)) {
        std::fprintf(stderr, "usbfs: cannot emulate %s: %s\n", node->devnode.c_str(), error->message);
        g_error_free(error);
    }
    if (device) {
        device->node = node.get();
        if (device->model) device->model->Plugged(true);
    }
    nodes.push_back(std::move(node));
    return nodes.back().get();
}

void Bus::Impl::Leave(NodeState* node, int backAfterMs)
{
    if (node->gone) return;
    node->gone = true;
    umockdev_testbed_remove_device(testbed, node->syspath.c_str());
    gchar* root = umockdev_testbed_get_root_dir(testbed);
    std::remove((std::string(root) + node->devnode).c_str());
    g_free(root);
    Device* device = node->device;
    if (device->model) device->model->Plugged(false);
    // Pending transfers end as usbfs ends them when the device goes.
    for (auto& [client, h] : handles) {
        if (h.node != node) continue;
        for (Urb& u : h.urbs) {
            if (u.done) continue;
            u.done = true;
            u.status = -EPROTO;
            u.readyAt = Clock::now() + kLeaveLatency;
        }
    }
    if (backAfterMs >= 0) {
        Later(Clock::now() + std::chrono::milliseconds(backAfterMs), [this, device] { Plug(device, device->busnum); });
    }
}

gboolean Bus::Impl::Ioctl(NodeState* node, UMockdevIoctlClient* client)
{
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::lock_guard lock(m);
    Handle& h = handles[client];
    h.node = node;
    const char* name = NameOf(request);
    auto done = [client](long result, int error) { umockdev_ioctl_client_complete(client, result, error); };
    // resolve() hands over a reference of its own: held to the end of the call.
    struct Held {
        std::vector<gpointer> refs;
        ~Held() { std::for_each(refs.begin(), refs.end(), g_object_unref); }
    } held;
    auto resolve = [arg, &held](size_t size) {
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, size, nullptr);
        held.refs.push_back(d);
        return d;
    };

    // URBs are recorded by direction and size, and by name only when refused.
    const bool urb = request == USBDEVFS_SUBMITURB || request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY;
    if (!IsScan(request) && !urb) Record(h, name);
    if (auto f = failures.find(name); f != failures.end() && f->second.second > 0) {
        --f->second.second;
        if (urb) Record(h, name);
        done(-1, f->second.first);
        return TRUE;
    }
    // What completed before the device left can still be reaped.
    const bool reap = request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY;
    if (node->gone && !(reap && !h.urbs.empty())) {
        if (urb) Record(h, name);
        done(-1, ENODEV);
        return TRUE;
    }
    quellbar::Device* model = node->device ? node->device->model.get() : nullptr;
    auto claimedElsewhere = [&] {
        return std::any_of(handles.begin(), handles.end(),
                           [&](const auto& e) { return e.second.node == node && e.second.claimed; });
    };
    switch (request) {
    case USBDEVFS_CONNECTINFO: {
        auto* d = resolve(sizeof(usbdevfs_connectinfo));
        auto* info = reinterpret_cast<usbdevfs_connectinfo*>(d->data);
        info->devnum = static_cast<unsigned>(node->devnum);
        info->slow = 0;
        done(0, 0);
        return TRUE;
    }
    case USBDEVFS_IOCTL: done(-1, ENOSYS); return TRUE;  // not a hub: no ports to list
    case USBDEVFS_GETDRIVER: done(-1, ENODATA); return TRUE;
    case USBDEVFS_SETCONFIGURATION: done(claimedElsewhere() ? -1 : 0, claimedElsewhere() ? EBUSY : 0); return TRUE;
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
        const unsigned ifno = *reinterpret_cast<unsigned*>(resolve(sizeof(unsigned))->data);
        if (ifno != 0 || !node->device) {
            done(-1, ENOENT);
        } else if (request == USBDEVFS_RELEASEINTERFACE) {
            done(h.claimed ? 0 : -1, h.claimed ? 0 : EINVAL);
            h.claimed = false;
        } else if (!h.claimed && claimedElsewhere()) {
            done(-1, EBUSY);
        } else {
            h.claimed = true;
            done(0, 0);
        }
        return TRUE;
    }
    case USBDEVFS_SETINTERFACE: {
        const auto* s = reinterpret_cast<usbdevfs_setinterface*>(resolve(sizeof(usbdevfs_setinterface))->data);
        if (s->interface != 0 || !node->device) {
            done(-1, ENOENT);
        } else if (s->altsetting != 0) {
            done(-1, EINVAL);
        } else if (!h.claimed && claimedElsewhere()) {
            done(-1, EBUSY);
        } else {
            h.claimed = true;  // usbfs claims the interface on the caller's behalf
            done(0, 0);
        }
        return TRUE;
    }
    case USBDEVFS_RESET:
        // In place, as Linux resets: same node and number; the claims go with it.
        for (auto& [c, other] : handles) {
            if (other.node == node) other.claimed = false;
        }
        if (model) {
            model->Reset();
            if (model->Opts().reenumerate) Leave(node, model->Opts().reenumMs);
        }
        done(0, 0);
        return TRUE;
    case USBDEVFS_SUBMITURB: Submit(h, client, arg); return TRUE;
    case USBDEVFS_DISCARDURB: {
        const gulong target = *reinterpret_cast<gulong*>(arg->data);
        auto it =
            std::find_if(h.urbs.begin(), h.urbs.end(), [&](const Urb& u) { return u.urb->client_addr == target; });
        if (it == h.urbs.end() || (it->done && !it->reapErrno)) {
            done(-1, EINVAL);
        } else {
            it->done = true;
            it->status = -ENOENT;
            it->reapErrno = 0;
            it->readyAt = Clock::now();
            done(0, 0);
        }
        return TRUE;
    }
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: Reap(client, request == USBDEVFS_REAPURB, true); return TRUE;
    default: done(-1, ENOTTY); return TRUE;
    }
}

void Bus::Impl::Submit(Handle& h, UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    auto* urb = reinterpret_cast<usbdevfs_urb*>(data->data);
    if (urb->type != USBDEVFS_URB_TYPE_BULK || (urb->endpoint != kEpIn && urb->endpoint != kEpOut) ||
        urb->buffer_length < 0 || urb->buffer_length > quellbar::kUrbSize) {
        umockdev_ioctl_client_complete(client, -1, urb->type != USBDEVFS_URB_TYPE_BULK ? EINVAL : ENOENT);
        g_object_unref(data);
        return;
    }
    // libusb 0.1 returns a failed reap's errno at its deadline without a
    // discard: such a URB is abandoned once the next one comes.
    std::erase_if(h.urbs, [](const Urb& old) {
        if (!old.reapErrno) return false;
        g_object_unref(old.urb);
        g_object_unref(old.buffer);
        return true;
    });
    Urb u;
    u.in = urb->endpoint == kEpIn;
    u.length = urb->buffer_length;
    // Both references are the resolves' own; the URB keeps them until reaped.
    u.urb = data;
    u.buffer =
        umockdev_ioctl_data_resolve(data, offsetof(usbdevfs_urb, buffer), static_cast<size_t>(u.length), nullptr);
    Record(h, std::string(u.in ? "in " : "out ") + std::to_string(u.length));
    quellbar::Device* model = h.node->device->model.get();
    const auto now = Clock::now();
    if (!u.in) {
        const OutResult r =
            model ? model->Out(u.buffer->data, static_cast<size_t>(u.length)) : OutResult{OutResult::Kind::Accepted};
        u.done = true;
        u.readyAt = now + WireTime(model, u.length);
        switch (r.kind) {
        case OutResult::Kind::Accepted: u.moved = u.length; break;
        case OutResult::Kind::Halt: u.status = -EPIPE; break;
        case OutResult::Kind::Leave:
            u.done = false;  // Leave ends it
            h.urbs.push_back(u);
            umockdev_ioctl_client_complete(client, 0, 0);
            Leave(h.node, r.backAfterMs);  // ends the URB with EPROTO a while later
            return;
        }
    }
    h.urbs.push_back(u);
    umockdev_ioctl_client_complete(client, 0, 0);
}

// Moves the model's IN transfers into a pending read.
void Bus::Impl::Advance(Handle& h, Urb& u)
{
    quellbar::Device* model = h.node->device->model.get();
    if (u.done || !model) return;
    const auto now = Clock::now();
    if (now < u.readyAt) return;  // a slow chunk not ready yet
    using End = quellbar::InRead::End;
    const quellbar::InRead r = model->ReadIn(u.buffer->data + u.moved, static_cast<size_t>(u.length - u.moved));
    u.moved += static_cast<int>(r.moved);
    auto finish = [&](int status) {
        u.done = true;
        u.status = status;
        u.readyAt = now + WireTime(model, u.moved);
    };
    switch (r.end) {
    case End::Done: finish(0); return;
    case End::Halted: finish(-EPIPE); return;
    case End::Overflow: finish(-EOVERFLOW); return;
    case End::Pending: return;
    case End::Delayed: u.readyAt = now + std::chrono::milliseconds(r.delayMs); return;
    case End::Error:
        u.reapErrno = -r.error;
        finish(0);
        return;
    case End::Leave: Leave(h.node, r.backAfterMs); return;
    }
}

void Bus::Impl::Reap(UMockdevIoctlClient* client, bool block, bool firstTry)
{
    Handle& h = handles[client];
    for (Urb& u : h.urbs) Advance(h, u);
    const auto now = Clock::now();
    auto it = std::find_if(h.urbs.begin(), h.urbs.end(), [&](const Urb& u) { return u.done && u.readyAt <= now; });
    if (it != h.urbs.end() && it->reapErrno) {
        umockdev_ioctl_client_complete(client, -1, it->reapErrno);
        return;
    }
    if (it != h.urbs.end()) {
        Urb u = *it;
        h.urbs.erase(it);
        auto* urb = reinterpret_cast<usbdevfs_urb*>(u.urb->data);
        urb->status = u.status;
        urb->actual_length = u.moved;
        umockdev_ioctl_data_set_ptr(umockdev_ioctl_client_get_arg(client), 0, u.urb);
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(u.urb);
        g_object_unref(u.buffer);
        return;
    }
    if (h.urbs.empty() && h.node->gone) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }
    if (!block && !firstTry) {
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return;
    }
    // Answer later, off umockdev's worker thread; the client stays waiting.
    g_object_ref(client);
    Later(now + kEmptyReapDelay, [this, client, block] {
        if (handles.count(client)) {
            Reap(client, block, false);
        } else {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
        }
        g_object_unref(client);
    });
}

Bus::Bus() : impl_(std::make_unique<Impl>())
{
    impl_->testbed = umockdev_testbed_new();
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

std::string Bus::Dir() const
{
    gchar* root = umockdev_testbed_get_root_dir(impl_->testbed);
    std::string dir = root;
    g_free(root);
    return dir;
}

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
    auto device = std::make_unique<Device>();
    device->id = static_cast<int>(impl_->devices.size()) + 1;
    device->busnum = bus;
    device->vendor = vendor;
    device->product = product;
    impl_->devices.push_back(std::move(device));
    impl_->Plug(impl_->devices.back().get(), bus);
    return impl_->devices.back()->id;
}

int Bus::AddQuellbar(int bus, const quellbar::Options& options)
{
    std::lock_guard lock(impl_->m);
    auto device = std::make_unique<Device>();
    device->id = static_cast<int>(impl_->devices.size()) + 1;
    device->busnum = bus;
    device->model = std::make_unique<quellbar::Device>(options);
    device->vendor = device->model->VendorId();
    device->product = device->model->ProductId();
    impl_->devices.push_back(std::move(device));
    impl_->Plug(impl_->devices.back().get(), bus);
    return impl_->devices.back()->id;
}

void Bus::Unplug(int id, int backAfterMs)
{
    std::lock_guard lock(impl_->m);
    impl_->Leave(impl_->devices.at(static_cast<size_t>(id - 1))->node, backAfterMs);
}

int Bus::Devnum(int id)
{
    std::lock_guard lock(impl_->m);
    return impl_->devices.at(static_cast<size_t>(id - 1))->node->devnum;
}

std::string Bus::Node(int id)
{
    std::lock_guard lock(impl_->m);
    return impl_->devices.at(static_cast<size_t>(id - 1))->node->devnode;
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
    std::map<int, bool> busy;
    for (const auto& c : impl_->calls) {
        const std::string what = c.text.substr(c.text.find(' ') + 1);
        busy[c.serial] = busy[c.serial] || (what != "open" && what != "close");
    }
    std::vector<std::string> calls;
    for (const auto& c : impl_->calls) {
        if (busy[c.serial]) calls.push_back(c.text);
    }
    return calls;
}

void Bus::ClearCalls()
{
    std::lock_guard lock(impl_->m);
    impl_->calls.clear();
}

int Bus::OpenHandles()
{
    std::lock_guard lock(impl_->m);
    int n = 0;
    for (auto& e : impl_->handles) n += e.second.node->device != nullptr;
    return n;
}

void Bus::WithModel(int id, const std::function<void(quellbar::Device&)>& f)
{
    std::lock_guard lock(impl_->m);
    f(*impl_->devices.at(static_cast<size_t>(id - 1))->model);
}

}  // namespace usbfs
