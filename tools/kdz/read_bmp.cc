// The BMP reader of the kdz tool: uncompressed and bit-field rows of 1, 4, 8, 16, 24
// or 32 bits, bottom-up or top-down, with any of the usual info headers.
#include <algorithm>
#include <vector>

#include "tools/kdz/image_io.h"

namespace kdz::imageio {
namespace {

uint32_t Get16(const uint8_t* p) { return p[0] | static_cast<uint32_t>(p[1]) << 8; }
uint32_t Get32(const uint8_t* p) { return Get16(p) | Get16(p + 2) << 16; }

constexpr uint32_t kBiRgb = 0, kBiRle8 = 1, kBiRle4 = 2, kBiBitfields = 3, kBiAlphaBitfields = 6;

// One colour channel given by a bit mask: its value in a pixel, scaled to 0..255.
struct Channel {
  uint32_t mask = 0;
  int shift = 0;
  uint32_t max = 0;
  explicit Channel(uint32_t m = 0) : mask(m) {
    if (m == 0) return;
    while (!(m & 1)) {
      m >>= 1;
      ++shift;
    }
    max = m;
  }
  uint8_t Of(uint32_t pixel) const {
    if (mask == 0) return 0;
    const uint64_t v = (pixel & mask) >> shift;
    return static_cast<uint8_t>((v * 255 + max / 2) / max);
  }
};

}  // namespace

Status ReadBmp(const uint8_t* data, size_t size, RgbImage* out, bool* alphaDropped, uint64_t maxPixels) {
  *out = RgbImage{};
  *alphaDropped = false;
  if (size < 26 || data[0] != 'B' || data[1] != 'M') return {"truncated BMP file"};
  const uint32_t offBits = Get32(data + 10);
  const uint32_t headerSize = Get32(data + 14);
  const bool core = headerSize == 12;
  if (!core && headerSize != 40 && headerSize != 52 && headerSize != 56 && headerSize != 64 &&
      headerSize != 108 && headerSize != 124) {
    return {"unknown BMP header size " + std::to_string(headerSize)};
  }
  if (size < 14 + static_cast<size_t>(headerSize)) return {"truncated BMP file"};
  int64_t width, height;
  uint32_t bits, compression = kBiRgb, colorsUsed = 0;
  if (core) {
    width = Get16(data + 18);
    height = Get16(data + 20);
    bits = Get16(data + 24);
  } else {
    width = static_cast<int32_t>(Get32(data + 18));
    height = static_cast<int32_t>(Get32(data + 22));
    bits = Get16(data + 28);
    compression = Get32(data + 30);
    colorsUsed = Get32(data + 46);
  }
  const bool topDown = height < 0;
  if (topDown) height = -height;
  if (width <= 0 || height <= 0) return {"BMP picture has no pixels"};
  if (static_cast<uint64_t>(width) > maxPixels / static_cast<uint64_t>(height)) {
    return {PixelLimitReason(static_cast<uint64_t>(width), static_cast<uint64_t>(height), maxPixels)};
  }
  if (compression == kBiRle8 || compression == kBiRle4) return {"run-length compressed BMP files are not read"};
  if (compression != kBiRgb && compression != kBiBitfields && compression != kBiAlphaBitfields) {
    return {"BMP compression " + std::to_string(compression) + " is not read"};
  }
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) {
    return {"BMP of " + std::to_string(bits) + " bits per pixel is not read"};
  }
  const bool masked = compression == kBiBitfields || compression == kBiAlphaBitfields;
  if (masked && bits != 16 && bits != 32) return {"BMP bit fields need 16 or 32 bits per pixel"};

  // Bit masks follow a 40-byte header, or are part of a longer one.
  Channel red, green, blue, alpha;
  size_t tableAt = 14 + headerSize;
  if (masked) {
    const size_t masks = compression == kBiAlphaBitfields ? 4 : 3;
    if (headerSize == 40) tableAt += 4 * masks;
    if (size < 54 + 4 * masks) return {"truncated BMP file"};
    red = Channel(Get32(data + 54));
    green = Channel(Get32(data + 58));
    blue = Channel(Get32(data + 62));
    if (masks == 4 || headerSize >= 56) alpha = Channel(Get32(data + 66));
  } else if (bits == 16) {
    red = Channel(0x7C00), green = Channel(0x03E0), blue = Channel(0x001F);
  } else if (bits == 32) {
    red = Channel(0xFF0000), green = Channel(0xFF00), blue = Channel(0xFF);
    if (headerSize >= 56) alpha = Channel(Get32(data + 66));
  }

  // The colour table of 1, 4 and 8 bits per pixel: entries of 4 bytes (3 in the
  // oldest header) in blue, green, red order.
  std::vector<uint8_t> table;
  if (bits <= 8) {
    const size_t entrySize = core ? 3 : 4;
    size_t entries = colorsUsed != 0 && colorsUsed < (1u << bits) ? colorsUsed : (1u << bits);
    if (tableAt > size) return {"truncated BMP file"};
    entries = std::min(entries, (size - tableAt) / entrySize);
    if (entries == 0) return {"BMP colour table is missing"};
    table.assign(3u << bits, 0);  // 3 bytes per index; indices past the table show black
    for (size_t k = 0; k < entries; ++k) {
      for (int c = 0; c < 3; ++c) table[3 * k + c] = data[tableAt + entrySize * k + 2 - c];
    }
  }

  const uint64_t w = static_cast<uint64_t>(width), h = static_cast<uint64_t>(height);
  const uint64_t stride = (w * bits + 31) / 32 * 4;
  if (offBits > size || (size - offBits) / stride < h) return {"truncated BMP file"};
  std::vector<uint8_t> rgb(static_cast<size_t>(w * h * 3));
  bool translucent = false, anyAlpha = false;
  for (uint64_t y = 0; y < h; ++y) {
    const uint8_t* row = data + offBits + stride * (topDown ? y : h - 1 - y);
    uint8_t* o = &rgb[static_cast<size_t>(y * w * 3)];
    for (uint64_t x = 0; x < w; ++x, o += 3) {
      if (bits <= 8) {
        const unsigned perByte = 8 / bits;
        const unsigned index = row[x / perByte] >> (8 - bits * (x % perByte + 1)) & ((1u << bits) - 1);
        o[0] = table[3 * index];
        o[1] = table[3 * index + 1];
        o[2] = table[3 * index + 2];
      } else if (bits == 24) {
        o[0] = row[3 * x + 2];
        o[1] = row[3 * x + 1];
        o[2] = row[3 * x];
      } else {
        const uint32_t pixel = bits == 16 ? Get16(row + 2 * x) : Get32(row + 4 * x);
        o[0] = red.Of(pixel);
        o[1] = green.Of(pixel);
        o[2] = blue.Of(pixel);
        if (alpha.mask != 0) {
          const uint8_t a = alpha.Of(pixel);
          anyAlpha |= a != 0;
          translucent |= a != 255;
        }
      }
    }
  }
  // Files whose alpha bytes are all zero mean "no alpha", not "fully transparent".
  *alphaDropped = anyAlpha && translucent;
  out->width = static_cast<int>(w);
  out->height = static_cast<int>(h);
  out->rgb = std::move(rgb);
  return {};
}

}  // namespace kdz::imageio
