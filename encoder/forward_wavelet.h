// Forward wavelet transform: the analysis that the decoder's integer lifting
// synthesis undoes, level by level, fine to coarse, in the same band layout.
#pragma once

#include <cstdint>
#include <vector>

namespace kdz {

// One analysis level on the top-left rows x cols region (both even, at least 4) of
// a plane of `stride` samples per row: afterwards rows 0..rows/2-1 hold the
// vertical low part, columns 0..cols/2-1 the horizontal low part. The decoder's
// synthesis of the result gives back the odd columns of all but two rows exactly
// and the rest within a few units: it doubles some details, so the parity of the
// samples they build cannot always be matched.
void AnalyzeLevel(int32_t* plane, int stride, int rows, int cols);

// Transforms a width x height plane in place with `levels` levels. The region
// beyond (height >> levels) << levels rows and (width >> levels) << levels
// columns is left as it is (the decoder never reads it).
void ForwardTransformPlane(std::vector<int32_t>* plane, int width, int height, int levels);

// Energy, in the picture, of a unit coefficient of one band after synthesis,
// the 2-D product of two 1-D gains. `level` counts from 1 (finest); orientation
// 0 = low band, 1 = upper-right (horizontal detail), 2 = lower-left (vertical
// detail), 3 = lower-right.
double BandGain(int level, int orientation);

}  // namespace kdz
