// Integer lifting synthesis. Sums are formed in 32 bits from stored 16-bit values,
// right shifts are arithmetic (toward minus infinity), and every store keeps the
// low 16 bits.
#include "codec/wavelet.h"

#include <algorithm>
#include <new>
#include <vector>

#include "codec/file_format.h"
#include "codec/wide_vectors.h"

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

int SynthesizeLevelPlain(int16_t* plane, int stride, int rows, int cols) {
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

int InterpolateLevelPlain(int16_t* plane, int stride, int rows, int cols) {
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

bool TransformScratch::Ensure(size_t lowSamples, size_t rowSamples) {
  // Grown without keeping the contents: each level fills what it reads.
  auto grow = [](std::unique_ptr<int16_t[]>& buffer, size_t& size, size_t samples) {
    if (size >= samples) return true;
    buffer.reset();
    size = 0;
    buffer.reset(new (std::nothrow) int16_t[samples]);
    if (buffer == nullptr) return false;
    size = samples;
    return true;
  };
  if (rowSamples > SIZE_MAX / 6) return false;
  return grow(low, lowSize, lowSamples) && grow(rows, rowsSize, 6 * rowSamples);
}

namespace {

// The horizontal synthesis of one row: low part l[0..w-1], detail part h[0..w-1]
// into out[0..2w-1]. The odd outputs depend on the inputs alone, so they are formed
// first in `odd` (16-bit, as stored), and each even output from its two odd
// neighbours: both loops vectorise.
KDZ_BODY void SynthesizeRowBody(const int16_t* l, const int16_t* h, int w, int16_t* odd, int16_t* out) {
  for (int k = 0; k <= w - 2; ++k) odd[k] = Store(((h[k] + h[k + 1]) >> 1) + l[k]);
  for (int k = 1; k <= w - 2; ++k) {
    out[2 * k] = Store(((odd[k - 1] + odd[k]) >> 1) - 2 * h[k]);
    out[2 * k + 1] = odd[k];
  }
  out[1] = odd[0];
  out[0] = Store(((h[1] - h[0]) >> 1) - 3 * h[0] + l[0]);
  out[2 * w - 1] = Store((h[w - 1] >> 1) + l[w - 1]);
  out[2 * w - 2] = Store(((h[w - 2] + 2 * (l[w - 2] - h[w - 1] + l[w - 1])) >> 2) - h[w - 1]);
}

// The horizontal interpolation of one row of low samples l[0..w-1] into out[0..2w-1].
KDZ_BODY void InterpolateRowBody(const int16_t* l, int w, int16_t* out) {
  for (int k = 1; k <= w - 1; ++k) {
    out[2 * k] = Store((l[k - 1] + l[k]) >> 1);
    out[2 * k + 1] = l[k];
  }
  out[0] = out[1] = l[0];
}

// The row steps for the baseline and with AVX2, and the form a level step of each
// kind calls (builds without the AVX2 forms compile no AVX2 one). They stay out of
// line: inlined at each of their calls they only grow the code, by 5 KB in the
// WebAssembly module.
KDZ_OUT_OF_LINE void SynthesizeRow(const int16_t* l, const int16_t* h, int w, int16_t* odd, int16_t* out) {
  SynthesizeRowBody(l, h, w, odd, out);
}
KDZ_OUT_OF_LINE void InterpolateRow(const int16_t* l, int w, int16_t* out) { InterpolateRowBody(l, w, out); }
#if KDZ_WIDE_VECTORS
KDZ_WIDE void SynthesizeRowWide(const int16_t* l, const int16_t* h, int w, int16_t* odd, int16_t* out) {
  SynthesizeRowBody(l, h, w, odd, out);
}
KDZ_WIDE void InterpolateRowWide(const int16_t* l, int w, int16_t* out) { InterpolateRowBody(l, w, out); }
#endif
template <bool kWide>
inline void RowSynthesis(const int16_t* l, const int16_t* h, int w, int16_t* odd, int16_t* out) {
#if KDZ_WIDE_VECTORS
  if constexpr (kWide) return SynthesizeRowWide(l, h, w, odd, out);
#endif
  SynthesizeRow(l, h, w, odd, out);
}
template <bool kWide>
inline void RowInterpolation(const int16_t* l, int w, int16_t* out) {
#if KDZ_WIDE_VECTORS
  if constexpr (kWide) return InterpolateRowWide(l, w, out);
#endif
  InterpolateRow(l, w, out);
}

// Row pairs are finished one at a time: the two vertical results of a pair go
// through a row buffer straight into the horizontal step, so the level's samples are
// read and written once, in memory order. Writing output rows 2k and 2k+1 in place
// would overwrite the low rows still to come, so those are copied first; the detail
// rows that a pair reads (h + k, h + k + 1) always lie below the rows written so far.
template <bool kWide>
KDZ_BODY int SynthesizeLevelBody(int16_t* plane, int stride, int rows, int cols, TransformScratch& scratch) {
  const int h = rows / 2;
  const int w = cols / 2;
  const size_t c = static_cast<size_t>(cols);
  if (!scratch.Ensure(static_cast<size_t>(h) * c, c)) return 1;
  int16_t* low = scratch.low.get();
  int16_t* prevOdd = scratch.rows.get();
  int16_t* odd = prevOdd + c;
  int16_t* even = odd + c;
  int16_t* bottom2 = even + c;
  int16_t* bottom1 = bottom2 + c;
  int16_t* rowOdd = bottom1 + c;
  for (int k = 0; k < h; ++k) {
    const int16_t* src = plane + static_cast<size_t>(k) * stride;
    std::copy(src, src + cols, low + static_cast<size_t>(k) * c);
  }
  auto L = [&](int k) { return low + static_cast<size_t>(k) * c; };
  auto D = [&](int k) -> const int16_t* { return plane + static_cast<size_t>(h + k) * stride; };
  auto Out = [&](int r) { return plane + static_cast<size_t>(r) * stride; };

  {  // The bottom rows, before their detail rows are overwritten.
    const int16_t *lA = L(h - 2), *lB = L(h - 1), *dA = D(h - 2), *dB = D(h - 1);
    for (int x = 0; x < cols; ++x) {
      bottom1[x] = Store((dB[x] + 2 * lB[x]) >> 2);
      bottom2[x] = Store(((lA[x] + lB[x]) >> 2) + ((dA[x] + 2 * dB[x]) >> 3) - dB[x]);
    }
  }
  {  // The top rows.
    const int16_t *l0 = L(0), *d0 = D(0), *d1 = D(1);
    for (int x = 0; x < cols; ++x) {
      prevOdd[x] = Store((d0[x] + 2 * l0[x] + d1[x]) >> 2);
      even[x] = Store((2 * l0[x] - 7 * d0[x] + d1[x]) >> 2);
    }
    RowSynthesis<kWide>(even, even + w, w, rowOdd, Out(0));
    RowSynthesis<kWide>(prevOdd, prevOdd + w, w, rowOdd, Out(1));
  }
  for (int k = 1; k <= h - 2; ++k) {
    const int16_t *lk = L(k), *dk = D(k), *dk1 = D(k + 1);
    for (int x = 0; x < cols; ++x) {
      odd[x] = Store((dk[x] + 2 * lk[x] + dk1[x]) >> 2);
      even[x] = Store(((prevOdd[x] + odd[x]) >> 1) - dk[x]);
    }
    RowSynthesis<kWide>(even, even + w, w, rowOdd, Out(2 * k));
    RowSynthesis<kWide>(odd, odd + w, w, rowOdd, Out(2 * k + 1));
    std::swap(prevOdd, odd);
  }
  RowSynthesis<kWide>(bottom2, bottom2 + w, w, rowOdd, Out(rows - 2));
  RowSynthesis<kWide>(bottom1, bottom1 + w, w, rowOdd, Out(rows - 1));
  return 0;
}

// Only the low band (rows 0..h-1, columns 0..w-1) is read: the vertical results of
// the other columns never reach the horizontal step. It is copied, then each output
// row pair is made from one or two of its rows.
template <bool kWide>
KDZ_BODY int InterpolateLevelBody(int16_t* plane, int stride, int rows, int cols, TransformScratch& scratch) {
  const int h = rows / 2;
  const int w = cols / 2;
  const size_t wc = static_cast<size_t>(w);
  if (!scratch.Ensure(static_cast<size_t>(h) * wc, static_cast<size_t>(cols))) return 1;
  int16_t* low = scratch.low.get();
  int16_t* odd = scratch.rows.get();
  int16_t* even = odd + wc;
  for (int k = 0; k < h; ++k) {
    const int16_t* src = plane + static_cast<size_t>(k) * stride;
    std::copy(src, src + w, low + static_cast<size_t>(k) * wc);
  }
  for (int k = 0; k < h; ++k) {
    const int16_t* lk = low + static_cast<size_t>(k) * wc;
    const int16_t* lPrev = k > 0 ? lk - wc : lk;
    for (int x = 0; x < w; ++x) {
      odd[x] = Store(lk[x] >> 1);
      even[x] = k > 0 ? Store((lPrev[x] + lk[x]) >> 2) : odd[x];
    }
    RowInterpolation<kWide>(even, w, plane + static_cast<size_t>(2 * k) * stride);
    RowInterpolation<kWide>(odd, w, plane + static_cast<size_t>(2 * k + 1) * stride);
  }
  return 0;
}

#if KDZ_WIDE_VECTORS
KDZ_WIDE int SynthesizeLevelWide(int16_t* plane, int stride, int rows, int cols, TransformScratch& scratch) {
  return SynthesizeLevelBody<true>(plane, stride, rows, cols, scratch);
}

KDZ_WIDE int InterpolateLevelWide(int16_t* plane, int stride, int rows, int cols, TransformScratch& scratch) {
  return InterpolateLevelBody<true>(plane, stride, rows, cols, scratch);
}
#endif

}  // namespace

int SynthesizeLevel(int16_t* plane, int stride, int rows, int cols, TransformScratch& scratch) {
#if KDZ_WIDE_VECTORS
  if (UseWideVectors()) return SynthesizeLevelWide(plane, stride, rows, cols, scratch);
#endif
  return SynthesizeLevelBody<false>(plane, stride, rows, cols, scratch);
}

int InterpolateLevel(int16_t* plane, int stride, int rows, int cols, TransformScratch& scratch) {
#if KDZ_WIDE_VECTORS
  if (UseWideVectors()) return InterpolateLevelWide(plane, stride, rows, cols, scratch);
#endif
  return InterpolateLevelBody<false>(plane, stride, rows, cols, scratch);
}

int SynthesizeLevel(int16_t* plane, int stride, int rows, int cols) {
  TransformScratch scratch;
  return SynthesizeLevel(plane, stride, rows, cols, scratch);
}

int InterpolateLevel(int16_t* plane, int stride, int rows, int cols) {
  TransformScratch scratch;
  return InterpolateLevel(plane, stride, rows, cols, scratch);
}

FinestRows::FinestRows(const int16_t* plane, int stride, const FinestLevel& level)
    : plane_(plane),
      stride_(stride),
      cols_(level.cols),
      h_(level.rows / 2),
      w_(level.cols / 2),
      interpolated_(level.interpolated) {
  const size_t c = static_cast<size_t>(level.cols);
  buffers_.reset(new (std::nothrow) int16_t[4 * c]);
  if (buffers_ == nullptr) return;
  prevOdd_ = buffers_.get();
  odd_ = prevOdd_ + c;
  even_ = odd_ + c;
  rowOdd_ = even_ + c;
}

// The vertical step of InterpolateLevel for one pair, then its horizontal step.
template <bool kWide>
KDZ_BODY void FinestRows::Interpolate(int k, int16_t* even, int16_t* odd) {
  const int w = w_;
  const int16_t* lk = L(k);
  const int16_t* lPrev = k > 0 ? L(k - 1) : lk;
  for (int x = 0; x < w; ++x) {
    odd_[x] = Store(lk[x] >> 1);
    even_[x] = k > 0 ? Store((lPrev[x] + lk[x]) >> 2) : odd_[x];
  }
  RowInterpolation<kWide>(even_, w, even);
  RowInterpolation<kWide>(odd_, w, odd);
}

// The vertical step of SynthesizeLevel, pair by pair, with its low rows read from the
// plane: here nothing overwrites them.
template <bool kWide>
KDZ_BODY void FinestRows::PairBody(int k, int16_t* even, int16_t* odd) {
  if (interpolated_) {
    Interpolate<kWide>(k, even, odd);
    return;
  }
  const int cols = cols_, w = w_;
  if (k == 0) {
    const int16_t *l0 = L(0), *d0 = D(0), *d1 = D(1);
    for (int x = 0; x < cols; ++x) {
      prevOdd_[x] = Store((d0[x] + 2 * l0[x] + d1[x]) >> 2);
      even_[x] = Store((2 * l0[x] - 7 * d0[x] + d1[x]) >> 2);
    }
    RowSynthesis<kWide>(even_, even_ + w, w, rowOdd_, even);
    RowSynthesis<kWide>(prevOdd_, prevOdd_ + w, w, rowOdd_, odd);
    next_ = 1;
    return;
  }
  if (k == h_ - 1) {
    const int16_t *lA = L(h_ - 2), *lB = L(h_ - 1), *dA = D(h_ - 2), *dB = D(h_ - 1);
    for (int x = 0; x < cols; ++x) {
      odd_[x] = Store((dB[x] + 2 * lB[x]) >> 2);
      even_[x] = Store(((lA[x] + lB[x]) >> 2) + ((dA[x] + 2 * dB[x]) >> 3) - dB[x]);
    }
    RowSynthesis<kWide>(even_, even_ + w, w, rowOdd_, even);
    RowSynthesis<kWide>(odd_, odd_ + w, w, rowOdd_, odd);
    next_ = -1;
    return;
  }
  if (next_ != k) {  // the odd row of the pair before, as that pair makes it
    const int16_t *lp = L(k - 1), *dp = D(k - 1), *dk = D(k);
    for (int x = 0; x < cols; ++x) prevOdd_[x] = Store((dp[x] + 2 * lp[x] + dk[x]) >> 2);
  }
  const int16_t *lk = L(k), *dk = D(k), *dk1 = D(k + 1);
  for (int x = 0; x < cols; ++x) {
    odd_[x] = Store((dk[x] + 2 * lk[x] + dk1[x]) >> 2);
    even_[x] = Store(((prevOdd_[x] + odd_[x]) >> 1) - dk[x]);
  }
  RowSynthesis<kWide>(even_, even_ + w, w, rowOdd_, even);
  RowSynthesis<kWide>(odd_, odd_ + w, w, rowOdd_, odd);
  std::swap(prevOdd_, odd_);
  next_ = k + 1;
}

#if KDZ_WIDE_VECTORS
KDZ_WIDE void FinestRows::PairWide(int k, int16_t* even, int16_t* odd) { PairBody<true>(k, even, odd); }
#endif

void FinestRows::Pair(int k, int16_t* even, int16_t* odd) {
#if KDZ_WIDE_VECTORS
  if (UseWideVectors()) return PairWide(k, even, odd);
#endif
  PairBody<false>(k, even, odd);
}

bool FinestLevelLeftOut(const DecoderState& state, int letter, FinestLevel* level) {
  *level = FinestLevel{};
  if (state.levels < 1) return false;
  const int r = (state.height >> state.levels) << state.levels;
  const int c = (state.width >> state.levels) << state.levels;
  if (r < 4 || c < 4) return false;
  level->rows = r;
  level->cols = c;
  level->interpolated = state.uncodedLevels[PlaneIndexOf(letter)] > 0;
  return true;
}

int InverseTransformPlane(DecoderState& state, int16_t* plane, int letter) {
  return InverseTransformPlane(state, plane, letter, false);
}

int InverseTransformPlane(DecoderState& state, int16_t* plane, int letter, bool leaveFinest) {
  const int p = PlaneIndexOf(letter);
  // The header check keeps 0 <= uncodedLevels <= levels; the clamp keeps a direct
  // caller with other values inside the plane.
  const int uncoded = std::min(std::max(state.uncodedLevels[p], 0), state.levels);
  FinestLevel finest;
  const int last = leaveFinest && FinestLevelLeftOut(state, letter, &finest) ? state.levels - 1 : state.levels;
  const int n = std::min(state.levels - uncoded, last);
  int r = state.height >> state.levels;
  int c = state.width >> state.levels;
  // One scratch for all levels, taken at the size of the last one done (at most half
  // its region: the low rows of a synthesis level).
  TransformScratch scratch;
  if (last > 0) {
    const size_t lastRows = static_cast<size_t>(r) << last;
    const size_t lastCols = static_cast<size_t>(c) << last;
    (void)scratch.Ensure(lastRows / 2 * lastCols, lastCols);
  }
  for (int j = 1; j <= n; ++j) {
    r *= 2;
    c *= 2;
    (void)SynthesizeLevel(plane, state.width, r, c, scratch);  // a level without scratch is skipped
  }
  for (int j = n + 1; j <= last; ++j) {
    r *= 2;
    c *= 2;
    (void)InterpolateLevel(plane, state.width, r, c, scratch);
  }
  return 0;
}

}  // namespace kdz
