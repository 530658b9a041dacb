#include "device.h"

#include <linux/usb/ch9.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <utility>

#include "encoder.h"
#include "wire_format.h"

namespace quellbar {
namespace {

namespace wire = karvolen::wire;
using Kind = InTransfer::Kind;
constexpr size_t kFirst = wire::kFirstReadSize;

// toolarge pads the stream to the declared length; keep that bounded.
constexpr int kMaxPaddedLength = 64 * 1024 * 1024;

// The request's text, whatever its mode digit.
bool IsRequestText(const uint8_t* data)
{
    const char* text = wire::kRequestText;
    const int digit = wire::kModeDigitIndex;
    return std::memcmp(data, text, digit) == 0 &&
           std::memcmp(data + digit + 1, text + digit + 1, wire::kRequestSize - digit - 1) == 0;
}

// Where the viewer's final read of a reply of `total` bytes begins, reading
// chunks of 32 rows of the picture's width after its first read.
size_t FinalReadOffset(size_t total, int width)
{
    size_t at = kFirst;
    while (total > at && total - at > static_cast<size_t>(wire::kChunkThreshold)) {
        at += static_cast<size_t>(wire::kChunkRows * width);
    }
    return at;
}

// The low and the high byte of a descriptor's 16-bit field (little-endian).
constexpr uint8_t Lo(int v) { return static_cast<uint8_t>(v); }
constexpr uint8_t Hi(int v) { return static_cast<uint8_t>(v >> 8); }
constexpr uint8_t kSelfPowered = USB_CONFIG_ATT_ONE | USB_CONFIG_ATT_SELFPOWER;

}  // namespace

std::vector<uint8_t> Endpoint(uint8_t address, int maxPacket)
{
    return {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, address, USB_ENDPOINT_XFER_BULK, Lo(maxPacket), Hi(maxPacket), 0};
}

std::vector<uint8_t> Descriptors(uint16_t vendor, uint16_t product, int maxPacket, uint8_t interface, bool secondAlt)
{
    // bcdUSB 2.00, bMaxPacketSize0 64, bcdDevice 1.00, no strings.
    std::vector<uint8_t> d = {USB_DT_DEVICE_SIZE, USB_DT_DEVICE, 0x00,        0x02, 0,    0, 0, 64, Lo(vendor),
                              Hi(vendor),         Lo(product),   Hi(product), 0x00, 0x01, 0, 0, 0,  1};
    const int total = USB_DT_CONFIG_SIZE + USB_DT_INTERFACE_SIZE * (secondAlt ? 2 : 1) + 2 * USB_DT_ENDPOINT_SIZE;
    // Self-powered, 2 mA.
    d.insert(d.end(),
             {USB_DT_CONFIG_SIZE, USB_DT_CONFIG, Lo(total), Hi(total), 1, MARLEX_CONFIGURATION, 0, kSelfPowered, 1});
    auto alternate = [&](uint8_t alt, uint8_t endpoints) {
        d.insert(d.end(),
                 {USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, interface, alt, endpoints, USB_CLASS_VENDOR_SPEC, 0, 0, 0});
    };
    alternate(0, 2);
    for (uint8_t ep : {MARLEX_EP_OUT, MARLEX_EP_IN}) {
        const auto e = Endpoint(ep, maxPacket);
        d.insert(d.end(), e.begin(), e.end());
    }
    if (secondAlt) alternate(1, 0);
    return d;
}

Device::Device(const Options& options)
    : options_(options), generator_(std::make_unique<ScreenGenerator>(options.width, options.seed)),
      pendingWidth_(options.width), scheduled_(options.faults), random_(options.seed)
{
    if (!options_.log.empty()) log_.open(options_.log, std::ios::app);
}

std::string Device::Configure(std::string_view text)
{
    Options next = options_;
    next.faults.clear();
    if (auto problem = ParseOptions(text, next); !problem.empty()) return problem;
    if (next.width != options_.width) pendingWidth_ = next.width;
    for (auto f : next.faults) {
        f.at += static_cast<int>(requests_);
        scheduled_.push_back(f);
    }
    options_ = std::move(next);
    return {};
}

std::vector<FaultSpec> Device::TakeFaults()
{
    std::vector<FaultSpec> now;
    auto due = [this](const FaultSpec& f) { return f.at == static_cast<int>(requests_); };
    std::copy_if(scheduled_.begin(), scheduled_.end(), std::back_inserter(now), due);
    std::erase_if(scheduled_, due);
    if (options_.random > 0.0 && std::uniform_real_distribution<double>(0.0, 1.0)(random_) < options_.random) {
        const auto pool = SoakPool(options_.loud);
        now.push_back(pool[std::uniform_int_distribution<size_t>(0, pool.size() - 1)(random_)]);
    }
    return now;
}

OutResult Device::Out(const uint8_t* data, size_t length)
{
    ++requests_;
    const auto faults = TakeFaults();
    for (const auto& f : faults) {
        if (InfoOf(f.fault).strikes != Strikes::Write) continue;
        Log("fault " + Describe(f) + " at request " + std::to_string(requests_));
        if (f.fault == Fault::WriteFail) return {OutResult::Kind::Halt};
        return {OutResult::Kind::Leave, f.arg};
    }
    const uint8_t digit = length == wire::kRequestSize ? data[wire::kModeDigitIndex] : 0;
    const bool whole = digit == wire::ModeDigit(wire::kModeWhole);
    if ((!whole && digit != wire::ModeDigit(wire::kModeLineDelta)) || !IsRequestText(data)) {
        // Not a request: taken off the wire and ignored; a reply still queued stays so.
        Log("garbage request of " + std::to_string(length) + " bytes ignored");
        return {};
    }
    const std::string request = std::string("request BMP? ") + static_cast<char>(digit);
    if (reply_ && reply_->sent > 0 && reply_->sent < reply_->size) {
        // Busy sending: the request is lost, the rest of the old reply goes on.
        // The host asks again only once it has given that reply up: it never
        // shows what still comes of it.
        reply_->faulty = true;
        Log(request + " ignored: reply still being sent");
        return {};
    }
    Log(request);
    NextPicture(whole);
    QueueReply(whole, faults);
    return {OutResult::Kind::Accepted, -1, true};
}

bool Device::WriteFaultDue() const
{
    return std::any_of(scheduled_.begin(), scheduled_.end(), [this](const FaultSpec& f) {
        return f.at == static_cast<int>(requests_) + 1 && InfoOf(f.fault).strikes == Strikes::Write;
    });
}

void Device::Resume(uint64_t requests, uint64_t frames)
{
    requests_ = requests;
    for (; frames_ < frames; ++frames_) generator_->Next();
}

void Device::Abandon()
{
    if (reply_ && reply_->sent < reply_->size) {
        Log("reply abandoned after " + std::to_string(reply_->sent) + " of " + std::to_string(reply_->size) + " bytes");
    }
    reply_.reset();
    queue_.clear();
}

void Device::NextPicture(bool whole)
{
    Abandon();
    if (!options_.freeze || frames_ == 0) {
        generator_->Next();
        ++frames_;
        if (options_.widthSwitch > 0 && frames_ % static_cast<uint64_t>(options_.widthSwitch) == 0) {
            pendingWidth_ = pendingWidth_ == wire::kWideWidth ? wire::kNarrowWidth : wire::kWideWidth;
        }
    }
    // A line delta cannot carry a new width: the switch waits for a whole picture.
    if (whole && pendingWidth_ != generator_->Current().width) {
        generator_ = std::make_unique<ScreenGenerator>(pendingWidth_, options_.seed);
        generator_->Next();
    }
}

void Device::QueueReply(bool whole, const std::vector<FaultSpec>& faults)
{
    Screen cur = generator_->Current();
    auto& pal = cur.palette;
    for (const auto& f : faults) {
        if (f.fault == Fault::Palette) std::rotate(pal.begin(), pal.begin() + f.arg % wire::kColourCount, pal.end());
    }
    std::vector<uint8_t> pixelData = cur.pixels;
    if (!whole) {
        // With no picture of this width sent, the delta rewrites every row.
        std::vector<uint8_t> prev = lastSent_;
        if (prev.size() != cur.pixels.size()) {
            prev = cur.pixels;
            for (int row = 0; row < kRows; ++row) prev[static_cast<size_t>(row * cur.width)] ^= 0xFF;
        }
        pixelData = EncodeLineDelta(prev.data(), cur.pixels.data(), cur.width);
    }
    std::vector<uint8_t> bytes = BuildReply(BuildBmp(cur, pixelData));

    // The bytes first, then what the faults put between the transfers.
    bool closeWithZlp = true, faulty = false;
    for (const auto& f : faults) {
        Log("fault " + Describe(f) + " at request " + std::to_string(requests_));
        switch (f.fault) {
        case Fault::NoReply: queue_.push_back({.kind = Kind::Halt}); return;
        case Fault::Mute: return;
        case Fault::NoSig:
            // Looks like the tail of some other reply: no "BM" at offsets 4 and 5.
            // Ending on a drain read's boundary it is not closed, so the read
            // after it waits: the case the viewer must survive.
            bytes.resize(kFirst + static_cast<size_t>(f.arg));
            for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>((i & 0xFF) ^ 0xA5);
            closeWithZlp = f.arg % wire::kDrainBlockSize != 0;
            break;
        case Fault::TooLarge: {
            const uint32_t declared = static_cast<uint32_t>(std::min(f.arg, kMaxPaddedLength));
            bytes.resize(wire::kPrefixSize + static_cast<size_t>(declared), 0);
            wire::WriteBe32(bytes.data(), declared);
            break;
        }
        case Fault::TopBit: bytes[0] |= wire::kPrefixTopBit; break;
        case Fault::BadOffset: bytes[wire::kOffBitsIndex + 3] = 0x7F; break;
        case Fault::FinalShort:
            bytes.resize(bytes.size() - std::min(static_cast<size_t>(f.arg), bytes.size() - kFirst));
            break;
        default: continue;  // the reply's bytes as they are
        }
        faulty = true;
    }

    // Where the transfers are cut, and what comes in front of the data from there.
    const size_t total = bytes.size();
    struct Cut {
        std::vector<InTransfer> before;
        int delayMs = 0;
    };
    std::map<size_t, Cut> cuts;
    if (!options_.wholeTransfer) cuts[kFirst];
    for (const auto& f : faults) {
        const Strikes where = InfoOf(f.fault).strikes;
        if (where == Strikes::FirstChunk && total <= kFirst + static_cast<size_t>(wire::kChunkThreshold)) continue;
        if (where != Strikes::FirstChunk && where != Strikes::FinalRead) continue;
        Cut& at = cuts[where == Strikes::FirstChunk ? kFirst : FinalReadOffset(total, cur.width)];
        if (f.fault == Fault::SlowChunk) {
            at.delayMs += f.arg;
        } else if (f.fault == Fault::ChunkStall || f.fault == Fault::FinalStall) {
            at.before.insert(at.before.end(), static_cast<size_t>(f.arg), InTransfer{});  // zero-length packets
        } else {
            const Kind kind = f.fault == Fault::Unplug ? Kind::Leave : Kind::Error;
            at.before.push_back({.kind = kind, .error = -ETIMEDOUT, .backAfterMs = f.arg});
        }
    }
    size_t from = 0;
    int delay = 0;
    cuts[total];  // the end
    for (auto& [pos, cut] : cuts) {
        queue_.push_back({.bytes = {bytes.begin() + static_cast<std::ptrdiff_t>(from),
                                    bytes.begin() + static_cast<std::ptrdiff_t>(pos)},
                          .zlp = pos == total && closeWithZlp,
                          .delayMs = delay});
        if (pos == total) break;
        for (auto& item : cut.before) queue_.push_back(std::move(item));
        from = pos;
        delay = cut.delayMs;
    }
    reply_ = std::make_unique<Reply>(Reply{.size = total, .whole = whole, .faulty = faulty, .screen = std::move(cur)});
}

int Device::TakeDelay() { return queue_.empty() ? 0 : std::exchange(queue_.front().delayMs, 0); }

void Device::Sent(size_t n)
{
    if (queue_.empty() || queue_.front().kind != Kind::Data) return;
    InTransfer& t = queue_.front();
    n = std::min(n, t.bytes.size() - t.sent);
    t.sent += n;
    if (t.sent == t.bytes.size()) queue_.pop_front();
    if (reply_ && (reply_->sent += n) == reply_->size) Delivered();
}

void Device::Pop()
{
    if (!queue_.empty()) queue_.pop_front();
}

std::chrono::nanoseconds Device::WireTime(size_t bytes) const
{
    return std::chrono::nanoseconds(static_cast<int64_t>(bytes) * 1'000'000'000 / options_.speed);
}

InRead Device::ReadIn(uint8_t* data, size_t length)
{
    using End = InRead::End;
    const size_t packet = static_cast<size_t>(options_.maxPacket);
    size_t moved = 0;
    while (moved < length) {
        if (queue_.empty()) return {End::Pending, moved};
        InTransfer& t = queue_.front();
        const int error = t.error, back = t.backAfterMs;
        switch (t.kind) {
        case Kind::Halt: return {End::Halted, moved};
        case Kind::Error: Pop(); return {End::Error, moved, error};
        case Kind::Leave: Pop(); return {End::Leave, moved, 0, 0, back};
        case Kind::Data: break;
        }
        if (t.sent == 0 && t.delayMs > 0) return {End::Delayed, moved, 0, TakeDelay()};
        const size_t avail = t.bytes.size() - t.sent, room = length - moved;
        const bool closed = t.bytes.size() % packet != 0 || t.zlp;
        if (avail == 0) {
            Sent(0);  // a zero-length packet ends the read
            break;
        }
        const size_t n = std::min(avail, room);
        std::memcpy(data + moved, t.bytes.data() + t.sent, n);
        moved += n;
        if (avail > room && room % packet != 0 && options_.overflow) {
            Sent(avail);  // the host takes what fits and the rest of the transfer is gone with it
            return {End::Overflow, moved};
        }
        Sent(n);
        if (n == avail && closed) break;
    }
    return {End::Done, moved};
}

void Device::Delivered()
{
    const Reply& r = *reply_;
    Log("reply sent " + std::to_string(r.size) + " bytes " + (r.whole ? "whole" : "delta") +
        (r.faulty ? " (faulty)" : ""));
    // The host may have decoded part of a faulty one: the next delta rewrites every row.
    lastSent_ = r.faulty ? std::vector<uint8_t>{} : r.screen.pixels;
    if (r.faulty || options_.dump.empty()) return;
    const std::string tmp = options_.dump + ".tmp";
    std::ofstream out(tmp, std::ios::binary);
    out << EncodePpm(r.screen);
    out.close();
    std::error_code ec;
    if (out) std::filesystem::rename(tmp, options_.dump, ec);
    if (!out || ec) Log("dump failed: cannot write " + options_.dump);
}

void Device::Reset()
{
    Log("reset");
    Abandon();
}

void Device::Plugged(bool plugged)
{
    if (plugged == !unplugged_) return;
    unplugged_ = !plugged;
    Log(plugged ? "replug" : "unplug");
    if (!plugged) Abandon();
}

void Device::Log(const std::string& event)
{
    if (!log_.is_open()) return;
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - born_).count();
    log_ << ms << ' ' << event << std::endl;
}

}  // namespace quellbar
