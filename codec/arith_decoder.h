// Adaptive multi-symbol arithmetic decoder: 16-bit registers, one frequency model
// of at most 256 value symbols plus an end symbol, total frequency capped at 4096.
#pragma once

#include <cstdint>
#include <utility>

#include "codec/decoder_state.h"

namespace kdz {

constexpr int32_t kCodeTop = 0xFFFF;
constexpr int32_t kFirstQuarter = 0x4000;
constexpr int32_t kHalf = 0x8000;
constexpr int32_t kThirdQuarter = 0xC000;
constexpr int32_t kMaxFrequency = 4096;

// Division by the model's total as a multiplication and a shift, for the quotients
// of the interval arithmetic: for a total d in 1..kMaxFrequency and n = range * c
// with range <= 2^16 and c <= d (a cumulative count),
//   n / d == (range * TotalReciprocal(d) * c) >> kTotalShift,
// where the reciprocal is 2^41 / d rounded up, (2^41 + e) / d with e < d. Then
// n * reciprocal / 2^41 exceeds n / d by n e / (d 2^41) < n / 2^41 <= 2^-13, less
// than 1/d, and the fraction of n / d is at most (d - 1) / d: the whole part stays.
// The product is at most range * c * (2^41 / d + 1) <= range * (2^41 + d) < 2^58.
// The reciprocal still takes a division, but one made when the model changes, which
// the next symbol's search does not wait for, where the interval's two divisions
// came after the search.
constexpr int kTotalShift = 41;
inline uint64_t TotalReciprocal(int32_t total) {
  const uint64_t d = static_cast<uint32_t>(total);
  return ((uint64_t{1} << kTotalShift) + d - 1) / d;
}

// The reciprocals of the totals kReciprocalLow..kMaxFrequency, made once for the
// process (entry total - kReciprocalLow). A model's total climbs by one at each
// symbol to kMaxFrequency and halves there, so after its first symbols it stays in
// this range, and the table is read in order; the division it replaces was the
// longest step between one symbol's update and the next symbol's bounds. The
// reciprocals fit 32 bits from 2048 on.
constexpr int32_t kReciprocalLow = kMaxFrequency / 2;
const uint32_t* ReciprocalTable();
// TotalReciprocal(total) from `table` where it holds it.
inline uint64_t TotalReciprocal(int32_t total, const uint32_t* table) {
  const uint32_t k = static_cast<uint32_t>(total - kReciprocalLow);
  return k <= static_cast<uint32_t>(kMaxFrequency - kReciprocalLow) ? table[k] : TotalReciprocal(total);
}

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

// The registers and the bit input of the decoder as a value of their own: the
// coefficient loop works on a local copy, which the compiler keeps in machine
// registers, and hands it back to the state when a segment ends. The steps are
// defined here so that the loop inlines them.
struct ArithRegisters {
  int32_t codeValue, low, high, bitBuffer, bitsLeft;
  size_t readPos;
  const uint8_t* data;
  size_t size;
  bool readPastEnd;

  explicit ArithRegisters(const DecoderState& s)
      : codeValue(s.codeValue), low(s.low), high(s.high), bitBuffer(s.bitBuffer), bitsLeft(s.bitsLeft),
        readPos(s.readPos), data(s.dataBase), size(s.dataSize), readPastEnd(s.readPastEnd) {}
  void StoreTo(DecoderState& s) const {
    s.codeValue = codeValue;
    s.low = low;
    s.high = high;
    s.bitBuffer = bitBuffer;
    s.bitsLeft = bitsLeft;
    s.readPos = readPos;
    s.readPastEnd = readPastEnd;
  }
};

inline int InputBit(ArithRegisters& r) {
  if (r.bitsLeft == 0) {
    if (r.readPos < r.size) {
      r.bitBuffer = r.data[r.readPos];
    } else {
      r.bitBuffer = 0;
      r.readPastEnd = true;
    }
    ++r.readPos;
    r.bitsLeft = 8;
  }
  const int bit = r.bitBuffer & 1;
  r.bitBuffer >>= 1;
  --r.bitsLeft;
  return bit;
}

// DecodeSymbol on the registers r with the model's cumulative counts, renormalising
// one bit at a time (the plain form: the tests and benchmarks compare the windowed
// form below with it).
inline int DecodeSymbol(ArithRegisters& r, const int32_t* cumFreq, int32_t symbolCount) {
  const int32_t range = r.high - r.low + 1;
  const int32_t total = cumFreq[0];
  const int32_t cum = ((r.codeValue - r.low + 1) * total - 1) / range;
  // The registers keep low <= codeValue <= high, so cum lies in 0..total-1 and the
  // search stops at the end symbol at the latest; the bound only guards that.
  int index = 1;
  while (index < symbolCount && cumFreq[index] > cum) ++index;

  const int32_t low = r.low;
  r.high = low + (range * cumFreq[index - 1]) / total - 1;
  r.low = low + (range * cumFreq[index]) / total;

  for (;;) {
    if (r.high < kHalf) {
      // nothing to subtract
    } else if (r.low >= kHalf) {
      r.codeValue -= kHalf;
      r.low -= kHalf;
      r.high -= kHalf;
    } else if (r.low >= kFirstQuarter && r.high < kThirdQuarter) {
      r.codeValue -= kFirstQuarter;
      r.low -= kFirstQuarter;
      r.high -= kFirstQuarter;
    } else {
      break;
    }
    r.low = 2 * r.low;
    r.high = 2 * r.high + 1;
    r.codeValue = 2 * r.codeValue + InputBit(r);
  }
  return index;
}

// The registers with the input read ahead into a 64-bit window, so that the
// renormalisation takes all its bits in one step. The window holds the next
// windowBits bits of the stream, the first at bit 63; they are bits
// 8 * nextByte - windowBits .. 8 * nextByte - 1 of the stream (bytes in file order,
// each least significant bit first), zero bytes past the end of the image.
// StoreTo gives back exactly the bit input of the plain form: the byte cursor, the
// bits left of the current byte and readPastEnd as if each bit had been read alone.
// It expects the state's invariant of the plain form: bitBuffer holds no bits
// above its bitsLeft unread ones, as InputBit leaves it.
struct WindowedRegisters {
  uint32_t codeValue, low, high;
  uint64_t window;
  int windowBits;
  size_t nextByte;
  const uint8_t* data;
  size_t size;
  // The bit input at the start: the bytes read since decide readPastEnd, and while
  // no bit has been taken it is handed back as it was (bitsLeft may be 8 there).
  size_t startPos;
  int32_t startBitsLeft, startBitBuffer;
  bool startPastEnd;
  // The model's total, cumFreq[0], its reciprocal, and cumFreq[1] and cumFreq[2],
  // kept here, so that a symbol's arithmetic need not wait for the counts the model
  // update before it stored: half to four fifths of the symbols of a picture's 'y'
  // are index 1 or 2. While these registers are in use the model is updated by
  // UpdateModel(state, index, *this).
  int32_t total;
  int32_t cum1, cum2;
  uint64_t reciprocal;  // TotalReciprocal(total), made as the total changes (a model
                        // not yet reset has total 0: no symbol is decoded from it)
  const uint32_t* reciprocals;  // ReciprocalTable()

  explicit WindowedRegisters(const DecoderState& s)
      : codeValue(static_cast<uint32_t>(s.codeValue)), low(static_cast<uint32_t>(s.low)),
        high(static_cast<uint32_t>(s.high)), window(0), windowBits(s.bitsLeft), nextByte(s.readPos),
        data(s.dataBase), size(s.dataSize), startPos(s.readPos), startBitsLeft(s.bitsLeft),
        startBitBuffer(s.bitBuffer), startPastEnd(s.readPastEnd),
        total(s.cumFreq[0]), cum1(s.cumFreq[1]), cum2(s.cumFreq[2]),
        reciprocal(TotalReciprocal(s.cumFreq[0] > 0 ? s.cumFreq[0] : 1)), reciprocals(ReciprocalTable()) {
    for (int k = 0; k < windowBits; ++k) {
      window |= static_cast<uint64_t>((s.bitBuffer >> k) & 1) << (63 - k);
    }
  }

  void StoreTo(DecoderState& s) const {
    s.codeValue = static_cast<int32_t>(codeValue);
    s.low = static_cast<int32_t>(low);
    s.high = static_cast<int32_t>(high);
    if (8 * nextByte - static_cast<size_t>(windowBits) == 8 * startPos - static_cast<size_t>(startBitsLeft)) {
      s.readPos = startPos;
      s.bitsLeft = startBitsLeft;
      s.bitBuffer = startBitBuffer;
      s.readPastEnd = startPastEnd;
      return;
    }
    const size_t readPos = nextByte - static_cast<size_t>(windowBits / 8);
    s.readPos = readPos;
    s.bitsLeft = windowBits % 8;
    int32_t buffer = 0;
    for (int k = 0; k < s.bitsLeft; ++k) buffer |= static_cast<int32_t>((window >> (63 - k)) & 1) << k;
    s.bitBuffer = buffer;
    s.readPastEnd = startPastEnd || (readPos > startPos && readPos > size);
  }

  // Tops the window up with whole bytes to at least 57 bits.
  void Refill() {
    const int bytes = (64 - windowBits) / 8;  // 1..8, as windowBits <= 56 here
    uint64_t chunk = 0;
    if (nextByte <= size && size - nextByte >= 8) {
      for (int k = 0; k < 8; ++k) chunk |= static_cast<uint64_t>(data[nextByte + k]) << (8 * k);
    } else {
      for (int k = 0; k < 8; ++k) {
        const size_t at = nextByte + static_cast<size_t>(k);
        if (at < size) chunk |= static_cast<uint64_t>(data[at]) << (8 * k);
      }
    }
    // Bit-reversing the little-endian word puts bit 0 of the first byte at bit 63.
    chunk = ((chunk >> 1) & 0x5555555555555555u) | ((chunk & 0x5555555555555555u) << 1);
    chunk = ((chunk >> 2) & 0x3333333333333333u) | ((chunk & 0x3333333333333333u) << 2);
    chunk = ((chunk >> 4) & 0x0F0F0F0F0F0F0F0Fu) | ((chunk & 0x0F0F0F0F0F0F0F0Fu) << 4);
    chunk = __builtin_bswap64(chunk);
    const int bits = 8 * bytes;
    window |= (chunk >> (64 - bits)) << (64 - bits - windowBits);
    windowBits += bits;
    nextByte += static_cast<size_t>(bytes);
  }

  // The next k bits of the stream (k <= 16, windowBits >= k) as a k-bit number.
  uint32_t Take(int k) {
    const uint32_t bits = static_cast<uint32_t>((window >> 32) >> (32 - k));
    window <<= k;
    windowBits -= k;
    return bits;
  }
};

// DecodeSymbol on the windowed registers: the same interval and bits as the plain
// form. The shifts of the plain loop come in two runs: while low and high agree in
// their top bit (the leading equal bits of low ^ high), then while low is 01... and
// high 10... (each such step deletes bit 14 of all three registers; after one, the
// top bits still differ, so no shift of the first kind follows). Both runs together
// shift at most 16 bits.
//
// The search needs no division: with x = codeValue - low + 1 >= 1, cumFreq[k] is
// above cum = (x * total - 1) / range exactly when cumFreq[k] * range >= x * total.
// Nor do the new bounds: both divide by the total, through its reciprocal.
inline int DecodeSymbol(WindowedRegisters& r, const int32_t* cumFreq, int32_t symbolCount) {
  (void)symbolCount;  // see the search
  const int32_t range = static_cast<int32_t>(r.high - r.low) + 1;
  const int32_t total = r.total;
  const int32_t target = (static_cast<int32_t>(r.codeValue - r.low) + 1) * total;
  // The registers keep low <= codeValue <= high whatever the input, so target is at
  // least 1, and cumFreq[symbolCount] is always 0: the search stops at the end
  // symbol at the latest without testing a bound at each step.
  // Indices 1 and 2 from the kept counts (cumFreq[2] is read only when index 1 is
  // not the end symbol, so it lies within the model), the others from the model.
  int index;
  int32_t upper, lower;  // cumFreq[index - 1], cumFreq[index]
  if (r.cum1 * range < target) {
    index = 1;
    upper = total;
    lower = r.cum1;
  } else if (r.cum2 * range < target) {
    index = 2;
    upper = r.cum1;
    lower = r.cum2;
  } else {
    index = 3;
    while (cumFreq[index] * range >= target) ++index;
    upper = cumFreq[index - 1];
    lower = cumFreq[index];
  }

  const uint64_t scaled = static_cast<uint64_t>(range) * r.reciprocal;
  const uint32_t low = r.low;
  uint32_t lo = low + static_cast<uint32_t>((scaled * static_cast<uint32_t>(lower)) >> kTotalShift);
  uint32_t hi = low + static_cast<uint32_t>((scaled * static_cast<uint32_t>(upper)) >> kTotalShift) - 1;

  if (r.windowBits < 16) r.Refill();
  // Leading equal bits: 16 when low == high (the plain loop then shifts until low is
  // 0 and high 0xFFFF).
  const uint32_t differ = (lo ^ hi) << 16;
  const int n = differ == 0 ? 16 : __builtin_clz(differ);
  uint32_t code = ((r.codeValue << n) | r.Take(n)) & 0xFFFF;
  lo = (lo << n) & 0xFFFF;
  hi = ((hi << n) | ((1u << n) - 1)) & 0xFFFF;
  // Underflow steps: the run of positions from bit 14 down where low has 1 and high 0.
  const int u = __builtin_clz(~((lo & ~hi) << 17));
  const uint32_t keep = 0x8000;
  r.codeValue = (code & keep) | ((code << u) & 0x7FFF) | r.Take(u);
  r.low = (lo << u) & 0x7FFF;
  r.high = (hi & keep) | ((hi << u) & 0x7FFF) | ((1u << u) - 1);
  return index;
}

inline int InputBit(DecoderState& state) {
  ArithRegisters r(state);
  const int bit = InputBit(r);
  r.StoreTo(state);
  return bit;
}

inline int DecodeSymbol(DecoderState& state) {
  ArithRegisters r(state);
  const int index = DecodeSymbol(r, state.cumFreq, state.symbolCount);
  r.StoreTo(state);
  return index;
}

// What a model update did, for registers that keep part of the model: the new total,
// the index whose count grew (every cumulative count below it grew by one), and
// whether the counts were halved first.
struct ModelChange {
  int32_t total;
  int raised;
  bool halved;
};

// UpdateModel for a model whose total is `total`.
inline ModelChange UpdateModelFrom(DecoderState& state, int index, int32_t total) {
  bool halved = false;
  if (total == kMaxFrequency) {
    int32_t cum = 0;
    for (int i = state.symbolCount; i >= 0; --i) {
      state.freq[i] = (state.freq[i] + 1) / 2;
      state.cumFreq[i] = cum;
      cum += state.freq[i];
    }
    total = state.cumFreq[0];
    halved = true;
  }
  int i = index;
  while (state.freq[i] == state.freq[i - 1]) --i;
  if (i < index) std::swap(state.indexToSymbol[i], state.indexToSymbol[index]);
  ++state.freq[i];
  for (int k = i - 1; k >= 0; --k) ++state.cumFreq[k];
  return ModelChange{total + 1, i, halved};
}

inline void UpdateModel(DecoderState& state, int index) { (void)UpdateModelFrom(state, index, state.cumFreq[0]); }

// The update for each form of the registers: the windowed one keeps its part of the
// model in step.
inline void UpdateModel(DecoderState& state, int index, ArithRegisters&) { UpdateModel(state, index); }
inline void UpdateModel(DecoderState& state, int index, WindowedRegisters& r) {
  const ModelChange change = UpdateModelFrom(state, index, r.total);
  r.total = change.total;
  r.reciprocal = TotalReciprocal(change.total, r.reciprocals);
  if (change.halved) {
    r.cum1 = state.cumFreq[1];
    r.cum2 = state.cumFreq[2];
  } else {
    r.cum1 += change.raised > 1;
    r.cum2 += change.raised > 2;
  }
}

}  // namespace kdz
