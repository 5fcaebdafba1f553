// The compression ratio that the information box shows: the size of the image buffer
// that a picture fills (its 24-bit pixels plus the bitmap file header, information
// header and colour table) over the size of the file it came from. The plug-in and the
// web viewer compute it with these functions.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kdz {

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

// Image buffer size over file size, both unsigned 32-bit, in 64-bit floating point;
// 0 for an empty file.
inline double CompressionRatio(uint32_t imageBufferSize, uint32_t fileBufferSize) {
  if (fileBufferSize == 0) return 0.0;
  return static_cast<double>(imageBufferSize) / static_cast<double>(fileBufferSize);
}

// The ratio for a decoded picture of width x height from a file of fileSize bytes.
inline double PictureCompressionRatio(size_t fileSize, int32_t width, int32_t height) {
  return CompressionRatio(ImageBufferSize(PeekedImageSize(width, height)),
                          static_cast<uint32_t>(fileSize));
}

}  // namespace kdz
