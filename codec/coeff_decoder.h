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
struct WindowedRegisters;

// Parses the plane's header (and, for 'y', the file header) and decodes its
// coefficients. Returns 0 on success, 1 on failure (state.error set).
int DecodePlane(DecoderState& state, int letter);
// The same with `handover`, through which its placing may be handed over (see
// DecodeCoefficients below). A form of its own, so that a build without threads,
// which never hands over, links none of the handover's code.
int DecodePlane(DecoderState& state, int letter, SegmentAhead* handover);
// Allocates the plane and decodes its coefficients from readPos. Returns 0, or 1
// when the plane cannot be allocated.
int DecodeCoefficients(DecoderState& state, int letter);
// The same with the values of the second segment taken from `ahead` (made for this
// plane of this file), which decodes them on another thread; and, when `handover`
// is given (a kHandover list for this plane), with the placing of the rest of the
// plane handed to the thread that asks for it, while this one goes on decoding
// values only (then PlaceHandedOver finishes the plane; handover->handedOver()
// tells). Either may be null.
int DecodeCoefficients(DecoderState& state, int letter, SegmentAhead* ahead, SegmentAhead* handover = nullptr);
// By the thread that asked for the placing of `letter` and was handed it: places
// the rest of the plane from `handover` (and from `ahead` for the second segment,
// which must then be armed) and leaves the plane, registers and errors the loop
// alone would leave. Returns 0.
int PlaceHandedOver(DecoderState& state, int letter, SegmentAhead* handover, SegmentAhead* ahead);
// Whether `letter`'s plane has a second segment (its header parsed).
bool HasSecondSegment(const DecoderState& state, int letter);
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

// A place in the detail bands: band k, row r, column c.
struct PlanePosition {
  int k, r, c;
};

// Values of a plane's segment, decoded apart from the placing of them. The symbols
// of a segment do not depend on where they land: one model serves every band and
// is reset at the segment's start, and the segment's start is a byte of its own.
// So one thread can decode a segment into a list of values while another places
// them; both see the same values in the same order, and the plane is the one the
// coefficient loop alone makes. Two uses:
//
// kSecondSegment: while the loop reads the first segment into the plane, another
// thread decodes the second (Run), and the loop takes its values from here when it
// reaches the first segment's end. The loop may get there before Run has begun
// (when no thread was free and Run waits for the loop to finish); it then passes
// Run by and decodes the segment itself, so neither waits for the other.
//
// kHandover: the coefficient loop of 'y' is the longest serial part of a decode,
// and a third of its time goes to placing the values (positions, zero trees,
// dequantisation) rather than to decoding them. A thread with nothing else to do
// asks for the placing (RequestPlacing); the loop, at the start of its next row,
// hands it over and from there on only decodes the rest of the first segment into
// this list (Produce), while the asking thread places them (PlaceHandedOver). A
// thread that asks once the loop is past the first segment is refused.
class SegmentAhead {
 public:
  enum Use { kSecondSegment, kHandover };
  // For the plane `letter` of the file whose header `state` has parsed up to this
  // plane's value table (for kHandover, up to the file header's plane size); copies
  // what it needs. Unarmed (and Run does nothing) when the plane has no second
  // segment or no room for its values can be had (for kSecondSegment), or no
  // positions (for kHandover).
  explicit SegmentAhead(const DecoderState& state, int letter, Use use = kSecondSegment);
  ~SegmentAhead();
  bool armed() const { return armed_; }

  // Decodes the second segment unless the loop has passed it by: values until the
  // end symbol, or as many as the plane has positions, or until the loop is done.
  void Run();

  // At the end of the first segment: true when the values will come from here;
  // false when the loop is to decode the second segment itself.
  bool Claim();
  // For a thread that places the values: they will come from here, and a second
  // segment no thread has begun is decoded on this thread now.
  void Take();

  // The handover, for the loop: whether a thread asks for the placing (at a row's
  // start); Produce hands it over with the position of that row and decodes the
  // rest of the segment from the loop's registers and model into a list with room
  // for `positionsLeft` values (the plane's positions from there on): the room the
  // request lent, or else memory taken then, so that only a plane handed over has
  // any; false, refusing, when no room can be had. Decline, once the loop can hand
  // over no more, refuses every request, now or later.
  bool PlacingWanted() { return stage_.load(std::memory_order_acquire) == kWanted && --rowsToPass_ < 0; }
  bool Produce(WindowedRegisters& reg, DecoderState& s, PlanePosition from, size_t positionsLeft);
  void Decline();
  // For the one asking thread: true once the placing is handed over (from where it
  // goes on is from()), false when refused; waits for the loop's answer. `room`, if
  // given, is memory of `roomBytes` bytes that nothing reads until the placing is
  // done, which the list then takes when it is large enough instead of memory of its
  // own (the pixel area, which the conversion fills only after the planes).
  bool RequestPlacing(int8_t* room = nullptr, size_t roomBytes = 0);
  // Asks without waiting, and lets the loop see the request only from the start of
  // its (rowsToPass + 1)-th detail row after it: for tests, which hand over at
  // chosen rows. RequestPlacing then takes the answer.
  void Ask(int rowsToPass = 0, int8_t* room = nullptr, size_t roomBytes = 0);
  bool handedOver() const {
    const int stage = stage_.load(std::memory_order_acquire);
    return use_ == kHandover && (stage == kRunning || stage == kDone);
  }
  PlanePosition from() const { return from_; }

  // The next value of the segment, or kSegmentEnd at its end symbol; waits while
  // Run is behind.
  int Next() { return taken_ < available_ ? values_[taken_++] : NextSlow(); }
  // Once the plane is done with it: stops Run, waits for it and, when the loop took
  // the end symbol, gives `state` the registers and model that reading the segment
  // left; later calls do nothing.
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
  // Decodes values with the registers `reg` and the model of `s`, in published
  // chunks, until the end symbol, the list's capacity or Finish; then keeps the
  // registers and model, and is done.
  void DecodeValues(WindowedRegisters& reg, DecoderState& s);
  // Passes the values by (kPassedBy) unless they have begun; returns the stage found.
  int PassByUnlessBegun();

  // kPending: not begun; kWanted (handover): asked for; kRunning: decoding values;
  // kPassedBy: passed by (second segment) or refused (handover); kDone.
  enum : int { kPending, kWanted, kRunning, kPassedBy, kDone };
  Use use_;
  bool armed_ = false;
  DecoderState decoder_;  // the plane header, then the registers and model after the segment
  int8_t* values_ = nullptr;  // the list: owned_, or the room a request lent
  std::unique_ptr<int8_t[]> owned_;
  int8_t* lent_ = nullptr;  // lent by the request (kHandover), lentBytes_ long
  size_t lentBytes_ = 0;
  size_t capacity_ = 0;
  std::atomic<size_t> published_{0};  // values Run has written, for the loop to read
  std::atomic<bool> stop_{false};
  std::atomic<int> stage_{kPending};
  bool ended_ = false;  // Run read the end symbol after the published values
  size_t taken_ = 0, available_ = 0;
  bool claimed_ = false;
  bool tookEnd_ = false;
  bool finished_ = false;
  int rowsToPass_ = 0;  // by the loop, once asked
  PlanePosition from_{0, 0, 0};
};

}  // namespace kdz
