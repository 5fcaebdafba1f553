// Coefficient plane decoding: bands coarse to fine, one symbol per position,
// zero trees, end symbols and the optional second segment.
#include "codec/coeff_decoder.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <type_traits>

#include "codec/arith_decoder.h"
#include "codec/file_format.h"
#include "codec/parallel.h"
#include "codec/wavelet.h"

namespace kdz {
namespace {

void StartSegment(DecoderState& s) {
  ResetModel(s);
  ResetBitInput(s);
  StartDecoding(s);
}

void BandSteps(const DecoderState& s, int p, int n, float* posStep, float* negStep) {
  const int32_t div = s.scaleDiv[p][n];
  if (div == 0) {
    *posStep = *negStep = 0.0f;
    return;
  }
  *posStep = static_cast<float>(static_cast<double>(s.scalePos[p][n]) / div);
  *negStep = static_cast<float>(-(static_cast<double>(s.scaleNeg[p][n]) / div));
}

int ValueOf(const DecoderState& s, int index) { return s.symbolValue[s.indexToSymbol[index]] - 128; }

// The dequantised sample of each value of plane p's table in band n, at value + 128
// (the values a symbol can stand for; the other entries are left as they are).
void BandSamples(const DecoderState& s, int p, int n, int16_t samples[256]) {
  float posStep, negStep;
  BandSteps(s, p, n, &posStep, &negStep);
  for (int i = 0; i < s.valueCount; ++i) {
    samples[s.symbolValue[i]] = Dequantise(s.symbolValue[i] - 128, posStep, negStep);
  }
}

}  // namespace

int BandCount(int levels) { return 1 + 3 * levels; }

Band BandAt(int width, int height, int levels, int k) {
  const int b0 = height >> levels;
  const int c0 = width >> levels;
  if (k == 0) return Band{0, 0, b0, c0, 3 * levels};
  const int j = (k - 1) / 3;
  const int m = levels - j;
  const int b = b0 << j;
  const int c = c0 << j;
  switch ((k - 1) % 3) {
    case 0:
      return Band{0, c, b, c, 3 * m - 2};  // upper right
    case 1:
      return Band{b, 0, b, c, 3 * m - 3};  // lower left
    default:
      return Band{b, c, b, c, 3 * m - 1};  // lower right
  }
}

int16_t Dequantise(int v, float posStep, float negStep) {
  const double product = static_cast<double>(v) * (v > 0 ? posStep : negStep);
  // |v| <= 128 and |step| <= 32768, so the product fits in 32 bits.
  const int32_t whole = static_cast<int32_t>(product);
  return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(whole)));
}

namespace {

// Stores count copies of value from line on; count is a power of two, at least 2
// (a block row of a zero tree), so that whole 32- and 64-bit stores cover it.
inline void FillBlockRow(int16_t* line, int count, uint16_t value) {
  const uint32_t two = value * 0x10001u;
  if (count == 2) {
    std::memcpy(line, &two, sizeof two);
    return;
  }
  const uint64_t four = two * 0x100000001u;
  for (int c = 0; c < count; c += 4) std::memcpy(line + c, &four, sizeof four);
}

// Clears the run of pending-zero markers from line[c] on (the positions of a row
// that zero trees cover are passed over without a symbol) and returns where it
// ends: the first column before end that holds no marker, or end. Runs are made
// of whole block rows, so most of a run goes four samples to a 64-bit compare.
inline int ClearMarkers(int16_t* line, int c, int end) {
  constexpr uint64_t kFourMarkers = static_cast<uint16_t>(kPendingZero) * 0x0001000100010001u;
  constexpr uint64_t kZeros = 0;
  for (; end - c >= 4; c += 4) {
    uint64_t four;
    std::memcpy(&four, line + c, sizeof four);
    if (four != kFourMarkers) break;
    std::memcpy(line + c, &kZeros, sizeof kZeros);
  }
  for (; c < end && line[c] == kPendingZero; ++c) line[c] = 0;
  return c;
}

}  // namespace

namespace {

// MarkZeroTree on `plane` of row length `stride`, down to level limit - 1, with
// `value`: for a thread that must not write the decoder state.
void MarkZeroTreeIn(int16_t* plane, int stride, int row, int col, int level, int limit, uint16_t value) {
  int size = 2;
  int r0 = 2 * row;
  int c0 = 2 * col;
  while (level < limit) {
    int16_t* line = plane + static_cast<size_t>(r0) * stride + c0;
    for (int r = 0; r < size; ++r, line += stride) FillBlockRow(line, size, value);
    size *= 2;
    r0 *= 2;
    c0 *= 2;
    ++level;
  }
}

}  // namespace

void MarkZeroTree(DecoderState& state, int row, int col, int level) {
  MarkZeroTreeIn(state.zeroFillPlane, state.width, row, col, level, state.zeroFillLimit,
                 static_cast<uint16_t>(state.zeroFillValue));
}

void MarkZeroTreePlain(DecoderState& state, int row, int col, int level) {
  int size = 2;
  int r0 = 2 * row;
  int c0 = 2 * col;
  const int stride = state.width;
  // Locals, so that the stores need not be followed by fresh reads of the state.
  const int limit = state.zeroFillLimit;
  const int16_t value = static_cast<int16_t>(state.zeroFillValue);
  int16_t* const plane = state.zeroFillPlane;
  while (level < limit) {
    for (int r = r0; r < r0 + size; ++r) {
      int16_t* line = plane + static_cast<size_t>(r) * stride + c0;
      for (int c = 0; c < size; ++c) line[c] = value;
    }
    size *= 2;
    r0 *= 2;
    c0 *= 2;
    ++level;
  }
}

namespace {

// The positions of the detail bands from row r of band k on.
size_t PositionsFrom(int width, int height, int levels, int k, int r) {
  const Band first = BandAt(width, height, levels, k);
  size_t n = static_cast<size_t>(first.row0 + first.rows - r) * static_cast<size_t>(first.cols);
  for (int j = k + 1; j < BandCount(levels); ++j) {
    const Band band = BandAt(width, height, levels, j);
    n += static_cast<size_t>(band.rows) * static_cast<size_t>(band.cols);
  }
  return n;
}

// Sets readPos where the next plane starts; 0, the coefficient loop's result.
int PlaneDone(DecoderState& s, int p) {
  if (p == kPlaneY) {
    s.readPos = static_cast<size_t>(s.planeOffsetI);
  } else if (p == kPlaneI) {
    s.readPos = static_cast<size_t>(s.planeOffsetQ);
  }
  return 0;
}

// The rest of the detail bands from `from` on, the values taken from `ahead`: the
// coefficient loop below, with no decoding of its own. At the end of the segment
// the values go on from `then` when it is given (the second segment: its first
// value lands where the end symbol stood, and an empty one ends the plane). It
// stays a loop of its own so that the decoding loop keeps its code. It writes no
// field of `s` but the model and registers a segment's Finish hands over, so that
// the thread that decodes the values may still read the model there.
void PlaceValuesAhead(DecoderState& s, int p, int16_t* plane, PlanePosition from, SegmentAhead* ahead,
                      SegmentAhead* then) {
  const int width = s.width;
  const int levels = s.levels;
  const int markLimit = levels - s.uncodedLevels[p];
  bool finished = false;
  int16_t samples[256];  // see BandSamples
  for (int k = from.k; k < BandCount(levels); ++k) {
    const Band band = BandAt(width, s.height, levels, k);
    const int level = (k - 1) / 3;
    if (finished && level >= markLimit) continue;
    BandSamples(s, p, band.n, samples);
    for (int r = k == from.k ? from.r : band.row0; r < band.row0 + band.rows; ++r) {
      int16_t* line = plane + static_cast<size_t>(r) * width;
      if (finished) {
        for (int c = band.col0; c < band.col0 + band.cols; ++c) line[c] = line[c] == kPendingZero ? 0 : line[c];
        continue;
      }
      const int end = band.col0 + band.cols;
      for (int c = k == from.k && r == from.r ? from.c : band.col0; c < end; ++c) {
        if (line[c] == kPendingZero) {
          c = ClearMarkers(line, c, end) - 1;
          continue;
        }
        int v = ahead->Next();
        if (v == SegmentAhead::kSegmentEnd && then != nullptr) {
          ahead->Finish(s);
          ahead = then;
          then = nullptr;
          ahead->Take();
          v = ahead->Next();
        }
        if (v == SegmentAhead::kSegmentEnd) {
          finished = true;
          for (int d = c + 1; d < end; ++d) line[d] = 0;
          break;
        }
        if (v == kZeroTreeRoot) {
          MarkZeroTreeIn(plane, width, r, c, level + 1, markLimit, static_cast<uint16_t>(kPendingZero));
          line[c] = 0;
        } else {
          line[c] = samples[v + 128];
        }
      }
    }
  }
}

// The coefficient loop, with the fast steps or with the plain steps they replaced;
// with kAhead, the fast loop takes the second segment's values from `ahead` when
// it has them, and hands its placing over through `handover` when asked at a row's
// start while it reads the first segment (either may be null; a loop of its own,
// so that planes with neither keep the loop exactly as it was).
template <bool kPlain, bool kAhead>
int DecodeCoefficientsWith(DecoderState& s, int letter, SegmentAhead* ahead, SegmentAhead* handover) {
  static_assert(!(kPlain && kAhead), "the plain loop reads every segment itself");
  using Registers = std::conditional_t<kPlain, ArithRegisters, WindowedRegisters>;
  const int p = PlaneIndexOf(letter);
  PlaneSamples& planeVector = s.PlaneBuffer(p);
  try {
    // The lower half of the finest region of a plane whose finest level is
    // interpolated is never written: its zeros are left to calloc, or to an earlier
    // plane of the same shape (see ZeroedAllocator).
    FinestLevel finest;
    ZeroRect unread;
    if (FinestLevelLeftOut(s, letter, &finest) && finest.interpolated) {
      unread = ZeroRect{static_cast<size_t>(s.width) * sizeof(int16_t), static_cast<size_t>(finest.rows / 2),
                        static_cast<size_t>(finest.rows), static_cast<size_t>(finest.cols) * sizeof(int16_t)};
    }
    planeVector = PlaneSamples(static_cast<size_t>(s.planeSize), ZeroedAllocator<int16_t>(unread));
  } catch (const std::bad_alloc&) {
    planeVector.clear();
    if constexpr (kAhead) {
      if (handover != nullptr) handover->Decline();
      if (ahead != nullptr) ahead->Finish(s);
    }
    return s.Fail(Error::kOutOfMemory, "cannot allocate a coefficient plane");
  }
  int16_t* plane = planeVector.data();
  const int width = s.width;
  const int levels = s.levels;
  bool secondArmed = HasSecondSegment(s, letter);

  StartSegment(s);
  Registers reg(s);
  auto Decode = [&] { return DecodeSymbol(reg, s.cumFreq, s.symbolCount); };

  // Low band: an end symbol leaves the rest of it 0 and decoding goes on with the
  // detail bands from the same segment.
  const Band low = BandAt(width, s.height, levels, 0);
  float posStep, negStep;
  BandSteps(s, p, low.n, &posStep, &negStep);
  bool lowEnded = false;
  for (int r = 0; r < low.rows && !lowEnded; ++r) {
    int16_t* line = plane + static_cast<size_t>(r) * width;
    for (int c = 0; c < low.cols; ++c) {
      const int index = Decode();
      if (index == s.endSymbol) {
        lowEnded = true;
        break;
      }
      line[c] = Dequantise(ValueOf(s, index), posStep, negStep);
      UpdateModel(s, index, reg);
    }
  }

  // Detail bands. Once the plane is finished, the positions not yet visited are
  // cleared, so no pending-zero marker outlives the plane.
  // Markers lie only in the levels below markLimit (see MarkZeroTree): once the plane
  // is finished, the unvisited positions of the other levels hold the zeros they
  // were allocated with and are passed over whole, and in the marked levels a
  // finished row only has its markers cleared.
  const int markLimit = levels - s.uncodedLevels[p];
  bool finished = false;
  const int bands = BandCount(levels);
  int16_t samples[256];  // the fast loop's dequantisation (see BandSamples)
  for (int k = 1; k < bands; ++k) {
    const Band band = BandAt(width, s.height, levels, k);
    const int level = (k - 1) / 3;  // j, coarsest first
    if (finished && level >= markLimit) continue;
    if constexpr (kPlain) {
      BandSteps(s, p, band.n, &posStep, &negStep);
    } else {
      BandSamples(s, p, band.n, samples);
    }
    for (int r = band.row0; r < band.row0 + band.rows; ++r) {
      int16_t* line = plane + static_cast<size_t>(r) * width;
      if (finished) {
        for (int c = band.col0; c < band.col0 + band.cols; ++c) line[c] = line[c] == kPendingZero ? 0 : line[c];
        continue;
      }
      if constexpr (kAhead) {
        if (handover != nullptr && handover->PlacingWanted() &&
            handover->Produce(reg, s, PlanePosition{k, r, band.col0}, PositionsFrom(width, s.height, levels, k, r))) {
          return 0;
        }
      }
      const int end = band.col0 + band.cols;
      for (int c = band.col0; c < end; ++c) {
        if (line[c] == kPendingZero) {
          if constexpr (kPlain) {
            line[c] = 0;
          } else {
            c = ClearMarkers(line, c, end) - 1;
          }
          continue;
        }
        int index = Decode();
        if constexpr (kAhead) {
          if (index == s.endSymbol && handover != nullptr) handover->Decline();  // past the first segment
        }
        if (index == s.endSymbol && secondArmed) {
          secondArmed = false;
          reg.StoreTo(s);
          if constexpr (kAhead) {
            if (ahead != nullptr && ahead->Claim()) {
              PlaceValuesAhead(s, p, plane, PlanePosition{k, r, c}, ahead, nullptr);
              ahead->Finish(s);
              return PlaneDone(s, p);
            }
          }
          s.readPos = static_cast<size_t>(s.segmentOffset[p]);
          StartSegment(s);
          reg = Registers(s);
          index = Decode();  // an empty second segment ends the plane
        }
        if (index == s.endSymbol) {
          // The rest of the row holds zeros and markers: all become 0.
          finished = true;
          for (int d = c + 1; d < end; ++d) line[d] = 0;
          break;
        }
        const int v = ValueOf(s, index);
        UpdateModel(s, index, reg);
        if (v == kZeroTreeRoot) {
          s.zeroFillPlane = plane;
          s.zeroFillLimit = markLimit;
          s.zeroFillValue = kPendingZero;
          if constexpr (kPlain) {
            MarkZeroTreePlain(s, r, c, level + 1);
          } else {
            MarkZeroTree(s, r, c, level + 1);
          }
          line[c] = 0;
        } else if constexpr (kPlain) {
          line[c] = Dequantise(v, posStep, negStep);
        } else {
          line[c] = samples[v + 128];
        }
      }
    }
  }

  reg.StoreTo(s);
  if constexpr (kAhead) {
    if (handover != nullptr) handover->Decline();
    if (ahead != nullptr) ahead->Finish(s);
  }
  return PlaneDone(s, p);
}

}  // namespace

int DecodeCoefficients(DecoderState& state, int letter) {
  return DecodeCoefficientsWith<false, false>(state, letter, nullptr, nullptr);
}

int DecodeCoefficients(DecoderState& state, int letter, SegmentAhead* ahead, SegmentAhead* handover) {
  if (ahead != nullptr && !ahead->armed()) ahead = nullptr;
  if (handover != nullptr && !handover->armed()) handover = nullptr;
  // Whoever takes the placing over must find the second segment's values ready.
  if (handover != nullptr && ahead == nullptr && HasSecondSegment(state, letter)) {
    handover->Decline();
    handover = nullptr;
  }
  if (ahead == nullptr && handover == nullptr) {
    return DecodeCoefficientsWith<false, false>(state, letter, nullptr, nullptr);
  }
  return DecodeCoefficientsWith<false, true>(state, letter, ahead, handover);
}

int DecodeCoefficientsPlain(DecoderState& state, int letter) {
  return DecodeCoefficientsWith<true, false>(state, letter, nullptr, nullptr);
}

int PlaceHandedOver(DecoderState& state, int letter, SegmentAhead* handover, SegmentAhead* ahead) {
  const int p = PlaneIndexOf(letter);
  PlaceValuesAhead(state, p, state.PlaneBuffer(p).data(), handover->from(), handover,
                   HasSecondSegment(state, letter) ? ahead : nullptr);
  handover->Finish(state);
  if (ahead != nullptr) ahead->Finish(state);
  return PlaneDone(state, p);
}

bool HasSecondSegment(const DecoderState& state, int letter) {
  return state.segmentOffset[PlaneIndexOf(letter)] != 0 && state.fileSignature[5] > '1';
}

SegmentAhead::SegmentAhead(const DecoderState& state, int letter, Use use) : use_(use), decoder_(state) {
  const int p = PlaneIndexOf(letter);
  if (state.planeSize <= 0) return;
  if (use == kHandover) {
    armed_ = true;  // its room comes with the handover
    return;
  }
  if (!HasSecondSegment(state, letter)) return;
  decoder_.readPos = static_cast<size_t>(state.segmentOffset[p]);
  // Each symbol takes a position of the plane, so no more values can be of use; the
  // room is not touched beyond the values written.
  capacity_ = static_cast<size_t>(state.planeSize);
  owned_.reset(new (std::nothrow) int8_t[capacity_]);
  values_ = owned_.get();
  armed_ = values_ != nullptr;
}

SegmentAhead::~SegmentAhead() = default;

void SegmentAhead::Run() {
  int expected = kPending;
  if (!armed() || use_ != kSecondSegment || !stage_.compare_exchange_strong(expected, kRunning)) return;
  DecoderState& s = decoder_;
  StartSegment(s);
  WindowedRegisters reg(s);
  DecodeValues(reg, s);
}

bool SegmentAhead::Produce(WindowedRegisters& reg, DecoderState& s, PlanePosition from, size_t positionsLeft) {
  // As for a second segment, each value takes a position, and the room is touched
  // only as far as values are written.
  if (lent_ != nullptr && lentBytes_ >= positionsLeft) {
    values_ = lent_;
  } else {
    owned_.reset(new (std::nothrow) int8_t[positionsLeft]);
    values_ = owned_.get();
  }
  if (values_ == nullptr) {
    Decline();
    return false;
  }
  capacity_ = positionsLeft;
  from_ = from;
  stage_.store(kRunning, std::memory_order_release);
  DecodeValues(reg, s);
  return true;
}

void SegmentAhead::DecodeValues(WindowedRegisters& loopRegisters, DecoderState& s) {
  // Locals, which the byte stores below cannot be taken to change.
  WindowedRegisters reg = loopRegisters;
  int8_t* const values = values_;
  const int32_t symbols = s.symbolCount, endSymbol = s.endSymbol;
  size_t n = 0;
  // Published in chunks, each a chance to stop once the plane no longer needs more.
  constexpr size_t kChunk = 1024;
  bool ended = false;
  while (n < capacity_ && !ended && !stop_.load(std::memory_order_relaxed)) {
    const size_t chunkEnd = std::min(capacity_, n + kChunk);
    for (; n < chunkEnd; ++n) {
      const int index = DecodeSymbol(reg, s.cumFreq, symbols);
      if (index == endSymbol) {
        ended = true;
        break;
      }
      values[n] = static_cast<int8_t>(ValueOf(s, index));
      UpdateModel(s, index, reg);
    }
    published_.store(n, std::memory_order_release);
  }
  reg.StoreTo(decoder_);
  if (&s != &decoder_) {  // the loop's model, which Finish hands back
    std::copy(std::begin(s.freq), std::end(s.freq), std::begin(decoder_.freq));
    std::copy(std::begin(s.cumFreq), std::end(s.cumFreq), std::begin(decoder_.cumFreq));
    std::copy(std::begin(s.indexToSymbol), std::end(s.indexToSymbol), std::begin(decoder_.indexToSymbol));
  }
  ended_ = ended;
  stage_.store(kDone, std::memory_order_release);
}

bool SegmentAhead::Claim() {
  if (!armed()) return false;
  int expected = kPending;
  claimed_ = !stage_.compare_exchange_strong(expected, kPassedBy);
  return claimed_;
}

void SegmentAhead::Take() {
  Run();
  claimed_ = true;
}

int SegmentAhead::PassByUnlessBegun() {
  int stage = stage_.load(std::memory_order_acquire);
  while ((stage == kPending || stage == kWanted) && !stage_.compare_exchange_weak(stage, kPassedBy)) {
  }
  return stage;
}

void SegmentAhead::Decline() { (void)PassByUnlessBegun(); }

void SegmentAhead::Ask(int rowsToPass, int8_t* room, size_t roomBytes) {
  // One thread asks: the count and room are set before the loop can see the request.
  if (!armed() || use_ != kHandover || stage_.load(std::memory_order_relaxed) != kPending) return;
  rowsToPass_ = rowsToPass;
  lent_ = room;
  lentBytes_ = room != nullptr ? roomBytes : 0;
  int expected = kPending;
  (void)stage_.compare_exchange_strong(expected, kWanted, std::memory_order_release);
}

bool SegmentAhead::RequestPlacing(int8_t* room, size_t roomBytes) {
  if (!armed() || use_ != kHandover) return false;
  Ask(0, room, roomBytes);
  for (;;) {
    const int stage = stage_.load(std::memory_order_acquire);
    if (stage == kPassedBy) return false;
    if (stage != kWanted) break;
    YieldBriefly();
  }
  claimed_ = true;
  return true;
}

int SegmentAhead::NextSlow() {
  for (;;) {
    // The stage first: once Run is done, the count read after it is its last.
    const bool done = stage_.load(std::memory_order_acquire) == kDone;
    available_ = published_.load(std::memory_order_acquire);
    if (taken_ < available_) return values_[taken_++];
    if (done) {
      // Past the last value there is only the end symbol: the plane has fewer
      // positions left than the values Run was allowed.
      tookEnd_ = ended_;
      return kSegmentEnd;
    }
    YieldBriefly();
  }
}

void SegmentAhead::Finish(DecoderState& state) {
  if (finished_) return;
  finished_ = true;
  stop_.store(true, std::memory_order_relaxed);
  if (!armed()) return;
  const int stage = PassByUnlessBegun();
  if (stage == kPending || stage == kWanted || stage == kPassedBy) return;
  while (stage_.load(std::memory_order_acquire) != kDone) YieldBriefly();
  if (!claimed_ || !tookEnd_) return;
  const DecoderState& d = decoder_;
  // The registers and bit input as reading the segment left them; a read past the
  // end in the first segment still counts.
  const bool firstPastEnd = state.readPastEnd;
  ArithRegisters(d).StoreTo(state);
  state.readPastEnd = state.readPastEnd || firstPastEnd;
  std::copy(std::begin(d.freq), std::end(d.freq), std::begin(state.freq));
  std::copy(std::begin(d.cumFreq), std::end(d.cumFreq), std::begin(state.cumFreq));
  std::copy(std::begin(d.indexToSymbol), std::end(d.indexToSymbol), std::begin(state.indexToSymbol));
}

int DecodePlane(DecoderState& state, int letter) {
  if (ParsePlaneHeader(state, letter) != 0) return 1;
  return IsDecodableVersion(state) && DecodeCoefficients(state, letter) != 0 ? 1 : 0;
}

int DecodePlane(DecoderState& state, int letter, SegmentAhead* handover) {
  if (ParsePlaneHeader(state, letter) != 0) return 1;
  return IsDecodableVersion(state) && DecodeCoefficients(state, letter, nullptr, handover) != 0 ? 1 : 0;
}

}  // namespace kdz
