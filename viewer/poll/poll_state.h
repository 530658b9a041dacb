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

using wire::kBufferLastIndex;
using wire::kBufferSize;
using wire::kModeLineDelta;
using wire::kModeWhole;
using wire::kPictureHeight;

// A zeroed 400001-byte array, allocated once with the window.
struct ByteBuffer : std::vector<uint8_t> {
    ByteBuffer() : std::vector<uint8_t>(kBufferSize) {}
};

struct PollState {
    ByteBuffer reply;
    ByteBuffer headers;
    ByteBuffer pixels;
    int32_t requestMode = kModeWhole;
    std::array<uint8_t, wire::kRequestSize> request{};
    BitmapInfo frameInfo{};
    bool transferBusy = false;
    int16_t imageWidth = 0;
    int16_t laidOutWidth = 0;

    // Ready for the first cycle: nothing transferring, no width laid out yet,
    // chunks sized for `width` until a picture brings its own, the request
    // and the header's fixed fields in place.
    void BeginPolling(int16_t width)
    {
        transferBusy = false;
        imageWidth = width;
        laidOutWidth = 0;
        std::copy_n(wire::kRequestText, wire::kRequestSize, request.begin());
        InitFrameInfo(frameInfo.bmiHeader);
    }

    fetch::Exchange Fetching() { return {reply, request, requestMode, transferBusy}; }
    // The first `count` bytes of reply (none for a negative count).
    std::span<const uint8_t> Received(int32_t count) const
    {
        return std::span(reply).first(static_cast<size_t>(std::clamp(count, 0, kBufferSize)));
    }
    decode::DecodeTarget Decoding() { return {headers, pixels, frameInfo, imageWidth, laidOutWidth, requestMode}; }
};

}  // namespace karvolen
