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

void MarkZeroTree(DecoderState& state, int row, int col, int level) {
  int size = 2;
  int r0 = 2 * row;
  int c0 = 2 * col;
  const int stride = state.width;
  // Locals, so that the stores need not be followed by fresh reads of the state.
  const int limit = state.zeroFillLimit;
  const uint16_t value = static_cast<uint16_t>(state.zeroFillValue);
  int16_t* const plane = state.zeroFillPlane;
  while (level < limit) {
    int16_t* line = plane + static_cast<size_t>(r0) * stride + c0;
    for (int r = 0; r < size; ++r, line += stride) FillBlockRow(line, size, value);
    size *= 2;
    r0 *= 2;
    c0 *= 2;
    ++level;
  }
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

// Sets readPos where the next plane starts; 0, the coefficient loop's result.
int PlaneDone(DecoderState& s, int p) {
  if (p == kPlaneY) {
    s.readPos = static_cast<size_t>(s.planeOffsetI);
  } else if (p == kPlaneI) {
    s.readPos = static_cast<size_t>(s.planeOffsetQ);
  }
  return 0;
}

// A place in the detail bands: band k, row r, column c.
struct Position {
  int k, r, c;
};

// The rest of the detail bands from `from` on, the values taken from `ahead`: the
// coefficient loop below, with no decoding of its own and no second segment to
// enter. It stays a loop of its own so that the decoding loop keeps its code.
void PlaceValuesAhead(DecoderState& s, int p, int16_t* plane, Position from, SegmentAhead* ahead) {
  const int width = s.width;
  const int levels = s.levels;
  const int markLimit = levels - s.uncodedLevels[p];
  bool finished = false;
  float posStep, negStep;
  for (int k = from.k; k < BandCount(levels); ++k) {
    const Band band = BandAt(width, s.height, levels, k);
    const int level = (k - 1) / 3;
    if (finished && level >= markLimit) continue;
    BandSteps(s, p, band.n, &posStep, &negStep);
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
        const int v = ahead->Next();
        if (v == SegmentAhead::kSegmentEnd) {
          finished = true;
          for (int d = c + 1; d < end; ++d) line[d] = 0;
          break;
        }
        if (v == kZeroTreeRoot) {
          s.zeroFillPlane = plane;
          s.zeroFillLimit = markLimit;
          s.zeroFillValue = kPendingZero;
          MarkZeroTree(s, r, c, level + 1);
          line[c] = 0;
        } else {
          line[c] = Dequantise(v, posStep, negStep);
        }
      }
    }
  }
}

// The coefficient loop, with the fast steps or with the plain steps they replaced;
// with kAhead, the fast loop takes the second segment's values from `ahead` when
// it has them (a loop of its own, so that files without such a segment keep the
// loop exactly as it was).
template <bool kPlain, bool kAhead>
int DecodeCoefficientsWith(DecoderState& s, int letter, SegmentAhead* ahead) {
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
    if constexpr (kAhead) ahead->Finish(s);
    return s.Fail(Error::kOutOfMemory, "cannot allocate a coefficient plane");
  }
  int16_t* plane = planeVector.data();
  const int width = s.width;
  const int levels = s.levels;
  bool secondArmed = s.segmentOffset[p] != 0 && s.fileSignature[5] > '1';

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
  for (int k = 1; k < bands; ++k) {
    const Band band = BandAt(width, s.height, levels, k);
    const int level = (k - 1) / 3;  // j, coarsest first
    if (finished && level >= markLimit) continue;
    BandSteps(s, p, band.n, &posStep, &negStep);
    for (int r = band.row0; r < band.row0 + band.rows; ++r) {
      int16_t* line = plane + static_cast<size_t>(r) * width;
      if (finished) {
        for (int c = band.col0; c < band.col0 + band.cols; ++c) line[c] = line[c] == kPendingZero ? 0 : line[c];
        continue;
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
        if (index == s.endSymbol && secondArmed) {
          secondArmed = false;
          reg.StoreTo(s);
          if constexpr (kAhead) {
            if (ahead->Claim()) {
              PlaceValuesAhead(s, p, plane, Position{k, r, c}, ahead);
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
        } else {
          line[c] = Dequantise(v, posStep, negStep);
        }
      }
    }
  }

  reg.StoreTo(s);
  if constexpr (kAhead) ahead->Finish(s);
  return PlaneDone(s, p);
}

}  // namespace

int DecodeCoefficients(DecoderState& state, int letter) {
  return DecodeCoefficientsWith<false, false>(state, letter, nullptr);
}

int DecodeCoefficients(DecoderState& state, int letter, SegmentAhead* ahead) {
  if (ahead == nullptr || !ahead->armed()) return DecodeCoefficientsWith<false, false>(state, letter, nullptr);
  return DecodeCoefficientsWith<false, true>(state, letter, ahead);
}

int DecodeCoefficientsPlain(DecoderState& state, int letter) {
  return DecodeCoefficientsWith<true, false>(state, letter, nullptr);
}

SegmentAhead::SegmentAhead(const DecoderState& state, int letter) : decoder_(state) {
  const int p = PlaneIndexOf(letter);
  if (state.segmentOffset[p] == 0 || state.fileSignature[5] <= '1' || state.planeSize <= 0) return;
  decoder_.readPos = static_cast<size_t>(state.segmentOffset[p]);
  // Each symbol takes a position of the plane, so no more values can be of use; the
  // room is not touched beyond the values written.
  capacity_ = static_cast<size_t>(state.planeSize);
  values_.reset(new (std::nothrow) int8_t[capacity_]);
}

SegmentAhead::~SegmentAhead() = default;

void SegmentAhead::Run() {
  int expected = kPending;
  if (!armed() || !stage_.compare_exchange_strong(expected, kRunning)) return;
  DecoderState& s = decoder_;
  StartSegment(s);
  WindowedRegisters reg(s);
  // Published in chunks, each a chance to stop once the plane no longer needs more.
  constexpr size_t kChunk = 1024;
  size_t n = 0;
  bool ended = false;
  while (n < capacity_ && !ended && !stop_.load(std::memory_order_relaxed)) {
    const size_t chunkEnd = std::min(capacity_, n + kChunk);
    for (; n < chunkEnd; ++n) {
      const int index = DecodeSymbol(reg, s.cumFreq, s.symbolCount);
      if (index == s.endSymbol) {
        ended = true;
        break;
      }
      values_[n] = static_cast<int8_t>(ValueOf(s, index));
      UpdateModel(s, index, reg);
    }
    published_.store(n, std::memory_order_release);
  }
  reg.StoreTo(s);
  ended_ = ended;
  stage_.store(kDone, std::memory_order_release);
}

bool SegmentAhead::Claim() {
  if (!armed()) return false;
  int expected = kPending;
  claimed_ = !stage_.compare_exchange_strong(expected, kPassedBy);
  return claimed_;
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
  stop_.store(true, std::memory_order_relaxed);
  int expected = kPending;
  if (!armed() || stage_.compare_exchange_strong(expected, kPassedBy) || expected == kPassedBy) return;
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
  if (IsDecodableVersion(state)) {
    if (DecodeCoefficients(state, letter) != 0) return 1;
  }
  return 0;
}

}  // namespace kdz
