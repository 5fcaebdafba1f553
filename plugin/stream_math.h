// The plug-in's buffer-size and decode-time arithmetic, kept apart from the Windows
// code so that it is tested natively; the compression ratio is the viewer's.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "codec/pipeline.h"
#include "viewer/compression_ratio.h"

namespace kdz {
namespace plugin {

// The buffer sizes assumed before the first image has been peeked at.
constexpr int32_t kInitialImageBufferSize = 2000000;
constexpr int32_t kInitialFileBufferSize = 80000;
// The image buffer size and the compression ratio are shared with the web viewer.
using kdz::CompressionRatio;
using kdz::ImageBufferSize;
using kdz::kImageBufferExtra;
using kdz::PeekedImageSize;

// The size of the bitmap block actually allocated: at least the image buffer size, and
// enough for the decoder's padded rows and work area when the picture size is known.
inline size_t BitmapAllocationSize(uint32_t imageBufferSize, int32_t width, int32_t height) {
  return std::max(static_cast<size_t>(imageBufferSize), BitmapBlockSize(width, height));
}

// Seconds between two time stamps of whole seconds and milliseconds, evaluated in this
// order so that the result matches the stamps' own rounding.
inline double DecodeTime(int64_t seconds1, int32_t millis1, int64_t seconds2, int32_t millis2) {
  return (millis2 * 0.001 - millis1 * 0.001) - static_cast<double>(seconds1) +
         static_cast<double>(seconds2);
}

}  // namespace plugin
}  // namespace kdz
