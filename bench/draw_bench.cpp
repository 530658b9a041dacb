// The drawing step: the 8-bit picture into the persistent 32-bit surface, then
// that surface painted on a full-HD display as the picture widget paints it,
// in each fit mode.
#include <benchmark/benchmark.h>

#include <QImage>
#include <QPainter>
#include <QTemporaryDir>
#include <memory>
#include <random>
#include <utility>

#include "bench_cases.h"
#include "decode.h"
#include "poll_state.h"
#include "picture_file.h"
#include "window/picture_view.h"

namespace benchbench {
namespace {

struct Scene {
    karvolen::BitmapInfo info;
    karvolen::ByteBuffer bits;
    QImage surface{800, 480, QImage::Format_RGB32};
    QImage display{1920, 1080, QImage::Format_RGB32};

    Scene()
    {
        karvolen::InitFrameInfo(info.bmiHeader);
        info.bmiHeader.biWidth = 800;
        std::mt19937 rng(11);
        for (auto& q : info.bmiColors) {
            q.rgbBlue = static_cast<uint8_t>(rng());
            q.rgbGreen = static_cast<uint8_t>(rng());
            q.rgbRed = static_cast<uint8_t>(rng());
        }
        for (size_t i = 0; i < bits.size(); ++i) bits[i] = static_cast<uint8_t>(rng());
        surface.fill(Qt::black);
        display.fill(Qt::black);
    }

    bool Draw()
    {
        return karvolen::decode::DrawPicture(reinterpret_cast<uint32_t*>(surface.bits()), surface.width(),
                                                   surface.height(), static_cast<int32_t>(surface.bytesPerLine() / 4),
                                                   info, bits) == 480;
    }
};

}  // namespace

void RegisterDrawing()
{
    auto scene = std::make_shared<Scene>();

    benchmark::RegisterBenchmark("draw_setdibits_800x480", [scene](benchmark::State& state) {
        for (auto _ : state) {
            if (!scene->Draw()) state.SkipWithError("drawing failed");
            benchmark::ClobberMemory();
        }
    })->Unit(benchmark::kMicrosecond);
    RegisterMemcpy("draw_setdibits_800x480", 800u * 480u * 4u);

    // Each fit mode as the picture widget paints it, on a full-HD screen.
    const std::pair<const char*, karvolen::geometry::FitMode> modes[] = {
        {"draw_step_stretch_1920x1080", karvolen::geometry::FitMode::Stretch},
        {"draw_step_keep_aspect_1920x1080", karvolen::geometry::FitMode::KeepAspect},
        {"draw_step_integer_zoom_1920x1080", karvolen::geometry::FitMode::IntegerZoom},
    };
    for (const auto& [name, mode] : modes) {
        benchmark::RegisterBenchmark(name, [scene, mode = mode](benchmark::State& state) {
            for (auto _ : state) {
                if (!scene->Draw()) state.SkipWithError("drawing failed");
                QPainter p(&scene->display);
                karvolen::PaintFitted(p, scene->display.size(), scene->surface, mode);
                p.end();
                benchmark::ClobberMemory();
            }
        })->Unit(benchmark::kMicrosecond);
        RegisterMemcpy(name, 1920u * 1080u * 4u);
    }

    benchmark::RegisterBenchmark("draw_step_smooth_stretch_1920x1080", [scene](benchmark::State& state) {
        for (auto _ : state) {
            if (!scene->Draw()) state.SkipWithError("drawing failed");
            QPainter p(&scene->display);
            p.setRenderHint(QPainter::SmoothPixmapTransform);
            p.drawImage(QRect(0, 0, 1920, 1080), scene->surface);
            p.end();
            benchmark::ClobberMemory();
        }
    })->Unit(benchmark::kMicrosecond);
    RegisterMemcpy("draw_step_smooth_stretch_1920x1080", 1920u * 1080u * 4u);

    // Keeping a picture: encoded and written whole.
    for (const char* suffix : {"png", "bmp"}) {
        const std::string name = std::string("save_") + suffix + "_800x480";
        benchmark::RegisterBenchmark(name.c_str(), [suffix](benchmark::State& state) {
            auto st = std::make_unique<karvolen::PollState>();
            std::mt19937 rng(13);
            st->imageWidth = 800;
            for (auto& q : st->frameInfo.bmiColors) q.rgbGreen = static_cast<uint8_t>(rng());
            for (int32_t i = 0; i < 800 * 480; ++i) st->pixels[i] = static_cast<uint8_t>(rng() % 16);
            QTemporaryDir dir;
            const std::string path = dir.filePath(QStringLiteral("picture.") + QLatin1String(suffix)).toStdString();
            const karvolen::ShownPicture shown{st->pixels, st->imageWidth, st->frameInfo.bmiColors};
            for (auto _ : state) {
                if (!karvolen::picture::WriteFile(shown, path, *karvolen::picture::FormatOf(path), true).empty()) {
                    state.SkipWithError("saving failed");
                }
            }
        })->Unit(benchmark::kMillisecond);
        RegisterMemcpy(name, 800u * 480u);
    }
}

}  // namespace benchbench
