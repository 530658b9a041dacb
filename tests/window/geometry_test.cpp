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
}

}  // namespace
}  // namespace karvolen::geometry
