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

        // One of two words: `second` is whether the value is the second one.
        auto either = [&](std::string_view first, std::string_view second, bool& field) {
            if (value != first && value != second) return false;
            field = value == second;
            return true;
        };
        auto number = [&](auto& field, long long least, int base = 10) {
            auto v = field;
            if (!ParseNumber(value, v, base) || static_cast<long long>(v) < least) return false;
            field = v;
            return true;
        };
        bool ok = true;
        if (key == "device") {
            s.present = ok = either("absent", "present", o.present);
        } else if (key == "product") {
            ok = number(o.product, 0, 16);
        } else if (key == "width") {
            s.width = ok = (value == "640" || value == "800") && number(o.width, 0);
        } else if (key == "speed") {
            ok = number(o.speed, 1);
        } else if (key == "freeze") {
            ok = either("0", "1", o.freeze);
        } else if (key == "loud") {
            ok = either("0", "1", o.loud);
        } else if (key == "seed") {
            s.seed = ok = number(o.seed, 0);
        } else if (key == "dump") {
            o.dump = std::string(value);
        } else if (key == "log") {
            o.log = std::string(value);
            s.log = true;
        } else if (key == "reset") {
            s.reset = ok = either("inplace", "reenum", o.reenumerate);
        } else if (key == "queue") {
            ok = either("split", "whole", o.wholeTransfer);
        } else if (key == "usb") {
            bool high = o.maxPacket == kHighSpeedPacket;
            ok = either("full", "high", high);
            o.maxPacket = high ? kHighSpeedPacket : kFullSpeedPacket;
        } else if (key == "overflow") {
            ok = either("0", "1", o.overflow);
        } else if (key == "reenum_ms") {
            s.reenumMs = ok = number(o.reenumMs, 0);
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
            ok = ParseProbability(value, p) && p >= 0.0 && p <= 1.0;
            if (ok) o.random = p;
        } else if (key == "widthswitch") {
            ok = number(o.widthSwitch, 0);
        } else {
            return "unknown option '" + std::string(key) + "'";
        }
        if (!ok) return bad;
    }
    return {};
}

}  // namespace quellbar
