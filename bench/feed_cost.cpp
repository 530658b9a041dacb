// The feed owner's cost at one picture a second: CPU time and memory of the
// publishing process with N readers, each its own process.
//   feed_cost READERS [SECONDS]     prints one line of measures
// The pictures are typical: a whole 800-wide picture, then each second a band
// of 40 changed rows (a readout or a trace) at a moving place.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "feed_publisher.h"
#include "feed_reader.h"

extern char** environ;

namespace {

using namespace karvolen;
using namespace karvolen::feed;
using namespace std::chrono_literals;

constexpr int kBandRows = 40;

double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long StatusKb(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
    }
    return -1;
}

// A reader process: reads until the end, exits 0 when every event was fine.
int ReadUntilEnd(const std::string& path)
{
    auto opened = FeedReader::Open(path, 10s);
    if (!opened.reader) return 1;
    for (;;) {
        const FeedEvent e = opened.reader->Next(60s);
        if (e.kind == FeedEvent::Kind::kEnd) return 0;
        if (e.kind == FeedEvent::Kind::kError || e.kind == FeedEvent::Kind::kTimeout) return 1;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--reader") == 0) return ReadUntilEnd(argv[2]);
    if (argc < 2) {
        std::fprintf(stderr, "usage: feed_cost READERS [SECONDS]\n");
        return 2;
    }
    const int readers = std::atoi(argv[1]);
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 30;
    std::string dir = (std::filesystem::temp_directory_path() / "karvolen-feed-cost.XXXXXX").string();
    if (mkdtemp(dir.data()) == nullptr) return 1;
    const std::string path = dir + "/feed";

    auto started = FeedPublisher::Start(path, "feed_cost");
    if (!started.publisher) {
        std::fprintf(stderr, "feed_cost: %s\n", started.error.c_str());
        return 1;
    }
    FeedPublisher& publisher = *started.publisher;
    std::vector<pid_t> children;
    for (int i = 0; i < readers; ++i) {
        char* args[] = {argv[0], const_cast<char*>("--reader"), const_cast<char*>(path.c_str()), nullptr};
        pid_t pid = 0;
        if (posix_spawn(&pid, argv[0], nullptr, nullptr, args, environ) == 0) children.push_back(pid);
    }
    while (publisher.Readers() < static_cast<size_t>(readers)) std::this_thread::sleep_for(10ms);

    std::vector<uint8_t> pixels(kMaxPixels);
    std::array<RgbQuad, wire::kColourCount> palette{};
    for (int c = 0; c < wire::kColourCount; ++c) palette[c] = {uint8_t(c), uint8_t(255 - c), uint8_t(c * 3), 0};
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    for (int s = 0; s <= seconds; ++s) {
        const int first = s == 0 ? 0 : (s * 53) % (wire::kPictureHeight - kBandRows);
        const int count = s == 0 ? wire::kPictureHeight : kBandRows;
        for (size_t i = size_t(first) * 800; i < size_t(first + count) * 800; ++i) pixels[i] = uint8_t(i * 7 + s);
        publisher.Publish({pixels, wire::kWideWidth, palette, first, count, 1.8e9 + s});
        std::this_thread::sleep_until(t0 + std::chrono::seconds(s + 1));
    }
    const double cpu = CpuSeconds() - cpu0;
    const long rss = StatusKb("VmRSS:");
    const long hwm = StatusKb("VmHWM:");
    const size_t connected = publisher.Readers();
    started.publisher.reset();
    int failed = 0;
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        failed += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::filesystem::remove_all(dir);
    std::printf("readers %d (%zu connected at the end, %d failed), %d s: CPU %.3f s (%.3f %% of a core), "
                "RSS %ld kB, peak %ld kB\n",
                readers, connected, failed, seconds, cpu, 100.0 * cpu / seconds, rss, hwm);
    return failed == 0 ? 0 : 1;
}
