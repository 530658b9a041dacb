// Turning one received reply into the persistent picture: headers, the
// full-frame and LineDelta decoders, the palette, and the 8-bit to 32-bit
// drawing step. Functions of the reply's bytes and the caller's buffers; no
// windowing here.
#pragma once

#include <cstdint>
#include <span>

#include "bitmap_info.h"

namespace karvolen::decode {

// The picture a reply is decoded into. The caller owns every part and keeps
// it between replies: a line delta changes the previous picture.
struct DecodeTarget {
    std::span<uint8_t> header;  // the reply's headers and colour table
    std::span<uint8_t> pixels;  // 480 bottom-up rows of imageWidth indices
    BitmapInfo& frameInfo;      // colours loaded here; biWidth is the caller's
    int16_t& imageWidth;
    int16_t& appliedWidth;  // the width the caller last laid itself out for
    int32_t& requestMode;   // how the reply was asked for; whole becomes line delta
};

struct DecodeResult {
    // Nothing to decode from: fewer bytes than reach bfOffBits, a bfOffBits
    // that puts the headers past the reply buffer, or a header buffer too
    // small for the colour table. Nothing in the target changed.
    bool refused = false;
    // A whole picture was decoded (requestMode was whole, now line delta):
    // the caller clears its surface and shows itself if hidden.
    bool fullFrame = false;
    // A full frame brought a width other than appliedWidth; appliedWidth now
    // equals imageWidth and the caller lays itself out for it.
    bool widthChanged = false;
    // The pixel rows the reply wrote, [firstRow, firstRow + rowCount) in the
    // buffer's bottom-up numbering: every row of a whole picture, none of a
    // line delta without changes.
    int32_t firstRow = 0;
    int32_t rowCount = 0;
};

// Decodes `reply` (length prefix included; bytes 4 and 5 hold "BM") into
// `target` by its request mode, then loads the 256 colours. Never reads past
// the reply nor writes past the target's buffers; pixels stop short of the
// buffer's last index.
DecodeResult DecodeReply(std::span<const uint8_t> reply, const DecodeTarget& target);

// Draws the 480-row bottom-up 8-bit picture
// `bits` with info.bmiHeader.biWidth and info's colours 1:1 at the top-left of
// a 32-bit surface (0xFFRRGGBB, `stride` pixels per row). Returns the number of
// surface rows drawn (at most the surface's height; rows whose bits lie past
// `bits` are not drawn), 0 on failure (a width that is not positive, no
// surface).
int32_t DrawPicture(uint32_t* surface, int32_t surfaceWidth, int32_t surfaceHeight, int32_t stride,
                    const BitmapInfo& info, std::span<const uint8_t> bits);

}  // namespace karvolen::decode
