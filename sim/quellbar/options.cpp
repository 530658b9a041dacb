#include "options.h"

#include <algorithm>
#include <charconv>
#include <functional>
#include <type_traits>

#include "wire_format.h"

namespace quellbar {
namespace {

using karvolen::wire::kDrainBlockSize;
constexpr int kNone[] = {-1};                           // drawn with the fault's default argument
constexpr int kNoSig[] = {40000, 2 * kDrainBlockSize};  // the second ends on a drain read's boundary
constexpr int kOneOrTwo[] = {1, 2};                     // 1: the retry gets the data; 2: both tries fail
constexpr int kBackLater[] = {3000};                    // back after the reconnect has looked for it
constexpr int kPalette[] = {37};

constexpr FaultInfo kFaults[] = {
    {Fault::WriteFail, "writefail", -1, false, Strikes::Write, kNone},
    {Fault::WriteGone, "writegone", 5000, true, Strikes::Write, kBackLater},
    {Fault::NoReply, "noreply", -1, true, Strikes::Reply, kNone},
    {Fault::Mute, "mute", -1, true, Strikes::Reply, {}},
    {Fault::NoSig, "nosig", 40000, false, Strikes::Reply, kNoSig},
    {Fault::ChunkStall, "chunkstall", 1, false, Strikes::FirstChunk, kOneOrTwo},
    {Fault::ChunkError, "chunkerror", -1, false, Strikes::FirstChunk, kNone},
    {Fault::FinalStall, "finalstall", 1, false, Strikes::FinalRead, kOneOrTwo},
    {Fault::FinalError, "finalerror", -1, false, Strikes::FinalRead, kNone},
    {Fault::SlowChunk, "slowchunk", 1300, true, Strikes::FirstChunk, kNone},
    {Fault::TooLarge, "toolarge", 500000, true, Strikes::Reply, kNone},
    {Fault::TopBit, "topbit", -1, true, Strikes::Reply, kNone},
    {Fault::FinalShort, "finalshort", 1000, false, Strikes::Reply, kNone},
    {Fault::Unplug, "unplug", 2000, true, Strikes::FirstChunk, kBackLater},
    {Fault::Palette, "palette", 1, false, Strikes::Reply, kPalette},
    {Fault::BadOffset, "badoffset", -1, false, Strikes::Reply, {}},
};
static_assert(static_cast<size_t>(Fault::BadOffset) + 1 == std::size(kFaults), "one row per fault");

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// The text up to `sep` (or all of it), taken off the front of `text`.
std::string_view Next(std::string_view& text, char sep)
{
    const auto at = text.find(sep);
    const std::string_view item = Trim(text.substr(0, at));
    text = at == std::string_view::npos ? std::string_view{} : text.substr(at + 1);
    return item;
}

// The whole of `s` as a number in [least, most]; `out` is unchanged otherwise.
template <typename T>
bool Number(std::string_view s, T& out, double least, double most = 1e18, int base = 10)
{
    s = Trim(s);
    T v{};
    std::from_chars_result r;
    if constexpr (std::is_floating_point_v<T>) {
        r = std::from_chars(s.data(), s.data() + s.size(), v);
    } else {
        r = std::from_chars(s.data(), s.data() + s.size(), v, base);
    }
    if (s.empty() || r.ec != std::errc{} || r.ptr != s.data() + s.size() || v < least || v > most) return false;
    out = v;
    return true;
}

}  // namespace

std::span<const FaultInfo> Faults() { return kFaults; }

const FaultInfo& InfoOf(Fault fault) { return kFaults[static_cast<size_t>(fault)]; }

std::string Describe(const FaultSpec& f)
{
    const std::string name(InfoOf(f.fault).name);
    return f.arg >= 0 ? name + ":" + std::to_string(f.arg) : name;
}

std::string ParseFault(std::string_view text, FaultSpec& out)
{
    FaultSpec f;
    std::string_view name = Next(text, '@');
    if (!text.empty() && !Number(text, f.at, 1)) return "bad request number in fault '" + std::string(name) + "'";
    std::string_view arg = name;
    name = Next(arg, ':');
    if (!arg.empty() && !Number(arg, f.arg, 0)) return "bad argument in fault '" + std::string(name) + "'";
    for (const auto& info : kFaults) {
        if (info.name != name) continue;
        if (f.arg >= 0 && info.defaultArg < 0) return "fault '" + std::string(name) + "' takes no argument";
        f.fault = info.fault;
        if (f.arg < 0) f.arg = info.defaultArg;
        out = f;
        return {};
    }
    return "unknown fault '" + std::string(name) + "'";
}

std::vector<FaultSpec> SoakPool(bool loud)
{
    std::vector<FaultSpec> pool;
    for (const auto& info : kFaults) {
        if (info.loud && !loud) continue;
        for (int arg : info.soakArgs) pool.push_back({info.fault, arg < 0 ? info.defaultArg : arg, 1});
    }
    return pool;
}

std::string ParseOptions(std::string_view text, Options& o)
{
    while (!text.empty()) {
        std::string_view value = Next(text, ';');
        if (value.empty()) continue;
        if (value.find('=') == std::string_view::npos) return "option without '=': '" + std::string(value) + "'";
        const std::string key(Next(value, '='));
        value = Trim(value);
        if (key == "faults") {
            std::vector<FaultSpec> faults;
            while (!value.empty()) {
                const std::string_view one = Next(value, ',');
                if (one.empty()) continue;
                if (auto problem = ParseFault(one, faults.emplace_back()); !problem.empty()) return problem;
            }
            o.faults = std::move(faults);
            continue;
        }
        // One of two words, giving `field` the first or the second value.
        auto either = [&]<typename T = bool>(std::string_view first, std::string_view second, T & field, T a = T(false),
                                             T b = T(true))
        {
            if (value != first && value != second) return false;
            field = value == first ? a : b;
            return true;
        };
        auto flag = [&](bool& field) { return either("0", "1", field); };
        auto text = [&](std::string& field) { return field = value, true; };
        const std::pair<const char*, std::function<bool()>> keys[] = {
            {"device", [&] { return either("absent", "present", o.present); }},
            {"product", [&] { return Number(value, o.product, 0, 0xFFFF, 16); }},
            {"width", [&] { return (value == "640" || value == "800") && Number(value, o.width, 0); }},
            {"speed", [&] { return Number(value, o.speed, 1); }},
            {"freeze", [&] { return flag(o.freeze); }},
            {"loud", [&] { return flag(o.loud); }},
            {"seed", [&] { return Number(value, o.seed, 0); }},
            {"dump", [&] { return text(o.dump); }},
            {"log", [&] { return text(o.log); }},
            {"reset", [&] { return either("inplace", "reenum", o.reenumerate); }},
            {"queue", [&] { return either("split", "whole", o.wholeTransfer); }},
            {"usb", [&] { return either("full", "high", o.maxPacket, kFullSpeedPacket, kHighSpeedPacket); }},
            {"overflow", [&] { return flag(o.overflow); }},
            {"reenum_ms", [&] { return Number(value, o.reenumMs, 0); }},
            {"random", [&] { return Number(value, o.random, 0, 1); }},
            {"widthswitch", [&] { return Number(value, o.widthSwitch, 0); }},
            {"vendor", [&] { return Number(value, o.vendor, 0, 0xFFFF, 16); }},
            {"interface", [&] { return Number(value, o.interface, 0, 0xFF); }},
            {"altsetting", [&] { return value == "refuse" && (o.refuseAltSetting = true); }},
        };
        const auto* k = std::find_if(std::begin(keys), std::end(keys), [&](const auto& e) { return key == e.first; });
        if (k == std::end(keys)) return "unknown option '" + key + "'";
        if (!k->second()) return "bad value for " + key + ": '" + std::string(value) + "'";
    }
    return {};
}

}  // namespace quellbar
