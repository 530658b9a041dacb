#include <gif_lib.h>
#include <gtest/gtest.h>

#include "file_size_limit.h"
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "gif_recorder.h"
#include "recording_session.h"

namespace karvolen::record {
namespace {

struct CloseGif {
    void operator()(GifFileType* gif) const { DGifCloseFile(gif, nullptr); }
};
using Gif = std::unique_ptr<GifFileType, CloseGif>;

// The file as a reader sees it; null when giflib cannot read it whole.
Gif ReadBack(const std::string& path)
{
    Gif gif(DGifOpenFileName(path.c_str(), nullptr));
    return gif && DGifSlurp(gif.get()) == GIF_OK ? std::move(gif) : nullptr;
}

struct Picture {
    int width = 640;
    std::vector<uint8_t> pixels = std::vector<uint8_t>(800 * kPictureHeight);
    std::array<RgbQuad, 256> palette{};
    uint8_t salt = 0;

    void Colours(uint8_t newSalt)
    {
        salt = newSalt;
        for (int c = 0; c < 256; ++c) palette[c] = {uint8_t(c * 3 + salt), uint8_t(c ^ salt), uint8_t(255 - c), 0};
    }
    // Changes every `every`-th row and column of the band, the last of each
    // `every`; sparse changes leave colours 0 to 127 unused.
    void Draw(int firstRow, int rowCount, int seed, int every = 1)
    {
        for (int r = firstRow + every - 1; r < firstRow + rowCount; r += every)
            for (int x = every - 1; x < width; x += every)
                pixels[r * width + x] = uint8_t(x * 7 + r * 3 + seed * 31 + x * r % 13) | (every > 1 ? 0x80 : 0);
    }
    ShownPicture View(int firstRow, int rowCount) const { return {pixels, width, palette, firstRow, rowCount}; }
};

// A file in a folder of the case's own, removed with it whatever the outcome.
struct TempFile {
    std::filesystem::path dir = [] {
        std::string t = (std::filesystem::temp_directory_path() / "karvolen-record.XXXXXX").string();
        return std::filesystem::path(mkdtemp(t.data()));
    }();
    std::string path = (dir / "recording.gif").string();
    ~TempFile() { std::filesystem::remove_all(dir); }
};

TEST(GifRecorderTest, RecordsEveryPictureExactlyAndInTime)
{
    struct Step {
        double seconds;
        int width;
        uint8_t salt;
        int firstRow, rowCount;  // the band the caller passes; width or colour changes redraw all
        int every;               // rows and columns changed in the band
        int frames;              // in the file after this picture
        int screenWidth;
    };
    const Step steps[] = {
        {10.0, 640, 1, 0, 480, 1, 1, 640},    // the first picture
        {11.0, 640, 1, 100, 30, 1, 2, 640},   // a line delta: its band only
        {12.004, 640, 1, 0, 0, 1, 2, 640},    // unchanged: no frame
        {13.0, 640, 1, 0, 5, 1, 3, 640},      // the bottom rows
        {14.0, 640, 2, 10, 2, 1, 4, 640},     // new colours: written whole, own table
        {15.0, 800, 2, 0, 480, 1, 5, 800},    // wider: the screen grows
        {715.0, 800, 2, 470, 10, 1, 7, 800},  // 700 s later: one frame cannot say it
        {716.0, 640, 1, 0, 480, 1, 8, 800},   // narrower again, the global colours
        {716.5, 640, 1, 200, 40, 1, 9, 800},
        {717.0, 640, 1, 250, 30, 3, 10, 800},  // sparse: cropped, the rest see-through
    };
    const std::vector<int> delays = {100, 200, 100, 100, 0xFFFF, 70000 - 0xFFFF, 100, 50, 50, 100};
    // Each frame's left, width, height and whether it has a see-through colour.
    const std::vector<std::array<int, 4>> rects = {{0, 640, 480, 0}, {0, 640, 30, 0}, {0, 640, 5, 0},  {0, 640, 480, 0},
                                                   {0, 800, 480, 0}, {0, 1, 1, 1},    {0, 800, 10, 0}, {0, 800, 480, 0},
                                                   {0, 640, 40, 0},  {2, 637, 28, 1}};
    const TempFile file;
    const std::string& path = file.path;

    GifRecorder rec;
    ASSERT_TRUE(rec.Open(path).ok());
    Picture pic;
    std::vector<Picture> shown;
    for (const Step& s : steps) {
        const bool redraw = s.width != pic.width || s.salt != pic.salt || shown.empty();
        pic.width = s.width;
        pic.Colours(s.salt);
        pic.Draw(redraw ? 0 : s.firstRow, redraw ? kPictureHeight : s.rowCount, static_cast<int>(shown.size()),
                 redraw ? 1 : s.every);
        const Result r = rec.Add(pic.View(s.firstRow, s.rowCount), s.seconds);
        ASSERT_TRUE(r.ok()) << r.reason;
        shown.push_back(pic);
        // As if killed now: every frame so far is there.
        const Gif gif = ReadBack(path);
        ASSERT_TRUE(gif) << "after " << s.seconds << " s";
        EXPECT_EQ(gif->ImageCount, s.frames);
        EXPECT_EQ(gif->SWidth, s.screenWidth);
    }
    ASSERT_TRUE(rec.Finish(718.0).ok());
    EXPECT_EQ(rec.Add(pic.View(0, 1), 719.0).status, Result::Status::kNotRecording);

    const Gif gif = ReadBack(path);
    ASSERT_TRUE(gif);
    ASSERT_EQ(gif->ImageCount, static_cast<int>(delays.size()));
    // Composed as a viewer does, the screen after each picture's frames is that picture.
    std::vector<int> index(static_cast<size_t>(gif->SWidth) * kPictureHeight, -1);
    std::vector<GifColorType> colour(index.size());
    int frame = 0;
    for (size_t k = 0; k < shown.size(); ++k) {
        for (; frame < steps[k].frames; ++frame) {
            const SavedImage& img = gif->SavedImages[frame];
            GraphicsControlBlock gcb;
            ASSERT_EQ(DGifSavedExtensionToGCB(gif.get(), frame, &gcb), GIF_OK);
            EXPECT_EQ(gcb.DelayTime, delays[frame]) << "frame " << frame;
            const std::array<int, 4> rect = {img.ImageDesc.Left, img.ImageDesc.Width, img.ImageDesc.Height,
                                             gcb.TransparentColor != NO_TRANSPARENT_COLOR};
            EXPECT_EQ(rect, rects[frame]) << "frame " << frame;
            const ColorMapObject* map = img.ImageDesc.ColorMap ? img.ImageDesc.ColorMap : gif->SColorMap;
            for (int y = 0; y < img.ImageDesc.Height; ++y)
                for (int x = 0; x < img.ImageDesc.Width; ++x) {
                    const int i = img.RasterBits[y * img.ImageDesc.Width + x];
                    if (i == gcb.TransparentColor) continue;
                    const size_t at = static_cast<size_t>(img.ImageDesc.Top + y) * gif->SWidth + img.ImageDesc.Left + x;
                    index[at] = i;
                    colour[at] = map->Colors[i];
                }
        }
        // Past a picture's width: colour 0 once the screen is wider than it.
        const Picture& p = shown[k];
        const int covered = steps[k].width == steps[k].screenWidth ? p.width : gif->SWidth;
        int wrong = 0;
        for (int y = 0; y < kPictureHeight; ++y)
            for (int x = 0; x < covered; ++x) {
                const size_t at = static_cast<size_t>(y) * gif->SWidth + x;
                const int want = x < p.width ? p.pixels[(kPictureHeight - 1 - y) * p.width + x] : 0;
                const RgbQuad& q = p.palette[want];
                wrong += index[at] != want || colour[at].Red != q.rgbRed || colour[at].Green != q.rgbGreen ||
                         colour[at].Blue != q.rgbBlue;
            }
        EXPECT_EQ(wrong, 0) << "pixels wrong in picture " << k;
    }
}

// A write refused by the file size limit (SIGXFSZ ignored, as the window does)
// ends the recording with the reason and leaves every frame before it.
TEST(GifRecorderTest, AFailedWriteLeavesAValidGif)
{
    GifRecorder rec;
    const Result missing = rec.Open("/nonexistent/recording.gif");
    EXPECT_EQ(missing.status, Result::Status::kOpenFailed);
    EXPECT_NE(missing.reason.find(std::strerror(ENOENT)), std::string::npos) << missing.reason;

    const TempFile file;
    const std::string& path = file.path;
    ASSERT_TRUE(rec.Open(path).ok());
    constexpr rlim_t kLimit = 100000;
    Picture pic;
    pic.width = 800;
    Result r;
    int added = 0;
    Result after;
    {
        const testing::FileSizeLimit limit(kLimit);
        ASSERT_TRUE(limit.Set());
        for (; added < 20 && r.ok(); ++added) {
            if (added > 0) pic.Draw(200, 60, added);  // on a blank first picture
            r = rec.Add(pic.View(added == 0 ? 0 : 200, added == 0 ? kPictureHeight : 60), added);
        }
        after = rec.Add(pic.View(0, 0), 30.0);
    }

    EXPECT_EQ(r.status, Result::Status::kWriteFailed);
    EXPECT_NE(r.reason.find(std::strerror(EFBIG)), std::string::npos) << r.reason;
    EXPECT_EQ(after.status, Result::Status::kNotRecording);
    const Gif gif = ReadBack(path);
    ASSERT_TRUE(gif);
    EXPECT_GT(gif->ImageCount, 1);
    EXPECT_EQ(gif->ImageCount, added - 1);
    EXPECT_LE(std::filesystem::file_size(path), kLimit);
}

// The session's file: none until a picture is in it, none left when the first
// picture fails, an existing name refused unless replacing is asked for, and
// Finish's failure reported.
TEST(RecordingSessionTest, LeavesAFileOnlyWithAPictureInIt)
{
    const TempFile file;
    const std::string& path = file.path;
    Picture pic;
    {
        Session none(path, Existing::kRefuse);
        EXPECT_EQ(none.Finish(1.0).status, Result::Status::kNothingRecorded);
        EXPECT_FALSE(std::filesystem::exists(path));
        EXPECT_EQ(none.Add(pic.View(0, kPictureHeight), 2.0).status, Result::Status::kNotRecording);
        EXPECT_FALSE(std::filesystem::exists(path));
    }
    {
        // A picture the recorder refuses leaves no file; the next one starts it.
        Session session(path, Existing::kRefuse);
        Picture bad = pic;
        bad.width = 0;
        EXPECT_EQ(session.Add(bad.View(0, kPictureHeight), 1.0).status, Result::Status::kBadPicture);
        EXPECT_FALSE(std::filesystem::exists(path));
        ASSERT_TRUE(session.Add(pic.View(0, kPictureHeight), 2.0).ok());
        pic.Draw(0, 10, 1);
        ASSERT_TRUE(session.Add(pic.View(0, 10), 3.0).ok());
        ASSERT_TRUE(session.Finish(4.0).ok());
        const Gif gif = ReadBack(path);
        ASSERT_TRUE(gif);
        EXPECT_EQ(gif->ImageCount, 2);
    }
    const auto recorded = std::filesystem::file_size(path);
    {
        Session again(path, Existing::kRefuse);
        const Result r = again.Add(pic.View(0, kPictureHeight), 1.0);
        EXPECT_EQ(r.status, Result::Status::kExists);
        EXPECT_NE(r.reason.find(std::strerror(EEXIST)), std::string::npos) << r.reason;
        EXPECT_EQ(again.Add(pic.View(0, kPictureHeight), 2.0).status, Result::Status::kNotRecording);
        EXPECT_EQ(std::filesystem::file_size(path), recorded) << "the file there was touched";
        EXPECT_EQ(again.Finish(3.0).status, Result::Status::kNotRecording);
    }

    // A first picture the file cannot take: no file left, the recording over.
    Session replacing(path, Existing::kReplace);
    Result first, next;
    bool left = false;
    {
        const testing::FileSizeLimit tiny(100);
        ASSERT_TRUE(tiny.Set());
        first = replacing.Add(pic.View(0, kPictureHeight), 1.0);
        left = std::filesystem::exists(path);
        next = replacing.Add(pic.View(0, kPictureHeight), 2.0);
    }
    EXPECT_EQ(first.status, Result::Status::kWriteFailed);
    EXPECT_FALSE(left) << "an empty GIF left behind";
    EXPECT_EQ(next.status, Result::Status::kNotRecording);
    EXPECT_FALSE(std::filesystem::exists(path));

    // Finish cut short: a gap longer than one frame can say needs frames
    // the file has no room for.
    Session cut(path, Existing::kRefuse);
    ASSERT_TRUE(cut.Add(pic.View(0, kPictureHeight), 1.0).ok());
    Result finished;
    {
        const testing::FileSizeLimit full(static_cast<rlim_t>(std::filesystem::file_size(path)));
        ASSERT_TRUE(full.Set());
        finished = cut.Finish(1000.0);
    }
    EXPECT_EQ(finished.status, Result::Status::kWriteFailed);
    EXPECT_NE(finished.reason.find(std::strerror(EFBIG)), std::string::npos) << finished.reason;
    const Gif gif = ReadBack(path);
    ASSERT_TRUE(gif) << "the picture before the failure is lost";
    EXPECT_EQ(gif->ImageCount, 1);
}

}  // namespace
}  // namespace karvolen::record
