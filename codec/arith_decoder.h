// Adaptive multi-symbol arithmetic decoder: 16-bit registers, one frequency model
// of at most 256 value symbols plus an end symbol, total frequency capped at 4096.
#pragma once

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

}  // namespace kdz
