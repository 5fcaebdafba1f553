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

// The per-symbol steps are defined here so that the coefficient loop inlines them
// and keeps the registers out of memory.
inline int InputBit(DecoderState& state) {
  if (state.bitsLeft == 0) {
    if (state.readPos < state.dataSize) {
      state.bitBuffer = state.dataBase[state.readPos];
    } else {
      state.bitBuffer = 0;
      state.readPastEnd = true;
    }
    ++state.readPos;
    state.bitsLeft = 8;
  }
  const int bit = state.bitBuffer & 1;
  state.bitBuffer >>= 1;
  --state.bitsLeft;
  return bit;
}

inline int DecodeSymbol(DecoderState& state) {
  const int32_t range = state.high - state.low + 1;
  const int32_t total = state.cumFreq[0];
  const int32_t cum = ((state.codeValue - state.low + 1) * total - 1) / range;
  // The registers keep low <= codeValue <= high, so cum lies in 0..total-1 and the
  // search stops at the end symbol at the latest; the bound only guards that.
  int index = 1;
  while (index < state.symbolCount && state.cumFreq[index] > cum) ++index;

  const int32_t low = state.low;
  state.high = low + (range * state.cumFreq[index - 1]) / total - 1;
  state.low = low + (range * state.cumFreq[index]) / total;

  for (;;) {
    if (state.high < kHalf) {
      // nothing to subtract
    } else if (state.low >= kHalf) {
      state.codeValue -= kHalf;
      state.low -= kHalf;
      state.high -= kHalf;
    } else if (state.low >= kFirstQuarter && state.high < kThirdQuarter) {
      state.codeValue -= kFirstQuarter;
      state.low -= kFirstQuarter;
      state.high -= kFirstQuarter;
    } else {
      break;
    }
    state.low = 2 * state.low;
    state.high = 2 * state.high + 1;
    state.codeValue = 2 * state.codeValue + InputBit(state);
  }
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
