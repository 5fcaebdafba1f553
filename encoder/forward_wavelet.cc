// Integer analysis matching the decoder's lifting synthesis. Odd samples come
// back exactly because the low coefficient absorbs every rounding; the detail
// samples are chosen so the even samples come back as close as parity allows.
#include "encoder/forward_wavelet.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace kdz {
namespace {

// Floor division by 2^n, as the decoder's arithmetic shifts round.
inline int32_t Shr(int32_t v, int n) { return v >> n; }

// The decoder's horizontal synthesis of samples 0 and cols-2, given l and h.
int32_t SynthFirst(const int32_t* l, const int32_t* h) {
  return Shr(h[1] - h[0], 1) - 3 * h[0] + l[0];
}
int32_t SynthBeforeLast(const int32_t* l, const int32_t* h, int w) {
  return Shr(h[w - 2] + 2 * (l[w - 2] - h[w - 1] + l[w - 1]), 2) - h[w - 1];
}

// Low coefficients that make every odd sample exact for the given details.
void HorizontalLows(const int32_t* x, int w, const int32_t* h, int32_t* l) {
  for (int k = 0; k + 1 < w; ++k) l[k] = x[2 * k + 1] - Shr(h[k] + h[k + 1], 1);
  l[w - 1] = x[2 * w - 1] - Shr(h[w - 1], 1);
}

// Row analysis: x[0..2w-1] into l[0..w-1], h[0..w-1].
void AnalyzeRow(const int32_t* x, int w, int32_t* l, int32_t* h) {
  // Inner details: x[2k] = avg - 2 h[k]; rounding alternates so errors do not add
  // up to a bias.
  for (int k = 1; k + 1 < w; ++k) {
    const int32_t d = Shr(x[2 * k - 1] + x[2 * k + 1], 1) - x[2 * k];
    h[k] = Shr(d + (k & 1), 1);
  }
  // The edge details: each edge sample is about x[1] - 4 h[0] and
  // avg - 2 h[w-1]. Search around the estimate for the best fit.
  h[0] = static_cast<int32_t>(std::lround((x[1] - x[0]) / 4.0));
  h[w - 1] = static_cast<int32_t>(
      std::lround(((x[2 * w - 3] + x[2 * w - 1]) / 2.0 - x[2 * w - 2]) / 2.0));
  if (w == 2) {
    // Both edge details depend on each other: search jointly.
    const int32_t h0 = h[0], h1 = h[1];
    int64_t best = -1;
    int32_t b0 = h0, b1 = h1;
    for (int32_t a = h0 - 2; a <= h0 + 2; ++a) {
      for (int32_t b = h1 - 2; b <= h1 + 2; ++b) {
        h[0] = a;
        h[1] = b;
        HorizontalLows(x, w, h, l);
        const int64_t e = std::llabs(SynthFirst(l, h) - x[0]) +
                          std::llabs(SynthBeforeLast(l, h, w) - x[2]);
        if (best < 0 || e < best) best = e, b0 = a, b1 = b;
      }
    }
    h[0] = b0;
    h[1] = b1;
  } else {
    for (int side = 0; side < 2; ++side) {
      const int k = side == 0 ? 0 : w - 1;
      const int32_t target = side == 0 ? x[0] : x[2 * w - 2];
      const int32_t centre = h[k];
      int64_t best = -1;
      int32_t choice = centre;
      for (int32_t c = centre - 2; c <= centre + 2; ++c) {
        h[k] = c;
        HorizontalLows(x, w, h, l);
        const int32_t y = side == 0 ? SynthFirst(l, h) : SynthBeforeLast(l, h, w);
        const int64_t e = std::llabs(y - target);
        if (best < 0 || e < best) best = e, choice = c;
      }
      h[k] = choice;
    }
  }
  HorizontalLows(x, w, h, l);
}

int32_t SynthBottomEven(const int32_t* lo, const int32_t* d, int hh) {
  return Shr(lo[hh - 2] + lo[hh - 1], 2) + Shr(d[hh - 2] + 2 * d[hh - 1], 3) - d[hh - 1];
}

// Low coefficients (the doubled samples) that make every odd sample exact.
void VerticalLows(const int32_t* v, int hh, const int32_t* d, int32_t* lo) {
  for (int k = 0; k + 1 < hh; ++k) lo[k] = Shr(4 * v[2 * k + 1] - d[k] - d[k + 1] + 1, 1);
  lo[hh - 1] = Shr(4 * v[2 * hh - 1] - d[hh - 1] + 1, 1);
}

// Column analysis: v[0..2hh-1] into lo[0..hh-1] and d[0..hh-1]. `parity` varies
// the rounding of the top detail from column to column.
void AnalyzeColumn(const int32_t* v, int hh, int parity, int32_t* lo, int32_t* d) {
  for (int k = 1; k + 1 < hh; ++k) d[k] = Shr(v[2 * k - 1] + v[2 * k + 1], 1) - v[2 * k];
  // Row 0 comes back as v[1] - 2 d[0].
  d[0] = Shr(v[1] - v[0] + parity, 1);
  const int32_t target = v[2 * hh - 2];
  const int32_t centre = Shr(v[2 * hh - 3] + v[2 * hh - 1], 1) - target;
  int64_t best = -1;
  int32_t choice = centre;
  for (int32_t c = centre - 3; c <= centre + 3; ++c) {
    d[hh - 1] = c;
    VerticalLows(v, hh, d, lo);
    const int64_t e = std::llabs(SynthBottomEven(lo, d, hh) - target);
    if (best < 0 || e < best) best = e, choice = c;
  }
  d[hh - 1] = choice;
  VerticalLows(v, hh, d, lo);
}

}  // namespace

void AnalyzeLevel(int32_t* plane, int stride, int rows, int cols) {
  const int hh = rows / 2;
  const int w = cols / 2;
  std::vector<int32_t> x(static_cast<size_t>(std::max(rows, cols)));
  std::vector<int32_t> lo(x.size()), hi(x.size());
  // The decoder runs the vertical step first, so the analysis undoes the
  // horizontal step first.
  for (int r = 0; r < rows; ++r) {
    int32_t* row = plane + static_cast<size_t>(r) * stride;
    std::copy(row, row + cols, x.begin());
    AnalyzeRow(x.data(), w, lo.data(), hi.data());
    std::copy(lo.begin(), lo.begin() + w, row);
    std::copy(hi.begin(), hi.begin() + w, row + w);
  }
  for (int c = 0; c < cols; ++c) {
    for (int r = 0; r < rows; ++r) x[r] = plane[static_cast<size_t>(r) * stride + c];
    AnalyzeColumn(x.data(), hh, c & 1, lo.data(), hi.data());
    for (int k = 0; k < hh; ++k) {
      plane[static_cast<size_t>(k) * stride + c] = lo[k];
      plane[static_cast<size_t>(hh + k) * stride + c] = hi[k];
    }
  }
}

void ForwardTransformPlane(std::vector<int32_t>* plane, int width, int height, int levels) {
  int rows = (height >> levels) << levels;
  int cols = (width >> levels) << levels;
  for (int j = 0; j < levels; ++j) {
    AnalyzeLevel(plane->data(), width, rows, cols);
    rows /= 2;
    cols /= 2;
  }
}

namespace {

// Real-valued 1-D synthesis of one level: `vertical` selects the step that
// halves its inputs.
std::vector<double> Synth1D(const std::vector<double>& lo, const std::vector<double>& hi,
                            bool vertical) {
  const size_t w = lo.size();
  std::vector<double> x(2 * w);
  // The vertical step is the horizontal one applied to halved inputs.
  const double s = vertical ? 0.5 : 1.0;
  for (size_t k = 0; k < w; ++k) {
    const double next = k + 1 < w ? hi[k + 1] : hi[k];
    x[2 * k + 1] = s * lo[k] + s * (hi[k] + next) / 2;
  }
  for (size_t k = 0; k < w; ++k) {
    const double left = k > 0 ? x[2 * k - 1] : x[1];
    x[2 * k] = (left + x[2 * k + 1]) / 2 - 2 * s * hi[k];
  }
  return x;
}

double Gain1D(int level, bool detail, bool vertical) {
  const size_t n = 64;  // coefficients per band, far from the edges
  std::vector<double> lo(n, 0.0), hi(n, 0.0);
  (detail ? hi : lo)[n / 2] = 1.0;
  std::vector<double> x = Synth1D(lo, hi, vertical);
  for (int m = 1; m < level; ++m) {
    std::vector<double> zero(x.size(), 0.0);
    x = Synth1D(x, zero, vertical);
  }
  double e = 0;
  for (double v : x) e += v * v;
  return e;
}

}  // namespace

double BandGain(int level, int orientation) {
  const bool hDetail = orientation == 1 || orientation == 3;
  const bool vDetail = orientation == 2 || orientation == 3;
  return Gain1D(level, vDetail, true) * Gain1D(level, hDetail, false);
}

}  // namespace kdz
