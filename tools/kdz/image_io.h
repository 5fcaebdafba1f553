// Pictures in and out for the kdz tool: decoded bitmaps written as BMP, PNG or PPM,
// and pictures read for the encoder from PNG, JPEG, WebP, PNM or BMP, the format
// found by the file's content. Readers work on the whole file in memory; writers on
// an open file, which the caller names, renames or sends to standard output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "kdz/kdz.h"

namespace kdz::imageio {

enum class Format { kBmp, kPng, kPpm };

// The format that a path's extension names (".bmp", ".png", ".ppm", any case);
// false for any other path.
bool FormatFromPath(const std::string& path, Format* format);
// The format a name ("bmp", "png", "ppm") stands for, and the extension of each.
bool FormatFromName(const std::string& name, Format* format);
const char* FormatExtension(Format format);

// Outcome of reading or writing one file: empty on success, else the reason
// (one line, without the file name).
struct [[nodiscard]] Status {
  std::string error;
  bool ok() const { return error.empty(); }
};

// Writers. Each takes a bitmap as the decoder delivers it (24-bit or 8-bit,
// bottom-up, rows padded to 4 bytes) and writes it to FILE, reporting the first
// write error.
//
// BMP: the bitmap as held (14-byte file header, the 40-byte info header, for 8-bit
// the 256-entry colour table, the padded rows bottom-up), except that biSizeImage
// states the size of the rows actually written.
// PNG and PPM: top row first, bytes 2, 1, 0 of a 24-bit pixel as red, green, blue.
// An 8-bit PNG is indexed with the colour table as its palette; an 8-bit PPM holds
// the palette colours of the indices.
Status WriteBmp(const Bitmap& bitmap, FILE* file);
Status WritePng(const Bitmap& bitmap, FILE* file);
Status WritePpm(const Bitmap& bitmap, FILE* file);
Status WriteImage(const Bitmap& bitmap, Format format, FILE* file);
// A 24-bit PPM of an RGB picture (rows top first), written as it is held.
Status WritePpm(const RgbImage& image, FILE* file);

// What a reader found besides the pixels.
struct ReadInfo {
  const char* format = "";    // "PNG", "JPEG", "WebP", "PNM", "BMP"
  bool alphaDropped = false;  // some pixel was less than fully opaque
};

// Reads a picture of any format below into 8-bit RGB, rows top first, choosing the
// reader by the first bytes. Pictures of more than maxPixels pixels are refused
// before their rows are allocated. An alpha channel is dropped.
Status ReadImage(const uint8_t* data, size_t size, RgbImage* out, ReadInfo* info,
                 uint64_t maxPixels = kDefaultMaxPixels);

// The readers themselves, for data already known to be of their format.
// PNG: any colour type and bit depth; a transparency chunk counts as alpha.
Status ReadPng(const uint8_t* data, size_t size, RgbImage* out, bool* alphaDropped, uint64_t maxPixels);
// JPEG: grey, YCbCr, RGB, CMYK and YCCK through libjpeg; a file cut short is refused.
Status ReadJpeg(const uint8_t* data, size_t size, RgbImage* out, uint64_t maxPixels);
// WebP: lossy and lossless still pictures through libwebp.
Status ReadWebp(const uint8_t* data, size_t size, RgbImage* out, bool* alphaDropped, uint64_t maxPixels);
// PNM: P1 to P6 (bitmap, grey, colour; text and binary), maxval up to 65535.
Status ReadPnm(const uint8_t* data, size_t size, RgbImage* out, uint64_t maxPixels);
// BMP: uncompressed or bit-field rows of 1, 4, 8, 16, 24 or 32 bits, either row order.
Status ReadBmp(const uint8_t* data, size_t size, RgbImage* out, bool* alphaDropped, uint64_t maxPixels);

// The reason every reader gives for a picture over the pixel limit.
std::string PixelLimitReason(uint64_t width, uint64_t height, uint64_t maxPixels);

}  // namespace kdz::imageio
