// The plug-in's buffer-size, compression-ratio and decode-time arithmetic, kept apart
// from the Windows code so that it is tested natively.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "codec/pipeline.h"

namespace kdz {
namespace plugin {

// The buffer sizes assumed before the first image has been peeked at.
constexpr int32_t kInitialImageBufferSize = 2000000;
constexpr int32_t kInitialFileBufferSize = 80000;
// Bitmap file header (14), information header (40) and colour table (1024) bytes that
// the image buffer size adds to width x height x 3.
constexpr int32_t kImageBufferExtra = 1078;

// width x height x 3 in the 32 bits that the image buffer size keeps. A picture size
// that is not positive counts as 0, so a header with a zero or negative side gives a
// block of only the 1078 extra bytes.
inline uint32_t PeekedImageSize(int32_t width, int32_t height) {
  if (width <= 0 || height <= 0) return 0;
  return static_cast<uint32_t>(static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 3u);
}

inline uint32_t ImageBufferSize(uint32_t peekedImageSize) {
  return peekedImageSize + static_cast<uint32_t>(kImageBufferExtra);
}

// The size of the bitmap block actually allocated: at least the image buffer size, and
// enough for the decoder's padded rows and work area when the picture size is known.
inline size_t BitmapAllocationSize(uint32_t imageBufferSize, int32_t width, int32_t height) {
  return std::max(static_cast<size_t>(imageBufferSize), BitmapBlockSize(width, height));
}

// Bitmap block size over file size, both unsigned 32-bit, in 64-bit floating point;
// 0 for an empty file.
inline double CompressionRatio(uint32_t imageBufferSize, uint32_t fileBufferSize) {
  if (fileBufferSize == 0) return 0.0;
  return static_cast<double>(imageBufferSize) / static_cast<double>(fileBufferSize);
}

// Seconds between two time stamps of whole seconds and milliseconds, evaluated in this
// order so that the result matches the stamps' own rounding.
inline double DecodeTime(int64_t seconds1, int32_t millis1, int64_t seconds2, int32_t millis2) {
  return (millis2 * 0.001 - millis1 * 0.001) - static_cast<double>(seconds1) +
         static_cast<double>(seconds2);
}

}  // namespace plugin
}  // namespace kdz
