// Public API of the KDZ codec: decode a KDZ file into a picture, read its header.
// The CLI, the plug-in and the tests use only what this header declares (plus the
// encoder's header).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kdz {

enum class Error {
  kNone = 0,
  kIo,             // the file could not be opened or read
  kFileTooLarge,   // the file is 80000 bytes or more, or larger than its block
  kEmpty,          // the file holds no bytes
  kNotKdz,         // the first three bytes are not "QEM"
  kUnsupported,    // a version whose planes this decoder does not decode
  kMalformed,      // a header field, offset or table is out of bounds
  kLimit,          // the picture exceeds the caller's pixel limit
  kBufferTooSmall, // the picture or file does not fit the block it was given
  kOutOfMemory,    // a plane or work buffer could not be allocated
  kQuantFailed,    // the colour quantiser reported a failure
  kInvalidArgument,
};

// A fixed, human-readable text for each error.
const char* ErrorMessage(Error e);

// The default pixel limit: 8192 x 8192.
constexpr uint64_t kDefaultMaxPixels = 8192ull * 8192ull;

struct Limits {
  // Pictures with more pixels than this are refused before anything is allocated.
  // A limit is reported as Error::kLimit, apart from malformed files.
  uint64_t maxPixels = kDefaultMaxPixels;
  // Threads a decode may use: 0 (the default) for one per core, 1 to decode on the
  // caller's thread alone; a count above the cores uses one per core. Builds
  // without thread support always use the caller's. With 0, a picture too small to
  // repay the wait for a helper keeps to the caller's thread: below 100 x 100
  // pixels always, below 160 x 160 unless a helper kept from an earlier decode is
  // free (none is started for it).
  // The picture is the same, bit for bit, for every count. The helper threads of a
  // decode are kept, asleep, for the next one until the process ends (see
  // EndDecodeThreads).
  int threads = 0;
};

// Ends the helper threads kept between decodes and frees the plane memory kept for
// the next decode (at most 8 MB), for a host about to unload the library (the
// threads' code goes with it) or to give the memory back. Call it when no decode
// runs; a later decode starts threads and takes memory anew.
void EndDecodeThreads();

// Outcome of an operation: the error code and a message that names the cause
// (for example "levels 12 outside 0..10").
struct [[nodiscard]] Result {
  Error error = Error::kNone;
  std::string message;
  bool ok() const { return error == Error::kNone; }
};

// A decoded bitmap exactly as the viewer holds it: a 40-byte BITMAPINFOHEADER,
// a 256-entry colour table of 4-byte entries (blue, green, red, 0; used in 8-bit
// mode only), then the pixel rows from byte 1064. Rows are stored bottom-up (the
// first row in memory is the picture's bottom row) and padded to a multiple of 4
// bytes. 24-bit pixels are bytes 0, 1, 2 = blue, green, red; 8-bit pixels are
// colour-table indices.
struct Bitmap {
  int width = 0;
  int height = 0;
  int bitsPerPixel = 24;       // 24 or 8
  int colorsUsed = 0;          // palette entries in use (8-bit only)
  std::vector<uint8_t> block;  // header + colour table + padded rows

  size_t RowStride() const { return (static_cast<size_t>(width) * (bitsPerPixel / 8) + 3) & ~size_t{3}; }
  const uint8_t* Row(int r) const { return block.data() + 1064 + RowStride() * static_cast<size_t>(r); }
};

// Decodes a KDZ file image into a 24-bit (eightBit false) or, through the colour
// quantiser, an 8-bit bitmap. On failure `out` is left empty.
Result DecodeToBitmap(const uint8_t* data, size_t size, bool eightBit, Bitmap* out,
                      const Limits& limits = {});
Result DecodeFileToBitmap(const std::string& path, bool eightBit, Bitmap* out,
                          const Limits& limits = {});

// A decoded 24-bit picture, rows top first, 3 bytes per pixel in red, green, blue
// order, no padding: the form image libraries expect.
struct RgbImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;
};
Result Decode(const uint8_t* data, size_t size, RgbImage* out, const Limits& limits = {});
Result DecodeFile(const std::string& path, RgbImage* out, const Limits& limits = {});

// What the header of a KDZ file says, for inspection tools.
struct HeaderInfo {
  char signature[9] = {};  // the first 8 bytes, NUL-terminated
  int width = 0, height = 0;
  int levels = 0;
  int uncodedLevels[3] = {};
  int headerLength = 0;
  int transformMode = 0;
  int lumaBias = 0;
  uint32_t planeOffset[3] = {};    // y (data start), i, q
  uint32_t segmentOffset[3] = {};  // 0 = none
  int valueCount[3] = {-1, -1, -1};  // -1 where the table lies outside the file
  size_t fileSize = 0;
  bool decodable = false;          // passes every bounds check
  std::string problem;             // why not, when not decodable
};
Result ReadHeader(const uint8_t* data, size_t size, HeaderInfo* out);

}  // namespace kdz
