// Second quantiser pass: the lazily filled nearest-colour cache and the mapping of pixels to indices, with or without serpentine Floyd-Steinberg diffusion.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "quant/quant_internal.h"

namespace kdz {

namespace {

// The centres of the lowest and highest cells of cache block (b0, b1, b2).
struct BlockSpan {
  int32_t lo[3];
  int32_t hi[3];
};

BlockSpan SpanOf(int32_t b0, int32_t b1, int32_t b2) {
  BlockSpan s = {{32 * b0 + 4, 32 * b1 + 2, 32 * b2 + 4}, {0, 0, 0}};
  s.hi[0] = s.lo[0] + 24;
  s.hi[1] = s.lo[1] + 28;
  s.hi[2] = s.lo[2] + 24;
  return s;
}

constexpr int32_t kWeight[3] = {1, 3, 2};

// An entry whose nearest point of the block is farther than some entry's farthest
// point can be nearest to no cell of the block. Writes the others, in increasing
// order, to `candidates` and returns their number.
int32_t NearCandidates(const QuantState& qs, const BlockSpan& span, uint8_t* candidates) {
  const uint8_t* pal[3] = {qs.palette[0].data(), qs.palette[1].data(), qs.palette[2].data()};
  const int32_t colors = qs.colorsInUse;
  int32_t nearDist[kMaxColors];
  int32_t bound = std::numeric_limits<int32_t>::max();
  // Without branches, so that the compiler may take several entries at once. Along
  // one axis the nearest point is the distance outside the span (0 inside); as
  // toLo > toHi, the farther end is max(toLo, -toHi) away. Weighted distances along
  // one axis are within 3 * 255 and fit 16 bits, their squares are taken in 32.
  for (int32_t i = 0; i < colors; ++i) {
    int32_t nearSum = 0, farSum = 0;
    for (int k = 0; k < 3; ++k) {
      const int32_t x = pal[k][i];
      const int16_t toLo = static_cast<int16_t>(kWeight[k] * (x - span.lo[k]));
      const int16_t toHi = static_cast<int16_t>(kWeight[k] * (x - span.hi[k]));
      const int16_t outside = std::max<int16_t>(std::max<int16_t>(static_cast<int16_t>(-toLo), toHi), 0);
      const int16_t farther = std::max<int16_t>(toLo, static_cast<int16_t>(-toHi));
      nearSum += int32_t{outside} * outside;
      farSum += int32_t{farther} * farther;
    }
    nearDist[i] = nearSum;
    bound = std::min(bound, farSum);
  }
  // Every entry is written, and the next overwrites it unless it is kept.
  int32_t count = 0;
  for (int32_t i = 0; i < colors; ++i) {
    candidates[count] = static_cast<uint8_t>(i);
    count += nearDist[i] <= bound;
  }
  return count;
}

// The plain form of NearCandidates, one case per position of the entry.
int32_t NearCandidatesPlain(const QuantState& qs, const BlockSpan& span, uint8_t* candidates) {
  const int32_t* lo = span.lo;
  const int32_t* hi = span.hi;
  const int32_t* weight = kWeight;
  const uint8_t* pal[3] = {qs.palette[0].data(), qs.palette[1].data(), qs.palette[2].data()};
  const int32_t colors = qs.colorsInUse;
  int32_t nearDist[kMaxColors];
  int32_t bound = std::numeric_limits<int32_t>::max();
  for (int32_t i = 0; i < colors; ++i) {
    int32_t nearSum = 0, farSum = 0;
    for (int k = 0; k < 3; ++k) {
      const int32_t x = pal[k][i];
      const int32_t toLo = weight[k] * (x - lo[k]);
      const int32_t toHi = weight[k] * (x - hi[k]);
      if (x < lo[k]) {
        nearSum += toLo * toLo;
        farSum += toHi * toHi;
      } else if (x > hi[k]) {
        nearSum += toHi * toHi;
        farSum += toLo * toLo;
      } else if (x <= ((lo[k] + hi[k]) >> 1)) {
        farSum += toHi * toHi;
      } else {
        farSum += toLo * toLo;
      }
    }
    nearDist[i] = nearSum;
    if (farSum < bound) bound = farSum;
  }
  int32_t candidateCount = 0;
  for (int32_t i = 0; i < colors; ++i) {
    if (nearDist[i] <= bound) candidates[candidateCount++] = static_cast<uint8_t>(i);
  }
  return candidateCount;
}

// The nearest of the candidates to each of the 128 cells of the block, as 1 + its
// index in `value`; cells in order i0, i1, i2 with i2 fastest, ties to the lowest
// index (candidates come in increasing index order).

// The plain search: distances stepped from the lowest cell centre, one cell at a
// time: (d + s)^2 - d^2 = 2ds + s^2 with steps 8, 4, 8 and weights 1, 9, 4.
void NearestSteppedPlain(const uint8_t* const pal[3], const BlockSpan& span,
                         const uint8_t* candidates, int32_t candidateCount, uint16_t* value) {
  const int32_t* lo = span.lo;
  int32_t best[128];
  uint8_t bestIndex[128] = {};
  for (int32_t& b : best) b = std::numeric_limits<int32_t>::max();
  for (int32_t n = 0; n < candidateCount; ++n) {
    const uint8_t idx = candidates[n];
    const int32_t e0 = lo[0] - pal[0][idx];
    const int32_t e1 = lo[1] - pal[1][idx];
    const int32_t e2 = lo[2] - pal[2][idx];
    int32_t dist0 = e0 * e0 + 9 * e1 * e1 + 4 * e2 * e2;
    int32_t inc0 = 16 * e0 + 64;
    int32_t cell = 0;
    for (int i0 = 0; i0 < 4; ++i0) {
      int32_t dist1 = dist0;
      int32_t inc1 = 72 * e1 + 144;
      for (int i1 = 0; i1 < 8; ++i1) {
        int32_t dist2 = dist1;
        int32_t inc2 = 64 * e2 + 256;
        for (int i2 = 0; i2 < 4; ++i2, ++cell) {
          if (dist2 < best[cell]) {
            best[cell] = dist2;
            bestIndex[cell] = idx;
          }
          dist2 += inc2;
          inc2 += 512;
        }
        dist1 += inc1;
        inc1 += 288;
      }
      dist0 += inc0;
      inc0 += 128;
    }
  }
  for (int32_t cell = 0; cell < 128; ++cell) value[cell] = static_cast<uint16_t>(bestIndex[cell] + 1);
}

// The same search with one minimum per cell and no branches. Distance * 256 + index is
// a key whose least value over the candidates names the nearest one, ties to the
// lowest index in any order; keys stay below 2^31, a distance being at most
// (1 + 9 + 4) 255^2. A cell's distance is a sum of one term per axis: the terms of
// components 1 and 2 make the 32 keys of a plane of the block, and each of the 4
// planes adds the term of component 0, a loop over 32 keys that the compiler does
// as vectors.
void NearestByAxes(const uint8_t* const pal[3], const BlockSpan& span,
                   const uint8_t* candidates, int32_t candidateCount, uint16_t* value) {
  const int32_t* lo = span.lo;
  int32_t best[128];
  for (int32_t& b : best) b = std::numeric_limits<int32_t>::max();
  for (int32_t n = 0; n < candidateCount; ++n) {
    const int32_t idx = candidates[n];
    int32_t plane[32];  // i1, i2 with i2 fastest
    for (int i1 = 0; i1 < 8; ++i1) {
      const int32_t d1 = 3 * (lo[1] + 4 * i1 - pal[1][idx]);
      for (int i2 = 0; i2 < 4; ++i2) {
        const int32_t d2 = 2 * (lo[2] + 8 * i2 - pal[2][idx]);
        plane[4 * i1 + i2] = (d1 * d1 + d2 * d2) * 256 + idx;
      }
    }
    for (int i0 = 0; i0 < 4; ++i0) {
      const int32_t d0 = lo[0] + 8 * i0 - pal[0][idx];
      const int32_t term = d0 * d0 * 256;
      int32_t* b = best + 32 * i0;
      for (int j = 0; j < 32; ++j) {
        const int32_t key = term + plane[j];
        const int32_t less = -static_cast<int32_t>(key < b[j]);
        b[j] = (key & less) | (b[j] & ~less);
      }
    }
  }
  for (int32_t cell = 0; cell < 128; ++cell) value[cell] = static_cast<uint16_t>((best[cell] & 255) + 1);
}

using CandidateSearch = int32_t (*)(const QuantState&, const BlockSpan&, uint8_t*);
using CellSearch = void (*)(const uint8_t* const[3], const BlockSpan&, const uint8_t*, int32_t,
                            uint16_t*);

// Fills the block of cell (c0, c1, c2) with the forms `Candidates` and `Nearest`.
template <CandidateSearch Candidates, CellSearch Nearest>
void FillBlock(QuantState& qs, int32_t c0, int32_t c1, int32_t c2) {
  const int32_t b0 = c0 >> 2, b1 = c1 >> 3, b2 = c2 >> 2;
  const BlockSpan span = SpanOf(b0, b1, b2);
  const uint8_t* const pal[3] = {qs.palette[0].data(), qs.palette[1].data(), qs.palette[2].data()};
  uint8_t candidates[kMaxColors];
  const int32_t candidateCount = Candidates(qs, span, candidates);
  uint16_t value[128];
  Nearest(pal, span, candidates, candidateCount, value);

  uint16_t* cells = qs.histogram.data() + CacheIndex(4 * b0, 8 * b1, 4 * b2);
  for (int32_t k = 0; k < 128; ++k) StoreCell(cells + k, value[k]);
}

}  // namespace

void FillCacheBlock(QuantState& qs, int32_t c0, int32_t c1, int32_t c2) {
  FillBlock<NearCandidates, NearestByAxes>(qs, c0, c1, c2);
}

void FillCacheBlockPlain(QuantState& qs, int32_t c0, int32_t c1, int32_t c2) {
  FillBlock<NearCandidatesPlain, NearestSteppedPlain>(qs, c0, c1, c2);
}

void MapNearest(QuantState& qs, const uint8_t* pixels, uint8_t* indexImage) {
  uint16_t* cache = qs.histogram.data();
  const uint8_t* p = pixels;
  uint8_t* out = indexImage;
  for (int32_t r = 0; r < qs.rowCount; ++r) {
    for (int32_t x = 0; x < qs.rowLength; ++x, p += 3) {
      const int c0 = p[0] >> 3, c1 = p[1] >> 2, c2 = p[2] >> 3;
      uint16_t* cell = cache + CacheIndex(c0, c1, c2);
      if (LoadCell(cell) == 0) FillCacheBlock(qs, c0, c1, c2);
      *out++ = static_cast<uint8_t>(LoadCell(cell) - 1);
    }
  }
}

void FillCacheBlockNumber(QuantState& qs, int32_t block) {
  FillCacheBlock(qs, 4 * (block >> 6), 8 * ((block >> 3) & 7), 4 * (block & 7));
}

std::vector<int32_t> BlocksWithinReach(const std::vector<int32_t>& occupied) {
  bool listed[kCacheBlocks] = {};
  for (const int32_t b : occupied) listed[b] = true;
  std::vector<int32_t> blocks = occupied;
  for (const int32_t b : occupied) {
    const int32_t b0 = b >> 6, b1 = (b >> 3) & 7, b2 = b & 7;
    for (int32_t n0 = std::max(b0 - 1, 0); n0 <= std::min(b0 + 1, 7); ++n0) {
      for (int32_t n1 = std::max(b1 - 1, 0); n1 <= std::min(b1 + 1, 7); ++n1) {
        for (int32_t n2 = std::max(b2 - 1, 0); n2 <= std::min(b2 + 1, 7); ++n2) {
          const int32_t n = BlockNumber(4 * n0, 8 * n1, 4 * n2);
          if (!listed[n]) {
            listed[n] = true;
            blocks.push_back(n);
          }
        }
      }
    }
  }
  return blocks;
}

void FillBlocksAhead(QuantState& qs, FillAhead& ahead, const std::vector<int32_t>& order) {
  for (const int32_t block : order) {
    if (ahead.mappingDone.load(std::memory_order_relaxed)) return;
    if (ahead.taken[block].exchange(1, std::memory_order_relaxed) == 0) {
      FillCacheBlockNumber(qs, block);
      ahead.done[block].store(1, std::memory_order_release);
    }
  }
}

namespace {

// The dithered mapping keeps a pixel's three error terms in 16-bit lanes of one
// 64-bit word (lane k at bits 16k..16k+15, lane 3 unused), so that the error
// entries are updated with one addition, one multiplication by a small constant and
// one store for all three components. Each lane holds its value plus a bias that
// keeps it positive, so that no lane ever borrows from or carries into the next:
// an error e (-255..255) is held as e + kErrorBias, an entry of the error row
// (a sum e1 + 5 e2 + 3 e3 of three errors, within 9 * 255 of 0) as entry +
// kEntryBias, as 1 + 5 + 3 biased errors add up to (entries a caller set, within
// 16 * 255 as the limit table takes them, fit too); lane 3 takes whatever the sums
// carry into it. The entries are 16-bit sums of sixteenths in the plain form; only
// their storage differs here.
constexpr uint64_t kLanes = 0x0000000100010001u;  // 1 in lanes 0..2
constexpr int32_t kErrorBias = 512;
constexpr int32_t kEntryBias = 9 * kErrorBias;

// The cache as the dithering may read it: one 64-bit word per cell, in the cells'
// own order, with minus 7 times component k of the cell's entry in lane k and the
// cell's cache value in lane 3 (0 while the word is not yet made). The next pixel's
// limited errors need only the three lanes, so they come with one load from the
// cell, where the cache value alone needs a second load from the palette.
// The words are made a whole cache block (128 cells, 1 KB) at a time from the
// cache's cells, by the mapping alone; another thread may fill those cells, never
// these words. They lie in kWordSlabs slabs of 8192 words (64 KB), one for each
// range of 32 values of component 0; a slab is taken once the mapping reaches it,
// from the caller's kept blocks while they have room (cleared here), then from
// calloc.
class WordSlabs {
 public:
  static constexpr int32_t kSlabs = kWordSlabs;
  static constexpr size_t kSlabWords = kHistCells / kSlabs;
  static constexpr size_t kSlabBytes = kSlabWords * sizeof(uint64_t);

  // Takes the first kept block at once; at most `freshMost` slabs come from calloc.
  WordSlabs(const BufferHooks* hooks, int32_t freshMost) : hooks_(hooks), freshMost_(freshMost) { TakeKept(); }
  ~WordSlabs() {
    for (int32_t k = 0; k < blockCount_; ++k) hooks_->give(blocks_[k], capacities_[k]);
    for (int32_t k = 0; k < freshCount_; ++k) std::free(fresh_[k]);
  }
  WordSlabs(const WordSlabs&) = delete;
  WordSlabs& operator=(const WordSlabs&) = delete;

  // Whether the kept blocks had room for a slab at the start.
  bool Kept() const { return blockCount_ > 0; }

  // The zeroed words of a new slab; null when no memory is left for one.
  uint64_t* Take() {
    if (room_ < kSlabBytes) TakeKept();
    if (room_ >= kSlabBytes) {
      uint64_t* words = reinterpret_cast<uint64_t*>(next_);
      next_ += kSlabBytes;
      room_ -= kSlabBytes;
      std::memset(words, 0, kSlabBytes);
      return words;
    }
    if (freshCount_ >= std::min(freshMost_, kSlabs)) return nullptr;
    uint64_t* words = static_cast<uint64_t*>(std::calloc(kSlabWords, sizeof(uint64_t)));
    if (words != nullptr) fresh_[freshCount_++] = words;
    return words;
  }

 private:
  void TakeKept() {
    if (hooks_ == nullptr || blockCount_ == kSlabs) return;
    size_t capacity = 0;
    void* block = hooks_->take(kSlabBytes, &capacity);
    if (block == nullptr) return;
    blocks_[blockCount_] = block;
    capacities_[blockCount_++] = capacity;
    next_ = static_cast<unsigned char*>(block);
    room_ = capacity;
  }

  const BufferHooks* hooks_;
  int32_t freshMost_;
  // Blocks from the hooks, carved into slabs from `next_` on while `room_` lasts.
  void* blocks_[kSlabs] = {};
  size_t capacities_[kSlabs] = {};
  int32_t blockCount_ = 0;
  unsigned char* next_ = nullptr;
  size_t room_ = 0;
  uint64_t* fresh_[kSlabs] = {};
  int32_t freshCount_ = 0;
};

// What slabs not yet taken read as: words not yet made. Never written.
uint64_t gNoWords[WordSlabs::kSlabWords];

// What one dithered pixel looks up, in one block so that one register reaches it all.
// Read as words, the pixel depends on the one before through three loads and an
// OR: the lanes of its cell's word find the limited errors, those the shares of the
// next cell's address (component 0's as the address of its part of the cells), and
// the OR of the other two there the next cell. Read from the cache, the cell's
// value first finds minus 7 times its entry, a fourth load. The tables are laid out
// so that each of these addresses is one base (ready before the value) and one
// index (the value).
struct DitherTables {
  // The limited error for a sum s of sixteenths, at [s + kSumBound]: errorLimit of s
  // rounded half up to whole units. The carry and the entry of a column are sums of
  // errors in -255..255 with weights of at most 16 in all, so |s| <= 16 * 255.
  static constexpr int32_t kSumBound = 16 * 255;
  int8_t limit[2 * kSumBound + 1];
  // Limited errors lie within -32..32, so a corrected value v = pixel + limited error
  // lies within -32..287; it is at [v + kLimitBound] of the next tables.
  static constexpr int32_t kLimitBound = 32;
  static constexpr int32_t kCorrectedValues = 256 + 2 * kLimitBound;
  // For a = clampTable of v, the shares of components 1 and 2 in the byte offset of
  // its cell (at [0] and [1]), and for component 0 the part of the cells its share
  // selects: each component's bits of CacheIndex are its own, so cell
  // CacheIndex(a0 >> 3, a1 >> 2, a2 >> 3) is at cellPlane[a0] + (cellPart[0][a1] |
  // cellPart[1][a2]), one OR and one load from the three values. As words,
  // component 0's top 3 bits choose the slab.
  unsigned char* cellPlane[kCorrectedValues];
  uint32_t cellPart[2][kCorrectedValues];
  // For component k, a in lane k and 7 a - kEntryBias in lane 3, read as a signed
  // number: the next pixel's sum of sixteenths is 7 (a - entry) + carried, and
  // 7 a + (carried + kEntryBias) - kEntryBias, the carried entry as it is stored, is
  // known before the entry is.
  uint64_t value[3][kCorrectedValues];
  // For the cache value c, minus 7 times component k of palette entry c - 1 at [k][c];
  // [k][0] is 0 and stands for the pixel before the first of a row.
  int16_t minusSeven[3][kMaxColors + 1];
  // For the cache value c, kErrorBias - component k of palette entry c - 1 in lane
  // k: the biased error is the value's lanes plus this.
  uint64_t errorOffset[kMaxColors + 1];
  // For the cache value c, the word of a cell holding it.
  uint64_t wordOf[kMaxColors + 1];
  // The slabs; gNoWords for one not taken.
  uint64_t* slab[WordSlabs::kSlabs];
  // The word of the one cell made when no slab could be taken for it.
  uint64_t lone = 0;
  // The component 0 values a (clamped) of cellPlane[n] at [n].
  uint8_t plane0Value[kCorrectedValues];

  // Points component 0's share of the words of slab s at `words`.
  void SetSlab(int32_t s, uint64_t* words) {
    slab[s] = words;
    for (int32_t n = 0; n < kCorrectedValues; ++n) {
      const int32_t a = plane0Value[n];
      if (a >> 5 == s) {
        cellPlane[n] = reinterpret_cast<unsigned char*>(words + (CacheIndex(a >> 3, 0, 0) & (WordSlabs::kSlabWords - 1)));
      }
    }
  }
};

// The tables for cells read as words (`words`) or from the cache.
void BuildDitherTables(QuantState& qs, DitherTables& t, bool words) {
  const size_t cellBytes = words ? sizeof(uint64_t) : sizeof(uint16_t);
  const int32_t* limit = qs.errorLimit.data() + 255;
  for (int32_t s = -DitherTables::kSumBound; s <= DitherTables::kSumBound; ++s) {
    t.limit[s + DitherTables::kSumBound] = static_cast<int8_t>(limit[(s + 8) >> 4]);
  }
  const uint8_t* clamp = qs.clampTable.data() + 255;
  for (int32_t n = 0; n < DitherTables::kCorrectedValues; ++n) {
    const uint8_t a = clamp[n - DitherTables::kLimitBound];
    t.plane0Value[n] = a;
    t.cellPlane[n] = reinterpret_cast<unsigned char*>(qs.histogram.data() + CacheIndex(a >> 3, 0, 0));
    t.cellPart[0][n] = static_cast<uint32_t>(CacheIndex(0, a >> 2, 0) * cellBytes);
    t.cellPart[1][n] = static_cast<uint32_t>(CacheIndex(0, 0, a >> 3) * cellBytes);
    const uint64_t seven = static_cast<uint16_t>(7 * a - kEntryBias);
    for (int k = 0; k < 3; ++k) t.value[k][n] = (uint64_t{a} << (16 * k)) | (seven << 48);
  }
  if (words) {
    for (int32_t s = 0; s < WordSlabs::kSlabs; ++s) t.SetSlab(s, gNoWords);
  }
  for (uint64_t& offset : t.errorOffset) offset = kErrorBias * kLanes;
  std::memset(t.minusSeven, 0, sizeof t.minusSeven);
  std::memset(t.wordOf, 0, sizeof t.wordOf);
  for (int32_t i = 0; i < qs.colorsInUse; ++i) {
    uint64_t offset = 0;
    uint64_t word = static_cast<uint64_t>(i + 1) << 48;
    for (int k = 0; k < 3; ++k) {
      const uint8_t v = qs.palette[k][i];
      t.minusSeven[k][i + 1] = static_cast<int16_t>(-7 * v);
      offset |= static_cast<uint64_t>(kErrorBias - v) << (16 * k);
      word |= static_cast<uint64_t>(static_cast<uint16_t>(-7 * v)) << (16 * k);
    }
    t.errorOffset[i + 1] = offset;
    t.wordOf[i + 1] = word;
  }
}

// Makes the compiler take `p` as it is, so that it does not fold the sum that made
// it into a later address: that would put an addition on the chain between pixels.
template <typename T>
inline void KeepAsIs(T*& p) {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__) || defined(__aarch64__))
  __asm__("" : "+r"(p));
#else
  (void)p;
#endif
}

// Lane k of the word at p, as one 16-bit load.
inline uint16_t Lane(const uint64_t* p, int k) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  return static_cast<uint16_t>(*p >> (16 * k));
#else
  uint16_t lane;
  std::memcpy(&lane, reinterpret_cast<const unsigned char*>(p) + 2 * k, sizeof lane);
  return lane;
#endif
}

// The top lane of a table word of DitherTables::value, signed.
inline ptrdiff_t SevenLane(uint64_t word) { return static_cast<ptrdiff_t>(static_cast<int64_t>(word) >> 48); }

// The word of cell (c0, c1, c2), made with the rest of its block's words from the
// cache's cells once `fill` (c0, c1, c2) has made sure they are all there. With no
// memory for the slab, only this cell's word is made, in t.lone, and the cell comes
// back here each time it is reached.
// Out of line, so that the row's loop keeps its registers for the pixels.
template <typename Fill>
[[gnu::noinline]] const uint64_t* MakeWords(const QuantState& qs, DitherTables& t, WordSlabs& slabs, int32_t c0,
                                            int32_t c1, int32_t c2, Fill& fill) {
  const size_t base = CacheIndex(c0 & ~3, c1 & ~7, c2 & ~3);
  const size_t at = CacheIndex(c0, c1, c2) - base;
  const uint16_t* cells = qs.histogram.data() + base;
  fill(c0, c1, c2);
  const int32_t s = c0 >> 2;
  if (t.slab[s] == gNoWords) {
    uint64_t* words = slabs.Take();
    if (words == nullptr) {
      t.lone = t.wordOf[LoadCell(cells + at)];
      return &t.lone;
    }
    t.SetSlab(s, words);
  }
  uint64_t* words = t.slab[s] + (base & (WordSlabs::kSlabWords - 1));
  for (size_t k = 0; k < 128; ++k) words[k] = t.wordOf[LoadCell(cells + k)];
  return words + at;
}

// One row of MapDithered in the direction `Step` (+1 left to right, -1 right to
// left), with the direction known to the compiler: the column, the error entries
// and the pixel move by constant steps. `entries` holds the error row as words
// (entry x + 1 belongs to column x). With `Words` the cells are read as words
// (WordSlabs), else from the cache itself.
template <int Step, bool Words, typename Fill>
void DitherRow(const QuantState& qs, DitherTables& t, WordSlabs& slabs, const uint8_t* row, uint8_t* out,
               uint64_t* entries, Fill& fill) {
  const int32_t width = qs.rowLength;
  if (width == 0) return;
  const int8_t* limit = t.limit + DitherTables::kSumBound;
  unsigned char* const* cellPlane = t.cellPlane + DitherTables::kLimitBound;
  const uint32_t* cellPart1 = t.cellPart[0] + DitherTables::kLimitBound;
  const uint32_t* cellPart2 = t.cellPart[1] + DitherTables::kLimitBound;
  const uint64_t* value0 = t.value[0] + DitherTables::kLimitBound;
  const uint64_t* value1 = t.value[1] + DitherTables::kLimitBound;
  const uint64_t* value2 = t.value[2] + DitherTables::kLimitBound;
  const int32_t first = Step > 0 ? 0 : width - 1;
  // The spare entry before the first column of the row's direction takes the first
  // "behind" share.
  uint64_t* here = entries + first + 1;
  const uint8_t* px = row + static_cast<ptrdiff_t>(first) * 3;
  uint8_t* index = out + first;
  uint8_t* const end = index + static_cast<ptrdiff_t>(width) * Step;
  // The pixel before the first of a row passes on nothing: its word is all zeros,
  // its cache value 0, and the limit table is entered at the carried entries alone.
  const uint64_t* word = gNoWords;  // of the pixel just done (Words)
  size_t cellValue = 0;             // of the pixel just done
  const int8_t* limit0 = limit + (Lane(here, 0) - kEntryBias);
  const int8_t* limit1 = limit + (Lane(here, 1) - kEntryBias);
  const int8_t* limit2 = limit + (Lane(here, 2) - kEntryBias);
  uint64_t last = kErrorBias * kLanes;        // the error of the pixel just done
  uint64_t behind = 6 * kErrorBias * kLanes;  // the entry behind, less its last 3/16
  do {
    unsigned char* const* plane0 = cellPlane + px[0];
    const uint32_t* part1 = cellPart1 + px[1];
    const uint32_t* part2 = cellPart2 + px[2];
    const uint64_t* words0 = value0 + px[0];
    const uint64_t* words1 = value1 + px[1];
    const uint64_t* words2 = value2 + px[2];
    KeepAsIs(plane0);
    KeepAsIs(part1);
    KeepAsIs(part2);
    KeepAsIs(words0);
    KeepAsIs(words1);
    KeepAsIs(words2);
    ptrdiff_t limited0, limited1, limited2;
    if constexpr (Words) {
      limited0 = limit0[static_cast<int16_t>(Lane(word, 0))];
      limited1 = limit1[static_cast<int16_t>(Lane(word, 1))];
      limited2 = limit2[static_cast<int16_t>(Lane(word, 2))];
    } else {
      limited0 = limit0[t.minusSeven[0][cellValue]];
      limited1 = limit1[t.minusSeven[1][cellValue]];
      limited2 = limit2[t.minusSeven[2][cellValue]];
    }
    const unsigned char* cell = plane0[limited0] + (part1[limited1] | part2[limited2]);
    const uint64_t value0Word = words0[limited0];
    const uint64_t value1Word = words1[limited1];
    const uint64_t value2Word = words2[limited2];
    // The next pixel's entries into the limit table are known now, before its
    // cell: the corrected values' sevenfold parts and the carried entries.
    limit0 = limit + (SevenLane(value0Word) + Lane(here + Step, 0));
    limit1 = limit + (SevenLane(value1Word) + Lane(here + Step, 1));
    limit2 = limit + (SevenLane(value2Word) + Lane(here + Step, 2));
    const uint64_t corrected = value0Word + value1Word + value2Word;
    if constexpr (Words) {
      word = reinterpret_cast<const uint64_t*>(cell);
      cellValue = Lane(word, 3);
    } else {
      cellValue = LoadCell(reinterpret_cast<const uint16_t*>(cell));
    }
    if (cellValue == 0) {
      const int32_t c0 = static_cast<int32_t>((value0Word & 0xFF) >> 3);
      const int32_t c1 = static_cast<int32_t>(((value1Word >> 16) & 0xFF) >> 2);
      const int32_t c2 = static_cast<int32_t>(((value2Word >> 32) & 0xFF) >> 3);
      if constexpr (Words) {
        word = MakeWords(qs, t, slabs, c0, c1, c2, fill);
        cellValue = Lane(word, 3);
      } else {
        fill(c0, c1, c2);
        // Read again from an address formed anew, so that the read before needs no
        // address of its own kept for this one.
        const unsigned char* filled = cell;
        KeepAsIs(filled);
        cellValue = LoadCell(reinterpret_cast<const uint16_t*>(filled));
      }
    }
    *index = static_cast<uint8_t>(cellValue - 1);

    const uint64_t error = corrected + t.errorOffset[cellValue];
    *(here - Step) = behind + 3 * error;
    behind = last + 5 * error;
    last = error;
    here += Step;
    px += 3 * Step;
    index += Step;
  } while (index != end);
  // The 1/16 the row's last pixel would pass beyond the row is dropped.
  *(here - Step) = behind + 3 * kErrorBias * kLanes;
}

// Every row with `Words` as DitherRow has it.
template <bool Words, typename Fill>
void DitherRows(QuantState& qs, DitherTables& t, WordSlabs& slabs, const uint8_t* pixels, uint8_t* indexImage,
                uint64_t* entries, Fill& fill) {
  const size_t width = static_cast<size_t>(qs.rowLength);
  for (int32_t r = 0; r < qs.rowCount; ++r) {
    const uint8_t* row = pixels + static_cast<size_t>(r) * width * 3;
    uint8_t* out = indexImage + static_cast<size_t>(r) * width;
    if (qs.oddRow != 0) {
      qs.oddRow = 0;
      DitherRow<-1, Words>(qs, t, slabs, row, out, entries, fill);
    } else {
      qs.oddRow = 1;
      DitherRow<1, Words>(qs, t, slabs, row, out, entries, fill);
    }
  }
}

// Set once a dithered mapping has run in this process.
std::atomic<bool> gMappedBefore{false};

// MapDithered with `fill` (c0, c1, c2) making sure that every cell of the block of
// cell (c0, c1, c2) is filled, called when that cell is found empty or its word not
// yet made. The cells are read as words when the caller's kept blocks have room
// for a slab, but not in a process's first mapping. The words take four times the
// cache's memory, and a page written for the first time costs a fault, more than
// the words save a small picture: in fresh memory, and in a new process's kept
// blocks too, which then hold the planes just decoded, parts of them only ever read
// (the system maps such pages to one shared page of zeros until written, and the
// first write also makes the other threads drop that page's address).
template <typename Fill>
void MapDitheredWith(QuantState& qs, const uint8_t* pixels, uint8_t* indexImage, Fill fill) {
  const bool warm = gMappedBefore.load(std::memory_order_relaxed);
  WordSlabs slabs(warm ? qs.histogram.get_allocator().hooks : nullptr, qs.freshWordSlabs);
  const bool words = slabs.Kept();
  DitherTables tables;
  BuildDitherTables(qs, tables, words);
  const size_t width = static_cast<size_t>(qs.rowLength);
  // The error row as words for the rows, and back into errorArray after them.
  uint64_t* entries = qs.errorWords.data();
  for (size_t e = 0; e < width + 2; ++e) {
    uint64_t entry = 0;
    for (int k = 0; k < 3; ++k) {
      entry |= static_cast<uint64_t>(static_cast<uint16_t>(qs.errorArray[3 * e + k] + kEntryBias)) << (16 * k);
    }
    entries[e] = entry;
  }
  if (words) {
    DitherRows<true>(qs, tables, slabs, pixels, indexImage, entries, fill);
  } else {
    DitherRows<false>(qs, tables, slabs, pixels, indexImage, entries, fill);
  }
  for (size_t e = 0; e < width + 2; ++e) {
    for (int k = 0; k < 3; ++k) {
      qs.errorArray[3 * e + k] = static_cast<int16_t>(static_cast<int32_t>((entries[e] >> (16 * k)) & 0xFFFF) - kEntryBias);
    }
  }
  gMappedBefore.store(true, std::memory_order_relaxed);
}

}  // namespace

void MapDithered(QuantState& qs, const uint8_t* pixels, uint8_t* indexImage) {
  // Blocks are filled whole, and only here: a block with one cell filled has all.
  MapDitheredWith(qs, pixels, indexImage, [&qs](int32_t c0, int32_t c1, int32_t c2) {
    if (LoadCell(qs.histogram.data() + CacheIndex(c0, c1, c2)) == 0) FillCacheBlock(qs, c0, c1, c2);
  });
}

void MapDitheredAlongside(QuantState& qs, FillAhead& ahead, const uint8_t* pixels, uint8_t* indexImage) {
  // A block another thread has begun may have some cells filled and not others
  // yet: unless it has finished the block, the mapping fills it itself.
  MapDitheredWith(qs, pixels, indexImage, [&qs, &ahead](int32_t c0, int32_t c1, int32_t c2) {
    const int32_t block = BlockNumber(c0, c1, c2);
    if (ahead.done[block].load(std::memory_order_acquire) != 0) return;
    ahead.taken[block].store(1, std::memory_order_relaxed);
    FillCacheBlock(qs, c0, c1, c2);
  });
  ahead.mappingDone.store(true, std::memory_order_relaxed);
}

void MapDitheredPlain(QuantState& qs, const uint8_t* pixels, uint8_t* indexImage) {
  const int32_t width = qs.rowLength;
  uint16_t* cache = qs.histogram.data();
  int16_t* errors = qs.errorArray.data();
  // Both tables are indexed from their middle: errors -255..255, values -255..510.
  const int32_t* limit = qs.errorLimit.data() + 255;
  const uint8_t* clamp = qs.clampTable.data() + 255;
  const uint8_t* pal0 = qs.palette[0].data();
  const uint8_t* pal1 = qs.palette[1].data();
  const uint8_t* pal2 = qs.palette[2].data();

  for (int32_t r = 0; r < qs.rowCount; ++r) {
    const uint8_t* row = pixels + static_cast<size_t>(r) * static_cast<size_t>(width) * 3;
    uint8_t* out = indexImage + static_cast<size_t>(r) * static_cast<size_t>(width);
    int32_t x, step, previous;
    if (qs.oddRow != 0) {
      x = width - 1;
      step = -1;
      previous = width + 1;
      qs.oddRow = 0;
    } else {
      x = 0;
      step = 1;
      previous = 0;
      qs.oddRow = 1;
    }
    // Errors of the pixel just done: carry = 7 err for the next pixel of this row;
    // behind and below accumulate the shares of the next row's entries. Kept in
    // scalars: each pixel depends on the one before, so the chain must stay short.
    int32_t carry0 = 0, carry1 = 0, carry2 = 0;
    int32_t below0 = 0, below1 = 0, below2 = 0;
    int32_t behind0 = 0, behind1 = 0, behind2 = 0;
    int16_t* behindEntry = errors + static_cast<size_t>(previous) * 3;
    for (int32_t n = 0; n < width; ++n, x += step) {
      const uint8_t* px = row + static_cast<size_t>(x) * 3;
      int16_t* here = errors + static_cast<size_t>(x + 1) * 3;
      // Sixteenths are rounded half up by an arithmetic shift. The weights in play sum
      // to at most 16, so a rounded error stays within -255..255 and a corrected value
      // within -32..287: both tables cover them.
      const int32_t a0 = clamp[px[0] + limit[(carry0 + here[0] + 8) >> 4]];
      const int32_t a1 = clamp[px[1] + limit[(carry1 + here[1] + 8) >> 4]];
      const int32_t a2 = clamp[px[2] + limit[(carry2 + here[2] + 8) >> 4]];
      const int c0 = a0 >> 3, c1 = a1 >> 2, c2 = a2 >> 3;
      uint16_t* cell = cache + CacheIndex(c0, c1, c2);
      if (LoadCell(cell) == 0) FillCacheBlock(qs, c0, c1, c2);
      const int32_t index = LoadCell(cell) - 1;
      out[x] = static_cast<uint8_t>(index);

      const int32_t err0 = a0 - pal0[index];
      const int32_t err1 = a1 - pal1[index];
      const int32_t err2 = a2 - pal2[index];
      behindEntry[0] = static_cast<int16_t>(behind0 + 3 * err0);
      behindEntry[1] = static_cast<int16_t>(behind1 + 3 * err1);
      behindEntry[2] = static_cast<int16_t>(behind2 + 3 * err2);
      behind0 = below0 + 5 * err0;
      behind1 = below1 + 5 * err1;
      behind2 = below2 + 5 * err2;
      below0 = err0;
      below1 = err1;
      below2 = err2;
      carry0 = 7 * err0;
      carry1 = 7 * err1;
      carry2 = 7 * err2;
      behindEntry = here;
    }
    // The 1/16 the row's last pixel would pass beyond the row is dropped.
    behindEntry[0] = static_cast<int16_t>(behind0);
    behindEntry[1] = static_cast<int16_t>(behind1);
    behindEntry[2] = static_cast<int16_t>(behind2);
  }
}

void MapToPalette(QuantState& qs, const uint8_t* pixels, uint8_t* indexImage) {
  std::memset(qs.histogram.data(), 0, qs.histogram.size() * sizeof(uint16_t));
  if (qs.ditherMode == kDitherNone) {
    MapNearest(qs, pixels, indexImage);
  } else {
    MapDithered(qs, pixels, indexImage);
  }
}

}  // namespace kdz
