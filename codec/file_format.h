// The KDZ file layout: the header peek on a saved file and the header parse on the
// file image in memory, with the bounds checks that make every later read safe.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/decoder_state.h"

namespace kdz {

// Fixed-header size of version 2.3 for `levels` L: 62 + 54 L.
constexpr int32_t HeaderEnd23(int32_t levels) { return 62 + 54 * levels; }

// What the header peek learns about a saved file before any buffer exists.
struct PeekResult {
  uint32_t fileSize = 0;
  int32_t width = 0;    // as stored (may be 0 or negative in a broken file)
  int32_t height = 0;
  int64_t imageSize = 0;  // width * height * 3
};

// Reads the file's size and the picture size from the header. Width and height sit
// at offsets 16 and 18, or at 10 and 12 in a 2.0 file and in a major version other
// than '2'; fields beyond the end of a short file read as 0. The signature is not
// checked. Returns false when the file cannot be opened.
bool PeekHeader(const char* path, PeekResult* out);
// The same on bytes already in memory (fileSize = size).
PeekResult PeekHeaderBytes(const uint8_t* data, size_t size);

// Plane letters and their indices.
int PlaneIndexOf(int letter);

// For 'y': checks the signature, parses the fixed header into `state`, checks every
// bound the decode relies on, then reads the 'y' value table. For 'i' and 'q': reads
// the value table at readPos. Returns 0 on success, 1 on failure (state.error set).
// Expects state.dataBase / dataSize set and readPos at 0 (for 'y') or at the plane.
int ParsePlaneHeader(DecoderState& state, int letter);

// True when the file's version has planes this decoder decodes (minor '3', 'Z').
bool IsDecodableVersion(const DecoderState& state);

}  // namespace kdz
