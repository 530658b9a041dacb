// The simulated Quellbar's screen: an animated test picture with a palette.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "wire_format.h"

namespace quellbar {

inline constexpr int kRows = karvolen::wire::kPictureHeight;

struct Screen {
    int width = 640;  // 640 or 800
    // kRows rows of `width` palette indices, first row = bottom row of the screen.
    std::vector<uint8_t> pixels;
    // 256 colours as 0x00RRGGBB.
    std::array<uint32_t, 256> palette{};
};

// Produces the frames of a moving picture a person recognises as live: moving
// bars, a frame counter and a clock; now and then the palette changes.
class ScreenGenerator {
public:
    explicit ScreenGenerator(int width, uint32_t seed = 1);
    // Advances one frame and returns it.
    const Screen& Next();
    const Screen& Current() const { return screen_; }
    uint64_t FrameNumber() const { return frame_; }

private:
    // Draws frame_ into screen_; depends on nothing but the seed and frame_.
    void Render();

    Screen screen_;
    uint64_t frame_ = 0;
    uint32_t seed_;
};

}  // namespace quellbar
