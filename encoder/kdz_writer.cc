// Header fields are little-endian 16-bit; the 'y' plane follows the header
// directly (headerLength 0), each second segment follows its plane's first.
#include "encoder/kdz_writer.h"

#include "codec/file_format.h"

namespace kdz {
namespace {

void Put16(std::vector<uint8_t>* out, size_t at, int value) {
  const auto v = static_cast<uint16_t>(value);
  (*out)[at] = static_cast<uint8_t>(v & 0xFF);
  (*out)[at + 1] = static_cast<uint8_t>(v >> 8);
}

}  // namespace

bool WriteKdzFile(const FileLayout& layout, const CodedPlane planes[3], std::vector<uint8_t>* out,
                  std::string* why) {
  const int levels = layout.levels;
  const int rows = 3 * levels + 1;
  const size_t headerEnd = static_cast<size_t>(HeaderEnd23(levels));
  std::vector<uint8_t> file(headerEnd, 0);
  const char* signature = "QEM2.3aZ";
  for (int k = 0; k < 8; ++k) file[k] = static_cast<uint8_t>(signature[k]);
  for (int p = 0; p < 3; ++p) Put16(&file, 8 + 2 * p, layout.uncodedLevels[p]);
  Put16(&file, 14, 0);  // headerLength: the 'y' plane follows the header
  Put16(&file, 16, layout.width);
  Put16(&file, 18, layout.height);
  Put16(&file, 28, 0);  // transformMode
  Put16(&file, 30, levels);
  for (int n = 0; n < rows; ++n) {
    for (int p = 0; p < 3; ++p) {
      Put16(&file, 32 + 12 * n + 4 * p, layout.scalePos[p][n]);
      Put16(&file, 32 + 12 * n + 4 * p + 2, layout.scaleNeg[p][n]);
    }
  }
  const size_t segmentFields = 32 + 12 * static_cast<size_t>(rows);
  Put16(&file, segmentFields + 6, layout.lumaBias);
  const size_t divisorRows = segmentFields + 12;
  for (int n = 0; n < rows; ++n) {
    for (int p = 0; p < 3; ++p) Put16(&file, divisorRows + 6 * n + 2 * p, layout.scaleDiv[p][n]);
  }

  size_t planeStart[3] = {};
  size_t segmentStart[3] = {};
  for (int p = 0; p < 3; ++p) {
    planeStart[p] = file.size();
    file.insert(file.end(), planes[p].data.begin(), planes[p].data.end());
    if (!planes[p].second.empty()) {
      segmentStart[p] = file.size();
      file.insert(file.end(), planes[p].second.begin(), planes[p].second.end());
    }
  }
  static const char* kNames[3] = {"y", "i", "q"};
  for (int p = 0; p < 3; ++p) {
    if (planeStart[p] > 0xFFFF || segmentStart[p] > 0xFFFF) {
      *why = std::string("the '") + kNames[p] + "' plane would start beyond offset 65535";
      return false;
    }
  }
  if (file.size() >= kMaxFileSize) {
    *why = "the file would reach 80000 bytes";
    return false;
  }
  Put16(&file, 22, static_cast<int>(planeStart[1]));
  Put16(&file, 24, static_cast<int>(planeStart[2]));
  for (int p = 0; p < 3; ++p) Put16(&file, segmentFields + 2 * p, static_cast<int>(segmentStart[p]));
  *out = std::move(file);
  return true;
}

}  // namespace kdz
