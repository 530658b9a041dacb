#include "gif_recorder.h"

#include <fcntl.h>
#include <gif_lib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

namespace karvolen::record {

namespace {

constexpr int kMaxDelay = 0xFFFF;     // centiseconds one frame can last
constexpr int kScreenWidthAt = 6;     // the logical screen's width in the header
constexpr int kDelayInExtension = 4;  // after 0x21 0xF9, the size and the flags
constexpr uint8_t kTrailer = 0x3B;
constexpr int kColourBits = 8;
constexpr int kMaxWidth = 0xFFFF;

using Status = Result::Status;

bool SameColours(Palette a, Palette b)
{
    return std::equal(a.begin(), a.end(), b.begin(), [](const RgbQuad& x, const RgbQuad& y) {
        return x.rgbRed == y.rgbRed && x.rgbGreen == y.rgbGreen && x.rgbBlue == y.rgbBlue;
    });
}

// Writes all of `bytes` at `offset`; false with errno set when the file takes
// fewer.
bool WriteAt(int fd, const uint8_t* bytes, size_t n, int64_t offset)
{
    while (n > 0) {
        const ssize_t done = pwrite(fd, bytes, n, static_cast<off_t>(offset));
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) {
            if (done == 0) errno = EIO;
            return false;
        }
        bytes += done;
        n -= static_cast<size_t>(done);
        offset += done;
    }
    return true;
}

bool Write16At(int fd, int value, int64_t offset)
{
    const uint8_t bytes[2] = {static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>(value >> 8)};
    return WriteAt(fd, bytes, sizeof bytes, offset);
}

Result Refused(const char* why) { return {Status::kBadPicture, why}; }

Result NotRecording() { return {Status::kNotRecording, "No recording is open"}; }

Result WriteError()
{
    return {Status::kWriteFailed, std::string("Cannot write the recording: ") + std::strerror(errno)};
}

Result Check(const ShownPicture& f)
{
    if (f.width <= 0 || f.width > kMaxWidth) return Refused("The picture's width is out of range");
    if (f.pixels.size() < static_cast<size_t>(f.width) * kPictureHeight)
        return Refused("The picture has too few pixels");
    if (f.firstRow < 0 || f.rowCount < 0 || f.firstRow + f.rowCount > kPictureHeight) {
        return Refused("The changed rows lie outside the picture");
    }
    return {};
}

struct CloseGif {
    void operator()(GifFileType* gif) const { EGifCloseFile(gif, nullptr); }
};
struct FreeMap {
    void operator()(ColorMapObject* map) const { GifFreeMapObject(map); }
};

}  // namespace

// One open recording. giflib's output is collected in pending_ and reaches
// the file in one piece behind the trailer (see Commit).
struct GifRecorder::Recording {
    int fd = -1;
    std::vector<uint8_t> pending;                // outlives gif, whose closing writes a trailer into it
    std::unique_ptr<GifFileType, CloseGif> gif;  // from the first picture on
    std::unique_ptr<ColorMapObject, FreeMap> map{GifMakeMapObject(wire::kColourCount, nullptr)};
    std::vector<GifPixelType> row;  // giflib's line input is not const
    std::vector<uint8_t> shown;     // the picture the file ends with, as given
    std::array<RgbQuad, wire::kColourCount> globalPalette{};
    std::array<RgbQuad, wire::kColourCount> lastPalette{};
    int lastWidth = 0;
    int screenWidth = 0;
    double startSeconds = 0.0;
    int64_t seenCs = 0;           // the latest picture's time, from the first
    int64_t lastFrameCs = 0;      // when the last frame began
    int64_t lastDelayAt = 0;      // file offset of its delay
    int64_t pendingDelayAt = -1;  // offset in pending of the last delay there
    int64_t end = 0;              // file offset of the trailer

    ~Recording()
    {
        if (fd >= 0) close(fd);
    }

    static int Collect(GifFileType* gif, const GifByteType* bytes, int n)
    {
        auto* pending = static_cast<std::vector<uint8_t>*>(gif->UserData);
        pending->insert(pending->end(), bytes, bytes + n);
        return n;
    }

    Result Encoding() const
    {
        return {Status::kWriteFailed, std::string("Cannot encode the recording: ") + GifErrorString(gif->Error)};
    }

    const ColorMapObject* Colours(Palette palette)
    {
        std::transform(palette.begin(), palette.end(), map->Colors, [](const RgbQuad& q) {
            return GifColorType{q.rgbRed, q.rgbGreen, q.rgbBlue};
        });
        return map.get();
    }

    // `seconds` from the first picture, never before a time seen already.
    int64_t Centiseconds(double seconds)
    {
        seenCs = std::max(seenCs, static_cast<int64_t>(std::llround((seconds - startSeconds) * 100.0)));
        return seenCs;
    }

    // The file's start: the first picture's size and colours, looping forever.
    bool PutHeader(const ShownPicture& f)
    {
        int error = 0;
        gif.reset(EGifOpen(&pending, Collect, &error));
        if (!gif) return false;
        EGifSetGifVersion(gif.get(), true);
        static constexpr uint8_t kLoop[] = {1, 0, 0};  // sub-block 1: repeat count 0, forever
        return EGifPutScreenDesc(gif.get(), f.width, kPictureHeight, kColourBits, 0, Colours(f.palette)) != GIF_ERROR &&
               EGifPutExtensionLeader(gif.get(), APPLICATION_EXT_FUNC_CODE) != GIF_ERROR &&
               EGifPutExtensionBlock(gif.get(), 11, "NETSCAPE2.0") != GIF_ERROR &&
               EGifPutExtensionBlock(gif.get(), sizeof kLoop, kLoop) != GIF_ERROR &&
               EGifPutExtensionTrailer(gif.get()) != GIF_ERROR;
    }

    // An image descriptor, with its own colours or none.
    bool PutImage(int left, int top, int width, int height, const ColorMapObject* colours)
    {
        // giflib drops the table of the image before without freeing it when
        // this one has none.
        if (!colours && gif->Image.ColorMap) {
            GifFreeMapObject(gif->Image.ColorMap);
            gif->Image.ColorMap = nullptr;
        }
        return EGifPutImageDesc(gif.get(), left, top, width, height, false, colours) != GIF_ERROR;
    }

    // A frame's control block: lasting `delay`, left in place after it, with
    // a see-through colour or NO_TRANSPARENT_COLOR.
    bool PutControl(int delay, int seeThrough)
    {
        GraphicsControlBlock gcb{};
        gcb.DisposalMode = DISPOSE_DO_NOT;
        gcb.DelayTime = delay;
        gcb.TransparentColor = seeThrough;
        GifByteType bytes[4];
        EGifGCBToExtension(&gcb, bytes);
        pendingDelayAt = static_cast<int64_t>(pending.size()) + kDelayInExtension;
        return EGifPutExtension(gif.get(), GRAPHICS_EXT_FUNC_CODE, sizeof bytes, bytes) != GIF_ERROR;
    }

    // The rectangle of `f` from column `left` and row `top` (from the top),
    // with its own colours unless they are the global ones. Columns past the
    // picture's width are colour 0; pixels equal to `shown`'s are `seeThrough`
    // unless that is NO_TRANSPARENT_COLOR. Delay 0 until the next picture.
    bool PutFrame(const ShownPicture& f, int left, int top, int width, int height, int seeThrough)
    {
        const bool own = !SameColours(f.palette, globalPalette);
        if (!PutControl(0, seeThrough) || !PutImage(left, top, width, height, own ? Colours(f.palette) : nullptr)) {
            return false;
        }
        row.assign(static_cast<size_t>(width), 0);
        const int copied = std::min(width, f.width - left);
        for (int y = top; y < top + height; ++y) {
            const size_t at = static_cast<size_t>(kPictureHeight - 1 - y) * static_cast<size_t>(f.width) + left;
            for (int x = 0; x < copied; ++x) {
                const uint8_t now = f.pixels[at + x];
                row[x] = seeThrough != NO_TRANSPARENT_COLOR && now == shown[at + x] ? seeThrough : now;
            }
            if (EGifPutLine(gif.get(), row.data(), width) == GIF_ERROR) return false;
        }
        return true;
    }

    struct Change {
        int left, top, width, height, seeThrough;
    };

    // A line delta's frame: the smallest rectangle holding the band's changed
    // pixels, the unchanged ones inside it see-through when the changed ones
    // leave a colour index free. None when nothing changed.
    std::optional<Change> FindChange(const ShownPicture& f) const
    {
        int first = kPictureHeight, last = -1, left = f.width, right = -1;
        std::array<bool, wire::kColourCount> used{};
        for (int r = f.firstRow; r < f.firstRow + f.rowCount; ++r) {
            const size_t at = static_cast<size_t>(r) * static_cast<size_t>(f.width);
            if (std::equal(shown.begin() + at, shown.begin() + at + f.width, f.pixels.begin() + at)) continue;
            first = std::min(first, r);
            last = r;
            for (int x = 0; x < f.width; ++x) {
                if (f.pixels[at + x] == shown[at + x]) continue;
                used[f.pixels[at + x]] = true;
                left = std::min(left, x);
                right = std::max(right, x);
            }
        }
        if (last < 0) return std::nullopt;
        const auto free = std::find(used.begin(), used.end(), false);
        const int seeThrough = free == used.end() ? NO_TRANSPARENT_COLOR : static_cast<int>(free - used.begin());
        return Change{left, kPictureHeight - 1 - last, right - left + 1, last - first + 1, seeThrough};
    }

    // Lets the last frame last until `nowCs`; what one delay cannot say is
    // said by 1 x 1 frames that change nothing (their pixel is see-through),
    // left in pending for the next Commit.
    Result Extend(int64_t nowCs)
    {
        int64_t gap = nowCs - lastFrameCs;
        if (!Write16At(fd, static_cast<int>(std::min<int64_t>(gap, kMaxDelay)), lastDelayAt)) return WriteFailed();
        for (; gap > kMaxDelay; gap -= kMaxDelay) {
            lastFrameCs += kMaxDelay;
            GifPixelType pixel = 0;
            if (!PutControl(static_cast<int>(std::min<int64_t>(gap - kMaxDelay, kMaxDelay)), 0) ||
                !PutImage(0, 0, 1, 1, nullptr) || EGifPutLine(gif.get(), &pixel, 1) == GIF_ERROR) {
                return Encoding();
            }
        }
        return {};
    }

    // Puts pending and a trailer behind the trailer in the file, then makes
    // them part of it by overwriting the old trailer with pending's first
    // byte: until that one-byte write the file reads as it did.
    Result Commit()
    {
        if (pending.empty()) return {};
        pending.push_back(kTrailer);
        if (!WriteAt(fd, pending.data() + 1, pending.size() - 1, end + 1) || !WriteAt(fd, pending.data(), 1, end)) {
            return WriteFailed();
        }
        lastDelayAt = end + pendingDelayAt;
        end += static_cast<int64_t>(pending.size()) - 1;
        pending.clear();
        return {};
    }

    // errno's reason; whatever went past the trailer is cut off again.
    Result WriteFailed() const
    {
        Result r = WriteError();
        if (ftruncate(fd, end > 0 ? end + 1 : 0) != 0) {
            r.reason += std::string("; cannot cut the unfinished frame off: ") + std::strerror(errno);
        }
        return r;
    }

    Result Add(const ShownPicture& f, double seconds)
    {
        const bool first = !gif;
        if (first) startSeconds = seconds;
        const int64_t nowCs = Centiseconds(seconds);
        const bool whole = first || f.width != lastWidth || !SameColours(f.palette, lastPalette);
        Result r = first ? Result{} : Extend(nowCs);
        if (!r.ok()) return r;
        if (!whole) {
            const std::optional<Change> c = FindChange(f);
            if (!c) return Commit();  // the frame before lasts on
            if (!PutFrame(f, c->left, c->top, c->width, c->height, c->seeThrough)) return Encoding();
        } else {
            if (first) {
                std::copy(f.palette.begin(), f.palette.end(), globalPalette.begin());
                screenWidth = f.width;
                if (!PutHeader(f))
                    return gif ? Encoding() : Result{Status::kWriteFailed, "Cannot start the GIF encoder"};
            } else if (f.width > screenWidth) {
                screenWidth = f.width;
                if (!Write16At(fd, screenWidth, kScreenWidthAt)) return WriteFailed();
            }
            if (!PutFrame(f, 0, 0, std::max(f.width, screenWidth), kPictureHeight, NO_TRANSPARENT_COLOR)) {
                return Encoding();
            }
        }
        if (r = Commit(); !r.ok()) return r;
        lastFrameCs = nowCs;
        lastWidth = f.width;
        shown.assign(f.pixels.begin(), f.pixels.begin() + static_cast<ptrdiff_t>(f.width) * kPictureHeight);
        std::copy(f.palette.begin(), f.palette.end(), lastPalette.begin());
        return {};
    }
};

GifRecorder::GifRecorder() = default;
GifRecorder::~GifRecorder() = default;

Result GifRecorder::Open(const std::string& path, Existing existing)
{
    rec_.reset();
    auto rec = std::make_unique<Recording>();
    const int how = existing == Existing::kReplace ? O_TRUNC : O_EXCL;
    rec->fd = open(path.c_str(), O_WRONLY | O_CREAT | how | O_CLOEXEC, 0666);
    if (rec->fd < 0) {
        const std::string why = std::string("Cannot create the recording: ") + std::strerror(errno);
        return {errno == EEXIST ? Status::kExists : Status::kOpenFailed, why};
    }
    rec_ = std::move(rec);
    return {};
}

Result GifRecorder::Add(const ShownPicture& frame, double seconds)
{
    if (!rec_) return NotRecording();
    if (Result r = Check(frame); !r.ok()) return r;
    Result r = rec_->Add(frame, seconds);
    if (r.status == Status::kWriteFailed) rec_.reset();
    return r;
}

Result GifRecorder::Finish(double seconds)
{
    if (!rec_) return NotRecording();
    const auto rec = std::move(rec_);
    if (!rec->gif) return {Status::kNothingRecorded, kNothingRecordedReason};
    if (Result r = rec->Extend(rec->Centiseconds(seconds)); !r.ok()) return r;
    if (Result r = rec->Commit(); !r.ok()) return r;
    return close(std::exchange(rec->fd, -1)) == 0 ? Result{} : WriteError();
}

}  // namespace karvolen::record
