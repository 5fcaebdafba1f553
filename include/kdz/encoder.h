// Public API of the KDZ encoder: an RGB picture into a KDZ version 2.3 file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kdz/kdz.h"

namespace kdz {

struct EncodeOptions {
  // Largest file wanted, in bytes; 0 for none. With a target the encoder picks the
  // best quality whose file fits it (the quality field is then ignored).
  int targetSize = 0;
  // 1 (smallest) .. 100 (best); the scale follows the familiar JPEG one roughly.
  int quality = 75;
  // Wavelet levels, 0..10; -1 chooses from the picture's size.
  int levels = -1;
};

// What the encoder chose.
struct EncodeReport {
  int width = 0, height = 0;
  int levels = 0;
  int uncodedLevels[3] = {};   // y, i, q
  double quality = 0;          // the quality the file was made at (fractional with a target)
  double step = 0;             // base quantiser step, in luma units
  int lumaBias = 0;
  size_t fileSize = 0;
  size_t planeBytes[3] = {};   // value table and segments of each plane
  bool secondSegment[3] = {};
  int valueCount[3] = {};
  size_t zeroTreeRoots[3] = {};
  bool endSymbol[3] = {};
  int coveredWidth = 0, coveredHeight = 0;  // pixels outside show the bias grey
  double psnr = 0;             // RGB PSNR of the file's 24-bit decode, in dB
  int trials = 0;              // files built while searching
};

// Encodes `picture` (rows top first, 3 bytes per pixel: red, green, blue). Every
// file made stays below 80000 bytes and starts each plane and segment below offset
// 65536. Fails with kInvalidArgument for a picture or option out of range and
// kFileTooLarge when no quality fits the limits or the target; `out` is then empty.
Result Encode(const RgbImage& picture, const EncodeOptions& options, std::vector<uint8_t>* out,
              EncodeReport* report = nullptr);

}  // namespace kdz
