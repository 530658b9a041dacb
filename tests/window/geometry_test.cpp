#include <gtest/gtest.h>

#include "geometry/layout.h"

namespace karvolen::geometry {
namespace {

// The hook's minimum is what the window manager's frame leaves of 100 x 100:
// a larger frame (a Wayland decoration, say) must shrink the client minimum,
// and no frame can push it to zero or below.
TEST(GeometryTest, MinimumClientSizeLeavesTheOuterMinimumWhateverTheFrame)
{
    EXPECT_EQ(MinimumClientSize(QSize(0, 0)), QSize(100, 100));
    EXPECT_EQ(MinimumClientSize(QSize(2, 25)), QSize(98, 75));
    EXPECT_EQ(MinimumClientSize(QSize(6, 33)), QSize(94, 67));
    EXPECT_EQ(MinimumClientSize(QSize(100, 99)), QSize(1, 1));
    EXPECT_EQ(MinimumClientSize(QSize(250, 400)), QSize(1, 1));
    // Of a decoration's margins, only what is not its shadow counts.
    const struct {
        QMargins margins;
        const char* decoration;
        QSize counted;
        const char* what;
    } frames[] = {
        {{0, 0, 0, 0}, "", {0, 0}, "no decoration"},
        {{3, 30, 3, 3}, "bradient", {6, 33}, "bradient's border is drawn, no shadow"},
        {{11, 48, 11, 11}, "adwaita", {2, 39}, "1-pixel border in 10-pixel shadows"},
        {{3, 30, 3, 3}, "", {0, 27}, "unknown: equal sides taken for shadow"},
        {{11, 48, 11, 11}, "", {0, 37}, "unknown: equal sides taken for shadow"},
        {{0, 30, 4, 0}, "", {4, 30}, "unknown, tiled on the left"},
    };
    for (const auto& f : frames) {
        EXPECT_EQ(CountedFrame(f.margins, f.decoration), f.counted) << f.what;
    }
    // Either of Qt's decorations leaves exactly the outer minimum.
    EXPECT_EQ(MinimumClientSize(CountedFrame({3, 30, 3, 3}, "bradient")) + QSize(6, 33), QSize(100, 100));
    EXPECT_EQ(MinimumClientSize(CountedFrame({11, 48, 11, 11}, "adwaita")) + QSize(2, 39), QSize(100, 100));
}

// Window (device pixels) x mode -> where the picture lands. Bars split evenly,
// the odd pixel to the right or bottom; integer zoom falls back to keeping
// the aspect when not even 1x fits.
TEST(GeometryTest, FitTargetPlacesThePictureForEachMode)
{
    const QSize wide(800, 480), narrow(640, 480);
    struct Row {
        QSize area;
        QSize picture;
        FitMode mode;
        QRect target;
    };
    const Row rows[] = {
        {{1920, 1080}, wide, FitMode::Stretch, {0, 0, 1920, 1080}},
        {{1920, 1080}, wide, FitMode::KeepAspect, {60, 0, 1800, 1080}},
        {{1920, 1080}, wide, FitMode::IntegerZoom, {160, 60, 1600, 960}},
        {{1920, 1080}, narrow, FitMode::KeepAspect, {240, 0, 1440, 1080}},
        {{1920, 1080}, narrow, FitMode::IntegerZoom, {320, 60, 1280, 960}},
        {{1600, 960}, wide, FitMode::IntegerZoom, {0, 0, 1600, 960}},
        {{1200, 720}, wide, FitMode::IntegerZoom, {200, 120, 800, 480}},  // 800 x 480 at scale 1.5
        {{1600, 961}, wide, FitMode::KeepAspect, {0, 0, 1600, 960}},      // one spare row stays below
        {{700, 400}, wide, FitMode::IntegerZoom, {16, 0, 667, 400}},      // below 1x: shrinks
        {{94, 67}, wide, FitMode::KeepAspect, {0, 5, 94, 56}},            // about the minimum size
        {{1000, 1}, wide, FitMode::KeepAspect, {499, 0, 2, 1}},           // never narrower than a pixel
        {{0, 480}, wide, FitMode::KeepAspect, {}},
        {{800, 480}, {}, FitMode::Stretch, {}},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(FitTarget(r.area, r.picture, r.mode), r.target)
            << r.area.width() << "x" << r.area.height() << " mode " << static_cast<int>(r.mode);
    }
}

}  // namespace
}  // namespace karvolen::geometry
