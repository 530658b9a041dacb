#include "capture.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "feed_reader.h"
#include "feed_socket.h"
#include "picture_file.h"
#include "picture_server.h"
#include "poller.h"
#include "recording_session.h"
#include "shared_feed.h"

namespace karvolen::capture {

namespace {

constexpr double kPace = fetch::kPollIntervalMs / 1000.0;
// One picture asked for, and none came in this long: the device only drains
// or keeps reconnecting.
constexpr double kSinglePictureLimit = 10.0;
// Seconds between attempts to connect again while serving after a failure.
constexpr double kReconnectPause = 5.0;

// Every line of a message on a line of its own, as the window's box shows it.
void Say(const std::string& text)
{
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = std::min(text.find("\r\n", start), text.size());
        const std::string line = text.substr(start, end - start);
        const size_t first = line.find_first_not_of(' ');
        if (first != std::string::npos) {
            std::fprintf(stderr, "karvolen-capture: %s\n", line.c_str() + first);
        }
        start = end + 2;
    }
}

void CannotWrite(const std::string& path, const std::string& why)
{
    std::fprintf(stderr, "karvolen-capture: cannot write %s: %s\n", path.c_str(), why.c_str());
}

// A name given that is there already fails before anything is asked for; the
// file is still created exclusively, for one that appears meanwhile.
bool MayWrite(const Options& o)
{
    std::error_code ec;
    if (!o.output.empty() && !o.ToStdout() && (!o.Series() || o.ToGif()) && !o.force &&
        std::filesystem::exists(std::filesystem::symlink_status(o.output, ec))) {
        CannotWrite(o.output, "the file exists (--force overwrites it)");
        return false;
    }
    return true;
}

// A viewer or capture of this user that may hold the Quellbar without a feed
// (one that could not publish), by its name.
std::optional<std::string> LikelyHolder()
{
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string pid = entry.path().filename();
        struct stat owner {};
        if (pid.find_first_not_of("0123456789") != std::string::npos || std::stol(pid) == getpid() ||
            stat(entry.path().c_str(), &owner) != 0 || owner.st_uid != getuid()) {
            continue;
        }
        std::ifstream comm(entry.path() / "comm");
        std::string name;
        // The kernel keeps 15 characters of the name.
        if (std::getline(comm, name) && (name == "karvolen-viewer" || name == "karvolen-captur")) {
            return (name == "karvolen-viewer" ? name : "karvolen-capture") + " (process " + pid + ")";
        }
    }
    return std::nullopt;
}

// The first OpenCom's failure, told as the window tells it, and plainly when
// the device is held.
void SayCannotConnect(const poll::Connection& c)
{
    if (c.outcome == poll::Connection::Outcome::kNoDriver) {
        Say(fetch::kMsgNoDriver);
        return;
    }
    const std::string first = fetch::kMsgCannotConnect.substr(0, fetch::kMsgCannotConnect.find("\r\n"));
    if (!c.InUse()) {
        Say(fetch::kMsgCannotConnect);
    } else if (const std::optional<std::string> holder = LikelyHolder()) {
        Say(first + ": it is in use, probably by " + *holder + "; end that program first");
    } else {
        Say(first + ": it is in use by another program, or this user may not open it (see the udev rule)");
    }
}

// Where the pictures go. Take and Finish print their failure and return false.
class Sink {
public:
    virtual ~Sink() = default;
    virtual bool Take(const ShownPicture& picture, double seconds) = 0;
    // The series ends at `seconds`.
    virtual bool Finish(double) { return true; }
};

// PNG on standard output.
class StdoutSink : public Sink {
public:
    bool Take(const ShownPicture& picture, double) override
    {
        const std::string why = picture::WriteTo(STDOUT_FILENO, picture, picture::Format::kPng);
        if (!why.empty()) {
            CannotWrite("standard output", why);
            return false;
        }
        return true;
    }
};

// One file a picture: the automatic name, the name given, or a pattern.
class FileSink : public Sink {
public:
    explicit FileSink(const Options& o) : o_(o) {}

    bool Take(const ShownPicture& picture, double) override
    {
        const std::string path = PathNow();
        if (path.empty()) {
            CannotWrite(o_.output, "the pattern gives an empty name");
            return false;
        }
        const picture::Format format = picture::FormatOf(path).value_or(picture::Format::kPng);
        if (const std::string why = picture::WriteFile(picture, path, format, o_.force); !why.empty()) {
            CannotWrite(path, why);
            return false;
        }
        return true;
    }

private:
    std::string PathNow() const
    {
        const std::time_t now = std::time(nullptr);
        if (o_.output.empty()) {
            return picture::SuggestedPath("", now);
        }
        if (!o_.Series()) {
            return o_.output;
        }
        std::tm local{};
        localtime_r(&now, &local);
        char name[4096];
        return std::strftime(name, sizeof name, o_.output.c_str(), &local) > 0 ? name : std::string();
    }

    const Options& o_;
};

// One animated GIF, created at the first picture.
class GifSink : public Sink {
public:
    explicit GifSink(const Options& o)
        : o_(o), session_(o.output, o.force ? record::Existing::kReplace : record::Existing::kRefuse)
    {
    }

    bool Take(const ShownPicture& picture, double seconds) override { return Check(session_.Add(picture, seconds)); }
    bool Finish(double seconds) override
    {
        // Without a picture, or ended by a failed write already told: nothing to complete.
        const record::Result r = session_.Finish(seconds);
        return r.status == record::Result::Status::kNothingRecorded ||
               r.status == record::Result::Status::kNotRecording || Check(r);
    }

private:
    bool Check(const record::Result& r)
    {
        if (!r.ok()) {
            CannotWrite(o_.output, r.reason);
        }
        return r.ok();
    }

    const Options& o_;
    record::Session session_;
};

std::unique_ptr<Sink> MakeSink(const Options& o)
{
    if (o.ToStdout()) {
        return std::make_unique<StdoutSink>();
    }
    if (o.ToGif()) {
        return std::make_unique<GifSink>(o);
    }
    return std::make_unique<FileSink>(o);
}

// The picture last written, to tell an unchanged one.
class LastWritten {
public:
    bool Same(const ShownPicture& p) const
    {
        return width_ == p.width && std::ranges::equal(pixels_, p.pixels) &&
               std::ranges::equal(colours_, p.palette, [](const RgbQuad& a, const RgbQuad& b) {
                   return a.rgbRed == b.rgbRed && a.rgbGreen == b.rgbGreen && a.rgbBlue == b.rgbBlue;
               });
    }
    void Keep(const ShownPicture& p)
    {
        width_ = p.width;
        pixels_.assign(p.pixels.begin(), p.pixels.end());
        colours_.assign(p.palette.begin(), p.palette.end());
    }

private:
    int width_ = -1;
    std::vector<uint8_t> pixels_;
    std::vector<RgbQuad> colours_;
};

// The series: each picture a source gives, into the sink, until the count,
// the duration, a signal or the source's end. Serving alone keeps nothing.
class Series {
public:
    Series(const Options& o, fetch::Clock& clock)
        : o_(o), clock_(clock), sink_(o.Keeping() ? MakeSink(o) : nullptr), start_(clock.Now())
    {
    }

    // False once the series is complete or cannot go on.
    bool Take(const ShownPicture& picture)
    {
        if (!sink_) {
            return true;
        }
        ++taken_;
        lastAt_ = clock_.Now();
        if (!o_.changedOnly || !last_.Same(picture)) {
            if (!sink_->Take(picture, lastAt_)) {
                status_ = kCannotWrite;
                return false;
            }
            if (o_.changedOnly) {
                last_.Keep(picture);
            }
        }
        return o_.Series() && !(o_.count > 0 && taken_ >= o_.count);
    }

    // True while the time left allows another picture.
    bool InTime() const
    {
        const double elapsed = clock_.Now() - start_;
        if (o_.duration > 0.0) {
            return elapsed < o_.duration;
        }
        return o_.Series() || o_.Serving() || elapsed < kSinglePictureLimit;
    }

    // Pictures are kept: the device is polled whether anybody watches or not.
    bool Keeping() const { return sink_ != nullptr; }

    // A signal: the normal end of serving alone, a series cut short otherwise.
    void Interrupted(int signal) { status_ = Keeping() ? 128 + signal : kDone; }
    void Fail(int status) { status_ = status; }

    int End()
    {
        if (!sink_) {
            return status_;
        }
        // A series that reached its count lasts one interval past its last picture.
        const bool counted = o_.count > 0 && taken_ >= o_.count;
        if (!sink_->Finish(counted ? lastAt_ + kPace : clock_.Now()) && status_ == kDone) {
            status_ = kCannotWrite;
        }
        if (taken_ == 0 && status_ == kDone) {
            Say("no picture received");
            status_ = kCommunicationFailed;
        }
        return status_;
    }

private:
    const Options& o_;
    fetch::Clock& clock_;
    std::unique_ptr<Sink> sink_;
    LastWritten last_;
    const double start_;
    double lastAt_ = 0.0;
    int taken_ = 0;
    int status_ = kDone;
};

// The live picture for browsers, started before any picture is asked for;
// the status when it cannot be.
int StartServer(const Options& o, std::unique_ptr<serve::PictureServer>& server)
{
    serve::ServeOptions so;
    so.address = *o.serveAddress;
    so.port = o.servePort;
    so.oneTimeToken = o.token;
    so.maxViewers = o.maxViewers;
    so.tlsCertificate = o.tlsCertificate;
    so.tlsKey = o.tlsKey;
    if (!o.passwordFile.empty()) {
        const serve::PasswordFile file = serve::ReadPasswordFile(o.passwordFile);
        if (!file.error.empty()) {
            Say("cannot serve: " + o.passwordFile + ": " + file.error);
            return kBadUsage;
        }
        so.password = file.password;
    }
    serve::PictureServer::StartResult started = serve::PictureServer::Start(so);
    if (!started.server) {
        Say("cannot serve: " + started.error);
        return started.refusal == serve::PictureServer::StartResult::Refusal::kBadOptions ? kBadUsage : kCannotServe;
    }
    if (!started.warning.empty()) {
        Say(started.warning);
    }
    server = std::move(started.server);
    const std::string scheme = o.tlsCertificate.empty() ? "http" : "https";
    std::fprintf(stderr, "karvolen-capture: serving on %s://%s:%u/\n", scheme.c_str(), so.address.c_str(),
                 static_cast<unsigned>(server->Port()));
    if (!started.tokenUrl.empty()) {
        std::printf("%s\n", started.tokenUrl.c_str());
        std::fflush(stdout);
    }
    return kDone;
}

poll::PollingState FromFeed(feed::FeedState state)
{
    switch (state) {
    case feed::FeedState::kCommunicating: return poll::PollingState::kCommunicating;
    case feed::FeedState::kPaused: return poll::PollingState::kPaused;
    case feed::FeedState::kCommunicationFailure: return poll::PollingState::kFailure;
    case feed::FeedState::kStopping: return poll::PollingState::kStopping;
    }
    return poll::PollingState::kFailure;
}

// The feed of the program of ours that holds the Quellbar, when one does.
std::unique_ptr<feed::FeedReader> OpenFeed()
{
    const feed::PathResult path = feed::FeedSocketPath();
    if (!path.ok()) {
        return nullptr;
    }
    return feed::FeedReader::Open(path.path, std::chrono::seconds(2)).reader;
}

// The pictures the feed's owner shows, as they come.
int FromFeed(const Options& o, feed::FeedReader& reader, fetch::Clock& clock, Interruption& interruption,
             serve::PictureServer* server)
{
    const std::string owner = reader.owner().program + " (process " + std::to_string(reader.owner().pid) + ")";
    Series series(o, clock);
    for (;;) {
        if (const int signal = interruption.Wait(0); signal != 0) {
            series.Interrupted(signal);
            break;
        }
        if (!series.InTime()) {
            break;
        }
        const feed::FeedEvent e = reader.Next(std::chrono::milliseconds(100));
        if (e.kind == feed::FeedEvent::Kind::kPicture) {
            if (server != nullptr) {
                server->PictureShown(*e.picture);
            }
            if (!series.Take(*e.picture)) {
                break;
            }
        } else if (e.kind == feed::FeedEvent::Kind::kState) {
            if (server != nullptr) {
                server->StateChanged(FromFeed(e.state));
            }
        } else if (e.kind == feed::FeedEvent::Kind::kEnd || e.kind == feed::FeedEvent::Kind::kError) {
            Say("the picture feed of " + owner + (e.kind == feed::FeedEvent::Kind::kEnd ? " ended" : ": " + e.error));
            series.Fail(kCommunicationFailed);
            break;
        }
    }
    return series.End();
}

}  // namespace

int Run(const Options& o, LinkApi& link, fetch::Clock& clock, Interruption& interruption)
{
    if (!MayWrite(o)) {
        return kCannotWrite;
    }
    std::unique_ptr<serve::PictureServer> server;
    if (o.Serving()) {
        if (const int status = StartServer(o, server); status != kDone) {
            return status;
        }
    }
    // The Quellbar takes one program at a time: beside one of ours, its feed.
    if (const std::unique_ptr<feed::FeedReader> reader = OpenFeed()) {
        return FromFeed(o, *reader, clock, interruption, server.get());
    }
    poll::Poller poller(link, clock);
    const poll::Connection c = poller.Connect(wire::kWideWidth);
    if (c.outcome != poll::Connection::Outcome::kOpen) {
        SayCannotConnect(c);
        return kCannotConnect;
    }
    // Holding the Quellbar, this program shares what it takes in turn.
    feed::SharedFeed::StartResult shared = feed::SharedFeed::Start(poller, "karvolen-capture");
    if (!shared.feed) {
        Say("the pictures are not shared with other programs: " + shared.error);
    }
    if (server) {
        poller.AddWatcher(*server);
    }

    Series series(o, clock);
    poll::HeadlessHost host(poller.Buffers());
    double next = clock.Now();
    bool idle = false;
    bool reconnecting = false;  // serving after a failure
    double reconnectAt = 0.0;
    for (;;) {
        // Serving alone, the Quellbar rests while nobody watches, once there
        // is a picture for /snapshot.png.
        const bool resting = server && !series.Keeping() && server->Watchers() == 0 && poller.Current();
        const double wait = resting || reconnecting ? 0.1 : std::max(0.0, next - clock.Now());
        if (const int signal = interruption.Wait(wait); signal != 0) {
            series.Interrupted(signal);
            break;
        }
        if (!series.InTime()) {
            break;
        }
        if (resting) {
            idle = true;
            continue;
        }
        if (idle) {
            // The first watcher's picture at once, whole.
            idle = false;
            poller.RequestWhole();
            next = clock.Now();
            continue;
        }
        if (reconnecting) {
            if (clock.Now() < reconnectAt) {
                continue;
            }
            if (poller.Connect(wire::kWideWidth).outcome != poll::Connection::Outcome::kOpen) {
                reconnectAt = clock.Now() + kReconnectPause;
                continue;
            }
            reconnecting = false;
            poller.SetState(poll::PollingState::kCommunicating);
        }
        const fetch::FetchResult result = poller.Receive(host);
        if (const std::optional<std::string> failure = host.TakeFailure()) {
            Say(*failure);
            if (!server) {
                series.Fail(kCommunicationFailed);
                break;
            }
            // The browsers see the failure; the Quellbar is tried again.
            poller.SetState(poll::PollingState::kFailure);
            poller.Close();
            reconnecting = true;
            reconnectAt = clock.Now() + kReconnectPause;
            continue;
        }
        // Every other ending polls again, as the window's timer does.
        next = clock.Now() + kPace;
        if (result.ending != fetch::Ending::Complete) {
            continue;
        }
        const decode::DecodeResult d = poller.Decode(result.received);
        if (!d.refused && !series.Take(poller.Show(d))) {
            break;
        }
    }
    poller.SetState(poll::PollingState::kStopping);
    const int status = series.End();
    if (server) {
        poller.RemoveWatcher(*server);
    }
    poller.Close();
    return status;
}

}  // namespace karvolen::capture
