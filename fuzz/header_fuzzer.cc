// Fuzz target: the header peek and the header parse with its bounds checks.
#include <cstddef>
#include <cstdint>

#include "codec/file_format.h"
#include "kdz/kdz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const kdz::PeekResult peek = kdz::PeekHeaderBytes(data, size);
  if (peek.fileSize != size) __builtin_trap();
  kdz::HeaderInfo info;
  const kdz::Result read = kdz::ReadHeader(data, size, &info);
  kdz::DecoderState state;
  state.dataBase = data;
  state.dataSize = size;
  const bool parsed = kdz::ParsePlaneHeader(state, 'y') == 0;
  if (parsed) {
    // A header that passes leaves readPos on the 'y' coded data inside the file.
    if (state.readPos > size || state.levels < 0 || state.levels > 10) __builtin_trap();
    if (state.width <= 0 || state.height <= 0) __builtin_trap();
    // The plug-in's ratio comes from the peek and its blocks from the parse: for every
    // file that passes, both read the same picture size.
    if (peek.width != state.width || peek.height != state.height) __builtin_trap();
  }
  // The inspection API agrees with the parse (both use the default pixel limit).
  if (read.ok() && info.decodable != (parsed && size < 80000)) __builtin_trap();
  if (!read.ok() && parsed) __builtin_trap();
  return 0;
}
