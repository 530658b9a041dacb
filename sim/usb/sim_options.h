// Settings of the simulated bus and Quellbar, as written in QUELLBAR_SIM:
// semicolon-separated key=value pairs; faults as name[:arg][@n].
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// Defaults of the simulation.
inline constexpr uint16_t kRootHubVendor = 0x1d6b;
inline constexpr uint16_t kRootHubProduct = 0x0002;
inline constexpr int kDefaultWidth = 800;
inline constexpr int64_t kDefaultSpeed = 20'000'000;  // bytes per second
inline constexpr int kDefaultReenumMs = 300;
// The viewer reads chunks while more than this many bytes of a reply remain;
// the device uses it only to tell chunk reads from the final read.
inline constexpr int kChunkThreshold = 25600;
// The viewer's first read of a reply.
inline constexpr int kFirstReadSize = 64;

struct FaultSpec {
    std::string name;
    int arg = -1;  // -1: the fault's default
    int at = 1;    // 1-based request number the fault hits
};

struct QuellbarOptions {
    bool present = true;
    uint16_t product = 0xFF05;
    int width = kDefaultWidth;
    int64_t speed = kDefaultSpeed;
    bool freeze = false;
    // random= also draws faults that end with a message to the user.
    bool loud = false;
    uint32_t seed = 1;
    std::string dump;
    std::string log;
    int reenumMs = kDefaultReenumMs;
    std::vector<FaultSpec> faults;
    double random = 0.0;
    int widthSwitch = 0;
};

// Which options a text set, so that a later configure changes only those.
struct OptionsSeen {
    bool present = false, product = false, width = false, speed = false, freeze = false, loud = false, seed = false,
         dump = false, log = false, reenumMs = false, faults = false, random = false, widthSwitch = false;
};

// Every fault name the device knows, with its default argument (-1: none).
struct FaultInfo {
    std::string_view name;
    int defaultArg;
};
const std::vector<FaultInfo>& KnownFaults();

// Parses one fault "name[:arg][@n]". Returns an empty string on success,
// otherwise what is wrong; `out` is then unchanged.
std::string ParseFault(std::string_view text, FaultSpec& out);

// Applies `text` on top of `options`. Returns an empty string on success,
// otherwise the first problem found (options before it are applied).
std::string ParseOptions(std::string_view text, QuellbarOptions& options, OptionsSeen* seen = nullptr);

}  // namespace sim
