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
