// karvolen-capture's command line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace karvolen::capture {

// The documented exit statuses; a signal ends a series with 128 + its number.
enum Status : int {
    kDone = 0,
    kCannotConnect = 1,
    kBadUsage = 2,
    kCommunicationFailed = 3,
    kCannotWrite = 4,
    kCannotServe = 5,
};

struct Options {
    // Empty: the window's automatic name in the current folder. "-": PNG on
    // standard output. In a series not ending in .gif: a strftime pattern.
    std::string output;
    bool force = false;
    int count = 0;          // pictures in the series; 0: no limit by count
    double duration = 0.0;  // seconds of the series; 0: no limit by time
    bool changedOnly = false;

    // --serve: the address and port to serve the live picture on.
    std::optional<std::string> serveAddress;
    uint16_t servePort = 0;
    std::string passwordFile;
    bool token = false;
    size_t maxViewers = 32;
    std::string tlsCertificate;
    std::string tlsKey;

    bool Series() const { return count > 0 || duration > 0.0; }
    bool Serving() const { return serveAddress.has_value(); }
    // Pictures go to files (or standard output): always but while serving alone.
    bool Keeping() const { return !Serving() || !output.empty() || Series(); }
    bool ToStdout() const { return output == "-"; }
    bool ToGif() const;
};

struct Parsed {
    std::optional<Options> options;  // empty: nothing to capture
    int status = kDone;              // when empty: kDone (help, version) or kBadUsage
};

// Parses argv; prints --help and --version to standard output, usage errors
// to standard error.
Parsed ParseCommandLine(const std::vector<std::string>& args);

}  // namespace karvolen::capture
