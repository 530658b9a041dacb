// The bitmap header and colour table a picture is drawn with, laid out as the
// reply's BMP stream carries them.
#pragma once

#include <array>
#include <cstdint>

#include "wire_format.h"

namespace karvolen {

struct BitmapInfoHeader {
    uint32_t biSize = 0;
    int32_t biWidth = 0;
    int32_t biHeight = 0;
    uint16_t biPlanes = 0;
    uint16_t biBitCount = 0;
    uint32_t biCompression = 0;
    uint32_t biSizeImage = 0;
    int32_t biXPelsPerMeter = 0;
    int32_t biYPelsPerMeter = 0;
    uint32_t biClrUsed = 0;
    uint32_t biClrImportant = 0;
};
static_assert(sizeof(BitmapInfoHeader) == wire::kInfoHeaderSize);

struct RgbQuad {
    uint8_t rgbBlue = 0;
    uint8_t rgbGreen = 0;
    uint8_t rgbRed = 0;
    uint8_t rgbReserved = 0;
};
static_assert(sizeof(RgbQuad) == 4);

// A colour entry as an opaque 0xAARRGGBB pixel.
inline constexpr uint32_t Argb(const RgbQuad& q)
{
    return 0xFF000000u | (static_cast<uint32_t>(q.rgbRed) << 16) | (static_cast<uint32_t>(q.rgbGreen) << 8) |
           static_cast<uint32_t>(q.rgbBlue);
}

struct BitmapInfo {
    BitmapInfoHeader bmiHeader;
    std::array<RgbQuad, wire::kColourCount> bmiColors{};
};

// The fixed fields of the frame header: 8-bit palettised, 480 rows bottom-up.
// biWidth follows the picture, the rest comes from each whole picture.
inline void InitFrameInfo(BitmapInfoHeader& h)
{
    h.biSize = sizeof(BitmapInfoHeader);
    h.biHeight = wire::kPictureHeight;
    h.biPlanes = 1;
    h.biBitCount = 8;
    h.biCompression = 0;
    h.biClrUsed = 0;
    h.biClrImportant = 0;
}

}  // namespace karvolen
