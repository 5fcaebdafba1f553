// The WebP reader of the kdz tool (libwebp): still pictures, lossy or lossless.
#include <webp/decode.h>

#include <vector>

#include "tools/kdz/image_io.h"

namespace kdz::imageio {

Status ReadWebp(const uint8_t* data, size_t size, RgbImage* out, bool* alphaDropped, uint64_t maxPixels) {
  *out = RgbImage{};
  *alphaDropped = false;
  WebPBitstreamFeatures features;
  const VP8StatusCode got = WebPGetFeatures(data, size, &features);
  if (got == VP8_STATUS_NOT_ENOUGH_DATA) return {"truncated WebP file"};
  if (got != VP8_STATUS_OK) return {"malformed WebP file"};
  if (features.has_animation) return {"animated WebP files are not read (a still picture is needed)"};
  if (features.width <= 0 || features.height <= 0) return {"WebP picture has no pixels"};
  const size_t w = static_cast<size_t>(features.width), h = static_cast<size_t>(features.height);
  if (static_cast<uint64_t>(w) * h > maxPixels) return {PixelLimitReason(w, h, maxPixels)};

  const size_t channels = features.has_alpha ? 4 : 3;
  std::vector<uint8_t> pixels(w * h * channels);
  const int stride = static_cast<int>(w * channels);
  const uint8_t* done = features.has_alpha
                            ? WebPDecodeRGBAInto(data, size, pixels.data(), pixels.size(), stride)
                            : WebPDecodeRGBInto(data, size, pixels.data(), pixels.size(), stride);
  if (!done) return {"WebP picture cannot be decoded (damaged or truncated)"};
  if (features.has_alpha) {
    std::vector<uint8_t> rgb(w * h * 3);
    bool translucent = false;
    for (size_t i = 0; i < w * h; ++i) {
      rgb[3 * i] = pixels[4 * i];
      rgb[3 * i + 1] = pixels[4 * i + 1];
      rgb[3 * i + 2] = pixels[4 * i + 2];
      translucent |= pixels[4 * i + 3] != 0xFF;
    }
    *alphaDropped = translucent;
    pixels.swap(rgb);
  }
  out->width = static_cast<int>(w);
  out->height = static_cast<int>(h);
  out->rgb = std::move(pixels);
  return {};
}

}  // namespace kdz::imageio
