// Fuzz target: the encoder round trip. A small picture and encoder options within
// their documented ranges come from the input; every file made must pass the
// decoder's header checks, stay below 80000 bytes (and within a target size), and
// decode to a picture of the same size.
//
// Input record: width-1, height-1 (0..63 each), quality-1 (0..99), levels+1
// (0..11, so -1..10), a 16-bit target size whose top bit switches it on, a fill mode
// (raw bytes, gradients, 8 x 8 blocks, flat), then the bytes the fill draws on.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kdz/encoder.h"
#include "kdz/kdz.h"

namespace {

struct Record {
  const uint8_t* data;
  size_t size;
  size_t pos = 0;
  uint8_t Byte() { return pos < size ? data[pos++] : 0; }
};

uint8_t Clamp(int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

void Fill(kdz::RgbImage* img, int mode, const uint8_t* bytes, size_t n) {
  const int w = img->width, h = img->height;
  auto at = [&](size_t i) -> int { return n == 0 ? 128 : bytes[i % n]; };
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      uint8_t* px = img->rgb.data() + (static_cast<size_t>(y) * w + x) * 3;
      for (int c = 0; c < 3; ++c) {
        const size_t k = static_cast<size_t>(c);
        switch (mode) {
          case 0:  // the bytes themselves, cyclically
            px[c] = static_cast<uint8_t>(at((static_cast<size_t>(y) * w + x) * 3 + k));
            break;
          case 1:  // a base value and signed slopes per channel
            px[c] = Clamp(at(3 * k) + static_cast<int8_t>(at(3 * k + 1)) * x / 8 +
                          static_cast<int8_t>(at(3 * k + 2)) * y / 8);
            break;
          case 2:  // 8 x 8 blocks of colour
            px[c] = static_cast<uint8_t>(at((static_cast<size_t>(y / 8) * 8 + x / 8) * 3 + k));
            break;
          default:
            px[c] = static_cast<uint8_t>(at(k));
            break;
        }
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Record rec{data, size};
  kdz::RgbImage picture;
  picture.width = 1 + rec.Byte() % 64;
  picture.height = 1 + rec.Byte() % 64;
  kdz::EncodeOptions options;
  options.quality = 1 + rec.Byte() % 100;
  options.levels = rec.Byte() % 12 - 1;
  const int targetHigh = rec.Byte();
  const int targetLow = rec.Byte();
  options.targetSize = (targetHigh & 0x80) ? ((targetHigh & 0x7F) << 8 | targetLow) : 0;
  const int mode = rec.Byte() % 4;
  picture.rgb.resize(static_cast<size_t>(picture.width) * picture.height * 3);
  Fill(&picture, mode, data + rec.pos, size - rec.pos);

  std::vector<uint8_t> file = {1, 2, 3};  // must come back empty on failure
  kdz::EncodeReport report;
  const kdz::Result r = kdz::Encode(picture, options, &file, &report);
  const bool tooDeep = options.levels > 0 && ((picture.width >> options.levels) < 2 ||
                                              (picture.height >> options.levels) < 2);
  if (!r.ok()) {
    if (!file.empty() || r.message.empty()) __builtin_trap();
    // The only documented failures for options in range: too many levels for the
    // picture, and a target size that nothing fits.
    if (tooDeep && r.error == kdz::Error::kInvalidArgument) return 0;
    if (!tooDeep && options.targetSize > 0 && r.error == kdz::Error::kFileTooLarge) return 0;
    __builtin_trap();
  }
  if (tooDeep) __builtin_trap();
  if (file.size() >= 80000 || report.fileSize != file.size()) __builtin_trap();
  if (options.targetSize > 0 && file.size() > static_cast<size_t>(options.targetSize)) __builtin_trap();
  if (report.width != picture.width || report.height != picture.height) __builtin_trap();
  if (options.levels >= 0 && report.levels != options.levels) __builtin_trap();

  kdz::HeaderInfo info;
  if (!kdz::ReadHeader(file.data(), file.size(), &info).ok() || !info.decodable) __builtin_trap();
  if (info.width != picture.width || info.height != picture.height || info.levels != report.levels) {
    __builtin_trap();
  }
  kdz::RgbImage decoded;
  if (!kdz::Decode(file.data(), file.size(), &decoded).ok()) __builtin_trap();
  if (decoded.width != picture.width || decoded.height != picture.height ||
      decoded.rgb.size() != picture.rgb.size()) {
    __builtin_trap();
  }
  return 0;
}
