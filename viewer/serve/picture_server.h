// The live picture for browsers: HTTP and WebSocket through civetweb, which
// parses every request and frame (nothing here does), with no document root,
// so nothing is ever read from disk and no script ever runs. The owner of the
// Quellbar hands it every shown picture and state change as to any watcher.
//
// Served, each only to a GET the gate allows (gate.h):
//   /              the page
//   /ws            the picture feed (feed_format.h) as binary WebSocket
//                  messages, one feed message each, deflated in zlib's format
//                  (a browser's DecompressionStream("deflate") inflates it):
//                  hello, state, the whole current picture once there is one,
//                  then every picture shown (a band, or a whole picture when
//                  the width or colours changed) and every state change.
//                  Watchers only watch: one that sends a message is closed.
//   /snapshot.png  the current picture as an 8-bit palette PNG; 503 before
//                  the first
//   /status        JSON {"state": the window title's word, "time": seconds
//                  since the epoch or null, "width": 640, 800 or null,
//                  "watchers": n}
// Every other answer is a refusal: 401 (with a password, the basic auth
// challenge), 403, 404, 405, 426 (/ws without a WebSocket upgrade), 503
// (/ws while maxViewers are there, /snapshot.png before a picture); civetweb
// answers a malformed or over-long request 400 (505 for an unknown HTTP
// version) or closes it. A wrong password or token is answered after
// kWrongSecretDelay, one at a time for the whole server.
//
// Each picture is encoded and deflated once for every watcher, on the owner's
// thread; PictureShown and StateChanged never wait for a watcher. Each
// watcher has a queue of at most kQueueBytes and a thread of its own that
// writes it. When a queue would pass its bound, what the watcher has not
// started receiving is replaced by the current state and whole picture; if it
// has not started receiving even that by the next overflow, it is closed.
// Connections time out: a request not read within kRequestTimeout, a watcher
// that answers none of six pings (one after every kPingInterval of silence,
// so a half-open one goes within about 35 s), a write that makes no progress
// for kRequestTimeout. A client's frame is held whole by civetweb before it
// is refused, up to its 2 GB limit: only an authorised watcher can send one.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "poller.h"

namespace karvolen::serve {

inline constexpr size_t kDefaultMaxViewers = 32;
inline constexpr size_t kQueueBytes = size_t{1} << 20;
inline constexpr std::chrono::seconds kWrongSecretDelay{1};
inline constexpr std::chrono::seconds kRequestTimeout{10};
inline constexpr std::chrono::seconds kPingInterval{5};

struct ServeOptions {
    // An IPv4 address: civetweb as Debian builds it has no IPv6, so "::1" and
    // every other IPv6 address are refused (a browser that tries [::1] for
    // "localhost" is refused by the system and falls back to 127.0.0.1).
    std::string address = "127.0.0.1";
    uint16_t port = 0;  // 0: a free one, which Port() tells
    // HTTP basic auth with any user name and this password; a browser that
    // gave it gets a session cookie.
    std::optional<std::string> password;
    // A one-time token for the start's tokenUrl, exchanged for a session cookie.
    bool oneTimeToken = false;
    // PEM files; both, or neither for plain HTTP. civetweb loads OpenSSL at
    // start by the names libssl.so and libcrypto.so (libssl-dev's) and wants
    // OpenSSL 1.1's functions: Debian 12's civetweb 1.15 finds OpenSSL 3
    // without SSL_get_peer_certificate, and the start fails (kCannotServe,
    // civetweb's reason in the error).
    std::string tlsCertificate;
    std::string tlsKey;
    size_t maxViewers = kDefaultMaxViewers;
    // The hello's program name.
    std::string program = "karvolen-capture";
    // Called on a server thread whenever Watchers() changes, with its value.
    std::function<void(size_t)> watchersChanged;
};

class PictureServer final : public poll::Watcher {
public:
    struct StartResult {
        enum class Refusal {
            kNone,
            // The options cannot be served: an address that is not IPv4, an
            // address beyond loopback with neither password nor token, half of
            // the TLS pair, no viewer allowed. `error` says which.
            kBadOptions,
            // civetweb could not start: the port is taken, a TLS file cannot
            // be used, the TLS library cannot be loaded. `error` has its text.
            kCannotServe,
        };
        std::unique_ptr<PictureServer> server;
        Refusal refusal = Refusal::kNone;
        std::string error;
        // A password or token crossing the network in plain HTTP; empty if not.
        std::string warning;
        // With oneTimeToken: the address to open once in a browser.
        std::string tokenUrl;
    };

    static StartResult Start(ServeOptions options);

    // Closes every connection and joins every thread; civetweb notices the
    // end within its 2 s poll quantum.
    ~PictureServer() override;
    PictureServer(const PictureServer&) = delete;
    PictureServer& operator=(const PictureServer&) = delete;

    // From the owner's thread, one at a time. A picture the feed cannot carry
    // (feed::Encodable) is not passed on.
    void PictureShown(const ShownPicture& picture) override;
    void StateChanged(poll::PollingState state) override;

    // WebSocket watchers connected now.
    size_t Watchers() const;
    uint16_t Port() const;

    struct Shared;

private:
    explicit PictureServer(std::unique_ptr<Shared> shared);
    std::unique_ptr<Shared> shared_;
};

// The password: the first line of `path`, without its line end. error says
// why there is none (unreadable, or an empty first line); empty on success.
struct PasswordFile {
    std::string password;
    std::string error;
};
PasswordFile ReadPasswordFile(const std::string& path);

}  // namespace karvolen::serve
