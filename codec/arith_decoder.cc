// Adaptive arithmetic decoder: registers, bit input and the frequency model.
#include "codec/arith_decoder.h"

#include <utility>

namespace kdz {

void ResetModel(DecoderState& state) {
  const int32_t s = state.symbolCount;
  for (int32_t k = 0; k < state.valueCount; ++k) {
    state.indexToSymbol[k + 1] = static_cast<uint8_t>(k);
  }
  for (int32_t i = 0; i <= s; ++i) {
    state.freq[i] = 1;
    state.cumFreq[i] = s - i;
  }
  state.freq[0] = 0;
}

void ResetBitInput(DecoderState& state) { state.bitsLeft = 0; }

int InputBit(DecoderState& state) {
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

void StartDecoding(DecoderState& state) {
  state.codeValue = 0;
  for (int i = 0; i < 16; ++i) state.codeValue = 2 * state.codeValue + InputBit(state);
  state.low = 0;
  state.high = kCodeTop;
}

int DecodeSymbol(DecoderState& state) {
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

void UpdateModel(DecoderState& state, int index) {
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
