// The window's state that the fetch cycle and the decoders work on. Plain
// data, no Qt: the window owns it, and hands each of them the parts it uses.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <span>

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
class ByteBuffer {
public:
    ByteBuffer() : data_(new uint8_t[kBufferSize]()) {}
    uint8_t* data() { return data_.get(); }
    const uint8_t* data() const { return data_.get(); }
    std::span<uint8_t> span() { return {data_.get(), kBufferSize}; }
    std::span<const uint8_t> span() const { return {data_.get(), kBufferSize}; }
    uint8_t& operator[](int32_t i) { return data_[static_cast<size_t>(i)]; }
    uint8_t operator[](int32_t i) const { return data_[static_cast<size_t>(i)]; }
    static constexpr int32_t size() { return kBufferSize; }

private:
    std::unique_ptr<uint8_t[]> data_;
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

    fetch::Exchange Fetching() { return {RxBuffer.span(), CommandBytes, RequestMode, TransferBusy}; }
    // The first `count` bytes of RxBuffer (none for a negative count).
    std::span<const uint8_t> Received(int32_t count) const
    {
        return RxBuffer.span().first(static_cast<size_t>(std::clamp(count, 0, kBufferSize)));
    }
    decode::DecodeTarget Decoding()
    {
        return {HeaderBuffer.span(), PixelBuffer.span(), FrameInfo, ImageWidth, AppliedWidth, RequestMode};
    }
};

}  // namespace karvolen
