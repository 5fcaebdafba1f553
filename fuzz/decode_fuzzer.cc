// Fuzz target: whole decode of untrusted bytes, 24-bit and through the quantiser
// to the 8-bit bitmap, with a pixel limit that keeps each run short.
#include <cstddef>
#include <cstdint>

#include "kdz/kdz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kdz::Limits limits;
  limits.maxPixels = 512 * 512;
  kdz::Bitmap bitmap;
  const bool eightBit = size > 0 && (data[size - 1] & 1) != 0;
  const kdz::Result r = kdz::DecodeToBitmap(data, size, eightBit, &bitmap, limits);
  if (r.ok()) {
    // Touch every row so that a short block shows up under AddressSanitizer.
    unsigned sum = 0;
    for (int row = 0; row < bitmap.height; ++row) sum += bitmap.Row(row)[bitmap.RowStride() - 1];
    if (bitmap.block.size() < 1064 + bitmap.RowStride() * static_cast<size_t>(bitmap.height)) __builtin_trap();
    (void)sum;
  } else if (!bitmap.block.empty() || r.message.empty()) {
    __builtin_trap();  // a failure leaves no picture and always says why
  }
  return 0;
}
