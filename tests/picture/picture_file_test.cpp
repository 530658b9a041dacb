#include "picture_file.h"

#include <algorithm>
#include <fcntl.h>
#include <gtest/gtest.h>

#include "file_size_limit.h"
#include <png.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

namespace karvolen::picture {
namespace {

using wire::kPictureHeight;
namespace fs = std::filesystem;

// What a reader finds in a picture file; no width when it is not an 8-bit
// palette picture.
struct Decoded {
    int width = 0, height = 0;
    std::vector<uint8_t> indices;                 // top row first
    std::vector<std::array<uint8_t, 3>> colours;  // red, green, blue
};

struct Source {
    const std::vector<uint8_t>& bytes;
    size_t at = 0;
};

void ReadFromMemory(png_structp png, png_bytep out, size_t n)
{
    auto* s = static_cast<Source*>(png_get_io_ptr(png));
    if (n > s->bytes.size() - s->at) png_error(png, "the file ends early");
    std::memcpy(out, s->bytes.data() + s->at, n);
    s->at += n;
}

// libpng's own reader, without transformations.
Decoded ReadPng(const std::vector<uint8_t>& bytes)
{
    Decoded d;
    std::vector<png_bytep> rows;
    Source source{bytes};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return {};
    }
    png_set_read_fn(png, &source, ReadFromMemory);
    png_read_info(png, info);
    png_colorp plte = nullptr;
    int entries = 0;
    if (png_get_color_type(png, info) == PNG_COLOR_TYPE_PALETTE && png_get_bit_depth(png, info) == 8 &&
        png_get_PLTE(png, info, &plte, &entries) != 0) {
        d.width = static_cast<int>(png_get_image_width(png, info));
        d.height = static_cast<int>(png_get_image_height(png, info));
        for (int c = 0; c < entries; ++c) d.colours.push_back({plte[c].red, plte[c].green, plte[c].blue});
        d.indices.resize(static_cast<size_t>(d.width) * d.height);
        for (int y = 0; y < d.height; ++y) rows.push_back(d.indices.data() + static_cast<size_t>(y) * d.width);
        png_read_image(png, rows.data());
        png_read_end(png, nullptr);
    }
    png_destroy_read_struct(&png, &info, nullptr);
    return d;
}

uint32_t Le(const std::vector<uint8_t>& b, size_t at, int n)
{
    uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | b[at + i];
    return v;
}

// A plain reader of an uncompressed 8-bit bottom-up BMP, checking every field
// a reader relies on.
Decoded ReadBmp(const std::vector<uint8_t>& b)
{
    if (b.size() < 54 || b[0] != 'B' || b[1] != 'M' || Le(b, 2, 4) != b.size() || Le(b, 14, 4) != 40 ||
        Le(b, 26, 2) != 1 || Le(b, 28, 2) != 8 || Le(b, 30, 4) != 0) {
        return {};
    }
    Decoded d;
    d.width = static_cast<int32_t>(Le(b, 18, 4));
    d.height = static_cast<int32_t>(Le(b, 22, 4));
    const uint32_t used = Le(b, 46, 4) == 0 ? 256 : Le(b, 46, 4);
    const size_t stride = (static_cast<size_t>(d.width) + 3) & ~size_t{3};
    const size_t offBits = Le(b, 10, 4);
    if (d.width <= 0 || d.height <= 0 || offBits < 54 + used * 4 || offBits + stride * d.height > b.size()) return {};
    for (uint32_t c = 0; c < used; ++c) d.colours.push_back({b[56 + c * 4], b[55 + c * 4], b[54 + c * 4]});
    for (int y = 0; y < d.height; ++y) {
        const auto row = b.begin() + static_cast<ptrdiff_t>(offBits + stride * (d.height - 1 - y));
        d.indices.insert(d.indices.end(), row, row + d.width);
    }
    return d;
}

// Every index and a colour table of 256 different colours, bottom row first
// as the poller holds them; the indices as a reader expects them.
struct Picture {
    explicit Picture(int w, unsigned seed = 1) : width(w)
    {
        std::mt19937 rng(seed);
        pixels.resize(static_cast<size_t>(width) * kPictureHeight);
        for (auto& p : pixels) p = static_cast<uint8_t>(rng());
        for (int c = 0; c < 256; ++c) {
            palette[c] = {uint8_t(c), uint8_t(255 - c), uint8_t(c * 7 + seed), uint8_t(rng())};
        }
        for (int y = 0; y < kPictureHeight; ++y) {
            const auto row = pixels.begin() + static_cast<ptrdiff_t>(kPictureHeight - 1 - y) * width;
            topFirst.insert(topFirst.end(), row, row + width);
        }
    }
    ShownPicture Shown() const { return {pixels, width, palette}; }
    std::vector<std::array<uint8_t, 3>> Colours() const
    {
        std::vector<std::array<uint8_t, 3>> c;
        for (const RgbQuad& q : palette) c.push_back({q.rgbRed, q.rgbGreen, q.rgbBlue});
        return c;
    }

    int width;
    std::vector<uint8_t> pixels;
    std::array<RgbQuad, 256> palette{};
    std::vector<uint8_t> topFirst;
};

std::vector<uint8_t> Bytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Everything in the folder, hidden files too.
std::vector<std::string> Names(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

struct TempDir {
    fs::path path = [] {
        std::string t = (fs::temp_directory_path() / "karvolen-picture.XXXXXX").string();
        return fs::path(mkdtemp(t.data()));
    }();
    ~TempDir() { fs::remove_all(path); }
};

TEST(PictureFileTest, BothFormatsHoldTheExactIndicesAndColoursTopRowFirst)
{
    for (const int width : {640, 800}) {
        const Picture pic(width, static_cast<unsigned>(width));
        struct Case {
            Format format;
            Decoded (*read)(const std::vector<uint8_t>&);
        };
        for (const Case c : {Case{Format::kPng, ReadPng}, Case{Format::kBmp, ReadBmp}}) {
            const Decoded d = c.read(Encode(pic.Shown(), c.format));
            const char* name = c.format == Format::kPng ? "PNG" : "BMP";
            EXPECT_EQ(d.width, width) << name;
            EXPECT_EQ(d.height, kPictureHeight) << name;
            EXPECT_TRUE(d.indices == pic.topFirst) << name << " at " << width;
            EXPECT_EQ(d.colours, pic.Colours()) << name;
        }
    }
    // Pictures that do not fit their description give no bytes.
    Picture pic(640);
    ShownPicture shown = pic.Shown();
    shown.width = 0;
    EXPECT_TRUE(Encode(shown, Format::kPng).empty());
    shown.width = 800;  // more than the 640 x 480 pixels there are
    EXPECT_TRUE(Encode(shown, Format::kBmp).empty());
}

TEST(PictureFileTest, TheFormatIsTheSuffixsAndOnlyPngOrBmp)
{
    const struct {
        const char* path;
        std::optional<Format> format;
    } cases[] = {
        {"shot.png", Format::kPng},   {"/a/b/SHOT.Png", Format::kPng}, {"x.bmp", Format::kBmp}, {"x.BMP", Format::kBmp},
        {"x.jpg", std::nullopt},      {"x.pbm", std::nullopt},         {"x.gif", std::nullopt}, {"x", std::nullopt},
        {"pics.png/x", std::nullopt}, {"x.png.txt", std::nullopt},     {".png", Format::kPng},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatOf(c.path), c.format) << c.path;
}

// Whole or not at all: an existing file replaced only when asked, a failed
// write leaves the folder as it was, temporary files included.
TEST(PictureFileTest, WritesWholeOrNotAtAllAndReplacesOnlyWhenAsked)
{
    const TempDir dir;
    const Picture first(800, 1), second(800, 2);
    const fs::path path = dir.path / "shot.png";
    EXPECT_EQ(WriteFile(first.Shown(), path, Format::kPng, false), "");
    EXPECT_EQ(Bytes(path), Encode(first.Shown(), Format::kPng));

    EXPECT_EQ(WriteFile(second.Shown(), path, Format::kPng, false), std::strerror(EEXIST));
    EXPECT_EQ(Bytes(path), Encode(first.Shown(), Format::kPng)) << "replaced without being asked";
    // A dangling link is a name taken as well.
    fs::create_symlink(dir.path / "nowhere", dir.path / "link.png");
    EXPECT_EQ(WriteFile(second.Shown(), dir.path / "link.png", Format::kPng, false), std::strerror(EEXIST));
    EXPECT_FALSE(fs::exists(dir.path / "nowhere"));

    // A file size limit (a full disk) fails the write; the old file stays.
    std::string cut, cutNew;
    {
        const testing::FileSizeLimit limit(10000);
        ASSERT_TRUE(limit.Set());
        cut = WriteFile(second.Shown(), path, Format::kBmp, true);
        cutNew = WriteFile(second.Shown(), dir.path / "new.bmp", Format::kBmp, false);
    }
    EXPECT_EQ(cut, std::strerror(EFBIG));
    EXPECT_EQ(cutNew, std::strerror(EFBIG));
    EXPECT_EQ(Bytes(path), Encode(first.Shown(), Format::kPng));
    EXPECT_EQ(Names(dir.path), (std::vector<std::string>{"link.png", "shot.png"}));

    EXPECT_EQ(WriteFile(second.Shown(), path, Format::kBmp, true), "");
    EXPECT_EQ(Bytes(path), Encode(second.Shown(), Format::kBmp));
    EXPECT_EQ(WriteFile(second.Shown(), dir.path / "gone" / "x.png", Format::kPng, false), std::strerror(ENOENT));
    ShownPicture bad = second.Shown();
    bad.width = -1;
    EXPECT_EQ(WriteFile(bad, dir.path / "bad.png", Format::kPng, true), kBadPicture);
    EXPECT_EQ(Names(dir.path), (std::vector<std::string>{"link.png", "shot.png"}));
}

TEST(PictureFileTest, WritesToAnOpenFileAndSaysWhyItCannot)
{
    const Picture pic(640);
    const TempDir dir;
    const fs::path path = dir.path / "out";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(WriteTo(fd, pic.Shown(), Format::kPng), "");
    close(fd);
    EXPECT_EQ(Bytes(path), Encode(pic.Shown(), Format::kPng));

    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    EXPECT_EQ(WriteTo(full, pic.Shown(), Format::kBmp), std::strerror(ENOSPC));
    close(full);
}

TEST(PictureFileTest, SuggestedNamesCarryTheTimeAndNeverTakeAnExistingOne)
{
    const TempDir dir;
    setenv("TZ", "UTC", 1);
    tzset();
    const std::time_t when = 1797000000;  // 2026-12-11 14:40:00 UTC
    const std::string stem = (dir.path / "quellbar-2026-12-11-144000").string();
    EXPECT_EQ(SuggestedPath("", when), "quellbar-2026-12-11-144000.png");
    for (const char* next : {".png", "-2.png", "-3.png"}) {
        const std::string path = SuggestedPath(dir.path.string() + "/", when);
        EXPECT_EQ(path, stem + next);
        std::ofstream(path).put('x');
    }
    EXPECT_EQ(SuggestedPath(dir.path, when, "gif"), stem + ".gif");
    unsetenv("TZ");
    tzset();
}

}  // namespace
}  // namespace karvolen::picture
