#include "device.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <utility>

#include "encoder.h"
#include "protocol.h"
#include "wire_format.h"

namespace quellbar {
namespace {

namespace wire = karvolen::wire;
using wire::kChunkRows;
using wire::kChunkThreshold;
using wire::kFirstReadSize;

// The host's libusb hands the device requests of at most this many bytes.
constexpr size_t kHostPiece = 16384;
// bfOffBits in the reply: the file header's last field.
constexpr size_t kOffBitsIndex = wire::kPrefixSize + wire::kFileHeaderSize - 4;
// toolarge pads the stream to the declared length; keep that bounded.
constexpr int kMaxPaddedLength = 64 * 1024 * 1024;

// The request's text, whatever its mode digit.
bool IsRequestText(const uint8_t* data)
{
    for (int32_t i = 0; i < wire::kRequestSize; ++i) {
        if (i != wire::kModeDigitIndex && data[i] != static_cast<uint8_t>(wire::kRequestText[i])) return false;
    }
    return true;
}

// A stand-in for "the previous picture" that differs in every row, so that a
// line delta with no reference rewrites the whole picture.
std::vector<uint8_t> DifferentInEveryRow(const Screen& s)
{
    std::vector<uint8_t> other = s.pixels;
    for (size_t row = 0; row < static_cast<size_t>(kRows); ++row) {
        other[row * static_cast<size_t>(s.width)] ^= 0xFF;
    }
    return other;
}

// Where the viewer's final read of a reply of `total` bytes begins, reading
// chunks of 32 rows of the picture's width after its first read.
size_t FinalReadOffset(size_t total, int width)
{
    size_t at = kFirstReadSize;
    while (total > at && total - at > static_cast<size_t>(kChunkThreshold)) {
        at += static_cast<size_t>(kChunkRows * width);
    }
    return at;
}

InTransfer Item(InTransfer::Kind kind)
{
    InTransfer t;
    t.kind = kind;
    return t;
}

InTransfer ZeroLengthPacket() { return Item(InTransfer::Kind::Data); }

}  // namespace

Device::Device(const Options& options)
    : options_(options), generator_(std::make_unique<ScreenGenerator>(options.width, options.seed)),
      pendingWidth_(options.width), random_(options.seed)
{
    scheduled_ = options_.faults;
    OpenLog();
}

Device::~Device()
{
    if (log_) std::fclose(log_);
}

uint16_t Device::VendorId() const { return MARLEX_VENDOR_ID; }

std::string Device::Configure(std::string_view text)
{
    Options next = options_;
    OptionsSeen seen;
    if (auto problem = ParseOptions(text, next, &seen); !problem.empty()) return problem;
    if (seen.present) return "device= is read from QUELLBAR_SIM only; use simctl_unplug";
    options_ = next;
    if (seen.width) pendingWidth_ = options_.width;
    if (seen.seed) {
        generator_ = std::make_unique<ScreenGenerator>(generator_->Current().width, options_.seed);
        random_.seed(options_.seed);
    }
    if (seen.faults) {
        scheduled_.clear();
        for (auto f : options_.faults) {
            f.at += static_cast<int>(requests_);
            scheduled_.push_back(f);
        }
    }
    if (seen.log) OpenLog();
    return {};
}

std::string Device::Inject(std::string_view text)
{
    FaultSpec f;
    if (auto problem = ParseFault(text, f); !problem.empty()) return problem;
    f.at += static_cast<int>(requests_);
    scheduled_.push_back(f);
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
        if (f.fault == Fault::WriteFail) return {OutResult::Kind::Halt, -1};
        return {OutResult::Kind::Leave, f.arg};
    }
    const uint8_t digit = length == wire::kRequestSize ? data[wire::kModeDigitIndex] : 0;
    const bool wellFormed =
        (digit == wire::ModeDigit(wire::kModeWhole) || digit == wire::ModeDigit(wire::kModeLineDelta)) &&
        IsRequestText(data);
    if (!wellFormed) {
        // Not a request: taken off the wire and ignored; a reply still queued stays so.
        Log("garbage request of " + std::to_string(length) + " bytes ignored");
        return {};
    }
    if (reply_ && reply_->sent > 0 && reply_->sent < reply_->size) {
        // Busy sending: the request is lost, the rest of the old reply goes on.
        Log(std::string("request BMP? ") + static_cast<char>(digit) + " ignored: reply still being sent");
        return {};
    }
    Log(std::string("request BMP? ") + static_cast<char>(digit));
    StartRequest(digit - '0');
    QueueReply(digit - '0', faults);
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

void Device::StartRequest(int mode)
{
    Abandon();
    if (!options_.freeze || frames_ == 0) {
        generator_->Next();
        ++frames_;
        if (options_.widthSwitch > 0 && frames_ % static_cast<uint64_t>(options_.widthSwitch) == 0) {
            pendingWidth_ = pendingWidth_ == 800 ? 640 : 800;
        }
    }
    // A line delta cannot carry a new width: the switch waits for a whole picture.
    if (mode == 0 && pendingWidth_ != generator_->Current().width) {
        generator_ = std::make_unique<ScreenGenerator>(pendingWidth_, options_.seed);
        generator_->Next();
    }
}

void Device::QueueReply(int mode, const std::vector<FaultSpec>& faults)
{
    auto reply = std::make_unique<Reply>();
    reply->screen = generator_->Current();
    reply->whole = mode == 0;
    for (const auto& f : faults) {
        if (f.fault == Fault::Palette) {
            auto& pal = reply->screen.palette;
            std::rotate(pal.begin(), pal.begin() + f.arg % static_cast<int>(pal.size()), pal.end());
        }
    }
    const Screen& cur = reply->screen;

    std::vector<uint8_t> pixelData;
    if (reply->whole) {
        pixelData = cur.pixels;
    } else if (lastSentWidth_ == cur.width && lastSent_.size() == cur.pixels.size()) {
        pixelData = EncodeLineDelta(lastSent_.data(), cur.pixels.data(), cur.width);
    } else {
        const auto other = DifferentInEveryRow(cur);
        pixelData = EncodeLineDelta(other.data(), cur.pixels.data(), cur.width);
    }
    std::vector<uint8_t> bytes = BuildReply(BuildBmp(cur, pixelData));

    // The bytes first, then what the faults put between the transfers.
    bool closeWithZlp = true;
    for (const auto& f : faults) {
        Log("fault " + Describe(f) + " at request " + std::to_string(requests_));
        switch (f.fault) {
        case Fault::NoReply: queue_.push_back(Item(InTransfer::Kind::Halt)); return;
        case Fault::Mute: return;
        case Fault::NoSig:
            // Looks like the tail of some other reply: no "BM" at offsets 4 and 5.
            // Ending on a drain read's boundary it is not closed, so the read
            // after it waits: the case the viewer must survive.
            bytes.assign(static_cast<size_t>(kFirstReadSize) + static_cast<size_t>(f.arg), 0);
            for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>((i & 0xFF) ^ 0xA5);
            closeWithZlp = f.arg % kHostPiece != 0;
            reply->faulty = true;
            break;
        case Fault::TooLarge: {
            const uint32_t declared = static_cast<uint32_t>(std::min(f.arg, kMaxPaddedLength));
            bytes.resize(wire::kPrefixSize + static_cast<size_t>(declared), 0);
            wire::WriteBe32(bytes.data(), declared);
            reply->faulty = true;
            break;
        }
        case Fault::TopBit:
            bytes[0] |= wire::kPrefixTopBit;
            reply->faulty = true;
            break;
        case Fault::BadOffset:
            bytes[kOffBitsIndex + 3] = 0x7F;
            reply->faulty = true;
            break;
        case Fault::FinalShort: {
            const size_t cut = std::min(static_cast<size_t>(f.arg), bytes.size() - kFirstReadSize);
            bytes.resize(bytes.size() - cut);
            reply->faulty = true;
            break;
        }
        default: break;
        }
    }

    const size_t total = bytes.size();
    const bool hasChunk = total > kFirstReadSize + static_cast<size_t>(kChunkThreshold);
    const size_t finalAt = FinalReadOffset(total, cur.width);
    struct Cut {
        std::vector<InTransfer> before;  // queued ahead of the data from here
        int delayMs = 0;
    };
    std::map<size_t, Cut> cuts;
    if (!options_.wholeTransfer && total > static_cast<size_t>(kFirstReadSize)) cuts[kFirstReadSize];
    for (const auto& f : faults) {
        const Strikes where = InfoOf(f.fault).strikes;
        if (where == Strikes::FirstChunk && !hasChunk) continue;  // no chunk read to strike
        Cut* at = where == Strikes::FirstChunk  ? &cuts[kFirstReadSize]
                  : where == Strikes::FinalRead ? &cuts[finalAt]
                                                : nullptr;
        if (!at) continue;
        switch (f.fault) {
        case Fault::ChunkStall:
        case Fault::FinalStall:
            at->before.insert(at->before.end(), static_cast<size_t>(f.arg), ZeroLengthPacket());
            break;
        case Fault::ChunkError:
        case Fault::FinalError: {
            InTransfer e = Item(InTransfer::Kind::Error);
            e.error = -ETIMEDOUT;
            at->before.push_back(e);
            break;
        }
        case Fault::SlowChunk: at->delayMs += f.arg; break;
        case Fault::Unplug: {
            InTransfer leave = Item(InTransfer::Kind::Leave);
            leave.backAfterMs = f.arg;
            at->before.push_back(leave);
            break;
        }
        default: break;
        }
    }

    size_t from = 0;
    int delay = 0;
    auto queueData = [&](size_t to, bool last) {
        InTransfer t;
        t.bytes.assign(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                       bytes.begin() + static_cast<std::ptrdiff_t>(to));
        t.delayMs = delay;
        t.zlp = last && closeWithZlp;
        queue_.push_back(std::move(t));
    };
    for (auto& [pos, cut] : cuts) {
        if (pos >= total) break;
        queueData(pos, false);
        for (auto& item : cut.before) queue_.push_back(std::move(item));
        from = pos;
        delay = cut.delayMs;
    }
    queueData(total, true);
    reply->size = total;
    reply_ = std::move(reply);
}

int Device::TakeDelay()
{
    if (queue_.empty()) return 0;
    return std::exchange(queue_.front().delayMs, 0);
}

void Device::Sent(size_t n)
{
    if (queue_.empty() || queue_.front().kind != InTransfer::Kind::Data) return;
    InTransfer& t = queue_.front();
    n = std::min(n, t.bytes.size() - t.sent);
    t.sent += n;
    if (t.sent == t.bytes.size()) queue_.pop_front();
    if (!reply_) return;
    reply_->sent += n;
    if (reply_->sent == reply_->size) Delivered();
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
    InRead r;
    while (r.moved < length) {
        if (queue_.empty()) return {End::Pending, r.moved};
        InTransfer& t = queue_.front();
        switch (t.kind) {
        case InTransfer::Kind::Halt: return {End::Halted, r.moved};
        case InTransfer::Kind::Error:
            r = {End::Error, r.moved, t.error};
            Pop();
            return r;
        case InTransfer::Kind::Leave:
            r = {End::Leave, r.moved, 0, 0, t.backAfterMs};
            Pop();
            return r;
        case InTransfer::Kind::Data: break;
        }
        if (t.sent == 0 && t.delayMs > 0) return {End::Delayed, r.moved, 0, TakeDelay()};
        const size_t size = t.bytes.size();
        const size_t avail = size - t.sent;
        const bool closed = size % packet != 0 || t.zlp;
        const size_t room = length - r.moved;
        if (avail == 0) {
            Sent(0);  // a zero-length packet ends the read
            return r;
        }
        const size_t n = std::min(avail, room);
        std::memcpy(data + r.moved, t.bytes.data() + t.sent, n);
        r.moved += n;
        if (avail > room && room % packet != 0 && options_.overflow) {
            // The host takes what fits and the rest of the transfer is gone with it.
            Sent(avail);
            return {End::Overflow, r.moved};
        }
        Sent(n);
        if (n == avail && closed) return r;
    }
    return r;
}

void Device::Delivered()
{
    Reply& r = *reply_;
    Log("reply sent " + std::to_string(r.size) + " bytes " + (r.whole ? "whole" : "delta") +
        (r.faulty ? " (faulty)" : ""));
    if (r.faulty) {
        // The host may have decoded part of it: the next delta rewrites every row.
        lastSent_.clear();
        lastSentWidth_ = 0;
        return;
    }
    lastSent_ = r.screen.pixels;
    lastSentWidth_ = r.screen.width;
    Dump(r.screen);
}

void Device::Reset()
{
    Log("reset");
    Abandon();
}

void Device::Plugged(bool plugged)
{
    if (!plugged) {
        Log("unplug");
        Abandon();
        unplugged_ = true;
    } else if (unplugged_) {
        Log("replug");
        unplugged_ = false;
    }
}

void Device::Dump(const Screen& s)
{
    if (options_.dump.empty()) return;
    const std::string tmp = options_.dump + ".tmp";
    std::FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f) {
        Log("dump failed: cannot write " + tmp);
        return;
    }
    const std::string ppm = EncodePpm(s);
    std::fwrite(ppm.data(), 1, ppm.size(), f);
    const bool ok = std::fclose(f) == 0;
    std::error_code ec;
    if (ok) std::filesystem::rename(tmp, options_.dump, ec);
    if (!ok || ec) Log("dump failed: cannot write " + options_.dump);
}

void Device::OpenLog()
{
    if (log_) std::fclose(log_);
    log_ = options_.log.empty() ? nullptr : std::fopen(options_.log.c_str(), "a");
}

void Device::Log(const std::string& event)
{
    if (!log_) return;
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - born_).count();
    std::fprintf(log_, "%lld %s\n", static_cast<long long>(ms), event.c_str());
    std::fflush(log_);
}

}  // namespace quellbar
