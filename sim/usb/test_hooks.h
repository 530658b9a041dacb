// What tests steer the stand-in with: the record of libusb calls, failures
// injected into named calls, and bulk transfers scripted per direction.
#pragma once

#include <algorithm>
#include <cerrno>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "simctl.h"

namespace sim::standin {

struct Scripted {
    enum Kind { Data, Error, Stall } kind;
    std::vector<uint8_t> data;
    int error = 0;
    int delayMs = 0;
};

class TestHooks {
public:
    void Record(std::string call) { calls_.push_back(std::move(call)); }
    std::string Calls() const
    {
        std::string all;
        for (const auto& c : calls_) all += c + "\n";
        return all;
    }
    void ClearCalls() { calls_.clear(); }

    int SetFailure(const std::string& call, int result, int times)
    {
        static const std::set<std::string> known = {
            "usb_open", "usb_set_configuration", "usb_claim_interface", "usb_set_altinterface", "usb_release_interface",
            "usb_reset"};
        if (!known.count(call)) return -EINVAL;
        failures_[call] = Failure{result, times};
        return 0;
    }

    // The result `call` is to fail with this time, if it is.
    std::optional<int> Fails(const std::string& call)
    {
        auto it = failures_.find(call);
        if (it == failures_.end() || it->second.times == 0) return std::nullopt;
        if (it->second.times > 0) --it->second.times;
        return it->second.result;
    }

    void AddScript(int dir, Scripted s)
    {
        if (dir == SIMCTL_IN || dir == SIMCTL_OUT) scripts_[dir].push_back(std::move(s));
    }

    // Plays the next scripted transfer of that direction; nothing when none is queued.
    std::optional<int> RunScript(bool in, uint8_t* bytes, int size)
    {
        auto& script = scripts_[in ? SIMCTL_IN : SIMCTL_OUT];
        if (script.empty()) return std::nullopt;
        const Scripted s = std::move(script.front());
        script.pop_front();
        if (s.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(s.delayMs));
        switch (s.kind) {
        case Scripted::Stall: return 0;
        case Scripted::Error: return s.error;
        case Scripted::Data: {
            const int n = std::min(size, static_cast<int>(s.data.size()));
            if (in) std::copy_n(s.data.begin(), n, bytes);
            return n;
        }
        }
        return -EINVAL;
    }

private:
    struct Failure {
        int result = 0;
        int times = 0;  // -1: always
    };

    std::vector<std::string> calls_;
    std::map<std::string, Failure> failures_;
    std::deque<Scripted> scripts_[2];
};

}  // namespace sim::standin
