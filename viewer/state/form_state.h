// Window-level state of Form1 that the fetch cycle and the decoders share.
// Plain data, no Qt: the window owns it, the decoders and the fetch cycle work
// on it directly.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "bitmap_info.h"
#include "wire_format.h"

namespace karvolen {

inline constexpr int32_t kBufferLastIndex = 400000;
inline constexpr int32_t kBufferSize = kBufferLastIndex + 1;

// 16-bit truth values as the window stores them.
inline constexpr int16_t kTrue = -1;
inline constexpr int16_t kFalse = 0;

using wire::kModeLineDelta;
using wire::kModeWhole;

// A zeroed 400001-byte array, allocated once with the window.
class ByteBuffer {
public:
    ByteBuffer() : data_(new uint8_t[kBufferSize]()) {}
    uint8_t* data() { return data_.get(); }
    const uint8_t* data() const { return data_.get(); }
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
    double ChunkStartTime = 0.0;
};

}  // namespace karvolen
