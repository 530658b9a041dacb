// Turning one received reply into the persistent picture: headers, the
// full-frame and LineDelta decoders, the palette, and the 8-bit to 32-bit
// drawing step. Pure code over FormState's buffers; no windowing here.
#pragma once

#include <cstdint>

#include "form_state.h"

namespace karvolen::decode {

struct DecodeResult {
    // The reply's headers cannot lie inside RxBuffer (bfOffBits too large):
    // nothing was decoded, nothing in FormState changed.
    bool refused = false;
    // A whole picture was decoded (RequestMode was 0, now 2): the window
    // clears Pic1 and shows itself if hidden.
    bool fullFrame = false;
    // A full frame brought a width other than AppliedWidth; AppliedWidth now
    // equals ImageWidth and the window lays itself out for it.
    bool widthChanged = false;
};

// Decodes RxBuffer[0 .. received-1] (length prefix included; RxBuffer[4..5]
// hold "BM") into FormState by RequestMode, then loads the 256 colours.
// Never reads past the last received byte nor writes past PixelBuffer.
DecodeResult DecodeReply(FormState& st, int32_t received);

// The SetDIBitsToDevice equivalent: draws the 480-row bottom-up 8-bit picture
// `bits` with info.bmiHeader.biWidth and info's colours 1:1 at the top-left of
// a 32-bit surface (0xFFRRGGBB, `stride` pixels per row). Returns the number of
// surface rows drawn (at most the surface's height; rows whose bits lie past
// the buffer are not drawn), 0 on failure (a width that is not positive, no
// surface).
int32_t SetDIBitsToDevice(uint32_t* surface, int32_t surfaceWidth, int32_t surfaceHeight, int32_t stride,
                          const BitmapInfo& info, const uint8_t* bits);

}  // namespace karvolen::decode
