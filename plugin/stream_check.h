// The check a completed stream passes before any image buffer exists: the saved file
// is read whole (KDZ files are below 80000 bytes) and its header parsed and
// bounds-checked, so that the blocks are sized only for pictures the decoder accepts.
// Portable, so that it is tested natively and run by the decode fuzz target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <vector>

#include "codec/decoder_state.h"
#include "codec/file_format.h"

namespace kdz {
namespace plugin {

// The plug-in's pixel limit. A page may send a file of 12 KB that declares a picture
// of the decoder's default limit (8192 x 8192) and codes every position of it: its
// decode holds the browser's only thread for 4 to 7 s and needs 700 MB more memory,
// most of a 32-bit process's room (bench/limits_bench.cc). At 4096 x 4096, larger
// than any browser window, the worst case is a quarter of that: about 1 s and 180 MB.
constexpr uint64_t kPluginMaxPixels = 4096ull * 4096ull;

// Reads the whole file at `path` into `bytes`. Reading stops at the decoder's file
// limit, so a larger file costs no more than that. Returns kIo when the file cannot
// be opened or read, kEmpty for an empty file, kFileTooLarge for one of 80000 bytes
// or more, else kNone.
inline Error ReadStreamFile(const char* path, std::vector<uint8_t>* bytes) {
  bytes->clear();
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return Error::kIo;
  uint8_t chunk[8192];
  size_t got;
  while (bytes->size() < kMaxFileSize && (got = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
    bytes->insert(bytes->end(), chunk, chunk + got);
  }
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) return Error::kIo;
  if (bytes->empty()) return Error::kEmpty;
  if (bytes->size() >= kMaxFileSize) return Error::kFileTooLarge;
  return Error::kNone;
}

// What the header check found: the picture size that the blocks may be sized by.
struct StreamCheck {
  bool ok = false;
  int32_t width = 0;
  int32_t height = 0;
};

// Parses the header of the file image and runs every bounds check with `maxPixels`;
// on failure state.error and state.errorDetail say why. Nothing is allocated.
inline StreamCheck CheckStreamHeader(DecoderState& state, const uint8_t* data, size_t size,
                                     uint64_t maxPixels) {
  state.ClearError();
  StreamCheck out;
  if (size == 0) {
    state.Fail(Error::kEmpty, "the file is empty");
    return out;
  }
  if (size >= kMaxFileSize) {
    state.Fail(Error::kFileTooLarge, "KDZ files are below 80000 bytes");
    return out;
  }
  state.maxPixels = maxPixels;
  state.pixelAreaCapacity = std::numeric_limits<size_t>::max();
  state.dataBase = data;
  state.dataSize = size;
  state.readPos = 0;
  const int failed = ParsePlaneHeader(state, 'y');
  // The file image belongs to the caller; the decode sets its own.
  state.dataBase = nullptr;
  state.dataSize = 0;
  state.readPos = 0;
  if (failed != 0) return out;
  out.ok = true;
  out.width = state.width;
  out.height = state.height;
  return out;
}

}  // namespace plugin
}  // namespace kdz
