// The window's geometry arithmetic, apart from any window: the client size
// laid out for a picture, the logical scale it is drawn in, and the smallest
// client size the minimum-size hook allows.
#pragma once

#include <QMargins>
#include <QRect>
#include <QSize>
#include <QSizeF>
#include <algorithm>
#include <cstdint>
#include <string_view>

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

// Qt's adwaita decoration draws a border this wide inside its shadows.
inline constexpr int kAdwaitaBorder = 1;

// The part of a client-side decoration's `margins` that is seen, by the Qt
// decoration plugin that draws it ("bradient", "adwaita"; empty if unknown).
// Shadows lie outside what the compositor takes for the window, equal on the
// sides and the bottom and unknown to the client: bradient draws none, its
// margins are its border and title bar; adwaita pads its 1-pixel border with
// them. Of another decoration, the sides' common margin counts as shadow, so
// the outer size stays at least the minimum.
inline QSize CountedFrame(QMargins margins, std::string_view decoration)
{
    int shadow = 0;
    if (decoration != "bradient") {
        const int side = std::max(0, std::min({margins.left(), margins.right(), margins.bottom()}));
        shadow = decoration == "adwaita" ? std::max(0, side - kAdwaitaBorder) : side;
    }
    return {std::max(0, margins.left() + margins.right() - 2 * shadow),
            std::max(0, margins.top() + margins.bottom() - 2 * shadow)};
}

// The smallest client size whose outer size, with `frame` added, is the
// minimum; at least 1 x 1 whatever the frame.
inline QSize MinimumClientSize(QSize frame)
{
    return {std::max(1, kMinTrackWidth - frame.width()), std::max(1, kMinTrackHeight - frame.height())};
}

// How the picture fills the picture area. Stretch is the window's own; the
// others keep the picture's shape and leave black bars.
enum class FitMode { Stretch, KeepAspect, IntegerZoom };

// Where a `picture`-sized image is painted inside an `area`, both in device
// pixels so that integer zoom stays crisp at any screen scale. Empty sizes
// give an empty rectangle.
inline QRect FitTarget(QSize area, QSize picture, FitMode mode)
{
    if (area.isEmpty() || picture.isEmpty()) {
        return {};
    }
    if (mode == FitMode::Stretch) {
        return {QPoint(0, 0), area};
    }
    const int64_t aw = area.width(), ah = area.height(), pw = picture.width(), ph = picture.height();
    QSize size;
    if (const int64_t zoom = std::min(aw / pw, ah / ph); mode == FitMode::IntegerZoom && zoom >= 1) {
        size = QSize(static_cast<int>(pw * zoom), static_cast<int>(ph * zoom));
    } else if (aw * ph <= ah * pw) {
        // The width limits: full width, the height rounded to the nearest pixel.
        size = QSize(static_cast<int>(aw), std::max(1, static_cast<int>((aw * ph * 2 + pw) / (pw * 2))));
    } else {
        size = QSize(std::max(1, static_cast<int>((ah * pw * 2 + ph) / (ph * 2))), static_cast<int>(ah));
    }
    return {QPoint((area.width() - size.width()) / 2, (area.height() - size.height()) / 2), size};
}

}  // namespace karvolen::geometry
