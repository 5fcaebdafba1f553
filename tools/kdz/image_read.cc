// Picks the reader for a picture by its first bytes, never by its name.
#include <cstring>

#include "tools/kdz/image_io.h"

namespace kdz::imageio {

std::string PixelLimitReason(uint64_t width, uint64_t height, uint64_t maxPixels) {
  return "picture of " + std::to_string(width) + " x " + std::to_string(height) +
         " pixels exceeds the limit of " + std::to_string(maxPixels) + " pixels";
}

Status ReadImage(const uint8_t* data, size_t size, RgbImage* out, ReadInfo* info, uint64_t maxPixels) {
  *out = RgbImage{};
  *info = ReadInfo{};
  auto starts = [&](const char* magic, size_t at = 0) {
    const size_t n = std::strlen(magic);
    return size >= at + n && std::memcmp(data + at, magic, n) == 0;
  };
  if (size == 0) return {"the file is empty"};
  if (starts("\x89PNG\r\n\x1a\n")) {
    info->format = "PNG";
    return ReadPng(data, size, out, &info->alphaDropped, maxPixels);
  }
  if (starts("\xFF\xD8\xFF")) {
    info->format = "JPEG";
    return ReadJpeg(data, size, out, maxPixels);
  }
  if (starts("RIFF") && starts("WEBP", 8)) {
    info->format = "WebP";
    return ReadWebp(data, size, out, &info->alphaDropped, maxPixels);
  }
  if (size >= 2 && data[0] == 'P' && data[1] >= '1' && data[1] <= '6') {
    info->format = "PNM";
    return ReadPnm(data, size, out, maxPixels);
  }
  if (starts("BM")) {
    info->format = "BMP";
    return ReadBmp(data, size, out, &info->alphaDropped, maxPixels);
  }
  if (starts("QEM")) return {"is a KDZ file already (decode reads it)"};
  return {"not a PNG, JPEG, WebP, PNM or BMP picture"};
}

}  // namespace kdz::imageio
