// RGB pictures into the three planes 'y', 'i', 'q' that the decoder's fixed-point
// colour conversion turns back into the same pixels.
#pragma once

#include <cstdint>
#include <vector>

#include "kdz/kdz.h"

namespace kdz {

struct YiqPlanes {
  int width = 0;
  int height = 0;
  // Plane order: row 0 is the picture's bottom row. Luma is stored without the
  // bias (the decoder adds lumaBias back).
  std::vector<int32_t> y, i, q;
};

// The decoder feeds pixel byte 0 (shown as blue) from the first matrix row, so
// blue goes in where that row expects its first component, green second, red third.
void RgbToYiq(const RgbImage& picture, int lumaBias, YiqPlanes* out);

// The grey (one value for all three bytes) closest in squared error to the
// picture's pixels outside the top-left coveredCols x coveredRows of the planes,
// in plane coordinates; 128 when every pixel is covered. The decoder shows those
// pixels as the luma bias.
// With `error`, also the squared error of that grey summed over those pixels'
// bytes, over 3.
int BestUncoveredGrey(const RgbImage& picture, int coveredCols, int coveredRows,
                      double* error = nullptr);

}  // namespace kdz
