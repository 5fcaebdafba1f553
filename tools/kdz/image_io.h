// Files for the kdz tool: decoded bitmaps out as BMP, PNG or PPM, PNG pictures in,
// and the bytes of an encoded file out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kdz/kdz.h"

namespace kdz::imageio {

enum class Format { kBmp, kPng, kPpm };

// The format that a path's extension names (".bmp", ".png", ".ppm", any case);
// false for any other path.
bool FormatFromPath(const std::string& path, Format* format);

// Outcome of reading or writing one file: empty on success, else the reason
// (one line, without the file name).
struct [[nodiscard]] Status {
  std::string error;
  bool ok() const { return error.empty(); }
};

// Writers. Each takes a bitmap as the decoder delivers it (24-bit or 8-bit,
// bottom-up, rows padded to 4 bytes) and writes PATH.tmp, then renames it to PATH,
// so that a failure leaves PATH as it was and no PATH.tmp behind.
//
// BMP: the bitmap as held (14-byte file header, the 40-byte info header, for 8-bit
// the 256-entry colour table, the padded rows bottom-up), except that biSizeImage
// states the size of the rows actually written.
// PNG and PPM: top row first, bytes 2, 1, 0 of a 24-bit pixel as red, green, blue.
// An 8-bit PNG is indexed with the colour table as its palette; an 8-bit PPM holds
// the palette colours of the indices.
Status WriteBmp(const Bitmap& bitmap, const std::string& path);
Status WritePng(const Bitmap& bitmap, const std::string& path);
Status WritePpm(const Bitmap& bitmap, const std::string& path);
Status WriteImage(const Bitmap& bitmap, Format format, const std::string& path);

// Writes bytes to PATH the same way (PATH.tmp, then a rename).
Status WriteBytes(const std::vector<uint8_t>& bytes, const std::string& path);

// Reads a PNG of any colour type and bit depth into 8-bit RGB, rows top first.
// An alpha channel (or a transparency chunk) is dropped; *alphaDropped tells
// whether any pixel was less than fully opaque. Pictures of more than maxPixels
// pixels are refused before their rows are allocated.
Status ReadPng(const std::string& path, RgbImage* out, bool* alphaDropped,
               uint64_t maxPixels = kDefaultMaxPixels);

}  // namespace kdz::imageio
