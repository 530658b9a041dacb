#include "faults.h"

#include <charconv>

namespace quellbar {
namespace {

constexpr int kNone[] = {-1};             // drawn with the fault's default argument
constexpr int kNoSig[] = {40000, 32768};  // 32768: the garbage ends on a drain read's boundary
constexpr int kOneOrTwo[] = {1, 2};       // 1: the retry gets the data; 2: both tries fail
constexpr int kBackLater[] = {3000};      // back after the reconnect has looked for it
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

bool ParseInt(std::string_view s, int& out)
{
    s = Trim(s);
    int value = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (s.empty() || ec != std::errc{} || end != s.data() + s.size()) return false;
    out = value;
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
    text = Trim(text);
    FaultSpec fault;
    if (auto at = text.find('@'); at != std::string_view::npos) {
        if (!ParseInt(text.substr(at + 1), fault.at) || fault.at < 1) {
            return "bad request number in fault '" + std::string(text) + "'";
        }
        text = text.substr(0, at);
    }
    int arg = -1;
    if (auto colon = text.find(':'); colon != std::string_view::npos) {
        if (!ParseInt(text.substr(colon + 1), arg) || arg < 0) {
            return "bad argument in fault '" + std::string(text) + "'";
        }
        text = text.substr(0, colon);
    }
    const std::string_view name = Trim(text);
    for (const auto& info : kFaults) {
        if (info.name != name) continue;
        if (arg >= 0 && info.defaultArg < 0) return "fault '" + std::string(name) + "' takes no argument";
        fault.fault = info.fault;
        fault.arg = arg >= 0 ? arg : info.defaultArg;
        out = fault;
        return {};
    }
    return "unknown fault '" + std::string(name) + "'";
}

std::vector<FaultSpec> SoakPool(bool loud)
{
    std::vector<FaultSpec> pool;
    for (const auto& info : kFaults) {
        if (info.loud && !loud) continue;
        for (int arg : info.soakArgs) pool.push_back(FaultSpec{info.fault, arg < 0 ? info.defaultArg : arg, 1});
    }
    return pool;
}

}  // namespace quellbar
