// Adaptive multi-symbol arithmetic decoder: 16-bit registers, one frequency model
// of at most 256 value symbols plus an end symbol, total frequency capped at 4096.
#pragma once

#include <utility>

#include "codec/decoder_state.h"

namespace kdz {

constexpr int32_t kCodeTop = 0xFFFF;
constexpr int32_t kFirstQuarter = 0x4000;
constexpr int32_t kHalf = 0x8000;
constexpr int32_t kThirdQuarter = 0xC000;
constexpr int32_t kMaxFrequency = 4096;

// Puts the model into its initial state for state.valueCount / symbolCount:
// every index has count 1, index k+1 stands for value-table entry k.
void ResetModel(DecoderState& state);
// Empties the bit buffer: the next bit comes from a fresh byte at readPos.
void ResetBitInput(DecoderState& state);
// Reads the first 16 code bits and sets the full interval (consumes two bytes).
void StartDecoding(DecoderState& state);
// The next bit, least significant bit of each byte first. Past the end of the file
// image the input is zero bytes; state.readPastEnd then records that it happened.
int InputBit(DecoderState& state);
// Decodes one model index, 1..symbolCount (symbolCount is the end symbol).
int DecodeSymbol(DecoderState& state);
// Adapts the model to a decoded index other than the end symbol.
void UpdateModel(DecoderState& state, int index);

// The registers and the bit input of the decoder as a value of their own: the
// coefficient loop works on a local copy, which the compiler keeps in machine
// registers, and hands it back to the state when a segment ends. The steps are
// defined here so that the loop inlines them.
struct ArithRegisters {
  int32_t codeValue, low, high, bitBuffer, bitsLeft;
  size_t readPos;
  const uint8_t* data;
  size_t size;
  bool readPastEnd;

  explicit ArithRegisters(const DecoderState& s)
      : codeValue(s.codeValue), low(s.low), high(s.high), bitBuffer(s.bitBuffer), bitsLeft(s.bitsLeft),
        readPos(s.readPos), data(s.dataBase), size(s.dataSize), readPastEnd(s.readPastEnd) {}
  void StoreTo(DecoderState& s) const {
    s.codeValue = codeValue;
    s.low = low;
    s.high = high;
    s.bitBuffer = bitBuffer;
    s.bitsLeft = bitsLeft;
    s.readPos = readPos;
    s.readPastEnd = readPastEnd;
  }
};

inline int InputBit(ArithRegisters& r) {
  if (r.bitsLeft == 0) {
    if (r.readPos < r.size) {
      r.bitBuffer = r.data[r.readPos];
    } else {
      r.bitBuffer = 0;
      r.readPastEnd = true;
    }
    ++r.readPos;
    r.bitsLeft = 8;
  }
  const int bit = r.bitBuffer & 1;
  r.bitBuffer >>= 1;
  --r.bitsLeft;
  return bit;
}

// DecodeSymbol on the registers r with the model's cumulative counts.
inline int DecodeSymbol(ArithRegisters& r, const int32_t* cumFreq, int32_t symbolCount) {
  const int32_t range = r.high - r.low + 1;
  const int32_t total = cumFreq[0];
  const int32_t cum = ((r.codeValue - r.low + 1) * total - 1) / range;
  // The registers keep low <= codeValue <= high, so cum lies in 0..total-1 and the
  // search stops at the end symbol at the latest; the bound only guards that.
  int index = 1;
  while (index < symbolCount && cumFreq[index] > cum) ++index;

  const int32_t low = r.low;
  r.high = low + (range * cumFreq[index - 1]) / total - 1;
  r.low = low + (range * cumFreq[index]) / total;

  for (;;) {
    if (r.high < kHalf) {
      // nothing to subtract
    } else if (r.low >= kHalf) {
      r.codeValue -= kHalf;
      r.low -= kHalf;
      r.high -= kHalf;
    } else if (r.low >= kFirstQuarter && r.high < kThirdQuarter) {
      r.codeValue -= kFirstQuarter;
      r.low -= kFirstQuarter;
      r.high -= kFirstQuarter;
    } else {
      break;
    }
    r.low = 2 * r.low;
    r.high = 2 * r.high + 1;
    r.codeValue = 2 * r.codeValue + InputBit(r);
  }
  return index;
}

inline int InputBit(DecoderState& state) {
  ArithRegisters r(state);
  const int bit = InputBit(r);
  r.StoreTo(state);
  return bit;
}

inline int DecodeSymbol(DecoderState& state) {
  ArithRegisters r(state);
  const int index = DecodeSymbol(r, state.cumFreq, state.symbolCount);
  r.StoreTo(state);
  return index;
}

inline void UpdateModel(DecoderState& state, int index) {
  if (state.cumFreq[0] == kMaxFrequency) {
    int32_t cum = 0;
    for (int i = state.symbolCount; i >= 0; --i) {
      state.freq[i] = (state.freq[i] + 1) / 2;
      state.cumFreq[i] = cum;
      cum += state.freq[i];
    }
  }
  int i = index;
  while (state.freq[i] == state.freq[i - 1]) --i;
  if (i < index) std::swap(state.indexToSymbol[i], state.indexToSymbol[index]);
  ++state.freq[i];
  for (int k = i - 1; k >= 0; --k) ++state.cumFreq[k];
}

}  // namespace kdz
