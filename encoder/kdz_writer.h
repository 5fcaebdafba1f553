// The version 2.3 file layout on the writing side: fixed header, scale and divisor
// rows, then the three planes' tables and segments, with the offsets patched in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codec/decoder_state.h"
#include "encoder/plane_encoder.h"

namespace kdz {

struct FileLayout {
  int width = 0;
  int height = 0;
  int levels = 0;
  int uncodedLevels[3] = {};
  int lumaBias = 0;
  int16_t scalePos[3][kSubbandRows] = {};
  int16_t scaleNeg[3][kSubbandRows] = {};
  int16_t scaleDiv[3][kSubbandRows] = {};
};

// Assembles the file. Returns false, with the reason in *why, when a plane or
// segment would start at or beyond offset 65536 (the offsets are 16-bit) or the
// file would reach the decoder's size limit.
bool WriteKdzFile(const FileLayout& layout, const CodedPlane planes[3], std::vector<uint8_t>* out,
                  std::string* why);

}  // namespace kdz
