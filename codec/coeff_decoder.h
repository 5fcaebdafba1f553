// Coefficient planes: the dyadic band layout, zero trees and the symbol loop that
// fills one plane from its coded segments.
#pragma once

#include "codec/decoder_state.h"

namespace kdz {

constexpr int16_t kPendingZero = -126;  // marks positions that a zero tree covers
constexpr int kZeroTreeRoot = -127;     // quantised value of a zero-tree root

// One band of the pyramid in plane coordinates, with its subband number n.
struct Band {
  int row0, col0, rows, cols, n;
};

// The bands in decoding order: the low band, then per level (coarsest first) the
// upper-right, lower-left and lower-right bands.
int BandCount(int levels);
Band BandAt(int width, int height, int levels, int k);

// Parses the plane's header (and, for 'y', the file header) and decodes its
// coefficients. Returns 0 on success, 1 on failure (state.error set).
int DecodePlane(DecoderState& state, int letter);
// Allocates the plane and decodes its coefficients from readPos. Returns 0, or 1
// when the plane cannot be allocated.
int DecodeCoefficients(DecoderState& state, int letter);
// The same with the plain decoder steps (bit-at-a-time renormalisation): the same
// plane, registers and bit input; kept for the tests and benchmarks.
int DecodeCoefficientsPlain(DecoderState& state, int letter);
// Writes the pending-zero marker into the descendants of a zero-tree root at
// (row, col) of level `level` - 1, down to level zeroFillLimit - 1.
void MarkZeroTree(DecoderState& state, int row, int col, int level);
// The same one sample at a time (the plain form, for the tests).
void MarkZeroTreePlain(DecoderState& state, int row, int col, int level);
// The dequantised sample of value v in the current band (low 16 bits kept).
int16_t Dequantise(int v, float posStep, float negStep);

}  // namespace kdz
