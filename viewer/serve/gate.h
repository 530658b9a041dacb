// Who may have what from the picture server. Every request passes here before
// anything is served; civetweb has parsed it, the gate only judges its parts:
// the method, the path, the Host and Origin a browser sends, and the secret
// the request carries (a session cookie, a password by HTTP basic auth, or the
// one-time token).
//
// Verdicts, first match wins:
//   405  any method but GET (HEAD too: nothing here has a use for it)
//   404  a path other than /, /ws, /snapshot.png, /status
//   403  with no secret set (loopback only): a Host that is not a loopback
//        name, which is how a page elsewhere reaches this machine's loopback
//        through a name it rebinds
//   403  /ws with an Origin other than this server's own (a foreign page)
//   401  a secret is set and the request brings none that holds: no valid
//        session cookie, no basic auth with the password (any user name), not
//        the unused token on /
// Thread-safe: civetweb's workers judge concurrently.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace karvolen::serve {

enum class Resource { kPage, kFeed, kSnapshot, kStatus };

// The parts of a request the gate reads; a header the request lacks is empty.
struct Request {
    std::string_view method;
    std::string_view path;   // decoded, without the query
    std::string_view query;  // after '?', as sent
    std::string_view host;
    std::string_view origin;
    std::string_view authorization;
    std::string_view cookie;
    bool tls = false;
};

struct Verdict {
    int status = 0;  // 0: allowed; otherwise the HTTP status to refuse with
    Resource resource = Resource::kPage;
    // A password or token came and was wrong: the refusal is made to wait.
    bool wrongSecret = false;
    // The page allowed by the password or the token: the answer sets this new
    // session as the cookie kSessionCookie, so the page's WebSocket needs no
    // password.
    std::string newSession;
    // The token was exchanged: the answer sends the browser to / with the
    // cookie, so the spent token leaves its address bar.
    bool tokenSpent = false;
};

inline constexpr char kSessionCookie[] = "karvolen_session";
// Sessions kept; a newer one pushes out the oldest.
inline constexpr size_t kMaxSessions = 64;

class Gate {
public:
    // Neither secret: every request from a loopback name is allowed. The token
    // is good for one exchange.
    Gate(std::optional<std::string> password, std::optional<std::string> token);

    Verdict Judge(const Request& request);
    bool Open() const { return !password_ && !token_; }

private:
    bool PasswordHolds(std::string_view authorization) const;
    bool SessionHolds(std::string_view cookie) const;
    bool TokenHolds(std::string_view query);
    std::string NewSession();

    const std::optional<std::string> password_;
    const std::optional<std::string> token_;
    mutable std::mutex mutex_;
    // Under the mutex:
    bool tokenSpent_ = false;
    std::deque<std::string> sessions_;
};

// 32 hex digits from the system's random source.
std::string RandomSecret();

}  // namespace karvolen::serve
