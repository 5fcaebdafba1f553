// Test helper: assembles KDZ files field by field, with planes coded by the
// arithmetic encoder from explicit symbol lists.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kdz::test {

constexpr int kEnd = -1;  // in a symbol list: the end symbol

struct PlaneData {
  std::vector<int> values;             // quantised values, -128..127 (the value table)
  std::vector<int> symbols;            // value-table entries of the first segment, or kEnd
  std::vector<int> second;             // second segment (written only if nonEmpty)
};

struct KdzLayout {
  std::string signature = "QEM2.3aZ";
  int uncodedLevels[3] = {0, 0, 0};
  int width = 8;
  int height = 8;
  int levels = 0;
  int transformMode = 0;
  int lumaBias = 0;
  int chromaBias[2] = {0, 0};
  // Per plane and subband; scaleDiv defaults to 1 and scalePos/scaleNeg to 1/-1, so
  // a value v dequantises to v.
  int scalePos[3][31];
  int scaleNeg[3][31];
  int scaleDiv[3][31];
  int headerGap = 0;  // bytes between the header's end and the 'y' data (sets headerLength)
  PlaneData planes[3];

  KdzLayout();
};

// The file, with offsets computed: 'y' data after the header (and gap), then 'i'
// and 'q' data, then any second segments.
std::vector<uint8_t> BuildKdz(const KdzLayout& layout);

// Value-table entry of `value` in `values` (the first match).
int EntryOf(const std::vector<int>& values, int value);

// Symbols for a band-ordered list of values: each value becomes the entry of that
// value in `values`.
std::vector<int> EntriesOf(const std::vector<int>& values, const std::vector<int>& sequence);

// Writes bytes to a temporary file and returns its path.
std::string WriteTempFile(const std::vector<uint8_t>& bytes, const std::string& name);

}  // namespace kdz::test
