// The adaptive arithmetic encoder: the inverse of the plane decoder's 16-bit
// arithmetic decoder, with the same frequency model and the same bit order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kdz {

// One coded segment. The model starts as the decoder's does after ResetModel for
// `valueCount` value-table entries; symbol S = valueCount + 1 ends a segment.
// Bits are packed least significant bit first. Finish() pads the last byte with
// zeros; the bits written identify every symbol whatever follows them in the file,
// so segments may be placed back to back.
class ArithEncoder {
 public:
  // valueCount is clamped to 0..255.
  explicit ArithEncoder(int valueCount);

  // Codes value-table entry `tableEntry` (0..valueCount-1) and adapts the model as
  // the decoder will. An entry outside that range is a caller error; it is ignored
  // and counted in BadCalls().
  void EncodeValue(int tableEntry);
  // Codes the end symbol. The model is not updated (the decoder stops here).
  void EncodeEnd();
  // Flushes and returns the segment's bytes. Later calls return the same bytes;
  // nothing more can be coded.
  std::vector<uint8_t> Finish();

  // Bits emitted so far, including those held back by the carry logic (an estimate
  // of the final size before the 2-bit flush and byte padding).
  size_t BitsSoFar() const { return bitCount_ + bitsToFollow_; }
  // Number of EncodeValue calls with an invalid entry, or calls after Finish().
  int BadCalls() const { return badCalls_; }

  // The model, for inspection by tests and rate estimates. Index 1..S.
  int symbolCount() const { return symbolCount_; }
  int IndexOf(int tableEntry) const { return symbolToIndex_[tableEntry]; }
  int Frequency(int index) const { return freq_[index]; }
  int TotalFrequency() const { return cumFreq_[0]; }

 private:
  void EncodeIndex(int index);
  void UpdateModel(int index);
  void BitPlusFollow(int bit);
  void PutBit(int bit);

  int valueCount_;
  int symbolCount_;  // S
  int freq_[258];
  int cumFreq_[258];
  uint8_t indexToSymbol_[258];
  uint8_t symbolToIndex_[256];

  int32_t low_;
  int32_t high_;
  size_t bitsToFollow_ = 0;
  size_t bitCount_ = 0;
  uint32_t partialByte_ = 0;
  int partialBits_ = 0;
  std::vector<uint8_t> bytes_;
  bool finished_ = false;
  int badCalls_ = 0;
};

}  // namespace kdz
