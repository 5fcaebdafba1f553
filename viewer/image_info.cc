// The text of the image information box.
#include "viewer/image_info.h"

#include <cstdio>

namespace kdz {

void FormatImageInfo(double decodeTime, double compressionRatio, int32_t imageWidth,
                     int32_t imageHeight, const ViewState& state,
                     char (&text)[kImageInfoTextSize]) {
  const int width = static_cast<int16_t>(imageWidth);
  const int height = static_cast<int16_t>(imageHeight);
  const int scaledWidth = static_cast<int16_t>(ScaledExtent(state.displayWidth, state));
  const int scaledHeight = static_cast<int16_t>(ScaledExtent(state.displayHeight, state));
  std::snprintf(text, sizeof text,
                "Decompression Time\t%5.2f s\n\rCompression Ratio\t\t%2.0f:1\n\r"
                "Original Size\t\t%d x %d\n\rScaled Size\t\t%d x %d\n\r"
                "Scaling factor\t\t%2.2f\n\rUser scaling factor:\t\t%2.2f",
                decodeTime, compressionRatio, width, height, scaledWidth, scaledHeight,
                state.autoScale, state.userScale);
}

std::string ImageInfoText(double decodeTime, double compressionRatio, int32_t imageWidth,
                          int32_t imageHeight, const ViewState& state) {
  char text[kImageInfoTextSize];
  FormatImageInfo(decodeTime, compressionRatio, imageWidth, imageHeight, state, text);
  return text;
}

}  // namespace kdz
