// Inverse wavelet transform: integer lifting synthesis, in place, coarse levels
// first; the finest levels without details are rebuilt by interpolation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "codec/decoder_state.h"

namespace kdz {

// Transforms plane `letter` ('y', 'i' or 'q') of `state` in place. Every value of
// transformMode works in place. Returns 0.
int InverseTransformPlane(DecoderState& state, int16_t* plane, int letter);
// The same, with the finest level left undone when FinestLevelLeftOut holds: then
// FinestRows makes its rows.
int InverseTransformPlane(DecoderState& state, int16_t* plane, int letter, bool leaveFinest);

// The finest level of a plane: its region and whether it is rebuilt from its low band
// alone (no details coded) rather than synthesised.
struct FinestLevel {
  int rows = 0, cols = 0;
  bool interpolated = false;
};
// True when plane `letter` has levels and its finest region is at least 4 x 4: then
// InverseTransformPlane(..., true) leaves that level undone, and *level describes it.
bool FinestLevelLeftOut(const DecoderState& state, int letter, FinestLevel* level);

// The finest level of a plane made out of place, a pair of output rows at a time,
// from a plane whose coarser levels are done. The plane is only read, so pairs may
// be made in any order and on several threads at once, each thread with a
// FinestRows of its own; every pair is the one SynthesizeLevel (or InterpolateLevel)
// leaves in the plane.
class FinestRows {
 public:
  // For the level's R x C region (R, C even, at least 4) of a plane with rows of
  // `stride` samples.
  FinestRows(const int16_t* plane, int stride, const FinestLevel& level);
  bool ok() const { return buffers_ != nullptr; }  // false when its row buffers could not be had
  // Output rows 2k and 2k + 1 of the region into even[0..C-1] and odd[0..C-1].
  void Pair(int k, int16_t* even, int16_t* odd);

 private:
  const int16_t* L(int k) const { return plane_ + static_cast<size_t>(k) * static_cast<size_t>(stride_); }
  const int16_t* D(int k) const { return L(h_ + k); }
  // Pair for the baseline (kWide false) and with AVX2 (see wide_vectors.h).
  template <bool kWide>
  void Interpolate(int k, int16_t* even, int16_t* odd);
  template <bool kWide>
  void PairBody(int k, int16_t* even, int16_t* odd);
  void PairWide(int k, int16_t* even, int16_t* odd);

  const int16_t* plane_;
  int stride_, cols_, h_, w_;
  bool interpolated_;
  std::unique_ptr<int16_t[]> buffers_;
  int16_t *prevOdd_ = nullptr, *odd_ = nullptr, *even_ = nullptr, *rowOdd_ = nullptr;
  int next_ = -1;  // the pair whose vertical odd row before it is in prevOdd_
};

// Work memory of the level steps, reused from level to level: a copy of the low
// rows of the level and a few row buffers. The steps write every sample before
// they read it, so the buffers are not cleared.
struct TransformScratch {
  std::unique_ptr<int16_t[]> low, rows;
  size_t lowSize = 0, rowsSize = 0;
  // Grows the buffers to lowSamples and six rows of rowSamples; false when memory
  // runs out.
  bool Ensure(size_t lowSamples, size_t rowSamples);
};

// One synthesis level on the top-left R x C region of a plane whose rows are
// `stride` samples long (R, C even and at least 4). Returns 0, or 1 when the work
// buffer cannot be obtained (the plane is then untouched).
int SynthesizeLevel(int16_t* plane, int stride, int rows, int cols);
// The same level rebuilt from its low band alone (details taken as absent).
int InterpolateLevel(int16_t* plane, int stride, int rows, int cols);
// The same with work memory that the caller keeps over the levels.
int SynthesizeLevel(int16_t* plane, int stride, int rows, int cols, TransformScratch& scratch);
int InterpolateLevel(int16_t* plane, int stride, int rows, int cols, TransformScratch& scratch);
// The plain forms the level steps replace and must match sample for sample: the
// vertical step of the whole region into a region-sized scratch plane, then the
// horizontal step back, each formula as written.
int SynthesizeLevelPlain(int16_t* plane, int stride, int rows, int cols);
int InterpolateLevelPlain(int16_t* plane, int stride, int rows, int cols);

}  // namespace kdz
