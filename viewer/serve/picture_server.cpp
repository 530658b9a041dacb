#include "picture_server.h"

#include <arpa/inet.h>
#include <civetweb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "feed_format.h"
#include "gate.h"
#include "page.h"
#include "picture_file.h"
#include "shared_feed.h"

namespace karvolen::serve {
namespace {

using feed::Bytes;
using MessagePtr = std::shared_ptr<const Bytes>;

// Workers for plain requests beside the one each watcher holds.
constexpr size_t kSpareWorkers = 8;

MessagePtr Deflated(const Bytes& message)
{
    uLongf size = compressBound(message.size());
    Bytes out(size);
    // With compressBound's room, only a failed allocation fails.
    if (compress2(out.data(), &size, message.data(), message.size(), Z_DEFAULT_COMPRESSION) != Z_OK) {
        throw std::bad_alloc();
    }
    out.resize(size);
    return std::make_shared<const Bytes>(std::move(out));
}

// The state as the window's title words it.
const char* TitleWord(poll::PollingState state)
{
    switch (state) {
    case poll::PollingState::kCommunicating: return "Communicating";
    case poll::PollingState::kPaused: return "Paused";
    case poll::PollingState::kFailure: return "Communication failure";
    case poll::PollingState::kStopping: return "Stopping ...";
    }
    return "";
}

bool SamePalette(Palette a, const std::array<RgbQuad, wire::kColourCount>& b)
{
    return std::memcmp(a.data(), b.data(), feed::kPaletteSize) == 0;
}

std::string_view Header(const mg_connection* c, const char* name)
{
    const char* value = mg_get_header(c, name);
    return value != nullptr ? value : "";
}

struct Reply {
    int status = 200;
    std::string_view type = "text/plain; charset=utf-8";
    std::string_view body;
    std::vector<std::pair<const char*, std::string>> headers;
};

// Written out whole: civetweb's response header calls refuse a request that
// asked for a WebSocket, and a refused /ws is one.
int Send(mg_connection* c, const Reply& r)
{
    std::string head = "HTTP/1.1 " + std::to_string(r.status) + " " + mg_get_response_code_text(c, r.status) +
                       "\r\nContent-Type: " + std::string(r.type) +
                       "\r\nContent-Length: " + std::to_string(r.body.size()) +
                       "\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n"
                       // A token in the address must not leave through a link.
                       "Referrer-Policy: no-referrer\r\nConnection: close\r\n";
    for (const auto& [name, value] : r.headers) head += std::string(name) + ": " + value + "\r\n";
    head += "\r\n";
    mg_write(c, head.data(), head.size());
    mg_write(c, r.body.data(), r.body.size());
    return r.status;
}

// A refusal, its body the status's own words.
int Refuse(mg_connection* c, int status, std::vector<std::pair<const char*, std::string>> headers = {})
{
    const std::string body = std::string(mg_get_response_code_text(c, status)) + "\n";
    return Send(c, {status, "text/plain; charset=utf-8", body, std::move(headers)});
}

// One open /ws. `live` from the ready handler on: counted, fed, and written
// by its own thread, which leaves at `stop`.
struct Viewer {
    mg_connection* conn = nullptr;
    std::condition_variable wake;
    std::deque<MessagePtr> queue;
    size_t queued = 0;
    const Bytes* replacement = nullptr;  // the whole picture queued on overflow, until taken
    bool live = false;
    bool drop = false;  // nothing more is queued; its thread closes it
    bool stop = false;
    std::thread writer;
};

}  // namespace

struct PictureServer::Shared {
    explicit Shared(ServeOptions o, std::optional<std::string> token)
        : options(std::move(o)), gate(options.password, std::move(token))
    {
    }

    ServeOptions options;
    Gate gate;
    mg_context* context = nullptr;
    uint16_t port = 0;
    std::string tlsError;
    std::string startLog;    // civetweb's reasons while mg_start2 runs, on this thread
    std::mutex wrongSecret;  // one wrong secret answered at a time

    mutable std::mutex mutex;
    // Under the mutex (the picture's fields are written only by the owner,
    // which may read them without it):
    std::map<const mg_connection*, std::shared_ptr<Viewer>> viewers;  // live ones and reserved ones
    size_t live = 0;
    MessagePtr hello;
    MessagePtr state;
    poll::PollingState pollingState = poll::PollingState::kCommunicating;
    std::vector<uint8_t> pixels = std::vector<uint8_t>(feed::kMaxPixels);
    std::array<RgbQuad, wire::kColourCount> palette{};
    int width = 0;  // 0: no picture yet
    double time = 0.0;
    MessagePtr whole;  // the current picture deflated, made when first needed

    ShownPicture Current() const { return {pixels, width, palette, 0, wire::kPictureHeight, time}; }

    MessagePtr Whole()
    {
        if (!whole) whole = Deflated(feed::EncodeWhole(Current()));
        return whole;
    }

    static void Push(Viewer& v, const MessagePtr& m)
    {
        v.queued += m->size();
        v.queue.push_back(m);
        v.wake.notify_one();
    }

    void Enqueue(Viewer& v, const MessagePtr& m)
    {
        if (!v.live || v.drop) return;
        if (v.queued + m->size() <= kQueueBytes) return Push(v, m);
        v.queue.clear();
        v.queued = 0;
        if (v.replacement != nullptr) {
            v.drop = true;
            v.wake.notify_one();
            return;
        }
        Push(v, state);
        if (width != 0) {
            Push(v, Whole());
            v.replacement = v.queue.back().get();
        }
    }

    void Notify(size_t count) const
    {
        if (options.watchersChanged) options.watchersChanged(count);
    }

    int Serve(mg_connection* c);
    int Snapshot(mg_connection* c);
    int Status(mg_connection* c);
    void Begin(mg_connection* c);
    void End(const mg_connection* c);
    void Forget(const mg_connection* c);
    void Write(Viewer& v);
};

int PictureServer::Shared::Serve(mg_connection* c)
{
    const mg_request_info* ri = mg_get_request_info(c);
    const Request request{ri->request_method,
                          ri->local_uri != nullptr ? ri->local_uri : "",
                          ri->query_string != nullptr ? ri->query_string : "",
                          Header(c, "Host"),
                          Header(c, "Origin"),
                          Header(c, "Authorization"),
                          Header(c, "Cookie"),
                          ri->is_ssl != 0};
    const Verdict v = gate.Judge(request);
    if (v.status != 0) {
        if (v.wrongSecret) {
            const std::lock_guard lock(wrongSecret);
            std::this_thread::sleep_for(kWrongSecretDelay);
        }
        std::vector<std::pair<const char*, std::string>> headers;
        if (v.status == 401 && options.password) headers.emplace_back("WWW-Authenticate", "Basic realm=\"karvolen\"");
        if (v.status == 405) headers.emplace_back("Allow", "GET");
        return Refuse(c, v.status, std::move(headers));
    }
    std::vector<std::pair<const char*, std::string>> headers;
    if (!v.newSession.empty()) {
        headers.emplace_back("Set-Cookie", std::string(kSessionCookie) + "=" + v.newSession +
                                               "; Path=/; HttpOnly; SameSite=Strict" + (ri->is_ssl ? "; Secure" : ""));
    }
    switch (v.resource) {
    case Resource::kPage:
        if (v.tokenSpent) {
            headers.emplace_back("Location", "/");
            return Send(c, {303, "text/plain; charset=utf-8", "See Other\n", headers});
        }
        return Send(c, {200, "text/html; charset=utf-8", kPage, headers});
    case Resource::kSnapshot: return Snapshot(c);
    case Resource::kStatus: return Status(c);
    case Resource::kFeed: break;
    }
    if (mg_strcasecmp(std::string(Header(c, "Upgrade")).c_str(), "websocket") != 0) return Refuse(c, 426);
    {
        const std::lock_guard lock(mutex);
        if (viewers.contains(c) || viewers.size() < options.maxViewers) {
            viewers.try_emplace(c, std::make_shared<Viewer>());
            return 0;  // civetweb's handshake, then the handlers below
        }
    }
    return Refuse(c, 503);
}

int PictureServer::Shared::Snapshot(mg_connection* c)
{
    std::vector<uint8_t> copy;
    std::array<RgbQuad, wire::kColourCount> colours{};
    int w = 0;
    double t = 0.0;
    {
        const std::lock_guard lock(mutex);
        copy.assign(pixels.begin(), pixels.begin() + static_cast<ptrdiff_t>(width) * wire::kPictureHeight);
        colours = palette;
        w = width;
        t = time;
    }
    if (w == 0) return Refuse(c, 503);
    const Bytes png = picture::Encode({copy, w, colours, 0, wire::kPictureHeight, t}, picture::Format::kPng);
    if (png.empty()) return Refuse(c, 500);
    return Send(c, {200, "image/png", {reinterpret_cast<const char*>(png.data()), png.size()}, {}});
}

int PictureServer::Shared::Status(mg_connection* c)
{
    char json[160];
    {
        const std::lock_guard lock(mutex);
        if (width == 0) {
            std::snprintf(json, sizeof json, "{\"state\":\"%s\",\"time\":null,\"width\":null,\"watchers\":%zu}\n",
                          TitleWord(pollingState), live);
        } else {
            std::snprintf(json, sizeof json, "{\"state\":\"%s\",\"time\":%.3f,\"width\":%d,\"watchers\":%zu}\n",
                          TitleWord(pollingState), time, width, live);
        }
    }
    return Send(c, {200, "application/json", json, {}});
}

void PictureServer::Shared::Begin(mg_connection* c)
{
    size_t count = 0;
    {
        const std::lock_guard lock(mutex);
        const auto it = viewers.find(c);
        if (it == viewers.end()) return;
        const std::shared_ptr<Viewer> v = it->second;
        v->conn = c;
        v->live = true;
        count = ++live;
        Push(*v, hello);
        Push(*v, state);
        if (width != 0) Push(*v, Whole());
        v->writer = std::thread([this, v] { Write(*v); });
    }
    Notify(count);
}

void PictureServer::Shared::Write(Viewer& v)
{
    for (;;) {
        std::unique_lock lock(mutex);
        v.wake.wait(lock, [&] { return v.stop || v.drop || !v.queue.empty(); });
        if (v.stop) return;
        if (v.drop) {
            lock.unlock();
            // 1013, try again later: it could not keep up.
            static constexpr char kTryAgainLater[] = {'\x03', '\xf5'};
            mg_websocket_write(v.conn, MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE, kTryAgainLater, sizeof kTryAgainLater);
            return;
        }
        const MessagePtr m = std::move(v.queue.front());
        v.queue.pop_front();
        v.queued -= m->size();
        if (m.get() == v.replacement) v.replacement = nullptr;
        lock.unlock();
        if (mg_websocket_write(v.conn, MG_WEBSOCKET_OPCODE_BINARY, reinterpret_cast<const char*>(m->data()),
                               m->size()) <= 0) {
            // The connection is broken or stuck past the timeout; its reading
            // end notices too.
            const std::lock_guard relock(mutex);
            v.drop = true;
            v.queue.clear();
            v.queued = 0;
            return;
        }
    }
}

void PictureServer::Shared::End(const mg_connection* c)
{
    std::shared_ptr<Viewer> v;
    {
        const std::lock_guard lock(mutex);
        const auto it = viewers.find(c);
        if (it == viewers.end()) return;
        v = it->second;
        v->stop = true;
        v->wake.notify_one();
    }
    if (v->writer.joinable()) v->writer.join();
    size_t count = 0;
    {
        const std::lock_guard lock(mutex);
        viewers.erase(c);
        if (v->live) --live;
        count = live;
    }
    if (v->live) Notify(count);
}

void PictureServer::Shared::Forget(const mg_connection* c)
{
    // A reservation whose handshake never came; a live viewer has ended already.
    const std::lock_guard lock(mutex);
    const auto it = viewers.find(c);
    if (it != viewers.end() && !it->second->live) viewers.erase(it);
}

namespace {

PictureServer::Shared& SharedOf(const mg_connection* c)
{
    return *static_cast<PictureServer::Shared*>(mg_get_user_data(mg_get_context(c)));
}

int OnRequest(mg_connection* c) { return SharedOf(c).Serve(c); }
void OnConnectionClose(const mg_connection* c) { SharedOf(c).Forget(c); }
void OnReady(mg_connection* c, void*) { SharedOf(c).Begin(c); }
// Watchers only watch: any message they send ends them.
int OnData(mg_connection*, int, char*, size_t, void*) { return 0; }
void OnClose(const mg_connection* c, void*) { SharedOf(c).End(c); }

// civetweb's own reason for a failed start is sharper than mg_start2's; later
// messages have nowhere to go.
int OnLog(const mg_connection* c, const char* message)
{
    PictureServer::Shared& s = SharedOf(c);
    if (s.context == nullptr && s.startLog.empty()) s.startLog = message;
    return 1;
}

int OnInitTls(void* tls, void* user)
{
    auto& s = *static_cast<PictureServer::Shared*>(user);
    auto* context = static_cast<SSL_CTX*>(tls);
    if (SSL_CTX_use_certificate_chain_file(context, s.options.tlsCertificate.c_str()) == 1 &&
        SSL_CTX_use_PrivateKey_file(context, s.options.tlsKey.c_str(), SSL_FILETYPE_PEM) == 1 &&
        SSL_CTX_check_private_key(context) == 1) {
        return 1;
    }
    char text[256];
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    s.tlsError = "cannot use " + s.options.tlsCertificate + " and " + s.options.tlsKey + ": " + text;
    return -1;
}

using StartResult = PictureServer::StartResult;
using Refusal = StartResult::Refusal;

StartResult Refused(Refusal refusal, std::string error)
{
    StartResult r;
    r.refusal = refusal;
    r.error = std::move(error);
    return r;
}

std::string HostName()
{
    char name[256] = {};
    return gethostname(name, sizeof name - 1) == 0 ? name : "localhost";
}

}  // namespace

// civetweb 1.15 (Debian 12) writes the start's error code through a pointer,
// 1.16 (Debian 13) holds it in the struct.
namespace {
template <typename Error>
void PointAtCode(Error& error, unsigned& code)
{
    if constexpr (std::is_pointer_v<decltype(error.code)>) {
        error.code = &code;
    }
}
}  // namespace

PictureServer::StartResult PictureServer::Start(ServeOptions o)
{
    in_addr address{};
    if (o.address.find(':') != std::string::npos) {
        return Refused(Refusal::kBadOptions,
                       "cannot serve on " + o.address +
                           ": this web server has no IPv6; give an IPv4 address such as 127.0.0.1");
    }
    if (inet_pton(AF_INET, o.address.c_str(), &address) != 1) {
        return Refused(Refusal::kBadOptions, "cannot serve on " + o.address + ": not an IPv4 address");
    }
    const bool loopback = (ntohl(address.s_addr) >> 24) == 127;
    const bool tls = !o.tlsCertificate.empty();
    if (tls != !o.tlsKey.empty()) {
        return Refused(Refusal::kBadOptions, "TLS needs both a certificate and its key");
    }
    if (o.maxViewers == 0) return Refused(Refusal::kBadOptions, "at least one viewer must be allowed");
    if (o.password && o.password->empty()) return Refused(Refusal::kBadOptions, "the password is empty");
    if (!loopback && !o.password && !o.oneTimeToken) {
        return Refused(Refusal::kBadOptions, "serving on " + o.address +
                                                 " reaches beyond this machine: it needs a password file or a "
                                                 "one-time token");
    }

    static std::once_flag initialized;
    std::call_once(initialized, [] { mg_init_library(0); });

    std::optional<std::string> token;
    if (o.oneTimeToken) token = RandomSecret();
    auto s = std::make_unique<Shared>(std::move(o), token);
    const ServeOptions& opt = s->options;
    s->hello = Deflated(feed::EncodeHello(opt.program, static_cast<uint32_t>(getpid())));
    s->state = Deflated(feed::EncodeState(feed::FeedState::kCommunicating));

    const std::string ports = opt.address + ":" + std::to_string(opt.port) + (tls ? "s" : "");
    const auto milliseconds = [](auto d) { return std::to_string(std::chrono::milliseconds(d).count()); };
    // No document_root: nothing is served from disk, no CGI runs. civetweb's
    // default TLS is 1.2 and later.
    const std::pair<const char*, std::string> settings[] = {
        {"listening_ports", ports},
        {"num_threads", std::to_string(opt.maxViewers + kSpareWorkers)},
        {"request_timeout_ms", milliseconds(kRequestTimeout)},
        {"websocket_timeout_ms", milliseconds(kPingInterval)},
        {"enable_websocket_ping_pong", "yes"},
        {"enable_keep_alive", "no"},
        {"enable_directory_listing", "no"},
    };
    std::vector<const char*> config;
    for (const auto& [name, value] : settings) config.insert(config.end(), {name, value.c_str()});
    config.push_back(nullptr);

    mg_callbacks callbacks{};
    callbacks.begin_request = OnRequest;
    callbacks.connection_close = OnConnectionClose;
    callbacks.log_message = OnLog;
    if (tls) callbacks.init_ssl = OnInitTls;
    mg_init_data init{&callbacks, s.get(), config.data()};
    char text[256] = {};
    unsigned code = 0;
    mg_error_data error{};
    PointAtCode(error, code);
    error.text = text;
    error.text_buffer_size = sizeof text;
    s->context = mg_start2(&init, &error);
    if (s->context == nullptr) {
        const std::string reason = !s->tlsError.empty() ? s->tlsError : !s->startLog.empty() ? s->startLog : text;
        return Refused(Refusal::kCannotServe, "cannot serve on " + ports + ": " + reason);
    }
    mg_set_websocket_handler(s->context, "/ws", nullptr, OnReady, OnData, OnClose, nullptr);
    mg_server_port listening{};
    if (mg_get_server_ports(s->context, 1, &listening) == 1) s->port = static_cast<uint16_t>(listening.port);

    StartResult r;
    const std::string scheme = tls ? "https://" : "http://";
    if (!loopback && !tls) {
        r.warning = "warning: serving on " + opt.address +
                    " in plain HTTP: the password or token and the pictures cross the network unencrypted";
    }
    if (token) {
        const std::string host = address.s_addr == INADDR_ANY ? HostName() : opt.address;
        r.tokenUrl = scheme + host + ":" + std::to_string(s->port) + "/?token=" + *token;
    }
    r.server.reset(new PictureServer(std::move(s)));
    return r;
}

PictureServer::PictureServer(std::unique_ptr<Shared> shared) : shared_(std::move(shared)) {}

PictureServer::~PictureServer() { mg_stop(shared_->context); }

void PictureServer::PictureShown(const ShownPicture& p)
{
    if (!feed::Encodable(p)) return;
    Shared& s = *shared_;
    const bool whole = s.width != p.width || !SamePalette(p.palette, s.palette);
    const MessagePtr m = Deflated(whole ? feed::EncodeWhole(p) : feed::EncodeBand(p));
    const int first = whole ? 0 : p.firstRow;
    const int count = whole ? wire::kPictureHeight : p.rowCount;
    const auto offset = static_cast<ptrdiff_t>(first) * p.width;
    const std::lock_guard lock(s.mutex);
    std::copy_n(p.pixels.begin() + offset, static_cast<ptrdiff_t>(count) * p.width, s.pixels.begin() + offset);
    std::copy(p.palette.begin(), p.palette.end(), s.palette.begin());
    s.width = p.width;
    s.time = p.time;
    s.whole = whole ? m : nullptr;
    for (auto& [conn, v] : s.viewers) s.Enqueue(*v, m);
}

void PictureServer::StateChanged(poll::PollingState state)
{
    Shared& s = *shared_;
    const MessagePtr m = Deflated(feed::EncodeState(feed::ToFeed(state)));
    const std::lock_guard lock(s.mutex);
    s.pollingState = state;
    s.state = m;
    for (auto& [conn, v] : s.viewers) s.Enqueue(*v, m);
}

size_t PictureServer::Watchers() const
{
    const std::lock_guard lock(shared_->mutex);
    return shared_->live;
}

uint16_t PictureServer::Port() const { return shared_->port; }

PasswordFile ReadPasswordFile(const std::string& path)
{
    std::ifstream in(path);
    if (!in) return {"", "cannot read " + path + ": " + std::strerror(errno)};
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) return {"", "the first line of " + path + " is empty: no password"};
    return {line, ""};
}

}  // namespace karvolen::serve
