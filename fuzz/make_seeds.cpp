// Writes the seed inputs of reply_fuzzer into a folder: whole and LineDelta
// replies from the simulated Quellbar's encoder, both widths, a few frames
// each, delivered whole and in short pieces.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "encoder.h"
#include "screen.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Flag bits of the fuzz input's first byte.
constexpr uint8_t kLineDelta = 0x01;
constexpr uint8_t kWide = 0x02;
constexpr uint8_t kTallSurface = 0x20;

Bytes Input(uint8_t flags, const Bytes& directives, const std::vector<Bytes>& replies)
{
    Bytes in{flags, static_cast<uint8_t>(directives.size())};
    in.insert(in.end(), directives.begin(), directives.end());
    for (const Bytes& r : replies) in.insert(in.end(), r.begin(), r.end());
    return in;
}

bool Write(const std::filesystem::path& dir, const std::string& name, const Bytes& bytes)
{
    std::ofstream out(dir / name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT-FOLDER\n", argv[0]);
        return 2;
    }
    const std::filesystem::path dir = argv[1];
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    bool ok = !ec;

    for (const int width : {640, 800}) {
        const uint8_t wide = width == 800 ? kWide : 0;
        const std::string w = std::to_string(width);
        quellbar::ScreenGenerator gen(width, 7);

        // A polling run: one whole picture, then three LineDelta pictures.
        std::vector<Bytes> run;
        Bytes prev = gen.Next().pixels;
        run.push_back(quellbar::BuildReply(quellbar::BuildBmp(gen.Current(), prev)));
        std::vector<Bytes> deltas;
        for (int f = 0; f < 3; ++f) {
            const quellbar::Screen& s = gen.Next();
            deltas.push_back(quellbar::BuildReply(
                quellbar::BuildBmp(s, quellbar::EncodeLineDelta(prev.data(), s.pixels.data(), width))));
            prev = s.pixels;
        }
        run.insert(run.end(), deltas.begin(), deltas.end());

        ok = Write(dir, "run-" + w, Input(wide | kTallSurface, {}, run)) && ok;
        ok = Write(dir, "whole-" + w, Input(wide, {}, {run[0]})) && ok;
        for (size_t i = 0; i < deltas.size(); ++i) {
            ok = Write(dir, "delta-" + w + "-" + std::to_string(i), Input(wide | kLineDelta, {}, {deltas[i]})) && ok;
        }
        // Pieces: a short chunk, an empty read and its retry, a chunk of
        // exactly 1.0 s; then a chunk of 1.0625 s, which times out.
        ok = Write(dir, "pieces-" + w, Input(wide, {0x00, 0x7C, 0x05, 0x00, 0x87}, {run[0]})) && ok;
        ok = Write(dir, "timeout-" + w, Input(wide, {0x00, 0x00, 0x8F}, {run[0], deltas[0]})) && ok;
        // A failed chunk read closes the link; the next cycles reconnect and ask again.
        ok = Write(dir, "failed-" + w, Input(wide, {0x00, 0x06}, {run[0], run[0]})) && ok;
        // 64 bytes from the middle of a picture: no signature, the drain, then a good reply.
        const Bytes junk(deltas[1].begin() + 100, deltas[1].begin() + 164);
        ok = Write(dir, "drain-" + w, Input(wide | kLineDelta, {0x00, 0x05}, {junk, deltas[2]})) && ok;

        // Small inputs fuzz fastest: a whole picture of eight rows, then
        // LineDelta pictures of eight records each.
        quellbar::ScreenGenerator small(width, 11);
        // Eight rows from the middle of the screen, where the picture moves.
        const auto rows8 = static_cast<std::ptrdiff_t>(width) * 8;
        const auto from = static_cast<std::ptrdiff_t>(width) * 236;
        Bytes p0(small.Next().pixels.begin() + from, small.Next().pixels.begin() + from + rows8);
        std::vector<Bytes> smallRun{quellbar::BuildReply(quellbar::BuildBmp(small.Current(), p0))};
        for (int f = 0; f < 3; ++f) {
            const quellbar::Screen& s = small.Next();
            smallRun.push_back(quellbar::BuildReply(
                quellbar::BuildBmp(s, quellbar::EncodeLineDelta(p0.data(), s.pixels.data() + from, width, 8))));
            p0.assign(s.pixels.begin() + from, s.pixels.begin() + from + rows8);
        }
        ok = Write(dir, "small-run-" + w, Input(wide | kTallSurface, {}, smallRun)) && ok;
    }
    if (!ok) {
        std::fprintf(stderr, "make_seeds: cannot write into %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
