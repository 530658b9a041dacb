#include "options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "picture_file.h"

namespace karvolen::capture {

namespace {

constexpr const char* kUsage = "Usage: karvolen-capture [OPTION]...\n"
                               "Takes the Quellbar's screen as the viewer shows it: one picture, or a series.\n"
                               "\n"
                               "  -o, --output FILE     where to write: .png, .bmp or .gif; '-' writes PNG to\n"
                               "                        standard output; in a series a .gif is one animated\n"
                               "                        GIF, any other name a strftime pattern, one file a\n"
                               "                        picture (default: quellbar-YYYY-MM-DD-HHMMSS.png here)\n"
                               "      --force           overwrite existing files\n"
                               "  -n, --count N         a series of N pictures, one a second\n"
                               "  -d, --duration SECS   a series for SECS seconds, one picture a second\n"
                               "      --changed-only    in a series, skip pictures equal to the last one written\n"
                               "      --serve [ADDR:]PORT  serve the live picture to browsers (127.0.0.1 unless\n"
                               "                        ADDR is given) until a signal, the count or the duration;\n"
                               "                        records as well with -o, -n or -d\n"
                               "      --password-file FILE  the password for --serve (its first line)\n"
                               "      --token           print a one-time address that lets one browser in\n"
                               "      --max-viewers N   watchers at most (32)\n"
                               "      --tls-cert FILE, --tls-key FILE  serve over HTTPS\n"
                               "  -h, --help            show this help and exit\n"
                               "  -V, --version         show the version and exit\n"
                               "\n"
                               "Exit status: 0 done; 1 could not connect to the Quellbar; 2 bad usage;\n"
                               "3 communication failed or no picture (pictures so far are kept); 4 cannot\n"
                               "write; 5 cannot serve (the port is taken, TLS cannot be used);\n"
                               "129, 130 or 143 after SIGHUP, Ctrl+C or SIGTERM ended a series in order.\n";

int Usage(const std::string& why)
{
    std::fprintf(stderr, "karvolen-capture: %s\nTry 'karvolen-capture --help' for more information.\n", why.c_str());
    return kBadUsage;
}

// `tail` in lower case.
bool EndsWith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && std::equal(tail.begin(), tail.end(), s.end() - tail.size(), [](char t, char c) {
               return std::tolower(static_cast<unsigned char>(c)) == t;
           });
}

std::optional<double> Number(const std::string& text)
{
    if (text.empty()) {
        return std::nullopt;
    }
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v <= 0.0) {
        return std::nullopt;
    }
    return v;
}

// A strftime conversion, which makes a pattern name each picture anew.
bool HasConversion(const std::string& pattern)
{
    for (size_t i = 0; i + 1 < pattern.size(); ++i) {
        if (pattern[i] == '%') {
            if (pattern[i + 1] != '%') {
                return true;
            }
            ++i;
        }
    }
    return false;
}

}  // namespace

bool Options::ToGif() const { return EndsWith(output, ".gif"); }

Parsed ParseCommandLine(const std::vector<std::string>& args)
{
    Options o;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::string value;
        bool inlineValue = false;
        if (arg.rfind("--", 0) == 0) {
            if (const size_t eq = arg.find('='); eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg.resize(eq);
                inlineValue = true;
            }
        }
        const auto takeValue = [&]() -> bool {
            if (inlineValue) {
                return true;
            }
            if (i + 1 >= args.size()) {
                return false;
            }
            value = args[++i];
            return true;
        };
        const bool takesValue = arg == "-o" || arg == "--output" || arg == "-n" || arg == "--count" || arg == "-d" ||
                                arg == "--duration" || arg == "--serve" || arg == "--password-file" ||
                                arg == "--max-viewers" || arg == "--tls-cert" || arg == "--tls-key";
        if (inlineValue && !takesValue) {
            return {std::nullopt, Usage("option '" + arg + "' takes no value")};
        }
        if (takesValue && !takeValue()) {
            return {std::nullopt, Usage("option '" + arg + "' needs a value")};
        }
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return {std::nullopt, kDone};
        }
        if (arg == "-V" || arg == "--version") {
            std::printf("karvolen-capture %s\n", KARVOLEN_VERSION);
            return {std::nullopt, kDone};
        }
        if (arg == "-o" || arg == "--output") {
            if (value.empty()) {
                return {std::nullopt, Usage("an empty output name")};
            }
            o.output = value;
        } else if (arg == "-n" || arg == "--count") {
            const std::optional<double> n = Number(value);
            if (!n || *n != std::floor(*n) || *n > std::numeric_limits<int>::max()) {
                return {std::nullopt, Usage("--count needs a whole number above 0, not '" + value + "'")};
            }
            o.count = static_cast<int>(*n);
        } else if (arg == "-d" || arg == "--duration") {
            const std::optional<double> d = Number(value);
            if (!d) {
                return {std::nullopt, Usage("--duration needs a number of seconds above 0, not '" + value + "'")};
            }
            o.duration = *d;
        } else if (arg == "--force") {
            o.force = true;
        } else if (arg == "--changed-only") {
            o.changedOnly = true;
        } else if (arg == "--serve") {
            // Port 0: a free one, which the program tells.
            const size_t colon = value.rfind(':');
            const std::string port = value.substr(colon == std::string::npos ? 0 : colon + 1);
            if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
                std::stoul(port) > 65535) {
                return {std::nullopt, Usage("--serve needs [ADDRESS:]PORT, not '" + value + "'")};
            }
            o.serveAddress = colon == std::string::npos ? "127.0.0.1" : value.substr(0, colon);
            o.servePort = static_cast<uint16_t>(std::stoul(port));
        } else if (arg == "--password-file") {
            o.passwordFile = value;
        } else if (arg == "--token") {
            o.token = true;
        } else if (arg == "--max-viewers") {
            const std::optional<double> n = Number(value);
            if (!n || *n != std::floor(*n) || *n > 100000) {
                return {std::nullopt, Usage("--max-viewers needs a whole number above 0, not '" + value + "'")};
            }
            o.maxViewers = static_cast<size_t>(*n);
        } else if (arg == "--tls-cert") {
            o.tlsCertificate = value;
        } else if (arg == "--tls-key") {
            o.tlsKey = value;
        } else {
            return {std::nullopt, Usage(arg.rfind('-', 0) == 0 ? "unknown option '" + arg + "'"
                                                               : "unexpected argument '" + arg + "'")};
        }
    }
    if (o.Series() && o.ToStdout()) {
        return {std::nullopt, Usage("a series cannot go to standard output")};
    }
    if (!o.Serving() && (!o.passwordFile.empty() || o.token || !o.tlsCertificate.empty() || !o.tlsKey.empty())) {
        return {std::nullopt, Usage("--password-file, --token and --tls-* need --serve")};
    }
    if (o.Serving() && o.ToStdout()) {
        return {std::nullopt, Usage("--serve cannot write to standard output")};
    }
    if (o.changedOnly && !o.Series()) {
        return {std::nullopt, Usage("--changed-only needs --count or --duration")};
    }
    if (!o.output.empty() && !o.ToStdout() && !o.ToGif()) {
        if (!picture::FormatOf(o.output)) {
            return {std::nullopt,
                    Usage("'" + o.output + "': pictures are written as .png or .bmp, series also as .gif")};
        }
        if (o.Series() && !HasConversion(o.output)) {
            return {std::nullopt, Usage("a series into the one name '" + o.output +
                                        "': give a .gif or a pattern such as q-%H%M%S.png")};
        }
    }
    return {o, kDone};
}

}  // namespace karvolen::capture
