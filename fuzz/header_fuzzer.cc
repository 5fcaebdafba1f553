// Fuzz target: the header peek and the header parse with its bounds checks.
#include <cstddef>
#include <cstdint>

#include "codec/file_format.h"
#include "kdz/kdz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const kdz::PeekResult peek = kdz::PeekHeaderBytes(data, size);
  if (peek.fileSize != size) __builtin_trap();
  kdz::HeaderInfo info;
  (void)kdz::ReadHeader(data, size, &info);
  kdz::DecoderState state;
  state.dataBase = data;
  state.dataSize = size;
  if (kdz::ParsePlaneHeader(state, 'y') == 0) {
    // A header that passes leaves readPos on the 'y' coded data inside the file.
    if (state.readPos > size || state.levels < 0 || state.levels > 10) __builtin_trap();
    if (state.width <= 0 || state.height <= 0) __builtin_trap();
  }
  return 0;
}
