// One picture as a front end shows it: what the window draws, the recorder
// keeps and the feed passes on. Plain views into the poller's buffers, valid
// until its next cycle.
#pragma once

#include <cstdint>
#include <span>

#include "bitmap_info.h"

namespace karvolen {

using Palette = std::span<const RgbQuad, wire::kColourCount>;

struct ShownPicture {
    // wire::kPictureHeight rows of `width` palette indices, the bottom row first.
    std::span<const uint8_t> pixels;
    int width = 0;
    Palette palette;
    // The rows that may differ from the picture shown before, in the pixels'
    // bottom-up numbering: [firstRow, firstRow + rowCount). rowCount 0:
    // nothing changed. A whole picture gives 0 and kPictureHeight.
    int firstRow = 0;
    int rowCount = wire::kPictureHeight;
    // When it was shown: seconds since the Unix epoch.
    double time = 0.0;
};

}  // namespace karvolen
