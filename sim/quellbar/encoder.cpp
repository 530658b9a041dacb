#include "encoder.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "wire_format.h"

namespace quellbar {
namespace {

constexpr int kMaxCount = 255;
// A run shorter than this costs as many bytes as the literals it replaces.
constexpr int kMinRun = 4;

constexpr uint32_t kPixelOffset = karvolen::wire::kPixelOffset;
constexpr uint32_t kPixelsPerMeter = 2835;  // 72 dpi

int RunLength(const uint8_t* row, int from, int width, int limit)
{
    const uint8_t v = row[from];
    int n = 1;
    while (n < limit && from + n < width && row[from + n] == v) ++n;
    return n;
}

void EncodeRow(const uint8_t* row, int width, std::vector<uint8_t>& out)
{
    int p = 0;
    bool first = true;
    while (p < width) {
        // A group without literals is a run of index 0; not allowed as the
        // first group, whose count byte marks the row as changed.
        if (!first && row[p] == 0) {
            const int zeros = RunLength(row, p, width, kMaxCount);
            if (zeros >= 2) {
                out.push_back(0);
                out.push_back(static_cast<uint8_t>(zeros));
                p += zeros;
                continue;
            }
        }
        first = false;

        // Literals up to and including the first pixel of the next worthwhile run.
        const int start = p;
        while (p - start < kMaxCount && p < width) {
            const bool runStarts = RunLength(row, p, width, kMinRun) >= kMinRun;
            ++p;
            if (runStarts) break;
        }
        const int n = p - start;
        out.push_back(static_cast<uint8_t>(n));
        out.insert(out.end(), row + start, row + p);
        if (p >= width) break;  // the row is complete: no run count byte

        // The run repeats the last literal; it may be empty.
        const int r = RunLength(row, p - 1, width, kMaxCount + 1) - 1;
        out.push_back(static_cast<uint8_t>(r));
        p += r;
    }
}

}  // namespace

std::vector<uint8_t> EncodeLineDelta(const uint8_t* prev, const uint8_t* cur, int width, int rows)
{
    std::vector<uint8_t> out;
    if (width <= 0 || rows <= 0) return out;
    out.reserve(static_cast<size_t>(rows) * 2);
    const size_t w = static_cast<size_t>(width);
    for (int y = 0; y < rows; ++y) {
        const uint8_t* c = cur + static_cast<size_t>(y) * w;
        const uint8_t* p = prev + static_cast<size_t>(y) * w;
        if (std::memcmp(c, p, w) == 0) {
            out.push_back(0);
        } else {
            EncodeRow(c, width, out);
        }
    }
    return out;
}

std::vector<uint8_t> BuildBmp(const Screen& screen, const std::vector<uint8_t>& pixelData)
{
    namespace wire = karvolen::wire;
    const uint32_t dataSize = static_cast<uint32_t>(pixelData.size());
    std::vector<uint8_t> bmp(std::begin(wire::kSignature), std::end(wire::kSignature));
    auto le = [&bmp](uint32_t v, int bytes = 4) {
        for (int i = 0; i < bytes; ++i) bmp.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    le(kPixelOffset + dataSize);  // bfSize
    le(0);                        // bfReserved1, bfReserved2
    le(kPixelOffset);             // bfOffBits
    le(wire::kInfoHeaderSize);
    le(static_cast<uint32_t>(screen.width));
    le(static_cast<uint32_t>(kRows));
    le(1, 2);  // planes
    le(8, 2);  // bits per pixel
    le(0);     // BI_RGB: the LineDelta encoding is not announced here
    le(dataSize);
    le(kPixelsPerMeter);
    le(kPixelsPerMeter);
    le(0);                                               // colours used: all 256
    le(0);                                               // important colours: all
    for (uint32_t c : screen.palette) le(c & 0xFFFFFF);  // blue, green, red, 0
    bmp.insert(bmp.end(), pixelData.begin(), pixelData.end());
    return bmp;
}

std::vector<uint8_t> BuildReply(const std::vector<uint8_t>& bmp)
{
    std::vector<uint8_t> reply(karvolen::wire::kPrefixSize);
    karvolen::wire::WriteBe32(reply.data(), static_cast<uint32_t>(bmp.size()));
    reply.insert(reply.end(), bmp.begin(), bmp.end());
    return reply;
}

std::string EncodePpm(const Screen& s)
{
    std::string ppm = "P6\n" + std::to_string(s.width) + " " + std::to_string(kRows) + "\n255\n";
    ppm.reserve(ppm.size() + s.pixels.size() * 3);
    for (int y = kRows - 1; y >= 0; --y) {  // pixels are stored bottom row first
        for (int x = 0; x < s.width; ++x) {
            const uint32_t c = s.palette[s.pixels[static_cast<size_t>(y) * static_cast<size_t>(s.width) + x]];
            ppm += static_cast<char>(c >> 16);
            ppm += static_cast<char>(c >> 8);
            ppm += static_cast<char>(c);
        }
    }
    return ppm;
}

}  // namespace quellbar
