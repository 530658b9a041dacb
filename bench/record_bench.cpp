// The recorder: one picture added to an animated GIF on disk, as the window
// adds each picture it shows. Pictures of the simulated Quellbar at 800 x 480.
#include <benchmark/benchmark.h>

#include <QBuffer>
#include <QImage>
#include <QTemporaryDir>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "bench_cases.h"
#include "gif_recorder.h"
#include "screen.h"

namespace benchbench {
namespace {

using karvolen::wire::kPictureHeight;
using karvolen::RgbQuad;
using karvolen::ShownPicture;
using karvolen::record::GifRecorder;

constexpr int kWidth = 800;

struct Shown {
    std::vector<uint8_t> pixels;
    std::array<RgbQuad, 256> palette{};
    int firstRow = 0;
    int rowCount = kPictureHeight;  // changed since the picture before

    explicit Shown(const quellbar::Screen& s) : pixels(s.pixels)
    {
        for (size_t c = 0; c < 256; ++c) {
            palette[c] = {uint8_t(s.palette[c]), uint8_t(s.palette[c] >> 8), uint8_t(s.palette[c] >> 16), 0};
        }
    }
    ShownPicture View() const { return {pixels, kWidth, palette, firstRow, rowCount}; }
};

// The next picture of `gen` with the band of rows that differ from the one before.
Shown Next(quellbar::ScreenGenerator& gen)
{
    const std::vector<uint8_t> before = gen.Current().pixels;
    Shown s(gen.Next());
    const auto same = [&](int r) {
        return std::memcmp(&before[size_t(r) * kWidth], &s.pixels[size_t(r) * kWidth], kWidth) == 0;
    };
    int first = 0, last = kPictureHeight - 1;
    while (first <= last && same(first)) ++first;
    while (last >= first && same(last)) --last;
    s.firstRow = first;
    s.rowCount = last - first + 1;
    return s;
}

// Adds `a` and `b` in turn (both with the band given), one picture a second,
// to a recording that starts over every 500 pictures.
void RegisterAdd(const std::string& name, Shown a, Shown b, size_t memcpyBytes)
{
    auto dir = std::make_shared<QTemporaryDir>();
    benchmark::RegisterBenchmark(name.c_str(), [dir, a, b](benchmark::State& state) {
        const std::string path = dir->filePath(QStringLiteral("bench.gif")).toStdString();
        GifRecorder rec;
        double t = 0;
        for (auto _ : state) {
            if (static_cast<int64_t>(t) % 500 == 0) {
                state.PauseTiming();
                if (!rec.Open(path).ok() || !rec.Add(b.View(), t).ok()) state.SkipWithError("Open failed");
                state.ResumeTiming();
            }
            t += 1.0;
            if (!rec.Add((static_cast<int64_t>(t) % 2 ? a : b).View(), t).ok()) state.SkipWithError("Add failed");
        }
    })->Unit(benchmark::kMicrosecond);
    RegisterMemcpy(name, memcpyBytes);
}

// 60 pictures, one a second, as a recording and as 60 PNG files.
void PrintSizes()
{
    QTemporaryDir dir;
    const std::string path = dir.filePath(QStringLiteral("sixty.gif")).toStdString();
    quellbar::ScreenGenerator gen(kWidth, 1);
    GifRecorder rec;
    karvolen::record::Result r = rec.Open(path);
    size_t png = 0;
    for (int i = 0; i < 60 && r.ok(); ++i) {
        const Shown s = i == 0 ? Shown(gen.Next()) : Next(gen);
        r = rec.Add(s.View(), i);
        QImage image(kWidth, kPictureHeight, QImage::Format_Indexed8);
        QList<QRgb> colours;
        for (const RgbQuad& q : s.palette) colours.push_back(karvolen::Argb(q));
        image.setColorTable(colours);
        for (int y = 0; y < kPictureHeight; ++y) {
            std::memcpy(image.scanLine(y), &s.pixels[size_t(kPictureHeight - 1 - y) * kWidth], kWidth);
        }
        QBuffer bytes;
        bytes.open(QIODevice::WriteOnly);
        image.save(&bytes, "PNG");
        png += static_cast<size_t>(bytes.size());
    }
    if (r.ok()) r = rec.Finish(60);
    if (!r.ok()) {
        std::printf("60 simulated pictures: %s\n", r.reason.c_str());
        return;
    }
    std::printf("60 simulated pictures: %ju bytes as one recording, %zu bytes as 60 PNGs\n",
                static_cast<uintmax_t>(std::filesystem::file_size(path)), png);
}

}  // namespace

void RegisterRecording()
{
    quellbar::ScreenGenerator gen(kWidth, 1);
    for (int i = 0; i < 120; ++i) gen.Next();
    const Shown typical = Next(gen);
    const Shown after = Next(gen);
    RegisterAdd("record_delta_typical_ui", typical, after, size_t(typical.rowCount) * kWidth);
    std::printf("record_delta_typical_ui: band of %d rows\n", typical.rowCount);

    // 40 rows of the next picture in the middle of this one, and back.
    Shown band = typical;
    band.firstRow = 200;
    band.rowCount = 40;
    Shown banded = band;
    const size_t bandAt = size_t(band.firstRow) * kWidth, bandBytes = size_t(band.rowCount) * kWidth;
    std::memcpy(&banded.pixels[bandAt], &after.pixels[bandAt], bandBytes);
    RegisterAdd("record_delta_40_rows", band, banded, bandBytes);

    // Every picture with other colours than the one before: written whole.
    Shown whole = typical;
    whole.firstRow = 0;
    whole.rowCount = kPictureHeight;
    Shown recoloured = whole;
    recoloured.palette[0].rgbRed ^= 0xFF;
    RegisterAdd("record_whole_800", whole, recoloured, size_t(kWidth) * kPictureHeight);
    PrintSizes();
}

}  // namespace benchbench
