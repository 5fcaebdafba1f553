// The quantiser's working record and inner steps: histogram, box splitting, nearest-colour cache, dithering.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <type_traits>
#include <vector>

#include "quant/color_quant.h"

namespace kdz {

// Histogram (and later nearest-colour cache) geometry: 32 x 64 x 32 cells selected by
// the top 5, 6 and 5 bits of components 0, 1 and 2.
constexpr int kHistC0 = 32;
constexpr int kHistC1 = 64;
constexpr int kHistC2 = 32;
constexpr int kHistCells = kHistC0 * kHistC1 * kHistC2;  // 65536
constexpr int kMaxColors = 256;
constexpr int kMinColors = 3;

// The cell plane[c0][c1 * 32 + c2]; the 32 planes of 4096 bytes lie back to back.
inline constexpr size_t CellIndex(int c0, int c1, int c2) {
  return (static_cast<size_t>(c0) << 11) | (static_cast<size_t>(c1) << 5) | static_cast<size_t>(c2);
}

// The same cell in the nearest-colour cache, which takes the histogram's memory while
// mapping and is laid out by blocks: the 4 x 8 x 4 cells of block (c0 >> 2, c1 >> 3,
// c2 >> 2) lie together (cells in order c0 & 3, c1 & 7, c2 & 3, the last fastest),
// 256 bytes in 4 cache lines, where by planes they would lie in 32. Dithering a run
// of similar colours then keeps far fewer lines at hand.
inline constexpr size_t CacheIndex(int c0, int c1, int c2) {
  return (static_cast<size_t>(c0 >> 2) << 13) | (static_cast<size_t>(c1 >> 3) << 10) |
         (static_cast<size_t>(c2 >> 2) << 7) | (static_cast<size_t>(c0 & 3) << 5) | (static_cast<size_t>(c1 & 7) << 2) |
         static_cast<size_t>(c2 & 3);
}

// The allocator of the histograms: from the caller's hooks where it gave them (see
// BufferHooks), else from malloc. It remembers the capacity of the block it gave,
// which may exceed the request, for giving it back: a histogram is one block that
// never grows, and the allocator moves with it.
template <typename T>
struct HistogramAllocator {
  using value_type = T;
  using propagate_on_container_move_assignment = std::true_type;
  using propagate_on_container_swap = std::true_type;
  const BufferHooks* hooks = nullptr;
  size_t capacity = 0;

  HistogramAllocator() = default;
  explicit HistogramAllocator(const BufferHooks* h) noexcept : hooks(h) {}
  template <typename U>
  HistogramAllocator(const HistogramAllocator<U>& other) noexcept : hooks(other.hooks) {}
  T* allocate(size_t n) {
    if (n > std::numeric_limits<size_t>::max() / sizeof(T)) throw std::bad_alloc();
    void* p = hooks != nullptr ? hooks->take(n * sizeof(T), &capacity) : nullptr;
    if (p == nullptr) {
      p = std::malloc(n * sizeof(T));
      capacity = 0;  // from malloc
    }
    if (p == nullptr) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, size_t) noexcept {
    if (capacity != 0) {
      hooks->give(p, capacity);
    } else {
      std::free(p);
    }
  }
  template <typename U>
  bool operator==(const HistogramAllocator<U>& other) const noexcept { return hooks == other.hooks; }
  template <typename U>
  bool operator!=(const HistogramAllocator<U>& other) const noexcept { return hooks != other.hooks; }
};
using HistogramCells = std::vector<uint16_t, HistogramAllocator<uint16_t>>;

// A box of histogram cells, bounds inclusive.
struct ColorBox {
  int32_t c0Low = 0;
  int32_t c0High = 0;
  int32_t c1Low = 0;
  int32_t c1High = 0;
  int32_t c2Low = 0;
  int32_t c2High = 0;
  // Squared weighted diagonal in 0..255 units: (8 dc0)^2 + (12 dc1)^2 + (16 dc2)^2.
  int32_t norm = 0;
  // Non-empty cells in the box (not pixels).
  int32_t population = 0;
};

// The slabs the dithering may read the cache's cells from as words, one for each
// range of 32 values of component 0.
constexpr int32_t kWordSlabs = 8;

// Dither modes held in QuantState.
constexpr int32_t kDitherNone = 0;
constexpr int32_t kDitherFloydSteinberg = 2;

// The record of one quantiser call; everything it owns is released with it.
struct QuantState {
  int32_t outputWidth = 0;
  int32_t outputHeight = 0;
  int32_t rowLength = 0;  // pixels per input row
  int32_t rowCount = 0;   // input rows
  // Component arrays: entry i is (palette[0][i], palette[1][i], palette[2][i]);
  // each holds requestedColors bytes.
  std::array<std::vector<uint8_t>, 3> palette;
  int32_t componentCount = 3;
  int32_t requestedColors = 0;  // 3..256
  int32_t colorsInUse = 0;
  int32_t ditherMode = kDitherNone;
  // While choosing: saturating pixel counts (at CellIndex). While mapping: 0 = not yet
  // known, else 1 + the index of the entry nearest to the cell's centre (at CacheIndex).
  HistogramCells histogram;
  // Dithering only: rowLength + 2 entries of 3 components, in sixteenths; entry x + 1
  // belongs to column x, entries 0 and rowLength + 1 are spare.
  std::vector<int16_t> errorArray;
  // Dithering only: the same rowLength + 2 entries as MapDithered holds them while it
  // runs, one 64-bit word each (see pixel_map.cc).
  std::vector<uint64_t> errorWords;
  uint8_t oddRow = 0;
  // Dithering only: limited error for a rounded error e at [e + 255], e in -255..255.
  std::vector<int32_t> errorLimit;
  // Dithering only: value v in -255..510 clamped to 0..255, at [v + 255].
  std::vector<uint8_t> clampTable;
  // Dithering only: how many of the kWordSlabs slabs of cells read as words may
  // come from fresh memory once the kept blocks have no room (see pixel_map.cc).
  int32_t freshWordSlabs = kWordSlabs;
};

// Fills the size and mode fields (dither 1 selects error diffusion) and takes the
// zero-filled palette arrays, histogram and, with dithering, the error array and the
// two tables. colorsInUse stays 0. Returns 0 on success, 1 when memory runs out or the
// arguments make no sense (negative size, colours outside 3..256).
int32_t SetUpQuantState(QuantState& qs, int32_t width, int32_t height, int32_t dither,
                        int32_t colours, const BufferHooks* hooks = nullptr);

// Adds every pixel (rowLength x rowCount pixels of 3 bytes) to the histogram; counts
// saturate at 65535.
void CountColors(QuantState& qs, const uint8_t* pixels);
// The same for `count` pixels into the histogram `hist` (kHistCells cells).
void CountPixels(uint16_t* hist, const uint8_t* pixels, size_t count);
// The plain form that CountPixels must match count for count.
void CountPixelsPlain(uint16_t* hist, const uint8_t* pixels, size_t count);

// Adds the counts of `other` (another histogram of the same layout) into qs's
// histogram, saturating at 65535: the counts of one pass over both pictures.
void AddCounts(QuantState& qs, const HistogramCells& other);

// The number (0..511) of the cache block holding cell (c0, c1, c2).
inline constexpr int32_t BlockNumber(int c0, int c1, int c2) { return (c0 >> 2) << 6 | (c1 >> 3) << 3 | c2 >> 2; }

// The cache blocks (numbered as BlockNumber) that hold a counted cell of the histogram.
std::vector<int32_t> OccupiedBlocks(const QuantState& qs);
// Fills the cache block `block` (numbered as above).
void FillCacheBlockNumber(QuantState& qs, int32_t block);

// The cache cells are read and written as relaxed atomics, so that another thread
// may fill blocks while MapDithered runs (MapDitheredAlongside). A cell only ever
// goes from 0 to its one value, so a block filled by both threads at once gets the
// same cells, and a reader sees a cell either empty or right.
inline uint16_t LoadCell(const uint16_t* cell) { return __atomic_load_n(cell, __ATOMIC_RELAXED); }
inline void StoreCell(uint16_t* cell, uint16_t value) { __atomic_store_n(cell, value, __ATOMIC_RELAXED); }

// What the dithering and a thread filling cache blocks ahead of it share.
constexpr int32_t kCacheBlocks = 512;
struct FillAhead {
  std::atomic<uint8_t> taken[kCacheBlocks];  // 1 once a thread has begun the block
  std::atomic<uint8_t> done[kCacheBlocks];   // 1 once FillBlocksAhead has filled it
  std::atomic<bool> mappingDone{false};
  FillAhead() {
    for (auto& t : taken) t.store(0, std::memory_order_relaxed);
    for (auto& d : done) d.store(0, std::memory_order_relaxed);
  }
};
// The blocks the dithering of a picture whose colours occupy `occupied` can reach:
// those, then the blocks next to them (by a face, an edge or a corner). A corrected
// colour is at most 32 from the pixel's in each component, a block's width.
std::vector<int32_t> BlocksWithinReach(const std::vector<int32_t>& occupied);
// Fills the blocks of `order` that no thread has begun, until the mapping is done,
// and marks each done when filled.
void FillBlocksAhead(QuantState& qs, FillAhead& ahead, const std::vector<int32_t>& order);
// MapDithered, with FillBlocksAhead running alongside on `ahead`: a block the mapping
// needs and finds empty, or needs whole, it fills itself unless it is done, whoever
// has begun it. Sets mappingDone at its end.
void MapDitheredAlongside(QuantState& qs, FillAhead& ahead, const uint8_t* pixels, uint8_t* indexImage);

// Splits the occupied histogram into at most requestedColors boxes and sets palette
// entry i to the mean colour of box i. Returns 0 on success, 1 when the box list cannot
// be taken or no pixel was counted.
int32_t ChoosePalette(QuantState& qs);
// The plain form that ChoosePalette must match entry for entry: each step of the
// choice (ShrinkBox, BoxMeanColor) visits the histogram cell by cell.
int32_t ChoosePalettePlain(QuantState& qs);

// Tightens the box around its non-empty cells (left alone when it has none) and
// recomputes its norm and population.
void ShrinkBox(const QuantState& qs, ColorBox& box);

// Writes the count-weighted mean of the box's cell centres, rounded half up, into
// palette entry `index`. Returns 0 on success, 1 when the box holds no counted pixel.
int32_t BoxMeanColor(QuantState& qs, const ColorBox& box, int32_t index);

// Clears the cache, then maps every pixel into indexImage (rowLength x rowCount bytes)
// with or without error diffusion. Needs colorsInUse >= 1. indexImage may be pixels
// itself: each pixel is read before its index is written, and no index lands on a
// pixel still to be read.
void MapToPalette(QuantState& qs, const uint8_t* pixels, uint8_t* indexImage);
void MapNearest(QuantState& qs, const uint8_t* pixels, uint8_t* indexImage);
void MapDithered(QuantState& qs, const uint8_t* pixels, uint8_t* indexImage);
// The plain form that MapDithered must match index for index: one loop for both
// directions with the step in a variable.
void MapDitheredPlain(QuantState& qs, const uint8_t* pixels, uint8_t* indexImage);

// Fills the 4 x 8 x 4 cache cells of the block holding cell (c0, c1, c2) with 1 + the
// index of the entry nearest to each cell's centre (ties to the lowest index). Needs
// colorsInUse >= 1.
void FillCacheBlock(QuantState& qs, int32_t c0, int32_t c1, int32_t c2);
// The plain form that FillCacheBlock must match cell for cell: the entries that can
// be nearest to a cell of the block are chosen with one branch per case, and their
// distances stepped from cell to cell, a branch per cell and candidate.
void FillCacheBlockPlain(QuantState& qs, int32_t c0, int32_t c1, int32_t c2);

}  // namespace kdz
