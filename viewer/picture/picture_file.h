// The picture the user keeps, as a file: 8-bit palette PNG or BMP with the
// instrument's own 256 colours, top row first, written whole or not at all.
// No Qt: the window and the command-line capture write the same bytes.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "shown_picture.h"

namespace karvolen::picture {

enum class Format { kPng, kBmp };

// The format a file name asks for by its suffix, case-insensitive: ".png" or
// ".bmp". Any other suffix, or none: nullopt.
std::optional<Format> FormatOf(const std::string& path);

// Why a name FormatOf has no format for is refused.
inline constexpr char kUnknownFormat[] = "Only PNG and BMP pictures are written";

// The file's bytes. Empty when the picture does not fit its description
// (width not positive or over 65535, fewer pixels than width x
// kPictureHeight) or libpng cannot encode it.
std::vector<uint8_t> Encode(const ShownPicture& picture, Format format);

// Writes `picture` to `path` in `format`, whole or not at all: into a new
// file in the same folder, synced, then put in place under `path`. Without
// `overwrite` an existing file of that name is never replaced, not even one
// created while this writes ("File exists"); with it, the old file stays as
// it was until the new one replaces it in one step. Whatever fails, no
// temporary file is left. Returns why it failed (strerror's text, or
// kBadPicture), empty on success.
std::string WriteFile(const ShownPicture& picture, const std::string& path, Format format, bool overwrite);

// Writes `picture` in `format` to the open `fd` (standard output, a pipe).
// Returns why it failed, empty on success; after a failure the reader may
// have received a part.
std::string WriteTo(int fd, const ShownPicture& picture, Format format);

// Why WriteFile and WriteTo refuse a picture Encode gives no bytes for.
inline constexpr char kBadPicture[] = "The picture cannot be encoded";

// "quellbar-YYYY-MM-DD-HHMMSS.<suffix>" in `folder` (local time of `when`),
// made unique with "-2", "-3", ... against names that are there already. An
// empty folder: the name alone.
std::string SuggestedPath(const std::string& folder, std::time_t when, const std::string& suffix = "png");

}  // namespace karvolen::picture
