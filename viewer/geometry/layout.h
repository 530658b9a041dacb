// The window's geometry arithmetic, apart from any window: the client size
// laid out for a picture, the logical scale it is drawn in, and the smallest
// client size the minimum-size hook allows.
#pragma once

#include <QSize>
#include <QSizeF>
#include <algorithm>

#include "wire_format.h"

namespace karvolen::geometry {

using wire::kPictureHeight;

// The smallest outer size (frame included) the window can be dragged to.
inline constexpr int kMinTrackWidth = 100;
inline constexpr int kMinTrackHeight = 100;

// The client area for a picture `width` pixels wide; the window manager adds
// its frame around it.
inline QSize PictureClientSize(int width) { return {width, kPictureHeight}; }

// The logical coordinates the picture area is measured in: one unit a picture
// pixel, whatever the window's real size.
inline QSizeF LogicalScale(int imageWidth) { return {static_cast<qreal>(imageWidth), kPictureHeight}; }

// The smallest client size whose outer size, with `frame` added, is the
// minimum; at least 1 x 1 whatever the frame.
inline QSize MinimumClientSize(QSize frame)
{
    return {std::max(1, kMinTrackWidth - frame.width()), std::max(1, kMinTrackHeight - frame.height())};
}

}  // namespace karvolen::geometry
