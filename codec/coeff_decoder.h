// Coefficient planes: the dyadic band layout, zero trees and the symbol loop that
// fills one plane from its coded segments.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>

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

class SegmentAhead;

// Parses the plane's header (and, for 'y', the file header) and decodes its
// coefficients. Returns 0 on success, 1 on failure (state.error set).
int DecodePlane(DecoderState& state, int letter);
// Allocates the plane and decodes its coefficients from readPos. Returns 0, or 1
// when the plane cannot be allocated.
int DecodeCoefficients(DecoderState& state, int letter);
// The same with the values of the second segment taken from `ahead` (made for this
// plane of this file), which decodes them on another thread.
int DecodeCoefficients(DecoderState& state, int letter, SegmentAhead* ahead);
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

// The second segment of a plane, decoded apart from the plane and ahead of it. The
// symbols of a segment do not depend on where they land: one model serves every
// band and is reset at the segment's start, and the segment's start is a byte of
// its own. So while one thread reads the first segment into the plane, another
// can decode the second into a list of values, and the coefficient loop takes
// them from there when it reaches the first segment's end. Both threads see the
// same values in the same order, so the plane is the one the loop alone makes.
//
// One thread calls Run, the coefficient loop calls the rest. The loop may reach
// the end of the first segment before Run has begun (when no thread was free and
// Run waits for the loop to finish); it then passes Run by and decodes the segment
// itself, so neither waits for the other.
class SegmentAhead {
 public:
  // For the plane `letter` of the file whose header `state` has parsed up to this
  // plane's value table; copies what it needs. Unarmed (and Run does nothing) when
  // the plane has no second segment or no room for its values can be had.
  SegmentAhead(const DecoderState& state, int letter);
  ~SegmentAhead();
  bool armed() const { return values_ != nullptr; }

  // Decodes the segment unless the loop has passed it by: values until the end
  // symbol, or as many as the plane has positions, or until the loop is done.
  void Run();

  // At the end of the first segment: true when the values will come from here;
  // false when the loop is to decode the second segment itself.
  bool Claim();
  // The next value of the segment, or kSegmentEnd at its end symbol; waits while
  // Run is behind.
  int Next() { return taken_ < available_ ? values_[taken_++] : NextSlow(); }
  // Once the plane is done: stops Run, waits for it and, when the loop took the end
  // symbol, gives `state` the registers and model that reading the segment left.
  // (When the plane's positions ran out first, the loop alone would have stopped
  // sooner; nothing reads the registers after a plane, and they stay as they were.)
  void Finish(DecoderState& state);

  // Values the coefficient loop has taken from here so far, and whether it took the
  // end symbol after them (then Finish hands over the registers).
  size_t valuesTaken() const { return taken_; }
  bool tookEnd() const { return tookEnd_; }

  static constexpr int kSegmentEnd = 256;  // no value: values lie in -128..127

 private:
  int NextSlow();

  enum : int { kPending, kRunning, kPassedBy, kDone };
  DecoderState decoder_;  // the plane header, then the registers and model after the segment
  std::unique_ptr<int8_t[]> values_;
  size_t capacity_ = 0;
  std::atomic<size_t> published_{0};  // values Run has written, for the loop to read
  std::atomic<bool> stop_{false};
  std::atomic<int> stage_{kPending};
  bool ended_ = false;  // Run read the end symbol after the published values
  size_t taken_ = 0, available_ = 0;
  bool claimed_ = false;
  bool tookEnd_ = false;
};

}  // namespace kdz
