// Arbitrary requests as the picture server's gate judges them: method, path,
// query, Host, Origin, Authorization and Cookie as civetweb hands them over,
// one after another to one gate, so sessions and the token's single use carry
// from one request to the next.
//
// Input layout:
//   [0]       flags: kFlagOpen judges with no secret set (the loopback
//             default), else with the password "secret" and the token kToken;
//             kFlagTls marks every request as arriving over TLS
//   [1, end)  requests separated by '\0', each seven fields separated by
//             '\n' in the order above (missing ones empty). "$S" in a cookie
//             stands for the last session the gate handed out.
//
// Besides ASan and UBSan the target checks: every verdict is one of the
// documented statuses; only a GET of a served path is allowed; with secrets
// set, nothing is allowed without a credential, the token is spent at most
// once, only the page hands out a session, and a slowed refusal is a 401;
// with none, nothing is ever a 401.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "gate.h"

namespace {

using namespace karvolen::serve;

constexpr uint8_t kFlagOpen = 0x01;
constexpr uint8_t kFlagTls = 0x02;
constexpr char kToken[] = "00112233445566778899aabbccddeeff";

std::vector<std::string> Split(std::string_view text, char separator)
{
    std::vector<std::string> parts;
    for (size_t start = 0;;) {
        const size_t end = text.find(separator, start);
        parts.emplace_back(text.substr(start, end - start));
        if (end == std::string_view::npos) return parts;
        start = end + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    const bool open = (data[0] & kFlagOpen) != 0;
    Gate gate = open ? Gate(std::nullopt, std::nullopt) : Gate(std::string("secret"), std::string(kToken));
    std::string session;
    int tokensSpent = 0;
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    for (const std::string& text : Split(input, '\0')) {
        std::vector<std::string> f = Split(text, '\n');
        f.resize(7);
        for (size_t at; (at = f[6].find("$S")) != std::string::npos;) f[6].replace(at, 2, session);
        const Request r{f[0], f[1], f[2], f[3], f[4], f[5], f[6], (data[0] & kFlagTls) != 0};
        const Verdict v = gate.Judge(r);
        CHECK(v.status == 0 || v.status == 401 || v.status == 403 || v.status == 404 || v.status == 405);
        CHECK(!v.wrongSecret || v.status == 401);
        if (v.status == 0) {
            CHECK(r.method == "GET");
            CHECK(r.path == "/" || r.path == "/ws" || r.path == "/snapshot.png" || r.path == "/status");
        }
        if (open) {
            CHECK(v.status != 401 && v.newSession.empty());
            continue;
        }
        if (v.status == 0) CHECK(!r.authorization.empty() || !r.cookie.empty() || v.tokenSpent);
        if (v.tokenSpent) {
            CHECK(++tokensSpent == 1);
            CHECK(r.query.find(kToken) != std::string_view::npos || r.query.find('%') != std::string_view::npos);
        }
        CHECK(v.newSession.empty() || (v.status == 0 && r.path == "/"));
        if (!v.newSession.empty()) session = v.newSession;
    }
    return 0;
}
