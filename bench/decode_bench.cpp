// Decoding and drawing benchmarks. Every case is paired with a memcpy of a
// stated number of bytes, run next to it in the same process; the report ends
// with the ratio of each case to its memcpy (medians when repeated).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench_cases.h"
#include "decode.h"
#include "poll_state.h"
#include "encoder.h"
#include "screen.h"
#include "wire_format.h"

using karvolen::PollState;
using karvolen::kBufferSize;
using karvolen::kModeLineDelta;
using karvolen::kModeWhole;
using karvolen::decode::DecodeReply;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kWidth = 800;
constexpr int kRows = 480;
// The bench replies' length prefix, headers and colour table, and the pixel
// data that still fits into reply behind them.
constexpr size_t kReplyHeaderBytes = karvolen::wire::kReplyHeaderSize;
constexpr size_t kMaxPixelData = static_cast<size_t>(kBufferSize) - kReplyHeaderBytes;

Bytes Reply(const Bytes& pixelData)
{
    quellbar::Screen s;
    s.width = kWidth;
    for (uint32_t c = 0; c < 256; ++c) s.palette[c] = c * 0x010101u;
    return quellbar::BuildReply(quellbar::BuildBmp(s, pixelData));
}

Bytes RandomBytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
}

// Every row as 255-literal groups with empty runs: the most bytes to copy.
Bytes CopyWorstCase()
{
    const Bytes lit = RandomBytes(kWidth, 1);
    Bytes d;
    for (int r = 0; r < kRows; ++r) {
        int p = 0;
        while (p < kWidth) {
            const int n = std::min(255, kWidth - p);
            d.push_back(static_cast<uint8_t>(n));
            d.insert(d.end(), lit.begin() + p, lit.begin() + p + n);
            p += n;
            if (p < kWidth) d.push_back(0);
        }
    }
    return d;
}

// Every row as groups of one literal and a run of two: the most groups for a
// whole picture.
Bytes ParseWorstCase()
{
    Bytes d;
    for (int r = 0; r < kRows; ++r) {
        int p = 0;
        while (p < kWidth) {
            d.push_back(1);
            d.push_back(static_cast<uint8_t>(p * 31 + r));
            p += 1;
            if (p >= kWidth) break;
            const int run = std::min(2, kWidth - p);
            d.push_back(static_cast<uint8_t>(run));
            p += run;
        }
    }
    return d;
}

// As many groups as 400001 bytes can hold: after the first literal, every
// group is a run of one index-0 pixel (two bytes a pixel).
Bytes MostGroupsCase()
{
    Bytes d;
    while (d.size() < kMaxPixelData) {
        d.push_back(1);
        d.push_back(9);
        d.push_back(0);
        for (int p = 1; p < kWidth; ++p) {
            d.push_back(0);
            d.push_back(1);
        }
    }
    d.resize(kMaxPixelData);
    return d;
}

// Small groups of random shape (0 to 3 literals, runs of 0 to 3), filling
// 400001 bytes: defeats branch prediction on the group shape.
Bytes MixedSmallGroupsCase()
{
    Bytes d;
    uint32_t x = 12345;
    auto next = [&x](uint32_t n) {
        x = x * 1664525u + 1013904223u;
        return (x >> 16) % n;
    };
    while (d.size() < kMaxPixelData) {
        int p = 0;
        bool first = true;
        while (p < kWidth) {
            const int n = std::min<int>(first ? 1 + static_cast<int>(next(3)) : static_cast<int>(next(4)), kWidth - p);
            first = false;
            d.push_back(static_cast<uint8_t>(n));
            for (int k = 0; k < n; ++k) d.push_back(static_cast<uint8_t>(next(256)));
            p += n;
            if (p >= kWidth) break;
            const int run = std::min<int>(static_cast<int>(next(4)), kWidth - p);
            d.push_back(static_cast<uint8_t>(run));
            p += run;
        }
    }
    d.resize(kMaxPixelData);
    return d;
}

struct Frame {
    Bytes delta;
    int changedRows = 0;
};

// Two consecutive frames of the simulated Quellbar's picture.
Frame TypicalUiChange()
{
    quellbar::ScreenGenerator gen(kWidth, 1);
    for (int i = 0; i < 120; ++i) gen.Next();
    const Bytes prev = gen.Current().pixels;
    const Bytes& cur = gen.Next().pixels;
    Frame f;
    f.delta = quellbar::EncodeLineDelta(prev.data(), cur.data(), kWidth);
    for (int r = 0; r < kRows; ++r) f.changedRows += std::memcmp(&prev[r * kWidth], &cur[r * kWidth], kWidth) != 0;
    return f;
}

// A decoder case: a PollState with the reply in reply, decoded over and over.
void RegisterDecode(const std::string& name, const Bytes& pixelData, int32_t requestMode, size_t memcpyBytes)
{
    auto st = std::make_shared<PollState>();
    const Bytes reply = Reply(pixelData);
    const int32_t received = static_cast<int32_t>(std::min(reply.size(), static_cast<size_t>(kBufferSize)));
    std::memcpy(st->reply.data(), reply.data(), static_cast<size_t>(received));
    st->imageWidth = kWidth;
    st->laidOutWidth = kWidth;
    benchmark::RegisterBenchmark(name.c_str(), [st, received, requestMode](benchmark::State& state) {
        for (auto _ : state) {
            st->requestMode = requestMode;
            benchmark::DoNotOptimize(DecodeReply(st->Received(received), st->Decoding()));
            benchmark::ClobberMemory();
        }
    })->Unit(benchmark::kMicrosecond);
    benchbench::RegisterMemcpy(name, memcpyBytes);
}

}  // namespace

namespace benchbench {

void RegisterMemcpy(const std::string& name, size_t bytes)
{
    auto src = std::make_shared<Bytes>(RandomBytes(bytes, 7));
    auto dst = std::make_shared<Bytes>(bytes);
    benchmark::RegisterBenchmark((name + "/memcpy").c_str(), [src, dst](benchmark::State& state) {
        for (auto _ : state) {
            std::memcpy(dst->data(), src->data(), src->size());
            benchmark::ClobberMemory();
        }
    })->Unit(benchmark::kMicrosecond);
    RecordPair(name, bytes);
}

std::map<std::string, size_t>& Pairs()
{
    static std::map<std::string, size_t> pairs;
    return pairs;
}

void RecordPair(const std::string& name, size_t bytes) { Pairs()[name] = bytes; }

// Prints the console report and, at the end, each case against its memcpy.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.iterations == 0) continue;
            const double s = run.real_accumulated_time / static_cast<double>(run.iterations);
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name == "median")
                    medians_[run.run_name.str()] = run.GetAdjustedRealTime() * Scale(run);
                continue;
            }
            const auto [it, fresh] = seconds_.emplace(run.benchmark_name(), s);
            if (!fresh) it->second = std::min(it->second, s);
        }
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        std::printf("\n%-34s %12s %14s %14s %8s\n", "case", "memcpy bytes", "case (us)", "memcpy (us)", "ratio");
        // With repetitions the medians stand for the cases, otherwise the single run.
        const std::map<std::string, double>& t = medians_.empty() ? seconds_ : medians_;
        for (const auto& [name, bytes] : Pairs()) {
            const auto c = t.find(name);
            const auto m = t.find(name + "/memcpy");
            if (c == t.end() || m == t.end()) continue;
            std::printf("%-34s %12zu %14.3f %14.3f %8.2f\n", name.c_str(), bytes, c->second * 1e6, m->second * 1e6,
                        c->second / m->second);
        }
        std::fflush(stdout);
    }

private:
    static double Scale(const Run& run)
    {
        switch (run.time_unit) {
        case benchmark::kNanosecond: return 1e-9;
        case benchmark::kMicrosecond: return 1e-6;
        case benchmark::kMillisecond: return 1e-3;
        default: return 1.0;
        }
    }

    std::map<std::string, double> seconds_;
    std::map<std::string, double> medians_;
};

}  // namespace benchbench

int main(int argc, char** argv)
{
    const size_t frameBytes = static_cast<size_t>(kWidth) * kRows;

    RegisterDecode("full_frame_800", RandomBytes(frameBytes, 3), kModeWhole, frameBytes);

    Bytes unchanged(kRows, 0);
    RegisterDecode("delta_all_unchanged", unchanged, kModeLineDelta, kReplyHeaderBytes + unchanged.size());

    const Frame ui = TypicalUiChange();
    RegisterDecode("delta_typical_ui", ui.delta, kModeLineDelta, static_cast<size_t>(ui.changedRows) * kWidth);
    std::printf("delta_typical_ui: %d changed rows, %zu stream bytes\n", ui.changedRows, ui.delta.size());

    RegisterDecode("delta_copy_worst_255_literals", CopyWorstCase(), kModeLineDelta, frameBytes);
    RegisterDecode("delta_parse_worst_1lit_run2", ParseWorstCase(), kModeLineDelta, frameBytes);
    RegisterDecode("delta_most_groups_400001", MostGroupsCase(), kModeLineDelta, kMaxPixelData);
    RegisterDecode("delta_mixed_small_groups_400001", MixedSmallGroupsCase(), kModeLineDelta, kMaxPixelData);
    RegisterDecode("delta_random_400001", RandomBytes(kMaxPixelData, 5), kModeLineDelta, kMaxPixelData);

    benchbench::RegisterDrawing();
    benchbench::RegisterRecording();

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchbench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
