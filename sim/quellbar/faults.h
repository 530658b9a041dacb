// The faults the simulated Quellbar can play, as a real device or cable
// produces them. One table says everything about a fault: its name in
// QUELLBAR_SIM, its argument, whether the viewer's ending for it is quiet or
// shows a message, where in the exchange it strikes, and which variants a
// random soak draws. Parsing, the random pools and the device's dispatch all
// read this table.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quellbar {

enum class Fault {
    WriteFail,   // the OUT endpoint halts: the request write moves nothing
    WriteGone,   // the device leaves the bus at the request write, back after arg ms
    NoReply,     // the IN endpoint halts instead of replying
    Mute,        // no reply at all: the host's read runs into its time-out
    NoSig,       // 64 bytes without the signature, then arg more bytes
    ChunkStall,  // arg zero-length packets where the first chunk read begins
    ChunkError,  // the first chunk read fails at once (the stand-in only)
    FinalStall,  // arg zero-length packets where the final read begins
    FinalError,  // the final read fails at once (the stand-in only)
    SlowChunk,   // the data of the first chunk comes arg ms late
    TooLarge,    // declares arg bytes and sends that many
    TopBit,      // the length prefix has its top bit set
    FinalShort,  // the last arg bytes of the reply are never sent
    Unplug,      // the device leaves where the first chunk begins, back after arg ms
    Palette,     // the reply's colour table is turned by arg entries, the pixels as they are
    BadOffset,   // the pixel offset in the picture's header points far beyond any reply
};

// Where a fault acts.
enum class Strikes {
    Write,       // on the request write itself
    Reply,       // on the bytes of the reply
    FirstChunk,  // where the host's first chunk read begins
    FinalRead,   // where the host's final read begins
};

struct FaultInfo {
    Fault fault;
    std::string_view name;
    int defaultArg;  // -1: takes no argument
    bool loud;       // the viewer's ending shows a message
    Strikes strikes;
    std::span<const int> soakArgs;  // variants a random soak draws; empty: not drawn
};

// Every fault, in the order of the enum.
std::span<const FaultInfo> Faults();
const FaultInfo& InfoOf(Fault fault);

struct FaultSpec {
    Fault fault = Fault::Mute;
    int arg = -1;  // the fault's argument, the default filled in
    int at = 1;    // 1-based request number the fault hits
};

// "name[:arg]", as the log and the documentation write it.
std::string Describe(const FaultSpec& f);

// Parses one fault "name[:arg][@n]". Returns an empty string on success,
// otherwise what is wrong; `out` is then unchanged.
std::string ParseFault(std::string_view text, FaultSpec& out);

// What a random soak draws from: the quiet faults, and the loud ones too if asked.
std::vector<FaultSpec> SoakPool(bool loud);

}  // namespace quellbar
