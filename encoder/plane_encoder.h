// One coefficient plane into its value table and coded segments: quantisation
// per band, zero-tree roots, the end symbol, and the optional second segment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec/decoder_state.h"
#include "encoder/synthesis_response.h"

namespace kdz {

// The symbol value of a zero-tree root in the detail bands.
constexpr int kRootValue = -127;
// Quantised magnitudes stay within this, so -127 never arises from a coefficient
// and the table never needs more than 255 entries.
constexpr int kMaxQuantised = 126;
// Marks the end symbol in CodedPlane::symbols.
constexpr int kEndMark = 1000;

// What the decoder will do with value v of band n: trunc(v * step), as a float
// step scalePos/scaleDiv (or -scaleNeg/scaleDiv for v <= 0) times v in double.
float PositiveStep(int scalePos, int scaleDiv);
float NegativeStep(int scaleNeg, int scaleDiv);

struct PlaneJob {
  const int32_t* coefficients = nullptr;  // width x height, band layout
  int width = 0;
  int height = 0;
  int levels = 0;
  int uncodedLevels = 0;
  // Per subband n (0..3 levels): the header's scale rows for this plane.
  int16_t scalePos[kSubbandRows] = {};
  int16_t scaleNeg[kSubbandRows] = {};
  int16_t scaleDiv[kSubbandRows] = {};
  // Rounding: a magnitude m steps long becomes floor(m + 0.5 - deadZone).
  double deadZone = 0.0;
  // Rate-distortion pruning: with lambda > 0 each zero tree and each detail value
  // is chosen to minimise weight[n] * (squared error) + lambda * (bits), the bits
  // estimated from the plane's own symbol statistics. weight[n] converts a
  // coefficient's squared error in band n into picture error.
  double lambda = 0.0;
  double weight[kSubbandRows] = {};
  // Pruning passes: the symbol costs of the first come from the plainly
  // quantised plane, those of each further pass from the pass before.
  int prunePasses = 1;
  // Detail level j (0 = coarsest) at whose first band a second segment starts
  // with a fresh model; -1 for none.
  int splitLevel = -1;
  // Closed loop: with the plane's samples (width x height, the values the
  // transform started from), the quantised values are revisited against the
  // decoder's own synthesis of them, `refinePasses` times, each move weighed as
  // sampleWeight * (change of squared sample error) + lambda * (change of bits).
  const int32_t* samples = nullptr;
  double sampleWeight = 1.0;
  int refinePasses = 0;
  // Optional, width x height: what this plane should add to its samples to make
  // up for the errors other planes left (their share of the picture error that
  // this plane's colour direction can cancel).
  const float* targetShift = nullptr;
  // Keep the symbol list in the result (for tests and tools).
  bool keepSymbols = false;
  // End a plane only where no position marked by a root is still unvisited, so
  // that no decoder can be left holding a pending-zero marker.
  bool endAfterMarks = true;
};

struct CodedPlane {
  std::vector<uint8_t> data;     // valueCount, value table, first segment
  std::vector<uint8_t> second;   // second segment, empty when there is none
  int valueCount = 0;
  size_t symbolCount = 0;        // coded symbols, end symbols included
  size_t roots = 0;              // zero-tree roots coded
  size_t refined = 0;            // values changed by the closed loop
  bool ended = false;            // the plane stops with an end symbol
  // Values in coding order; kEndMark for an end symbol. Filled on request.
  std::vector<int> symbols;
};

// The plane coded again with a second segment from value symbol `at` (counted in
// coding order from 0) on: the first segment ends with an end symbol in place of
// that symbol, and the second starts a fresh model and always closes with an end
// symbol, even when the plane's positions run out first, so that a decoder reading
// the segment on its own knows where it stops. Needs the symbol list (keepSymbols)
// of a plane without a second segment and `at` inside the detail bands: at least
// the low band's symbols and below the number of values; the plane as it is
// otherwise.
CodedPlane WithSecondSegment(const CodedPlane& plane, size_t at, size_t lowBandSymbols);

// The bits the plane's stream has taken after each of its values, in coding order,
// as its symbol list (keepSymbols) codes them in one segment; empty for a plane
// with a second segment.
std::vector<uint32_t> BitsAfterEachValue(const CodedPlane& plane);

// Codes one plane. Scratch buffers are reused between calls.
class PlaneEncoder {
 public:
  CodedPlane Encode(const PlaneJob& job);
  // After an Encode with samples and refinement: the error (decoded minus
  // samples) the decoder's synthesis of the coded values leaves, over the
  // transformed region; false when the last Encode did not refine.
  bool DecodedError(const PlaneJob& job, std::vector<float>* out);

 private:
  void Quantise(const PlaneJob& job);
  void MarkZeroTrees(const PlaneJob& job);
  void BuildSequence(const PlaneJob& job, std::vector<size_t>* levelStart);
  void Prune(const PlaneJob& job, const double bits[256]);
  void SymbolBits(const PlaneJob& job, double bits[256]);
  size_t Refine(const PlaneJob& job, const double bits[256]);
  void Reconstruct(const PlaneJob& job);

  std::vector<int16_t> quantised_;
  std::vector<int16_t> plain_;      // before pruning
  std::vector<float> treeCost_;    // best cost of each coefficient's tree
  std::vector<float> zeroCost_;    // error of each tree when it is all zero
  std::vector<int16_t> choice_;    // the value chosen when the tree is kept
  std::vector<uint8_t> pruned_;
  std::vector<uint8_t> zeroTree_;  // 1 where a coefficient and all it marks are 0
  std::vector<uint8_t> visited_;   // positions the decoder reads a symbol for
  std::vector<int32_t> markedBy_;  // 1 + sequence index of the marking root
  std::vector<int32_t> reach_;     // per symbol: where its marks end (roots)
  std::vector<int16_t> sequence_;
  // Closed loop: responses per direction, the dequantised plane, the decoder's
  // synthesis of it and its error against the samples.
  SynthesisResponses vertical_, horizontal_;
  std::vector<int16_t> dequantised_;
  std::vector<int16_t> rebuilt_;
  std::vector<float> error_;
  bool refinedLast_ = false;
};

}  // namespace kdz
