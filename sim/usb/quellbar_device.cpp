#include "quellbar_device.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

#include "../quellbar/encoder.h"
#include "protocol.h"
#include "timing.h"

namespace sim {
namespace {

constexpr char kRequestPrefix[] = "BMP? ";
constexpr size_t kRequestSize = 8;
// toolarge pads the stream to the declared length; keep that bounded.
constexpr int kMaxPaddedLength = 64 * 1024 * 1024;

// Faults that end a fetch cycle quietly on the viewer's side: the ones a soak
// run draws from, so that it keeps polling without anyone pressing a button.
const std::vector<std::string_view>& RandomFaults()
{
    static const std::vector<std::string_view> faults = {
        "nosig", "nosig:32768", "chunkstall", "chunkstall:2", "chunkerror",
        "finalstall", "finalstall:2", "finalerror", "finalshort",
    };
    return faults;
}

// Faults that end with a message: someone has to press OK and START.
const std::vector<std::string_view>& LoudFaults()
{
    static const std::vector<std::string_view> faults = {
        "noreply", "slowchunk", "unplug:1500", "writegone:1500", "toolarge", "topbit", "writefail",
    };
    return faults;
}

std::string Describe(const FaultSpec& f)
{
    return f.arg >= 0 ? f.name + ":" + std::to_string(f.arg) : f.name;
}

// A stand-in for "the previous picture" that differs in every row, so that a
// line delta with no reference rewrites the whole picture.
std::vector<uint8_t> DifferentInEveryRow(const quellbar::Screen& s)
{
    std::vector<uint8_t> other = s.pixels;
    for (size_t row = 0; row < static_cast<size_t>(quellbar::kRows); ++row) {
        other[row * static_cast<size_t>(s.width)] ^= 0xFF;
    }
    return other;
}

}  // namespace

QuellbarDevice::QuellbarDevice(const QuellbarOptions& options)
    : options_(options),
      generator_(std::make_unique<quellbar::ScreenGenerator>(options.width, options.seed)),
      pendingWidth_(options.width),
      random_(options.seed)
{
    for (const auto& f : options_.faults) scheduled_.push_back(f);
    OpenLog();
}

QuellbarDevice::~QuellbarDevice()
{
    if (log_) std::fclose(log_);
}

uint16_t QuellbarDevice::VendorId() const { return MARLEX_VENDOR_ID; }

std::string QuellbarDevice::Configure(std::string_view text)
{
    QuellbarOptions next = options_;
    OptionsSeen seen;
    if (auto problem = ParseOptions(text, next, &seen); !problem.empty()) return problem;
    if (seen.present) return "device= is read from QUELLBAR_SIM only; use simctl_unplug";
    options_ = next;
    if (seen.width) pendingWidth_ = options_.width;
    if (seen.seed) {
        generator_ = std::make_unique<quellbar::ScreenGenerator>(generator_->Current().width, options_.seed);
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

std::string QuellbarDevice::Inject(std::string_view text)
{
    FaultSpec f;
    if (auto problem = ParseFault(text, f); !problem.empty()) return problem;
    f.at += static_cast<int>(requests_);
    scheduled_.push_back(f);
    return {};
}

std::vector<FaultSpec> QuellbarDevice::TakeFaults()
{
    std::vector<FaultSpec> now;
    auto due = [this](const FaultSpec& f) { return f.at == static_cast<int>(requests_); };
    std::copy_if(scheduled_.begin(), scheduled_.end(), std::back_inserter(now), due);
    std::erase_if(scheduled_, due);
    if (options_.random > 0.0 && std::uniform_real_distribution<double>(0.0, 1.0)(random_) < options_.random) {
        std::vector<std::string_view> pool = RandomFaults();
        if (options_.loud) pool.insert(pool.end(), LoudFaults().begin(), LoudFaults().end());
        FaultSpec f;
        ParseFault(pool[std::uniform_int_distribution<size_t>(0, pool.size() - 1)(random_)], f);
        now.push_back(f);
    }
    return now;
}

int QuellbarDevice::BulkOut(int, const uint8_t* data, int length, Clock::time_point deadline)
{
    ++requests_;
    const auto faults = TakeFaults();
    for (const auto& f : faults) {
        if (f.name == "writefail") {
            // The endpoint stalls: the host's write reports 0 bytes.
            Log("fault writefail at request " + std::to_string(requests_));
            return 0;
        }
        if (f.name == "writegone") {
            Log("fault " + Describe(f) + " at request " + std::to_string(requests_));
            if (port_) port_->Unplug(f.arg);
            return -ENODEV;
        }
    }
    const auto wire = std::chrono::nanoseconds(static_cast<int64_t>(length) * 1'000'000'000 / options_.speed);
    if (!SleepWithin(wire, deadline)) return -ETIMEDOUT;

    const bool wellFormed = static_cast<size_t>(length) == kRequestSize &&
                            std::memcmp(data, kRequestPrefix, 5) == 0 && (data[5] == '0' || data[5] == '2') &&
                            data[6] == '\r' && data[7] == '\n';
    if (!wellFormed) {
        // Anything else is not a request: taken off the wire and ignored; a
        // reply still pending stays so.
        Log("garbage request of " + std::to_string(length) + " bytes ignored");
        return length;
    }
    Log(std::string("request BMP? ") + static_cast<char>(data[5]));
    StartRequest(data[5] - '0');
    BuildReply(data[5] - '0', faults);
    return length;
}

void QuellbarDevice::StartRequest(int mode)
{
    if (reply_ && reply_->sent < reply_->bytes.size()) {
        Log("reply abandoned after " + std::to_string(reply_->sent) + " of " + std::to_string(reply_->bytes.size()) +
            " bytes");
    }
    reply_.reset();
    armed_ = {};

    if (!options_.freeze || frames_ == 0) {
        generator_->Next();
        ++frames_;
        if (options_.widthSwitch > 0 && frames_ % static_cast<uint64_t>(options_.widthSwitch) == 0) {
            pendingWidth_ = pendingWidth_ == 800 ? 640 : 800;
        }
    }
    // A line delta cannot carry a new width: the switch waits for a whole picture.
    if (mode == 0 && pendingWidth_ != generator_->Current().width) {
        generator_ = std::make_unique<quellbar::ScreenGenerator>(pendingWidth_, options_.seed);
        generator_->Next();
    }
}

void QuellbarDevice::BuildReply(int mode, const std::vector<FaultSpec>& faults)
{
    auto reply = std::make_unique<Reply>();
    reply->screen = generator_->Current();
    reply->whole = mode == 0;
    const quellbar::Screen& cur = reply->screen;

    std::vector<uint8_t> pixelData;
    if (reply->whole) {
        pixelData = cur.pixels;
    } else if (lastSentWidth_ == cur.width && lastSent_.size() == cur.pixels.size()) {
        pixelData = quellbar::EncodeLineDelta(lastSent_.data(), cur.pixels.data(), cur.width);
    } else {
        const auto other = DifferentInEveryRow(cur);
        pixelData = quellbar::EncodeLineDelta(other.data(), cur.pixels.data(), cur.width);
    }
    reply->bytes = quellbar::BuildReply(quellbar::BuildBmp(cur, pixelData));

    auto& bytes = reply->bytes;
    for (const auto& f : faults) {
        Log("fault " + Describe(f) + " at request " + std::to_string(requests_));
        if (f.name == "noreply") {
            bytes.clear();
            armed_.noReply = true;
        } else if (f.name == "mute") {
            bytes.clear();
        } else if (f.name == "nosig") {
            // Looks like the tail of some other reply: no "BM" at offsets 4 and 5.
            bytes.assign(static_cast<size_t>(kFirstReadSize) + static_cast<size_t>(f.arg), 0);
            for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>((i & 0xFF) ^ 0xA5);
        } else if (f.name == "toolarge") {
            const uint32_t declared = static_cast<uint32_t>(std::min(f.arg, kMaxPaddedLength));
            bytes.resize(4 + static_cast<size_t>(declared), 0);
            bytes[0] = static_cast<uint8_t>(declared >> 24);
            bytes[1] = static_cast<uint8_t>(declared >> 16);
            bytes[2] = static_cast<uint8_t>(declared >> 8);
            bytes[3] = static_cast<uint8_t>(declared);
        } else if (f.name == "topbit") {
            bytes[0] |= 0x80;
        } else if (f.name == "finalshort") {
            const size_t cut = std::min(static_cast<size_t>(f.arg), bytes.size() - kFirstReadSize);
            bytes.resize(bytes.size() - cut);
        } else if (f.name == "chunkstall") {
            armed_.chunkStalls = f.arg;
            continue;
        } else if (f.name == "finalstall") {
            armed_.finalStalls = f.arg;
            continue;
        } else if (f.name == "chunkerror") {
            armed_.chunkError = true;
            continue;
        } else if (f.name == "finalerror") {
            armed_.finalError = true;
            continue;
        } else if (f.name == "slowchunk") {
            armed_.slowChunkMs = f.arg;
            continue;
        } else if (f.name == "unplug") {
            armed_.unplugMs = f.arg;
            continue;
        } else {
            continue;  // write faults were handled before the request was taken
        }
        reply->faulty = true;  // the bytes no longer are the picture as it is
    }
    reply_ = std::move(reply);
}

void QuellbarDevice::BeginTransfer(int endpoint, int)
{
    if (!(endpoint & 0x80) || !reply_) return;
    ++reply_->reads;
    const size_t remaining = reply_->bytes.size() - std::min(reply_->sent, reply_->bytes.size());
    if (reply_->sent == 0) {
        currentRead_ = ReadKind::First;
    } else {
        currentRead_ = remaining > static_cast<size_t>(kChunkThreshold) ? ReadKind::Chunk : ReadKind::Final;
    }
    currentReadHit_ = false;
}

int QuellbarDevice::BulkIn(int, uint8_t* data, int length, Clock::time_point deadline)
{
    if (armed_.noReply) return 0;  // stalled endpoint
    if (!reply_ || reply_->sent >= reply_->bytes.size()) {
        // Nothing to send: the read stays pending until the host gives up.
        std::this_thread::sleep_until(deadline);
        return -ETIMEDOUT;
    }
    if (!currentReadHit_) {
        // Scripted faults act on the first request of a read call.
        currentReadHit_ = true;
        if (currentRead_ == ReadKind::Chunk) {
            if (armed_.unplugMs >= 0) {
                const int back = armed_.unplugMs;
                armed_.unplugMs = -1;
                if (port_) port_->Unplug(back);  // PlugChanged(false) drops the reply
                return -ENODEV;
            }
            if (armed_.chunkStalls > 0) {
                --armed_.chunkStalls;
                return 0;
            }
            if (armed_.chunkError) {
                armed_.chunkError = false;
                return -ETIMEDOUT;
            }
            if (armed_.slowChunkMs > 0) {
                const auto slow = std::chrono::milliseconds(armed_.slowChunkMs);
                armed_.slowChunkMs = 0;
                if (!SleepWithin(slow, deadline)) return -ETIMEDOUT;
            }
        } else if (currentRead_ == ReadKind::Final) {
            if (armed_.finalStalls > 0) {
                --armed_.finalStalls;
                return 0;
            }
            if (armed_.finalError) {
                armed_.finalError = false;
                return -ETIMEDOUT;
            }
        }
    }

    Reply& r = *reply_;
    const size_t n = std::min(static_cast<size_t>(length), r.bytes.size() - r.sent);
    const auto wire = std::chrono::nanoseconds(static_cast<int64_t>(n) * 1'000'000'000 / options_.speed);
    if (!SleepWithin(wire, deadline)) return -ETIMEDOUT;
    std::memcpy(data, r.bytes.data() + r.sent, n);
    r.sent += n;
    if (r.sent == r.bytes.size()) Delivered();
    return static_cast<int>(n);
}

void QuellbarDevice::Delivered()
{
    Reply& r = *reply_;
    Log("reply sent " + std::to_string(r.bytes.size()) + " bytes " + (r.whole ? "whole" : "delta") +
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

void QuellbarDevice::Reset()
{
    Log("reset");
    if (reply_ && reply_->sent < reply_->bytes.size()) {
        Log("reply abandoned after " + std::to_string(reply_->sent) + " of " + std::to_string(reply_->bytes.size()) +
            " bytes");
    }
    reply_.reset();
    armed_ = {};
}

void QuellbarDevice::PlugChanged(bool plugged)
{
    if (!plugged) {
        Log("unplug");
        reply_.reset();
        armed_ = {};
        unplugged_ = true;
    } else if (unplugged_) {
        Log("replug");
        unplugged_ = false;
    }
}

void QuellbarDevice::Dump(const quellbar::Screen& s)
{
    if (options_.dump.empty()) return;
    const std::string tmp = options_.dump + ".tmp";
    std::FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f) {
        Log("dump failed: cannot write " + tmp);
        return;
    }
    std::fprintf(f, "P6\n%d %d\n255\n", s.width, quellbar::kRows);
    std::vector<uint8_t> row(static_cast<size_t>(s.width) * 3);
    for (int y = quellbar::kRows - 1; y >= 0; --y) {  // top row first; pixels are stored bottom row first
        const uint8_t* src = s.pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(s.width);
        for (int x = 0; x < s.width; ++x) {
            const uint32_t c = s.palette[src[x]];
            row[static_cast<size_t>(x) * 3] = static_cast<uint8_t>(c >> 16);
            row[static_cast<size_t>(x) * 3 + 1] = static_cast<uint8_t>(c >> 8);
            row[static_cast<size_t>(x) * 3 + 2] = static_cast<uint8_t>(c);
        }
        std::fwrite(row.data(), 1, row.size(), f);
    }
    const bool ok = std::fclose(f) == 0;
    std::error_code ec;
    if (ok) std::filesystem::rename(tmp, options_.dump, ec);
    if (!ok || ec) Log("dump failed: cannot write " + options_.dump);
}

void QuellbarDevice::OpenLog()
{
    if (log_) std::fclose(log_);
    log_ = options_.log.empty() ? nullptr : std::fopen(options_.log.c_str(), "a");
}

void QuellbarDevice::Log(const std::string& event)
{
    if (!log_) return;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - born_).count();
    std::fprintf(log_, "%lld %s\n", static_cast<long long>(ms), event.c_str());
    std::fflush(log_);
}

}  // namespace sim
