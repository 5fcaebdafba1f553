// Colour conversion tables and the per-pixel YIQ to RGB step.
#include "codec/color.h"

#include <array>

namespace kdz {
namespace {

using ProductTable = std::array<int16_t, 512>;

constexpr ProductTable MakeProductTable(int c) {
  ProductTable t{};
  for (int x = -256; x < 256; ++x) t[static_cast<size_t>(x + 256)] = static_cast<int16_t>((c * x) >> 10);
  return t;
}

constexpr ProductTable kI979 = MakeProductTable(979);
constexpr ProductTable kQ636 = MakeProductTable(636);
constexpr ProductTable kIm279 = MakeProductTable(-279);
constexpr ProductTable kQm662 = MakeProductTable(-662);
constexpr ProductTable kIm1133 = MakeProductTable(-1133);
constexpr ProductTable kQ1744 = MakeProductTable(1744);

inline int Saturate(int v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : v; }

}  // namespace

void BuildClampTable(DecoderState& state) {
  for (int j = 0; j < 2048; ++j) state.clampTable[j] = static_cast<uint8_t>(Saturate(j - 1024, 0, 255));
}

void YiqToRgb(const DecoderState& state, const int16_t* y, const int16_t* i, const int16_t* q,
              uint8_t* pixels, size_t count) {
  // The product tables hold floor(c x / 1024) and the clamp table saturates to
  // 0..255, so the same bytes come from the products themselves: a multiply and an
  // arithmetic shift per term, where the lookups would be one load each, and a loop
  // the compiler turns into vector code. Saturating the sum to -1024..1023 before
  // the clamp changes nothing, so one saturation to 0..255 remains. The three bytes
  // of a chunk of pixels are formed apart and then interleaved.
  constexpr size_t kChunk = 256;
  uint8_t b0[kChunk], b1[kChunk], b2[kChunk];
  const int32_t bias = state.lumaBias;
  for (size_t start = 0; start < count; start += kChunk) {
    const size_t n = count - start < kChunk ? count - start : kChunk;
    const int16_t* yc = y + start;
    const int16_t* ic = i + start;
    const int16_t* qc = q + start;
    for (size_t k = 0; k < n; ++k) {
      const int32_t s = yc[k] + bias;
      const int32_t ii = Saturate(ic[k], -256, 255);
      const int32_t qq = Saturate(qc[k], -256, 255);
      b0[k] = static_cast<uint8_t>(Saturate(s + ((979 * ii) >> 10) + ((636 * qq) >> 10), 0, 255));
      b1[k] = static_cast<uint8_t>(Saturate(s + ((-279 * ii) >> 10) + ((-662 * qq) >> 10), 0, 255));
      b2[k] = static_cast<uint8_t>(Saturate(s + ((-1133 * ii) >> 10) + ((1744 * qq) >> 10), 0, 255));
    }
    uint8_t* out = pixels + 3 * start;
    for (size_t k = 0; k < n; ++k) {
      out[3 * k + 0] = b0[k];
      out[3 * k + 1] = b1[k];
      out[3 * k + 2] = b2[k];
    }
  }
}

void YiqToRgbByTables(const DecoderState& state, const int16_t* y, const int16_t* i, const int16_t* q,
                      uint8_t* pixels, size_t count) {
  const uint8_t* clamp = state.clampTable + 1024;
  const int bias = state.lumaBias;
  for (size_t k = 0; k < count; ++k) {
    const int s = y[k] + bias;
    const size_t ii = static_cast<size_t>(Saturate(i[k], -256, 255) + 256);
    const size_t qq = static_cast<size_t>(Saturate(q[k], -256, 255) + 256);
    pixels[0] = clamp[Saturate(s + kI979[ii] + kQ636[qq], -1024, 1023)];
    pixels[1] = clamp[Saturate(s + kIm279[ii] + kQm662[qq], -1024, 1023)];
    pixels[2] = clamp[Saturate(s + kIm1133[ii] + kQ1744[qq], -1024, 1023)];
    pixels += 3;
  }
}

}  // namespace kdz
