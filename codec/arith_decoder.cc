// Adaptive arithmetic decoder: registers, bit input and the frequency model.
#include "codec/arith_decoder.h"

#include <array>
#include <utility>

namespace kdz {

const uint32_t* ReciprocalTable() {
  using Table = std::array<uint32_t, kMaxFrequency - kReciprocalLow + 1>;
  static const Table table = [] {
    Table t{};
    for (int32_t total = kReciprocalLow; total <= kMaxFrequency; ++total) {
      t[static_cast<size_t>(total - kReciprocalLow)] = static_cast<uint32_t>(TotalReciprocal(total));
    }
    return t;
  }();
  return table.data();
}

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

void StartDecoding(DecoderState& state) {
  state.codeValue = 0;
  for (int i = 0; i < 16; ++i) state.codeValue = 2 * state.codeValue + InputBit(state);
  state.low = 0;
  state.high = kCodeTop;
}

}  // namespace kdz
