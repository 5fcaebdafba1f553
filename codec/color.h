// YIQ to 24-bit pixels in fixed point (1024 = 1.0) through product and clamp tables.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/decoder_state.h"

namespace kdz {

// Fills state.clampTable: entry j holds j - 1024 saturated to 0..255.
void BuildClampTable(DecoderState& state);

// Converts `count` samples of the three planes into 3-byte pixels at `pixels`:
// byte 0 from the matrix row 979, 636; byte 1 from -279, -662; byte 2 from -1133,
// 1744. Chroma is saturated to -256..255 and each sum to -1024..1023 so that every
// lookup stays inside its table.
// The planes may be slices: the conversion of each sample depends on that sample alone.
void YiqToRgb(const DecoderState& state, const int16_t* y, const int16_t* i, const int16_t* q,
              uint8_t* pixels, size_t count);
// The same with the bytes of each pixel the other way round: byte 0 from -1133,
// 1744 and byte 2 from 979, 636, the order of RGB pictures.
void YiqToRgbReversed(const DecoderState& state, const int16_t* y, const int16_t* i, const int16_t* q,
                      uint8_t* pixels, size_t count);
// The same conversion through the six product tables and state.clampTable, one
// lookup per term: the plain form that YiqToRgb must match byte for byte.
void YiqToRgbByTables(const DecoderState& state, const int16_t* y, const int16_t* i, const int16_t* q,
                      uint8_t* pixels, size_t count);

}  // namespace kdz
