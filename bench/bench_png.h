// Reading a PNG picture as RGB rows, for the benchmarks that code the shared pictures.
#pragma once

#include <png.h>

#include <string>

#include "kdz/kdz.h"

namespace kdz {

// False, with `img` of no use, when the file cannot be read as a PNG picture.
inline bool ReadPngRgb(const std::string& path, RgbImage* img) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
  image.format = PNG_FORMAT_RGB;
  img->width = static_cast<int>(image.width);
  img->height = static_cast<int>(image.height);
  img->rgb.resize(PNG_IMAGE_SIZE(image));
  if (png_image_finish_read(&image, nullptr, img->rgb.data(), 0, nullptr)) return true;
  png_image_free(&image);
  return false;
}

}  // namespace kdz
