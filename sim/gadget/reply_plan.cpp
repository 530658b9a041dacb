#include "reply_plan.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "encoder.h"

namespace gadget {
namespace {

constexpr int kFirst = 64;
constexpr int kChunkThreshold = 25600;

int DefaultArg(std::string_view name)
{
    if (name == "nosig") return 40000;
    if (name == "chunkstall" || name == "finalstall") return 1;
    if (name == "slowchunk") return 1300;
    if (name == "toolarge") return 500000;
    if (name == "finalshort") return 1000;
    if (name == "unplug") return 2000;
    if (name == "writegone") return 5000;
    return -1;
}

bool Known(std::string_view n)
{
    for (std::string_view k : {"writefail", "writegone", "noreply", "mute", "nosig", "chunkstall", "finalstall",
                               "slowchunk", "toolarge", "topbit", "finalshort", "unplug"}) {
        if (n == k) return true;
    }
    return false;
}

int ToInt(std::string_view s, bool& ok)
{
    int v = 0;
    ok = !s.empty();
    for (char c : s) {
        if (c < '0' || c > '9') ok = false;
        v = v * 10 + (c - '0');
    }
    return v;
}

// Where the host's final read begins, for a reply of `total` bytes read in
// chunks of 32 rows of `width`.
size_t FinalStart(size_t total, int width)
{
    size_t at = kFirst;
    while (total - at > static_cast<size_t>(kChunkThreshold)) at += static_cast<size_t>(width) * 32;
    return at;
}

}  // namespace

std::string ParseOptions(std::string_view text, Options& out, std::string* personality)
{
    while (!text.empty()) {
        const size_t semi = text.find(';');
        std::string_view kv = text.substr(0, semi);
        text = semi == std::string_view::npos ? std::string_view{} : text.substr(semi + 1);
        if (kv.empty()) continue;
        const size_t eq = kv.find('=');
        if (eq == std::string_view::npos) return "no value in '" + std::string(kv) + "'";
        const std::string_view key = kv.substr(0, eq), value = kv.substr(eq + 1);
        bool ok = true;
        if (key == "width") {
            out.width = ToInt(value, ok);
            if (out.width != 640 && out.width != 800) ok = false;
        } else if (key == "seed") {
            out.seed = static_cast<uint32_t>(ToInt(value, ok));
        } else if (key == "transfer") {
            ok = value == "whole" || value == "split";
            out.wholeTransfer = value == "whole";
        } else if (key == "resume") {
            const size_t colon = value.find(':');
            out.resumeRequests = static_cast<uint64_t>(ToInt(value.substr(0, colon), ok));
            out.resumeFrames = colon == std::string_view::npos ? 0 : static_cast<uint64_t>(ToInt(value.substr(colon + 1), ok));
        } else if (key == "away") {
            out.awayMs = ToInt(value, ok);
        } else if (key == "log") {
            out.log = value;
        } else if (key == "dump") {
            out.dump = value;
        } else if (key == "faults") {
            std::string_view list = value;
            while (ok && !list.empty()) {
                const size_t comma = list.find(',');
                std::string_view f = list.substr(0, comma);
                list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
                Fault fault;
                if (const size_t at = f.find('@'); at != std::string_view::npos) {
                    fault.at = ToInt(f.substr(at + 1), ok);
                    f = f.substr(0, at);
                }
                if (const size_t colon = f.find(':'); colon != std::string_view::npos) {
                    fault.arg = ToInt(f.substr(colon + 1), ok);
                    f = f.substr(0, colon);
                }
                fault.name = f;
                if (!Known(f)) return "unknown fault '" + fault.name + "'";
                if (fault.arg < 0) fault.arg = DefaultArg(f);
                out.faults.push_back(fault);
            }
        } else if (personality != nullptr && (key == "vendor" || key == "product" || key == "interface" ||
                                              key == "altsetting")) {
            *personality += std::string(kv) + ";";
        } else {
            return "unknown option '" + std::string(key) + "'";
        }
        if (!ok) return "bad value in '" + std::string(kv) + "'";
    }
    return "";
}

Quellbar::Quellbar(Options options) : o_(std::move(options)), gen_(o_.width, o_.seed)
{
    requests_ = o_.resumeRequests;
    for (frames_ = 0; frames_ < o_.resumeFrames; ++frames_) gen_.Next();
    if (!o_.log.empty()) log_ = std::fopen(o_.log.c_str(), "a");
}

Quellbar::~Quellbar()
{
    if (log_) std::fclose(log_);
}

void Quellbar::Log(const std::string& event)
{
    if (!log_) return;
    static const auto born = std::chrono::steady_clock::now();
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - born).count();
    std::fprintf(log_, "%lld %s\n", static_cast<long long>(ms), event.c_str());
    std::fflush(log_);
}

const Fault* Quellbar::Due(std::string_view name) const
{
    for (const auto& f : o_.faults) {
        if (f.name == name && static_cast<uint64_t>(f.at) == requests_) return &f;
    }
    return nullptr;
}

Quellbar::WriteFault Quellbar::TakeWriteFault(int& ms)
{
    for (const auto& f : o_.faults) {
        if (static_cast<uint64_t>(f.at) != requests_ + 1) continue;
        if (f.name == "writefail" || f.name == "writegone") {
            ++requests_;
            Log("fault " + f.name + " at request " + std::to_string(requests_));
            ms = f.arg;
            return f.name == "writefail" ? WriteFault::WriteFail : WriteFault::WriteGone;
        }
    }
    return WriteFault::None;
}

std::string Quellbar::ResumeOption() const
{
    return "resume=" + std::to_string(requests_) + ":" + std::to_string(frames_);
}

void Quellbar::Lost() { pendingClean_ = false; }

void Quellbar::Delivered()
{
    if (!pendingClean_) return;
    pendingClean_ = false;
    lastSent_ = pendingScreen_.pixels;
    delivered_ = true;
    Log("reply delivered");
    if (o_.dump.empty()) return;
    const quellbar::Screen& s = pendingScreen_;
    const std::string tmp = o_.dump + ".tmp";
    if (std::FILE* f = std::fopen(tmp.c_str(), "wb")) {
        std::fprintf(f, "P6\n%d %d\n255\n", s.width, quellbar::kRows);
        for (int y = quellbar::kRows - 1; y >= 0; --y) {
            for (int x = 0; x < s.width; ++x) {
                const uint32_t c = s.palette[s.pixels[static_cast<size_t>(y) * static_cast<size_t>(s.width) +
                                                      static_cast<size_t>(x)]];
                const uint8_t rgb[3] = {static_cast<uint8_t>(c >> 16), static_cast<uint8_t>(c >> 8),
                                        static_cast<uint8_t>(c)};
                std::fwrite(rgb, 1, 3, f);
            }
        }
        std::fclose(f);
        std::error_code ec;
        std::filesystem::rename(tmp, o_.dump, ec);
    }
}

std::vector<Step> Quellbar::Request(const uint8_t* data, int length)
{
    ++requests_;
    if (length != 8 || std::memcmp(data, "BMP? ", 5) != 0 || (data[5] != '0' && data[5] != '2') ||
        data[6] != '\r' || data[7] != '\n') {
        Log("garbage request of " + std::to_string(length) + " bytes ignored");
        return {};
    }
    const bool whole = data[5] == '0';
    const bool haveReference = delivered_;
    delivered_ = false;
    Log(std::string("request BMP? ") + static_cast<char>(data[5]));
    const quellbar::Screen& cur = gen_.Next();
    ++frames_;

    std::vector<uint8_t> pixels;
    if (whole) {
        pixels = cur.pixels;
    } else {
        // Without a picture the host surely holds, every row is rewritten.
        std::vector<uint8_t> prev = lastSent_;
        if (!haveReference || prev.size() != cur.pixels.size()) {
            prev = cur.pixels;
            for (size_t row = 0; row < static_cast<size_t>(quellbar::kRows); ++row)
                prev[row * static_cast<size_t>(cur.width)] ^= 0xFF;
        }
        pixels = quellbar::EncodeLineDelta(prev.data(), cur.pixels.data(), cur.width);
    }
    std::vector<uint8_t> reply = quellbar::BuildReply(quellbar::BuildBmp(cur, pixels));
    pendingScreen_ = cur;
    pendingClean_ = true;

    for (const auto& f : o_.faults) {
        if (static_cast<uint64_t>(f.at) == requests_) Log("fault " + f.name + " at request " + std::to_string(requests_));
    }
    if (Due("noreply")) {
        pendingClean_ = false;
        return {Step{Step::HaltIn, {}, 0}};
    }
    if (Due("mute")) {
        pendingClean_ = false;
        return {};
    }
    if (const Fault* f = Due("nosig")) {
        pendingClean_ = false;
        reply.assign(static_cast<size_t>(kFirst + f->arg), 0);
        for (size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<uint8_t>((i & 0xFF) ^ 0xA5);
    }
    if (const Fault* f = Due("toolarge")) {
        pendingClean_ = false;
        const auto declared = static_cast<uint32_t>(f->arg);
        reply.resize(4 + declared, 0);
        for (int i = 0; i < 4; ++i) reply[static_cast<size_t>(i)] = static_cast<uint8_t>(declared >> (24 - 8 * i));
    }
    if (Due("topbit")) {
        pendingClean_ = false;
        reply[0] |= 0x80;
    }
    const size_t finalAt = FinalStart(reply.size(), cur.width);
    if (const Fault* f = Due("finalshort")) {
        pendingClean_ = false;
        reply.resize(reply.size() - std::min(reply.size() - kFirst, static_cast<size_t>(f->arg)));
    }

    // The transfers: the first 64 bytes apart unless asked otherwise, then
    // the rest cut where a fault waits for the host.
    std::vector<Step> steps;
    auto send = [&](size_t from, size_t to) {
        if (to > from) steps.push_back(Step{Step::Send, {reply.begin() + static_cast<long>(from), reply.begin() + static_cast<long>(to)}, 0});
    };
    std::vector<std::pair<size_t, Step>> at;  // actions before the byte at offset
    if (const Fault* f = Due("chunkstall")) for (int i = 0; i < f->arg; ++i) at.push_back({kFirst, Step{Step::ZeroLength, {}, 0}});
    if (const Fault* f = Due("slowchunk")) at.push_back({kFirst, Step{Step::Delay, {}, f->arg}});
    if (const Fault* f = Due("unplug")) {
        pendingClean_ = false;
        at.push_back({kFirst, Step{Step::Leave, {}, f->arg}});
    }
    if (const Fault* f = Due("finalstall")) for (int i = 0; i < f->arg; ++i) at.push_back({finalAt, Step{Step::ZeroLength, {}, 0}});

    size_t pos = 0;
    if (!o_.wholeTransfer) {
        send(0, std::min<size_t>(kFirst, reply.size()));
        pos = std::min<size_t>(kFirst, reply.size());
    }
    for (auto& [offset, step] : at) {
        if (offset > reply.size()) continue;
        send(pos, std::max(pos, offset));
        pos = std::max(pos, offset);
        steps.push_back(step);
    }
    send(pos, reply.size());
    return steps;
}

}  // namespace gadget
