// The Quellbar's side of a screen reply: BMP stream building and LineDelta encoding.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "screen.h"

namespace quellbar {

// Row-wise change encoding of `cur` against `prev` (both kRows x width, bottom row
// first). Unchanged rows are one 0x00 byte; a changed row is rewritten whole in
// groups (literal count, literals, run count), emitting exactly `width` pixels.
std::vector<uint8_t> EncodeLineDelta(const uint8_t* prev, const uint8_t* cur, int width, int rows = kRows);

// A BMP stream: 14-byte file header, 40-byte info header, 256-entry colour table
// at offset 54, bfOffBits 1078, then `pixelData` as given (whole or LineDelta).
std::vector<uint8_t> BuildBmp(const Screen& screen, const std::vector<uint8_t>& pixelData);

// The reply on the wire: 4-byte big-endian length, then the BMP stream.
std::vector<uint8_t> BuildReply(const std::vector<uint8_t>& bmp);
// The screen as a binary PPM (P6), top row first: what the device dumps.
std::string EncodePpm(const Screen& screen);

}  // namespace quellbar
