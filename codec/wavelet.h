// Inverse wavelet transform: integer lifting synthesis, in place, coarse levels
// first; the finest levels without details are rebuilt by interpolation.
#pragma once

#include <cstdint>

#include "codec/decoder_state.h"

namespace kdz {

// Transforms plane `letter` ('y', 'i' or 'q') of `state` in place. Every value of
// transformMode works in place. Returns 0.
int InverseTransformPlane(DecoderState& state, int16_t* plane, int letter);

// One synthesis level on the top-left R x C region of a plane whose rows are
// `stride` samples long (R, C even and at least 4). Returns 0, or 1 when the work
// buffer cannot be obtained (the plane is then untouched).
int SynthesizeLevel(int16_t* plane, int stride, int rows, int cols);
// The same level rebuilt from its low band alone (details taken as absent).
int InterpolateLevel(int16_t* plane, int stride, int rows, int cols);

}  // namespace kdz
