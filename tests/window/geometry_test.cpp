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
    // Side margins may be shadow: only what the top has beyond them counts.
    EXPECT_EQ(CountedFrame(QMargins(0, 0, 0, 0)), QSize(0, 0));
    EXPECT_EQ(CountedFrame(QMargins(3, 30, 3, 3)), QSize(0, 27)) << "a frame without shadows";
    EXPECT_EQ(CountedFrame(QMargins(11, 48, 11, 11)), QSize(0, 37)) << "1-pixel border in 10-pixel shadows";
    EXPECT_EQ(CountedFrame(QMargins(0, 30, 4, 0)), QSize(4, 30)) << "tiled on the left";
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
