#include "capture.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "decode.h"
#include "form_state.h"
#include "gif_recorder.h"
#include "marlex.h"
#include "picture_file.h"

namespace karvolen::capture {

namespace {

constexpr double kPace = fetch::kPollIntervalMs / 1000.0;

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

// The refusal to overwrite; true when `path` may be written.
bool MayWrite(const std::string& path, bool force)
{
    std::error_code ec;
    if (!force && std::filesystem::exists(std::filesystem::symlink_status(path, ec))) {
        CannotWrite(path, "the file exists (--force overwrites it)");
        return false;
    }
    return true;
}

// A viewer or capture of this user that may hold the Quellbar, by its name.
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
// the device is held: selecting the configuration fails while another
// process has claimed the interface, claiming it when one just did.
void SayCannotConnect(int32_t result)
{
    const std::string first = fetch::kMsgCannotConnect.substr(0, fetch::kMsgCannotConnect.find("\r\n"));
    if (result == MARLEX_ERR_CONFIGURATION || result == MARLEX_ERR_CLAIM) {
        if (const std::optional<std::string> holder = LikelyHolder()) {
            Say(first + ": it is in use, probably by " + *holder + "; end that program first");
        } else {
            Say(first + ": it is in use by another program (usually a running viewer), or this user may not "
                        "open it (see the udev rule)");
        }
        return;
    }
    Say(fetch::kMsgCannotConnect);
}

// The fetch cycle's view of the program: the window's timer becomes "poll again".
class Host : public fetch::FetchHost {
public:
    explicit Host(const FormState& st) : st_(st) {}
    void SetTimerEnabled(bool) override {}
    // The window's logical width is its picture's width.
    float ScaleWidth() override { return st_.ImageWidth; }
    void ProcessEvents() override {}
    void CommunicationFailure(const std::string& message) override { failure_ = message; }
    const std::optional<std::string>& Failure() const { return failure_; }

private:
    const FormState& st_;
    std::optional<std::string> failure_;
};

// Where the pictures go. Take and Finish print their failure and return false.
class Sink {
public:
    virtual ~Sink() = default;
    virtual bool Take(const ShownPicture& shown, double seconds) = 0;
    virtual bool Finish(double) { return true; }
};

// PNG on standard output.
class StdoutSink : public Sink {
public:
    bool Take(const ShownPicture& shown, double) override
    {
        if (const std::string why = picture::WriteTo(STDOUT_FILENO, shown, picture::Format::kPng); !why.empty()) {
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

    bool Take(const ShownPicture& shown, double) override
    {
        const std::string path = PathNow();
        if (path.empty()) {
            CannotWrite(o_.output, "the pattern gives an empty name");
            return false;
        }
        if (!MayWrite(path, o_.force)) {
            return false;
        }
        const picture::Format format = picture::FormatOf(path).value_or(picture::Format::kPng);
        if (const std::string why = picture::WriteFile(shown, path, format, o_.force); !why.empty()) {
            CannotWrite(path, why);
            return false;
        }
        return true;
    }

private:
    std::string PathNow() const
    {
        if (o_.output.empty()) {
            return picture::SuggestedPath("", std::time(nullptr));
        }
        if (!o_.Series()) {
            return o_.output;
        }
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        char name[4096];
        return std::strftime(name, sizeof name, o_.output.c_str(), &local) > 0 ? name : std::string();
    }

    const Options& o_;
};

// One animated GIF through the window's recorder; created at the first picture.
class GifSink : public Sink {
public:
    explicit GifSink(const Options& o) : o_(o) {}

    bool Take(const ShownPicture& shown, double seconds) override
    {
        if (!open_) {
            if (!MayWrite(o_.output, o_.force) || !Check(recorder_.Open(o_.output))) {
                return false;
            }
            open_ = true;
        }
        const record::Result added = recorder_.Add(shown, seconds);
        // A failed write has already closed the file with its trailer: Finish has nothing to do.
        open_ = added.status != record::Result::Status::kWriteFailed;
        return Check(added);
    }

    bool Finish(double seconds) override { return !open_ || Check(recorder_.Finish(seconds)); }

private:
    bool Check(const record::Result& r)
    {
        if (r.ok()) {
            return true;
        }
        CannotWrite(o_.output, r.reason);
        return false;
    }

    const Options& o_;
    record::GifRecorder recorder_;
    bool open_ = false;
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

void CloseLink(LinkApi& link)
{
    try {
        link.CloseCom();
    } catch (const LinkUnavailable&) {
        // Nothing can be open through a library that cannot be bound.
    }
}

}  // namespace

int Run(const Options& o, LinkApi& link, fetch::Clock& clock, Interruption& interruption)
{
    // A name given that is there already fails before the device is asked.
    if (!o.output.empty() && !o.ToStdout() && (!o.Series() || o.ToGif()) && !MayWrite(o.output, o.force)) {
        return kCannotWrite;
    }
    const std::unique_ptr<Sink> sink = MakeSink(o);
    const auto st = std::make_unique<FormState>();
    st->BeginPolling(wire::kWideWidth);

    int32_t opened = 0;
    try {
        opened = link.OpenCom();
    } catch (const LinkUnavailable&) {
        Say(fetch::kMsgNoDriver);
        return kCannotConnect;
    }
    if (opened < 0) {
        SayCannotConnect(opened);
        return kCannotConnect;
    }

    Host host(*st);
    int status = kDone;
    int taken = 0;
    std::vector<uint8_t> lastWritten;  // the PNG bytes of the last picture written
    const double start = clock.Now();
    double next = start;
    for (;;) {
        if (const int signal = interruption.Wait(std::max(0.0, next - clock.Now())); signal != 0) {
            status = 128 + signal;
            break;
        }
        if (o.duration > 0.0 && clock.Now() - start >= o.duration) {
            break;
        }
        const fetch::FetchResult result = fetch::ReceiveScreen(st->Fetching(), link, host, clock);
        if (host.Failure()) {
            Say(*host.Failure());
            status = kCommunicationFailed;
            break;
        }
        // Every other ending polls again, as the window's timer does.
        next = clock.Now() + kPace;
        if (result.ending != fetch::Ending::Complete) {
            continue;
        }
        const decode::DecodeResult d = decode::DecodeReply(st->Received(result.received), st->Decoding());
        if (d.refused) {
            continue;
        }
        ++taken;
        const ShownPicture shown{st->PixelBuffer, st->ImageWidth, st->FrameInfo.bmiColors, d.firstRow, d.rowCount};
        // Equal pictures encode to equal bytes.
        std::vector<uint8_t> encoded =
            o.changedOnly ? picture::Encode(shown, picture::Format::kPng) : std::vector<uint8_t>();
        if (!o.changedOnly || encoded != lastWritten) {
            if (!sink->Take(shown, clock.Now())) {
                status = kCannotWrite;
                break;
            }
            lastWritten = std::move(encoded);
        }
        if (!o.Series() || (o.count > 0 && taken >= o.count)) {
            break;
        }
    }
    if (!sink->Finish(clock.Now()) && status == kDone) {
        status = kCannotWrite;
    }
    CloseLink(link);
    return status;
}

}  // namespace karvolen::capture
