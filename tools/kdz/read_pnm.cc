// The PNM reader of the kdz tool: P1 to P6, text and binary, maxval up to 65535.
#include <vector>

#include "tools/kdz/image_io.h"

namespace kdz::imageio {
namespace {

class PnmParser {
 public:
  PnmParser(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  // Skips white space and comments ("#" to the end of the line).
  void SkipSpace() {
    while (at_ < size_) {
      if (data_[at_] == '#') {
        while (at_ < size_ && data_[at_] != '\n' && data_[at_] != '\r') ++at_;
      } else if (IsSpace(data_[at_])) {
        ++at_;
      } else {
        break;
      }
    }
  }

  // A decimal number of at most 10 digits after optional white space.
  bool Number(uint64_t* value) {
    SkipSpace();
    uint64_t v = 0;
    size_t digits = 0;
    while (at_ < size_ && data_[at_] >= '0' && data_[at_] <= '9' && digits < 10) {
      v = v * 10 + (data_[at_++] - '0');
      ++digits;
    }
    if (digits == 0 || (at_ < size_ && data_[at_] >= '0' && data_[at_] <= '9')) return false;
    *value = v;
    return true;
  }

  // P1 pixels are single characters "0" or "1", white space optional between them.
  bool Bit(uint64_t* value) {
    SkipSpace();
    if (at_ >= size_ || (data_[at_] != '0' && data_[at_] != '1')) return false;
    *value = data_[at_++] - '0';
    return true;
  }

  // The single white-space byte that ends the header of a binary file.
  bool EndOfHeader() {
    if (at_ >= size_ || !IsSpace(data_[at_])) return false;
    ++at_;
    return true;
  }

  size_t at() const { return at_; }
  void Advance(size_t n) { at_ += n; }
  size_t left() const { return size_ - at_; }
  const uint8_t* here() const { return data_ + at_; }

 private:
  static bool IsSpace(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

}  // namespace

Status ReadPnm(const uint8_t* data, size_t size, RgbImage* out, uint64_t maxPixels) {
  *out = RgbImage{};
  if (size < 2 || data[0] != 'P' || data[1] < '1' || data[1] > '6') return {"not a PNM file"};
  const int kind = data[1] - '0';  // 1, 4 bitmap; 2, 5 grey; 3, 6 colour; 4..6 binary
  const bool binary = kind >= 4;
  const bool bitmap = kind == 1 || kind == 4;
  const size_t channels = kind == 3 || kind == 6 ? 3 : 1;
  PnmParser p(data, size);
  p.Advance(2);
  uint64_t w = 0, h = 0, maxval = 1;
  if (!p.Number(&w) || !p.Number(&h) || (!bitmap && !p.Number(&maxval))) return {"malformed PNM header"};
  if (w == 0 || h == 0) return {"PNM picture has no pixels"};
  if (maxval == 0 || maxval > 65535) return {"PNM maxval " + std::to_string(maxval) + " outside 1..65535"};
  if (w > maxPixels / h) return {PixelLimitReason(w, h, maxPixels)};
  if (binary && !p.EndOfHeader()) return {"malformed PNM header"};

  const size_t count = static_cast<size_t>(w * h);
  const size_t bytesPerSample = maxval > 255 ? 2 : 1;
  if (binary) {
    const size_t need = bitmap ? static_cast<size_t>((w + 7) / 8 * h) : count * channels * bytesPerSample;
    if (p.left() < need) return {"truncated PNM file"};
  } else if (p.left() < count * (bitmap ? 1 : channels)) {
    return {"truncated PNM file"};  // each text sample takes a byte at least
  }
  std::vector<uint8_t> rgb(count * 3);
  const size_t width = static_cast<size_t>(w);
  for (size_t y = 0; y < static_cast<size_t>(h); ++y) {
    const uint8_t* packed = binary && bitmap ? p.here() + y * ((width + 7) / 8) : nullptr;
    for (size_t x = 0; x < width; ++x) {
      uint8_t* o = &rgb[3 * (y * width + x)];
      if (bitmap) {
        uint64_t bit = 0;
        if (packed) bit = packed[x / 8] >> (7 - x % 8) & 1;
        else if (!p.Bit(&bit)) return {p.left() == 0 ? "truncated PNM file" : "malformed PNM pixel"};
        o[0] = o[1] = o[2] = bit ? 0 : 255;  // 1 is black
        continue;
      }
      for (size_t c = 0; c < channels; ++c) {
        uint64_t v = 0;
        if (binary) {
          v = bytesPerSample == 2 ? (static_cast<uint64_t>(p.here()[0]) << 8 | p.here()[1]) : p.here()[0];
          p.Advance(bytesPerSample);
        } else if (!p.Number(&v)) {
          return {p.left() == 0 ? "truncated PNM file" : "malformed PNM pixel"};
        }
        if (v > maxval) return {"PNM sample " + std::to_string(v) + " above maxval " + std::to_string(maxval)};
        o[c] = static_cast<uint8_t>((v * 255 + maxval / 2) / maxval);
      }
      if (channels == 1) o[1] = o[2] = o[0];
    }
  }
  out->width = static_cast<int>(w);
  out->height = static_cast<int>(h);
  out->rgb = std::move(rgb);
  return {};
}

}  // namespace kdz::imageio
