// Colour conversion tables and the per-pixel YIQ to RGB step.
#include "codec/color.h"

#include <array>

#include "codec/wide_vectors.h"

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

// The high half of a 16 x 16-bit product, which vector units form in one step.
inline int16_t MulHigh(int16_t a, int16_t b) { return static_cast<int16_t>((static_cast<int32_t>(a) * b) >> 16); }

inline int16_t Saturate16(int16_t v, int16_t lo, int16_t hi) { return v < lo ? lo : v > hi ? hi : v; }

namespace {

// The conversion itself; `Reversed` puts the byte from -1133, 1744 first.
template <bool Reversed>
KDZ_BODY void Convert(const DecoderState& state, const int16_t* y, const int16_t* i, const int16_t* q, uint8_t* pixels,
             size_t count) {
  // The product tables hold floor(c x / 1024) and the clamp table saturates to
  // 0..255, so the same bytes come from the products themselves, in 16-bit lanes:
  // floor(c x / 1024) is the high half of c * 64x (|64x| < 2^15 and |c| < 2^11).
  // Saturating the sum to -1024..1023 before the clamp changes nothing, so one
  // saturation to 0..255 remains. The luma sum is held to -2048..2047 first, which
  // changes no byte either (the chroma terms add at most 719 in size) and keeps
  // every sum inside 16 bits: y is held to the matching range around -bias, so
  // that y + bias itself cannot overflow. The three bytes of a chunk of pixels are
  // formed apart and then interleaved.
  constexpr size_t kChunk = 256;
  uint8_t b0[kChunk], b1[kChunk], b2[kChunk];
  const int32_t bias = state.lumaBias;  // 16 bits in the file
  const int16_t lo = static_cast<int16_t>(Saturate(-2048 - bias, -32768, 32767));
  const int16_t hi = static_cast<int16_t>(Saturate(2047 - bias, -32768, 32767));
  const int16_t bias16 = static_cast<int16_t>(Saturate(bias, -32768, 32767));
  for (size_t start = 0; start < count; start += kChunk) {
    const size_t n = count - start < kChunk ? count - start : kChunk;
    const int16_t* yc = y + start;
    const int16_t* ic = i + start;
    const int16_t* qc = q + start;
    for (size_t k = 0; k < n; ++k) {
      const int16_t s = static_cast<int16_t>(Saturate16(yc[k], lo, hi) + bias16);
      const int16_t ii = static_cast<int16_t>(Saturate16(ic[k], -256, 255) * 64);
      const int16_t qq = static_cast<int16_t>(Saturate16(qc[k], -256, 255) * 64);
      b0[k] = static_cast<uint8_t>(Saturate16(static_cast<int16_t>(s + MulHigh(979, ii) + MulHigh(636, qq)), 0, 255));
      b1[k] = static_cast<uint8_t>(Saturate16(static_cast<int16_t>(s + MulHigh(-279, ii) + MulHigh(-662, qq)), 0, 255));
      b2[k] = static_cast<uint8_t>(Saturate16(static_cast<int16_t>(s + MulHigh(-1133, ii) + MulHigh(1744, qq)), 0, 255));
    }
    uint8_t* out = pixels + 3 * start;
    for (size_t k = 0; k < n; ++k) {
      out[3 * k + 0] = Reversed ? b2[k] : b0[k];
      out[3 * k + 1] = b1[k];
      out[3 * k + 2] = Reversed ? b0[k] : b2[k];
    }
  }
}

#if KDZ_WIDE_VECTORS
KDZ_WIDE void ConvertWide(const DecoderState& state, const int16_t* y, const int16_t* i, const int16_t* q,
                          uint8_t* pixels, size_t count) {
  Convert<false>(state, y, i, q, pixels, count);
}

KDZ_WIDE void ConvertReversedWide(const DecoderState& state, const int16_t* y, const int16_t* i, const int16_t* q,
                                  uint8_t* pixels, size_t count) {
  Convert<true>(state, y, i, q, pixels, count);
}
#endif

}  // namespace

void YiqToRgb(const DecoderState& state, const int16_t* y, const int16_t* i, const int16_t* q,
              uint8_t* pixels, size_t count) {
#if KDZ_WIDE_VECTORS
  if (UseWideVectors()) return ConvertWide(state, y, i, q, pixels, count);
#endif
  Convert<false>(state, y, i, q, pixels, count);
}

void YiqToRgbReversed(const DecoderState& state, const int16_t* y, const int16_t* i, const int16_t* q,
                      uint8_t* pixels, size_t count) {
#if KDZ_WIDE_VECTORS
  if (UseWideVectors()) return ConvertReversedWide(state, y, i, q, pixels, count);
#endif
  Convert<true>(state, y, i, q, pixels, count);
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
