// Window-level state of Form1 that the fetch cycle and the decoders share.
// Plain data, no Qt: the decoders and the fetch cycle work on it directly.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

namespace karvolen {

inline constexpr int32_t kBufferLastIndex = 400000;
inline constexpr int32_t kBufferSize = kBufferLastIndex + 1;
inline constexpr int32_t kPictureHeight = 480;

// 16-bit truth values as the window stores them.
inline constexpr int16_t kTrue = -1;
inline constexpr int16_t kFalse = 0;

// Request modes: the digit sent in byte 5 of the request.
inline constexpr int32_t kModeWhole = 0;
inline constexpr int32_t kModeLineDelta = 2;

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
static_assert(sizeof(BitmapInfoHeader) == 40);

struct RgbQuad {
    uint8_t rgbBlue = 0;
    uint8_t rgbGreen = 0;
    uint8_t rgbRed = 0;
    uint8_t rgbReserved = 0;
};
static_assert(sizeof(RgbQuad) == 4);

struct BitmapInfo {
    BitmapInfoHeader bmiHeader;
    std::array<RgbQuad, 256> bmiColors{};
};

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
    std::array<uint8_t, 8> CommandBytes{};
    BitmapInfo FrameInfo{};
    int16_t TransferBusy = kFalse;
    int16_t ImageWidth = 0;
    int16_t AppliedWidth = 0;
    double ChunkStartTime = 0.0;
};

}  // namespace karvolen
