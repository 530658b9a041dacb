#include "options.h"

#include <charconv>

namespace quellbar {
namespace {

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

template <typename T>
bool ParseNumber(std::string_view s, T& out, int base = 10)
{
    s = Trim(s);
    if (s.empty()) return false;
    T value{};
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, base);
    if (ec != std::errc{} || end != s.data() + s.size()) return false;
    out = value;
    return true;
}

bool ParseProbability(std::string_view s, double& out)
{
    // from_chars for double is not in every libstdc++ this builds with; a
    // probability is written as 0, 1, or a decimal fraction.
    s = Trim(s);
    if (s == "0" || s == "1") {
        out = s == "1" ? 1.0 : 0.0;
        return true;
    }
    if (s.size() < 3 || s[0] != '0' || s[1] != '.') return false;
    double value = 0.0, scale = 0.1;
    for (char c : s.substr(2)) {
        if (c < '0' || c > '9') return false;
        value += (c - '0') * scale;
        scale /= 10.0;
    }
    out = value;
    return true;
}

}  // namespace

std::string ParseOptions(std::string_view text, Options& o, OptionsSeen* seen)
{
    OptionsSeen local;
    OptionsSeen& s = seen ? *seen : local;
    while (!text.empty()) {
        auto semi = text.find(';');
        std::string_view item = Trim(text.substr(0, semi));
        text = semi == std::string_view::npos ? std::string_view{} : text.substr(semi + 1);
        if (item.empty()) continue;

        auto eq = item.find('=');
        if (eq == std::string_view::npos) return "option without '=': '" + std::string(item) + "'";
        std::string_view key = Trim(item.substr(0, eq));
        std::string_view value = Trim(item.substr(eq + 1));
        const std::string bad = "bad value for " + std::string(key) + ": '" + std::string(value) + "'";

        if (key == "device") {
            if (value != "absent" && value != "present") return bad;
            o.present = value == "present";
            s.present = true;
        } else if (key == "product") {
            uint16_t product = 0;
            if (!ParseNumber(value, product, 16)) return bad;
            o.product = product;
            s.product = true;
        } else if (key == "width") {
            int width = 0;
            if (!ParseNumber(value, width) || (width != 640 && width != 800)) return bad;
            o.width = width;
            s.width = true;
        } else if (key == "speed") {
            int64_t speed = 0;
            if (!ParseNumber(value, speed) || speed <= 0) return bad;
            o.speed = speed;
            s.speed = true;
        } else if (key == "freeze") {
            if (value != "0" && value != "1") return bad;
            o.freeze = value == "1";
            s.freeze = true;
        } else if (key == "loud") {
            if (value != "0" && value != "1") return bad;
            o.loud = value == "1";
            s.loud = true;
        } else if (key == "seed") {
            if (!ParseNumber(value, o.seed)) return bad;
            s.seed = true;
        } else if (key == "dump") {
            o.dump = std::string(value);
            s.dump = true;
        } else if (key == "log") {
            o.log = std::string(value);
            s.log = true;
        } else if (key == "reset") {
            if (value != "inplace" && value != "reenum") return bad;
            o.reenumerate = value == "reenum";
            s.reset = true;
        } else if (key == "queue") {
            if (value != "split" && value != "whole") return bad;
            o.wholeTransfer = value == "whole";
            s.queue = true;
        } else if (key == "usb") {
            if (value != "full" && value != "high") return bad;
            o.maxPacket = value == "high" ? kHighSpeedPacket : kFullSpeedPacket;
            s.usb = true;
        } else if (key == "overflow") {
            if (value != "0" && value != "1") return bad;
            o.overflow = value == "1";
            s.overflow = true;
        } else if (key == "reenum_ms") {
            int ms = 0;
            if (!ParseNumber(value, ms) || ms < 0) return bad;
            o.reenumMs = ms;
            s.reenumMs = true;
        } else if (key == "faults") {
            std::vector<FaultSpec> faults;
            while (!value.empty()) {
                auto comma = value.find(',');
                std::string_view one = Trim(value.substr(0, comma));
                value = comma == std::string_view::npos ? std::string_view{} : value.substr(comma + 1);
                if (one.empty()) continue;
                FaultSpec fault;
                if (auto error = ParseFault(one, fault); !error.empty()) return error;
                faults.push_back(fault);
            }
            o.faults = std::move(faults);
            s.faults = true;
        } else if (key == "random") {
            double p = 0.0;
            if (!ParseProbability(value, p) || p < 0.0 || p > 1.0) return bad;
            o.random = p;
            s.random = true;
        } else if (key == "widthswitch") {
            int n = 0;
            if (!ParseNumber(value, n) || n < 0) return bad;
            o.widthSwitch = n;
            s.widthSwitch = true;
        } else {
            return "unknown option '" + std::string(key) + "'";
        }
    }
    return {};
}

}  // namespace quellbar
