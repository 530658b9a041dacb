// The window's state that the fetch cycle and the decoders work on. Plain
// data, no Qt: the window owns it, and hands each of them the parts it uses.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "bitmap_info.h"
#include "decode.h"
#include "fetch_cycle.h"
#include "wire_format.h"

namespace karvolen {

using fetch::kFalse;
using fetch::kTrue;
using wire::kBufferLastIndex;
using wire::kBufferSize;
using wire::kModeLineDelta;
using wire::kModeWhole;
using wire::kPictureHeight;

// A zeroed 400001-byte array, allocated once with the window.
struct ByteBuffer : std::vector<uint8_t> {
    ByteBuffer() : std::vector<uint8_t>(kBufferSize) {}
};

struct FormState {
    ByteBuffer RxBuffer;
    ByteBuffer HeaderBuffer;
    ByteBuffer PixelBuffer;
    int32_t RequestMode = kModeWhole;
    std::array<uint8_t, wire::kRequestSize> CommandBytes{};
    BitmapInfo FrameInfo{};
    int16_t TransferBusy = kFalse;
    int16_t ImageWidth = 0;
    int16_t AppliedWidth = 0;

    // Ready for the first cycle: nothing transferring, no width laid out yet,
    // chunks sized for `width` until a picture brings its own, the request
    // and the header's fixed fields in place.
    void BeginPolling(int16_t width)
    {
        TransferBusy = kFalse;
        ImageWidth = width;
        AppliedWidth = 0;
        std::copy_n(wire::kRequestText, wire::kRequestSize, CommandBytes.begin());
        InitFrameInfo(FrameInfo.bmiHeader);
    }

    fetch::Exchange Fetching() { return {RxBuffer, CommandBytes, RequestMode, TransferBusy}; }
    // The first `count` bytes of RxBuffer (none for a negative count).
    std::span<const uint8_t> Received(int32_t count) const
    {
        return std::span(RxBuffer).first(static_cast<size_t>(std::clamp(count, 0, kBufferSize)));
    }
    decode::DecodeTarget Decoding()
    {
        return {HeaderBuffer, PixelBuffer, FrameInfo, ImageWidth, AppliedWidth, RequestMode};
    }
};

}  // namespace karvolen
