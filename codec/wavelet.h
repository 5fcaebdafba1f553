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
