// The text of the image information box: decoding statistics, sizes and scales.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "viewer/view_state.h"

namespace kdz {

constexpr size_t kImageInfoTextSize = 512;

// Formats the box's text into `text`, always terminated; an over-long result (only
// absurd values print that long) is cut at the buffer's end. Lines end in "\n\r" and
// columns are separated by tabs. The width and height are the bitmap header's, shown as
// signed 16-bit values; the scaled size is the one the last paint drew with the state's
// display extents and scales.
void FormatImageInfo(double decodeTime, double compressionRatio, int32_t imageWidth,
                     int32_t imageHeight, const ViewState& state,
                     char (&text)[kImageInfoTextSize]);

// The same text as a string.
std::string ImageInfoText(double decodeTime, double compressionRatio, int32_t imageWidth,
                          int32_t imageHeight, const ViewState& state);

}  // namespace kdz
