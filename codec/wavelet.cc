// Integer lifting synthesis. Sums are formed in 32 bits from stored 16-bit values,
// right shifts are arithmetic (toward minus infinity), and every store keeps the
// low 16 bits.
#include "codec/wavelet.h"

#include <algorithm>
#include <new>
#include <vector>

#include "codec/file_format.h"

namespace kdz {
namespace {

inline int16_t Store(int32_t v) { return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(v))); }

bool GetScratch(std::vector<int16_t>* scratch, size_t n) {
  try {
    scratch->assign(n, 0);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace

int SynthesizeLevel(int16_t* plane, int stride, int rows, int cols) {
  std::vector<int16_t> scratch;
  if (!GetScratch(&scratch, static_cast<size_t>(rows) * cols)) return 1;
  const int h = rows / 2;
  const int w = cols / 2;
  int16_t* v = scratch.data();
  auto P = [&](int r, int c) -> int16_t& { return plane[static_cast<size_t>(r) * stride + c]; };
  auto V = [&](int r, int c) -> int16_t& { return v[static_cast<size_t>(r) * cols + c]; };

  // Vertical step: low rows 0..h-1 and detail rows h..rows-1 merge into scratch.
  for (int x = 0; x < cols; ++x) {
    const int32_t l0 = P(0, x), d0 = P(h, x), d1 = P(h + 1, x);
    V(1, x) = Store((d0 + 2 * l0 + d1) >> 2);
    V(0, x) = Store((2 * l0 - 7 * d0 + d1) >> 2);
  }
  for (int x = 0; x < cols; ++x) {
    const int32_t lA = P(h - 2, x), lB = P(h - 1, x), dA = P(2 * h - 2, x), dB = P(2 * h - 1, x);
    V(rows - 1, x) = Store((dB + 2 * lB) >> 2);
    V(rows - 2, x) = Store(((lA + lB) >> 2) + ((dA + 2 * dB) >> 3) - dB);
  }
  if (h >= 3) {
    for (int k = 1; k <= h - 2; ++k) {
      for (int x = 0; x < cols; ++x) {
        const int32_t lk = P(k, x), dk = P(h + k, x), dk1 = P(h + k + 1, x);
        V(2 * k + 1, x) = Store((dk + 2 * lk + dk1) >> 2);
        V(2 * k, x) = Store(((V(2 * k - 1, x) + V(2 * k + 1, x)) >> 1) - dk);
      }
    }
  }

  // Horizontal step: low columns 0..w-1 and detail columns w..cols-1 of each
  // scratch row merge back into the plane.
  for (int r = 0; r < rows; ++r) {
    const int16_t* l = v + static_cast<size_t>(r) * cols;
    const int16_t* hi = l + w;
    int16_t* out = plane + static_cast<size_t>(r) * stride;
    out[1] = Store(((hi[1] + hi[0]) >> 1) + l[0]);
    out[0] = Store(((hi[1] - hi[0]) >> 1) - 3 * hi[0] + l[0]);
  }
  for (int r = 0; r < rows; ++r) {
    const int16_t* l = v + static_cast<size_t>(r) * cols;
    const int16_t* hi = l + w;
    int16_t* out = plane + static_cast<size_t>(r) * stride;
    out[cols - 1] = Store((hi[w - 1] >> 1) + l[w - 1]);
    out[cols - 2] = Store(((hi[w - 2] + 2 * (l[w - 2] - hi[w - 1] + l[w - 1])) >> 2) - hi[w - 1]);
  }
  if (w >= 3) {
    for (int r = 0; r < rows; ++r) {
      const int16_t* l = v + static_cast<size_t>(r) * cols;
      const int16_t* hi = l + w;
      int16_t* out = plane + static_cast<size_t>(r) * stride;
      for (int k = 1; k <= w - 2; ++k) {
        out[2 * k + 1] = Store(((hi[k] + hi[k + 1]) >> 1) + l[k]);
        out[2 * k] = Store(((out[2 * k - 1] + out[2 * k + 1]) >> 1) - 2 * hi[k]);
      }
    }
  }
  return 0;
}

int InterpolateLevel(int16_t* plane, int stride, int rows, int cols) {
  std::vector<int16_t> scratch;
  if (!GetScratch(&scratch, static_cast<size_t>(rows) * cols)) return 1;
  const int h = rows / 2;
  const int w = cols / 2;
  int16_t* v = scratch.data();
  auto P = [&](int r, int c) -> int32_t { return plane[static_cast<size_t>(r) * stride + c]; };
  auto V = [&](int r, int c) -> int16_t& { return v[static_cast<size_t>(r) * cols + c]; };

  for (int x = 0; x < cols; ++x) {
    if (h >= 3) {
      for (int k = 1; k <= h - 2; ++k) {
        V(2 * k + 1, x) = Store(P(k, x) >> 1);
        V(2 * k, x) = Store((P(k - 1, x) + P(k, x)) >> 2);
      }
    }
    V(0, x) = V(1, x) = Store(P(0, x) >> 1);
    V(rows - 2, x) = Store((P(h - 2, x) + P(h - 1, x)) >> 2);
    V(rows - 1, x) = Store(P(h - 1, x) >> 1);
  }
  for (int r = 0; r < rows; ++r) {
    const int16_t* l = v + static_cast<size_t>(r) * cols;
    int16_t* out = plane + static_cast<size_t>(r) * stride;
    if (w >= 3) {
      for (int k = 1; k <= w - 2; ++k) {
        out[2 * k + 1] = l[k];
        out[2 * k] = Store((l[k - 1] + l[k]) >> 1);
      }
    }
    out[0] = out[1] = l[0];
    out[cols - 1] = l[w - 1];
    out[cols - 2] = Store((l[w - 2] + l[w - 1]) >> 1);
  }
  return 0;
}

int InverseTransformPlane(DecoderState& state, int16_t* plane, int letter) {
  const int p = PlaneIndexOf(letter);
  // The header check keeps 0 <= uncodedLevels <= levels; the clamp keeps a direct
  // caller with other values inside the plane.
  const int uncoded = std::min(std::max(state.uncodedLevels[p], 0), state.levels);
  const int n = state.levels - uncoded;
  int r = state.height >> state.levels;
  int c = state.width >> state.levels;
  for (int j = 1; j <= n; ++j) {
    r *= 2;
    c *= 2;
    (void)SynthesizeLevel(plane, state.width, r, c);  // a level without scratch is skipped
  }
  for (int j = n + 1; j <= state.levels; ++j) {
    r *= 2;
    c *= 2;
    (void)InterpolateLevel(plane, state.width, r, c);
  }
  return 0;
}

}  // namespace kdz
