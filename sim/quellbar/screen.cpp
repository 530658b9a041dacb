#include "screen.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace quellbar {
namespace {

// Palette slots. The low entries are the instrument's fixed UI colours; the
// bar colours and the accent follow the palette epoch.
enum : uint8_t { kBlack, kWhite, kPanel, kLight, kTitle, kText, kAccent, kTrace, kGrid, kScope, kSelect, kProgress };
constexpr int kBarBase = 16;
constexpr int kBarColours = 32;
constexpr int kRampBase = 48;
constexpr int kRampColours = 208;  // entries 48..255

// The palette changes every this many frames.
constexpr uint64_t kPaletteEpochFrames = 50;

// 5x7 glyphs, one byte per row, bit 4 = leftmost column.
constexpr uint8_t kDigitFont[11][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E},  // 0
    {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},  // 1
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F},  // 2
    {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},  // 3
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02},  // 4
    {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},  // 5
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E},  // 6
    {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},  // 7
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E},  // 8
    {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},  // 9
    {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00},  // :
};
constexpr int kColon = 10;

uint32_t Rgb(int r, int g, int b)
{
    return (static_cast<uint32_t>(r) << 16) | (static_cast<uint32_t>(g) << 8) | static_cast<uint32_t>(b);
}

uint32_t Hue(int degrees)
{
    const int h = ((degrees % 360) + 360) % 360;
    const int sector = h / 60;
    const int f = (h % 60) * 255 / 60;
    switch (sector) {
    case 0: return Rgb(255, f, 0);
    case 1: return Rgb(255 - f, 255, 0);
    case 2: return Rgb(0, 255, f);
    case 3: return Rgb(0, 255 - f, 255);
    case 4: return Rgb(f, 0, 255);
    default: return Rgb(255, 0, 255 - f);
    }
}

// Small deterministic generator for the seed-dependent layout.
struct SplitMix {
    uint64_t state;
    uint32_t Next()
    {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return static_cast<uint32_t>((z ^ (z >> 31)) >> 32);
    }
    int Below(int n) { return static_cast<int>(Next() % static_cast<uint32_t>(n)); }
};

// Drawing in screen coordinates (y = 0 is the top row) onto bottom-up rows.
uint8_t* Row(Screen& s, int y)
{
    return s.pixels.data() + static_cast<size_t>(kRows - 1 - y) * static_cast<size_t>(s.width);
}

void Fill(Screen& s, int x0, int y0, int x1, int y1, uint8_t c)
{
    x0 = std::max(x0, 0);
    y0 = std::max(y0, 0);
    x1 = std::min(x1, s.width);
    y1 = std::min(y1, kRows);
    for (int y = y0; y < y1; ++y) {
        if (x0 < x1) std::memset(Row(s, y) + x0, c, static_cast<size_t>(x1 - x0));
    }
}

void Glyph(Screen& s, int glyph, int x, int y, int scale, uint8_t c)
{
    for (int gy = 0; gy < 7; ++gy) {
        for (int gx = 0; gx < 5; ++gx) {
            if (kDigitFont[glyph][gy] & (0x10 >> gx))
                Fill(s, x + gx * scale, y + gy * scale, x + (gx + 1) * scale, y + (gy + 1) * scale, c);
        }
    }
}

// Every entry is set: the fixed slots, greys up to the bars, the bars, the ramp.
void BuildPalette(std::array<uint32_t, 256>& pal, uint64_t epoch, uint32_t seed)
{
    // The fixed slots in the order of the enum; the accent follows the epoch.
    const uint32_t fixed[] = {
        0x000000, 0xFFFFFF, 0x30343C, 0xC8CCD2, 0x143C8C, 0x1E1E28, Hue(static_cast<int>(40 + epoch * 97 + seed * 7)),
        0x50FF50, 0x1E461E, 0x051405, 0x78AAF0, 0x28C878};
    std::copy(std::begin(fixed), std::end(fixed), pal.begin());
    for (int i = kProgress + 1; i < kBarBase; ++i) pal[static_cast<size_t>(i)] = Rgb(i * 16, i * 16, i * 16);
    const int shift = static_cast<int>((epoch * 37 + seed * 13) % 360);
    for (int i = 0; i < kBarColours; ++i) pal[static_cast<size_t>(kBarBase + i)] = Hue(i * 360 / kBarColours + shift);
    for (int i = 0; i < kRampColours; ++i) {
        const int v = i * 255 / (kRampColours - 1);
        pal[static_cast<size_t>(kRampBase + i)] = Rgb(v, (v * 3 / 4 + 32) & 0xFF, 255 - v);
    }
}

}  // namespace

ScreenGenerator::ScreenGenerator(int width, uint32_t seed) : seed_(seed)
{
    screen_.width = (width == 800) ? 800 : 640;
    screen_.pixels.assign(static_cast<size_t>(screen_.width) * kRows, 0);
    Render();
}

const Screen& ScreenGenerator::Next()
{
    ++frame_;
    Render();
    return screen_;
}

void ScreenGenerator::Render()
{
    Screen& s = screen_;
    const int w = s.width;
    const uint64_t f = frame_;
    BuildPalette(screen_.palette, f / kPaletteEpochFrames, seed_);
    SplitMix layout{seed_};

    // Title bar with word-like blocks (static).
    Fill(s, 0, 0, w, 32, kTitle);
    for (int x = 12; x < w - 200;) {
        const int len = 12 + layout.Below(60);
        Fill(s, x, 11, std::min(x + len, w - 200), 21, kWhite);
        x += len + 8 + layout.Below(8);
    }
    Fill(s, 0, 32, w, 36, kLight);

    // Moving colour bars: three bands at different speeds.
    for (int band = 0; band < 3; ++band) {
        const int y0 = 36 + band * 40;
        const int speed = 4 + band * 3;
        const int barWidth = 24 + band * 8;
        const int offset =
            static_cast<int>((f * static_cast<uint64_t>(speed)) % static_cast<uint64_t>(barWidth * kBarColours));
        uint8_t* first = Row(s, y0);
        for (int x = 0; x < w; ++x) {
            const int bar = ((x + offset) / barWidth) % kBarColours;
            first[x] = static_cast<uint8_t>(kBarBase + (bar + band * 5) % kBarColours);
        }
        for (int y = y0 + 1; y < y0 + 40; ++y) std::memcpy(Row(s, y), first, static_cast<size_t>(w));
    }

    // A static gradient strip: many distinct neighbours.
    for (int x = 0; x < w; ++x) Fill(s, x, 156, x + 1, 172, static_cast<uint8_t>(kRampBase + x * kRampColours / w));

    // Frame counter, 8 digits, big.
    Fill(s, 0, 172, w, 300, kPanel);
    uint64_t n = f;
    for (int i = 7; i >= 0; --i, n /= 10)
        Glyph(s, static_cast<int>(n % 10), (w - 8 * 48) / 2 + i * 48, 186, 8, kAccent);

    // Clock hh:mm:ss of the frame time, one frame per second from a seed-given start.
    const int t = static_cast<int>((9 * 3600 + (seed_ % 3600) + f) % 86400);
    const int hh = t / 3600, mm = t / 60 % 60, ss = t % 60;
    const int clock[8] = {hh / 10, hh % 10, kColon, mm / 10, mm % 10, kColon, ss / 10, ss % 10};
    for (int i = 0; i < 8; ++i) Glyph(s, clock[i], (w - 8 * 24) / 2 + i * 24, 256, 4, kWhite);

    // Left: a list with text-like lines and a selection that walks down.
    const int split = w / 2;
    Fill(s, 0, 300, split, 440, kLight);
    const int selected = static_cast<int>(f % 10);
    for (int line = 0; line < 10; ++line) {
        const int y = 302 + line * 14;
        if (line == selected) Fill(s, 0, y - 2, split, y + 12, kSelect);
        for (int x = 8; x < split - 16;) {
            const int len = 6 + layout.Below(40);
            Fill(s, x, y + 2, std::min(x + len, split - 16), y + 9, kText);
            x += len + 5 + layout.Below(6);
        }
    }

    // Right: a scope with a grid and a moving sine trace.
    Fill(s, split, 300, w, 440, kScope);
    for (int x = split; x < w; x += 40) Fill(s, x, 300, x + 1, 440, kGrid);
    for (int y = 300; y < 440; y += 35) Fill(s, split, y, w, y + 1, kGrid);
    {
        const double phase = static_cast<double>(f % 360) * 0.35;
        int prevY = -1;
        for (int x = split; x < w; ++x) {
            const int y = 370 + static_cast<int>(std::lround(30.0 * std::sin(phase + (x - split) * 0.045)));
            const int lo = prevY < 0 ? y : std::min(prevY, y);
            const int hi = prevY < 0 ? y : std::max(prevY, y);
            Fill(s, x, lo, x + 1, hi + 2, kTrace);
            prevY = y;
        }
    }

    // Status bar with a progress bar.
    Fill(s, 0, 440, w, kRows, kPanel);
    Fill(s, 16, 452, w - 16, 468, kBlack);
    const int progress = static_cast<int>((f % 100) * static_cast<uint64_t>(w - 36) / 99);
    Fill(s, 18, 454, 18 + progress, 466, kProgress);
}

}  // namespace quellbar
