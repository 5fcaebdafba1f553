// Fuzz target: whole decode of untrusted bytes, 24-bit and through the quantiser
// to the 8-bit bitmap, with a pixel limit that keeps each run short; and the
// plug-in's header check, which must accept exactly the files whose decode gets
// past the header.
#include <cstddef>
#include <cstdint>

#include "codec/decoder_state.h"
#include "kdz/kdz.h"
#include "plugin/stream_check.h"

namespace {

// 2^16 pixels: levels up to 7, and about 0.2 s for the slowest input under the
// sanitizers. Deeper files are decoded by the seed corpus check and the benchmarks.
constexpr uint64_t kFuzzMaxPixels = 256 * 256;

bool HeaderRefusal(kdz::Error e) {
  return e == kdz::Error::kEmpty || e == kdz::Error::kFileTooLarge || e == kdz::Error::kNotKdz ||
         e == kdz::Error::kUnsupported || e == kdz::Error::kMalformed || e == kdz::Error::kLimit;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kdz::Limits limits;
  limits.maxPixels = kFuzzMaxPixels;
  kdz::Bitmap bitmap;
  const bool eightBit = size > 0 && (data[size - 1] & 1) != 0;
  const kdz::Result r = kdz::DecodeToBitmap(data, size, eightBit, &bitmap, limits);
  if (r.ok()) {
    // Touch every row so that a short block shows up under AddressSanitizer.
    unsigned sum = 0;
    for (int row = 0; row < bitmap.height; ++row) sum += bitmap.Row(row)[bitmap.RowStride() - 1];
    if (bitmap.block.size() < 1064 + bitmap.RowStride() * static_cast<size_t>(bitmap.height)) __builtin_trap();
    if (static_cast<uint64_t>(bitmap.width) * static_cast<uint64_t>(bitmap.height) > kFuzzMaxPixels) __builtin_trap();
    (void)sum;
  } else if (!bitmap.block.empty() || r.message.empty()) {
    __builtin_trap();  // a failure leaves no picture and always says why
  }

  // The plug-in sizes its blocks from this check: whatever it accepts, the decode
  // accepts with the same size; whatever it refuses, the decode refuses too.
  kdz::DecoderState state;
  const kdz::plugin::StreamCheck check = kdz::plugin::CheckStreamHeader(state, data, size, kFuzzMaxPixels);
  if (check.ok) {
    if (!r.ok() && HeaderRefusal(r.error)) __builtin_trap();
    if (r.ok() && (check.width != bitmap.width || check.height != bitmap.height)) __builtin_trap();
  } else {
    if (r.ok() || state.error != r.error || state.errorDetail.empty()) __builtin_trap();
  }
  return 0;
}
