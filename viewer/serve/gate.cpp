#include "gate.h"

#include <arpa/inet.h>
#include <civetweb.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <strings.h>
#include <sys/random.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <string>

namespace karvolen::serve {
namespace {

// Longer secrets than these are wrong without a look at them.
constexpr size_t kMaxAuthorization = 1024;
constexpr size_t kSecretLength = 32;

bool EqualNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool SameSecret(std::string_view given, std::string_view expected)
{
    return given.size() == expected.size() && CRYPTO_memcmp(given.data(), expected.data(), given.size()) == 0;
}

std::optional<Resource> ResourceAt(std::string_view path)
{
    if (path == "/") return Resource::kPage;
    if (path == "/ws") return Resource::kFeed;
    if (path == "/snapshot.png") return Resource::kSnapshot;
    if (path == "/status") return Resource::kStatus;
    return std::nullopt;
}

// "localhost", 127.x.x.x or [::1], with or without a port.
bool LoopbackHost(std::string_view host)
{
    if (host.starts_with("[::1]")) return host.size() == 5 || host[5] == ':';
    const std::string name(host.substr(0, host.find(':')));
    if (EqualNoCase(name, "localhost")) return true;
    in_addr address{};
    return inet_pton(AF_INET, name.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

bool SameOrigin(const Request& r)
{
    const std::string own = std::string(r.tls ? "https://" : "http://") + std::string(r.host);
    return EqualNoCase(r.origin, own);
}

}  // namespace

Gate::Gate(std::optional<std::string> password, std::optional<std::string> token)
    : password_(std::move(password)), token_(std::move(token))
{
}

Verdict Gate::Judge(const Request& r)
{
    Verdict v;
    if (r.method != "GET") {
        v.status = 405;
        return v;
    }
    const auto resource = ResourceAt(r.path);
    if (!resource) {
        v.status = 404;
        return v;
    }
    v.resource = *resource;
    if ((Open() && !r.host.empty() && !LoopbackHost(r.host)) ||
        (v.resource == Resource::kFeed && !r.origin.empty() && !SameOrigin(r))) {
        v.status = 403;
        return v;
    }
    if (Open() || SessionHolds(r.cookie)) return v;
    if (PasswordHolds(r.authorization)) {
        // Only the page sets a cookie: a script's requests must not push a
        // browser's session out.
        if (v.resource == Resource::kPage) v.newSession = NewSession();
        return v;
    }
    if (v.resource == Resource::kPage && TokenHolds(r.query)) {
        v.newSession = NewSession();
        v.tokenSpent = true;
        return v;
    }
    v.status = 401;
    v.wrongSecret = !r.authorization.empty() || (v.resource == Resource::kPage && !r.query.empty());
    return v;
}

bool Gate::PasswordHolds(std::string_view authorization) const
{
    constexpr std::string_view kBasic = "Basic ";
    if (!password_ || authorization.size() > kMaxAuthorization || authorization.size() < kBasic.size() ||
        !EqualNoCase(authorization.substr(0, kBasic.size()), kBasic)) {
        return false;
    }
    std::string encoded(authorization.substr(kBasic.size()));
    if (encoded.empty() || encoded.size() % 4 != 0) return false;
    std::string decoded(encoded.size() / 4 * 3, '\0');
    const int n =
        EVP_DecodeBlock(reinterpret_cast<unsigned char*>(decoded.data()),
                        reinterpret_cast<const unsigned char*>(encoded.data()), static_cast<int>(encoded.size()));
    if (n < 0) return false;
    // EVP_DecodeBlock counts the padding's zero bytes too.
    const size_t padding = encoded.size() - encoded.find_last_not_of('=') - 1;
    if (padding > 2) return false;
    decoded.resize(static_cast<size_t>(n) - padding);
    const size_t colon = decoded.find(':');
    return colon != std::string::npos && SameSecret(std::string_view(decoded).substr(colon + 1), *password_);
}

bool Gate::SessionHolds(std::string_view cookie) const
{
    if (cookie.empty() || cookie.size() > kMaxAuthorization) return false;
    std::array<char, kSecretLength + 2> value{};
    if (mg_get_cookie(std::string(cookie).c_str(), kSessionCookie, value.data(), value.size()) !=
        static_cast<int>(kSecretLength)) {
        return false;
    }
    const std::string_view given(value.data(), kSecretLength);
    const std::lock_guard lock(mutex_);
    return std::any_of(sessions_.begin(), sessions_.end(), [&](const std::string& s) { return SameSecret(given, s); });
}

bool Gate::TokenHolds(std::string_view query)
{
    if (!token_ || query.empty() || query.size() > kMaxAuthorization) return false;
    std::array<char, kSecretLength + 2> value{};
    if (mg_get_var(query.data(), query.size(), "token", value.data(), value.size()) !=
        static_cast<int>(kSecretLength)) {
        return false;
    }
    const std::lock_guard lock(mutex_);
    if (tokenSpent_ || !SameSecret(std::string_view(value.data(), kSecretLength), *token_)) return false;
    tokenSpent_ = true;
    return true;
}

std::string Gate::NewSession()
{
    std::string session = RandomSecret();
    const std::lock_guard lock(mutex_);
    if (sessions_.size() == kMaxSessions) sessions_.pop_front();
    sessions_.push_back(session);
    return session;
}

std::string RandomSecret()
{
    std::array<unsigned char, kSecretLength / 2> bytes{};
    size_t filled = 0;
    while (filled < bytes.size()) {
        // Only a signal before the pool is ready interrupts a read this short;
        // every kernel this runs on has getrandom.
        const ssize_t n = getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (n < 0 && errno != EINTR) std::abort();
        if (n > 0) filled += static_cast<size_t>(n);
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string secret;
    for (unsigned char b : bytes) {
        secret += kHex[b >> 4];
        secret += kHex[b & 15];
    }
    return secret;
}

}  // namespace karvolen::serve
