#include "picture_file.h"

#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>

namespace karvolen::picture {

namespace {

using wire::kColourCount;
using wire::kPictureHeight;

constexpr int kMaxWidth = 0xFFFF;

bool Fits(const ShownPicture& p)
{
    return p.width > 0 && p.width <= kMaxWidth &&
           p.pixels.size() >= static_cast<size_t>(p.width) * static_cast<size_t>(kPictureHeight);
}

// libpng's output, into a buffer sized for the worst case beforehand: its
// callbacks must not throw.
struct PngOutput {
    uint8_t* data;
    size_t size;
    size_t used = 0;
};

void Append(png_structp png, png_bytep bytes, size_t n)
{
    auto* out = static_cast<PngOutput*>(png_get_io_ptr(png));
    if (n > out->size - out->used) png_error(png, "the encoded picture outgrew its bound");
    std::memcpy(out->data + out->used, bytes, n);
    out->used += n;
}

// Only IHDR, PLTE, IDAT and IEND: no gamma or colour space chunk, so readers
// take the colours as they are. libpng reports errors by longjmp to here:
// nothing in this function has a destructor.
bool WritePng(const ShownPicture& p, const png_color* colours, PngOutput& out)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (png == nullptr) return false;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, &out, Append, nullptr);
    png_set_IHDR(png, info, static_cast<png_uint_32>(p.width), kPictureHeight, 8, PNG_COLOR_TYPE_PALETTE,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_PLTE(png, info, colours, kColourCount);
    png_write_info(png, info);
    // The pixels hold the bottom row first.
    for (int y = kPictureHeight - 1; y >= 0; --y) {
        png_write_row(png, p.pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(p.width));
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

std::vector<uint8_t> EncodePng(const ShownPicture& p)
{
    std::array<png_color, kColourCount> colours{};
    std::transform(p.palette.begin(), p.palette.end(), colours.begin(), [](const RgbQuad& q) {
        return png_color{q.rgbRed, q.rgbGreen, q.rgbBlue};
    });
    png_image bound{};
    bound.width = static_cast<png_uint_32>(p.width);
    bound.height = kPictureHeight;
    bound.format = PNG_FORMAT_RGB_COLORMAP;
    bound.colormap_entries = kColourCount;
    std::vector<uint8_t> bytes(PNG_IMAGE_PNG_SIZE_MAX(bound));
    PngOutput out{bytes.data(), bytes.size()};
    if (!WritePng(p, colours.data(), out)) return {};
    bytes.resize(out.used);
    return bytes;
}

void PutLe(std::vector<uint8_t>& out, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

// The header and colour table the reply carries, then the rows bottom-up as
// the pixels hold them, each padded to four bytes.
std::vector<uint8_t> EncodeBmp(const ShownPicture& p)
{
    const size_t stride = (static_cast<size_t>(p.width) + 3) & ~size_t{3};
    BitmapInfoHeader h;
    InitFrameInfo(h);
    h.biWidth = p.width;
    h.biSizeImage = static_cast<uint32_t>(stride * kPictureHeight);

    std::vector<uint8_t> out;
    out.reserve(wire::kPixelOffset + h.biSizeImage);
    out.insert(out.end(), std::begin(wire::kSignature), std::end(wire::kSignature));
    PutLe(out, wire::kPixelOffset + h.biSizeImage, 4);
    PutLe(out, 0, 4);  // reserved
    PutLe(out, wire::kPixelOffset, 4);
    PutLe(out, h.biSize, 4);
    PutLe(out, static_cast<uint32_t>(h.biWidth), 4);
    PutLe(out, static_cast<uint32_t>(h.biHeight), 4);
    PutLe(out, h.biPlanes, 2);
    PutLe(out, h.biBitCount, 2);
    PutLe(out, h.biCompression, 4);
    PutLe(out, h.biSizeImage, 4);
    PutLe(out, static_cast<uint32_t>(h.biXPelsPerMeter), 4);
    PutLe(out, static_cast<uint32_t>(h.biYPelsPerMeter), 4);
    PutLe(out, h.biClrUsed, 4);
    PutLe(out, h.biClrImportant, 4);
    for (const RgbQuad& q : p.palette) {
        out.insert(out.end(), {q.rgbBlue, q.rgbGreen, q.rgbRed, 0});
    }
    for (int y = 0; y < kPictureHeight; ++y) {
        const auto row = p.pixels.begin() + static_cast<ptrdiff_t>(y) * p.width;
        out.insert(out.end(), row, row + p.width);
        out.resize(out.size() + stride - static_cast<size_t>(p.width), 0);
    }
    return out;
}

// Writes all of `bytes`; false with errno set when the file takes fewer.
bool WriteAll(int fd, const std::vector<uint8_t>& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// A new file beside `path`, so that putting it in place is a rename within
// one file system; created exclusively, with the mode a new file gets.
int CreateBeside(const std::string& path, std::string& temp)
{
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    // Shortened: the temporary name must fit where the final one does.
    const std::string base = path.substr(folder.size(), 200);
    for (int attempt = 0;; ++attempt) {
        temp = folder + '.' + base + '.' + std::to_string(getpid()) + '-' + std::to_string(attempt) + ".tmp";
        const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST || attempt == 100) return fd;
    }
}

// Moves `temp` to `path`; an existing `path` is replaced only with `overwrite`.
bool PutInPlace(const std::string& temp, const std::string& path, bool overwrite)
{
    if (overwrite) return rename(temp.c_str(), path.c_str()) == 0;
    if (renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) return true;
    // NFS has no such rename, but a link is refused by an existing name as well.
    if (errno != EINVAL) return false;
    if (link(temp.c_str(), path.c_str()) != 0) return false;
    unlink(temp.c_str());
    return true;
}

}  // namespace

std::optional<Format> FormatOf(const std::string& path)
{
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return std::nullopt;
    std::string suffix = path.substr(dot + 1);
    std::transform(suffix.begin(), suffix.end(), suffix.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (suffix == "png") return Format::kPng;
    if (suffix == "bmp") return Format::kBmp;
    return std::nullopt;
}

std::vector<uint8_t> Encode(const ShownPicture& picture, Format format)
{
    if (!Fits(picture)) return {};
    return format == Format::kPng ? EncodePng(picture) : EncodeBmp(picture);
}

std::string WriteFile(const ShownPicture& picture, const std::string& path, Format format, bool overwrite)
{
    const std::vector<uint8_t> bytes = Encode(picture, format);
    if (bytes.empty()) return kBadPicture;
    std::string temp;
    const int fd = CreateBeside(path, temp);
    if (fd < 0) return std::strerror(errno);
    // A write refused only at the sync or the close (a full disk, a quota,
    // NFS) fails the save as well: it would put a cut file in place.
    bool ok = WriteAll(fd, bytes) && fsync(fd) == 0;
    int err = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && PutInPlace(temp, path, overwrite)) return {};
    if (ok) err = errno;
    unlink(temp.c_str());
    return std::strerror(err);
}

std::string WriteTo(int fd, const ShownPicture& picture, Format format)
{
    const std::vector<uint8_t> bytes = Encode(picture, format);
    if (bytes.empty()) return kBadPicture;
    return WriteAll(fd, bytes) ? std::string() : std::strerror(errno);
}

std::string SuggestedPath(const std::string& folder, std::time_t when, const std::string& suffix)
{
    std::tm local{};
    localtime_r(&when, &local);
    char stem[64];
    std::strftime(stem, sizeof stem, "quellbar-%Y-%m-%d-%H%M%S", &local);
    const std::string prefix = folder.empty() || folder.back() == '/' ? folder + stem : folder + '/' + stem;
    std::string path = prefix + '.' + suffix;
    struct stat there {};
    for (int n = 2; lstat(path.c_str(), &there) == 0; ++n) {
        path = prefix + '-' + std::to_string(n) + '.' + suffix;
    }
    return path;
}

}  // namespace karvolen::picture
