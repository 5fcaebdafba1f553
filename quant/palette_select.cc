// First quantiser pass: the saturating colour histogram and the palette chosen by box splitting.
#include <cstdint>
#include <new>
#include <vector>

#include "quant/quant_internal.h"

namespace kdz {

namespace {

int32_t BoxNorm(const ColorBox& box) {
  const int32_t d0 = 8 * (box.c0High - box.c0Low);
  const int32_t d1 = 12 * (box.c1High - box.c1Low);
  const int32_t d2 = 16 * (box.c2High - box.c2Low);
  return d0 * d0 + d1 * d1 + d2 * d2;
}

bool AnyCell(const uint16_t* hist, int c0Low, int c0High, int c1Low, int c1High, int c2Low,
             int c2High) {
  for (int c0 = c0Low; c0 <= c0High; ++c0) {
    for (int c1 = c1Low; c1 <= c1High; ++c1) {
      const uint16_t* cell = hist + CellIndex(c0, c1, 0);
      for (int c2 = c2Low; c2 <= c2High; ++c2) {
        if (cell[c2] != 0) return true;
      }
    }
  }
  return false;
}

// The box to cut next, or -1. While few boxes exist the most populated splittable box
// is cut, afterwards the widest; the first strictly best wins, so ties go to the lowest
// index and a value of 0 never qualifies.
int32_t PickBoxToSplit(const std::vector<ColorBox>& boxes, int32_t count, bool byPopulation) {
  int32_t chosen = -1;
  int32_t best = 0;
  // Without branches: which box wins is as good as random to a branch predictor.
  for (int32_t i = 0; i < count; ++i) {
    const ColorBox& b = boxes[i];
    const int32_t value = byPopulation ? (b.norm > 0 ? b.population : 0) : b.norm;
    const bool better = value > best;
    best = better ? value : best;
    chosen = better ? i : chosen;
  }
  return chosen;
}

// CellIndex(p[0] >> 3, p[1] >> 2, p[2] >> 3) without shifting down and up again.
inline size_t CellOf(const uint8_t* p) {
  const size_t c0 = p[0], c1 = p[1], c2 = p[2];
  return (c0 & 0xF8) << 8 | (c1 & 0xFC) << 3 | c2 >> 3;
}

inline void CountOne(uint16_t* hist, const uint8_t* p) {
  uint16_t& cell = hist[CellOf(p)];
  cell = static_cast<uint16_t>(cell + (cell != 65535));
}

}  // namespace

void CountPixels(uint16_t* hist, const uint8_t* pixels, size_t count) {
  // Neighbours often share a cell, and then each count waits for the one before to
  // be stored. Counting the four quarters of the run in turn puts pixels of the other
  // quarters between them.
  const size_t quarter = count / 4;
  const uint8_t* p0 = pixels;
  const uint8_t* p1 = p0 + 3 * quarter;
  const uint8_t* p2 = p1 + 3 * quarter;
  const uint8_t* p3 = p2 + 3 * quarter;
  for (const uint8_t* const end = p1; p0 != end; p0 += 3, p1 += 3, p2 += 3, p3 += 3) {
    CountOne(hist, p0);
    CountOne(hist, p1);
    CountOne(hist, p2);
    CountOne(hist, p3);
  }
  for (const uint8_t* const end = pixels + 3 * count; p3 != end; p3 += 3) CountOne(hist, p3);
}

void CountPixelsPlain(uint16_t* hist, const uint8_t* pixels, size_t count) {
  const uint8_t* p = pixels;
  for (size_t k = 0; k < count; ++k, p += 3) {
    uint16_t& cell = hist[CellIndex(p[0] >> 3, p[1] >> 2, p[2] >> 3)];
    ++cell;
    if (cell == 0) cell = 65535;
  }
}

void CountColors(QuantState& qs, const uint8_t* pixels) {
  CountPixels(qs.histogram.data(), pixels,
              static_cast<size_t>(qs.rowCount) * static_cast<size_t>(qs.rowLength));
}

void AddCounts(QuantState& qs, const HistogramCells& other) {
  uint16_t* hist = qs.histogram.data();
  const size_t n = other.size() < qs.histogram.size() ? other.size() : qs.histogram.size();
  for (size_t k = 0; k < n; ++k) {
    const uint32_t sum = static_cast<uint32_t>(hist[k]) + other[k];
    hist[k] = static_cast<uint16_t>(sum > 65535 ? 65535 : sum);
  }
}

std::vector<int32_t> OccupiedBlocks(const QuantState& qs) {
  std::vector<int32_t> blocks;
  const uint16_t* h = qs.histogram.data();
  for (int32_t b0 = 0; b0 < 8; ++b0) {
    for (int32_t b1 = 0; b1 < 8; ++b1) {
      for (int32_t b2 = 0; b2 < 8; ++b2) {
        bool any = false;
        for (int32_t i0 = 0; i0 < 4 && !any; ++i0) {
          for (int32_t i1 = 0; i1 < 8 && !any; ++i1) {
            const uint16_t* cell = h + CellIndex(4 * b0 + i0, 8 * b1 + i1, 4 * b2);
            any = (cell[0] | cell[1] | cell[2] | cell[3]) != 0;
          }
        }
        if (any) blocks.push_back(BlockNumber(4 * b0, 8 * b1, 4 * b2));
      }
    }
  }
  return blocks;
}

void ShrinkBox(const QuantState& qs, ColorBox& box) {
  const uint16_t* h = qs.histogram.data();
  if (box.c0High > box.c0Low) {
    for (int32_t c = box.c0Low; c <= box.c0High; ++c) {
      if (AnyCell(h, c, c, box.c1Low, box.c1High, box.c2Low, box.c2High)) {
        box.c0Low = c;
        break;
      }
    }
    for (int32_t c = box.c0High; c >= box.c0Low; --c) {
      if (AnyCell(h, c, c, box.c1Low, box.c1High, box.c2Low, box.c2High)) {
        box.c0High = c;
        break;
      }
    }
  }
  if (box.c1High > box.c1Low) {
    for (int32_t c = box.c1Low; c <= box.c1High; ++c) {
      if (AnyCell(h, box.c0Low, box.c0High, c, c, box.c2Low, box.c2High)) {
        box.c1Low = c;
        break;
      }
    }
    for (int32_t c = box.c1High; c >= box.c1Low; --c) {
      if (AnyCell(h, box.c0Low, box.c0High, c, c, box.c2Low, box.c2High)) {
        box.c1High = c;
        break;
      }
    }
  }
  if (box.c2High > box.c2Low) {
    for (int32_t c = box.c2Low; c <= box.c2High; ++c) {
      if (AnyCell(h, box.c0Low, box.c0High, box.c1Low, box.c1High, c, c)) {
        box.c2Low = c;
        break;
      }
    }
    for (int32_t c = box.c2High; c >= box.c2Low; --c) {
      if (AnyCell(h, box.c0Low, box.c0High, box.c1Low, box.c1High, c, c)) {
        box.c2High = c;
        break;
      }
    }
  }

  box.norm = BoxNorm(box);
  int32_t population = 0;
  for (int32_t c0 = box.c0Low; c0 <= box.c0High; ++c0) {
    for (int32_t c1 = box.c1Low; c1 <= box.c1High; ++c1) {
      const uint16_t* cell = h + CellIndex(c0, c1, 0);
      for (int32_t c2 = box.c2Low; c2 <= box.c2High; ++c2) {
        if (cell[c2] != 0) ++population;
      }
    }
  }
  box.population = population;
}

namespace {

// Palette entry `index` as the rounded mean of the weighted centres.
void SetMeanColor(QuantState& qs, int32_t index, int64_t total, int64_t s0, int64_t s1, int64_t s2) {
  const int64_t half = total >> 1;
  qs.palette[0][index] = static_cast<uint8_t>((s0 + half) / total);
  qs.palette[1][index] = static_cast<uint8_t>((s1 + half) / total);
  qs.palette[2][index] = static_cast<uint8_t>((s2 + half) / total);
}

}  // namespace

int32_t BoxMeanColor(QuantState& qs, const ColorBox& box, int32_t index) {
  if (index < 0 || static_cast<size_t>(index) >= qs.palette[0].size()) return 1;
  // 64-bit sums: a box may hold 65536 cells of 65535 counts each.
  int64_t total = 0, s0 = 0, s1 = 0, s2 = 0;
  const uint16_t* h = qs.histogram.data();
  for (int32_t c0 = box.c0Low; c0 <= box.c0High; ++c0) {
    for (int32_t c1 = box.c1Low; c1 <= box.c1High; ++c1) {
      const uint16_t* cell = h + CellIndex(c0, c1, 0);
      for (int32_t c2 = box.c2Low; c2 <= box.c2High; ++c2) {
        const int64_t k = cell[c2];
        if (k == 0) continue;
        total += k;
        s0 += (8 * c0 + 4) * k;
        s1 += (4 * c1 + 2) * k;
        s2 += (8 * c2 + 4) * k;
      }
    }
  }
  if (total == 0) return 1;
  SetMeanColor(qs, index, total, s0, s1, s2);
  return 0;
}

namespace {

// Which cells hold a count, one bit per cell: bit c2 of row c0 * kHistC1 + c1. The
// steps of the palette choice then test or count a row of a box (up to 32 cells) in
// a few operations, where the histogram takes one per cell.
constexpr int32_t kCellRows = kHistC0 * kHistC1;
static_assert(kHistC2 == 32, "a row of cells is one 32-bit word");

void MarkCountedCells(const uint16_t* hist, uint32_t* rows) {
  // Four cells at a time: the top bit of each 16-bit lane is set where the lane is
  // not 0 (x | ((x & 0x7FFF) + 0x7FFF)), and one multiplication gathers the four top
  // bits, moved down to bits 0, 16, 32 and 48, at bits 45..48: bit 16 j lands at
  // 16 j + 15 (3 - j), and no two of the 16 partial products meet.
  constexpr uint64_t kLow15 = 0x7FFF7FFF7FFF7FFFu, kTop = 0x8000800080008000u;
  constexpr uint64_t kGather = 0x0000200040008001u;  // 2^0 + 2^15 + 2^30 + 2^45
  for (int32_t r = 0; r < kCellRows; ++r) {
    const uint16_t* cell = hist + static_cast<size_t>(r) * kHistC2;
    uint32_t bits = 0;
    for (int32_t c2 = 0; c2 < kHistC2; c2 += 4) {
      const uint64_t x = uint64_t{cell[c2]} | uint64_t{cell[c2 + 1]} << 16 | uint64_t{cell[c2 + 2]} << 32 |
                         uint64_t{cell[c2 + 3]} << 48;
      const uint64_t nonZero = (x | ((x & kLow15) + kLow15)) & kTop;
      bits |= static_cast<uint32_t>((((nonZero >> 15) * kGather) >> 45) & 0xF) << c2;
    }
    rows[r] = bits;
  }
}

// Bits lo..hi, 0 <= lo <= hi <= 31.
inline uint32_t BitSpan(int32_t lo, int32_t hi) { return (~uint32_t{0} >> (31 - hi)) & (~uint32_t{0} << lo); }

inline int32_t CountBits(uint32_t x) {
  x = x - ((x >> 1) & 0x55555555u);
  x = (x & 0x33333333u) + ((x >> 2) & 0x33333333u);
  x = (x + (x >> 4)) & 0x0F0F0F0Fu;
  return static_cast<int32_t>((x * 0x01010101u) >> 24);
}

// ShrinkBox on the marks: the same bounds, norm and population, in one pass over
// the box's rows. Its steps can share the pass because each removes only empty
// slices: a plane of the box is empty over the column range left by an earlier step
// exactly when it is empty over the whole range, and the count stays the same.
void ShrinkBoxByRows(const uint32_t* rows, ColorBox& box) {
  const uint32_t span = BitSpan(box.c2Low, box.c2High);
  uint32_t planes = 0;   // bit c0: plane c0 holds a counted cell of the box
  uint64_t columns = 0;  // bit c1: likewise column c1
  uint32_t depths = 0;   // bit c2: likewise
  int32_t population = 0;
  for (int32_t c0 = box.c0Low; c0 <= box.c0High; ++c0) {
    uint32_t plane = 0;
    for (int32_t c1 = box.c1Low; c1 <= box.c1High; ++c1) {
      const uint32_t counted = rows[c0 * kHistC1 + c1] & span;
      plane |= counted;
      columns |= static_cast<uint64_t>(counted != 0) << c1;
      population += CountBits(counted);
    }
    planes |= static_cast<uint32_t>(plane != 0) << c0;
    depths |= plane;
  }
  if (depths != 0) {  // an empty box keeps its bounds
    box.c0Low = __builtin_ctz(planes);
    box.c0High = 31 - __builtin_clz(planes);
    box.c1Low = __builtin_ctzll(columns);
    box.c1High = 63 - __builtin_clzll(columns);
    box.c2Low = __builtin_ctz(depths);
    box.c2High = 31 - __builtin_clz(depths);
  }
  box.norm = BoxNorm(box);
  box.population = population;
}

// BoxMeanColor over the marked cells only.
int32_t BoxMeanColorByRows(QuantState& qs, const uint32_t* rows, const ColorBox& box, int32_t index) {
  if (index < 0 || static_cast<size_t>(index) >= qs.palette[0].size()) return 1;
  int64_t total = 0, s0 = 0, s1 = 0, s2 = 0;
  const uint16_t* h = qs.histogram.data();
  const uint32_t span = BitSpan(box.c2Low, box.c2High);
  for (int32_t c0 = box.c0Low; c0 <= box.c0High; ++c0) {
    for (int32_t c1 = box.c1Low; c1 <= box.c1High; ++c1) {
      const uint16_t* cell = h + CellIndex(c0, c1, 0);
      int64_t rowTotal = 0, rowS2 = 0;
      for (uint32_t bits = rows[c0 * kHistC1 + c1] & span; bits != 0; bits &= bits - 1) {
        const int32_t c2 = __builtin_ctz(bits);
        const int64_t k = cell[c2];
        rowTotal += k;
        rowS2 += (8 * c2 + 4) * k;
      }
      total += rowTotal;
      s0 += (8 * c0 + 4) * rowTotal;
      s1 += (4 * c1 + 2) * rowTotal;
      s2 += rowS2;
    }
  }
  if (total == 0) return 1;
  SetMeanColor(qs, index, total, s0, s1, s2);
  return 0;
}

// Cuts the histogram into boxes and sets the palette to their means, with `shrink`
// (box) and `mean` (box, index) as ShrinkBox and BoxMeanColor.
template <typename Shrink, typename Mean>
int32_t ChooseByBoxes(QuantState& qs, Shrink shrink, Mean mean) {
  const int32_t wanted = qs.requestedColors;
  if (wanted < 1) return 1;
  std::vector<ColorBox> boxes;
  try {
    boxes.resize(static_cast<size_t>(wanted));
  } catch (const std::bad_alloc&) {
    return 1;
  }

  boxes[0].c0Low = 0;
  boxes[0].c0High = kHistC0 - 1;
  boxes[0].c1Low = 0;
  boxes[0].c1High = kHistC1 - 1;
  boxes[0].c2Low = 0;
  boxes[0].c2High = kHistC2 - 1;
  shrink(boxes[0]);
  int32_t count = 1;

  while (count < wanted) {
    const int32_t chosen = PickBoxToSplit(boxes, count, 2 * count <= wanted);
    if (chosen < 0) break;
    ColorBox& low = boxes[chosen];
    ColorBox& high = boxes[count];
    high.c0Low = low.c0Low;
    high.c0High = low.c0High;
    high.c1Low = low.c1Low;
    high.c1High = low.c1High;
    high.c2Low = low.c2Low;
    high.c2High = low.c2High;

    // Ties go to component 1, then 2, then 0.
    const int32_t d0 = 8 * (low.c0High - low.c0Low);
    const int32_t d1 = 12 * (low.c1High - low.c1Low);
    const int32_t d2 = 16 * (low.c2High - low.c2Low);
    int axis = 1;
    if (d2 > d1) axis = 2;
    if (d0 > (d1 > d2 ? d1 : d2)) axis = 0;

    int32_t* lowBound[3] = {&low.c0Low, &low.c1Low, &low.c2Low};
    int32_t* lowHigh[3] = {&low.c0High, &low.c1High, &low.c2High};
    int32_t* highLow[3] = {&high.c0Low, &high.c1Low, &high.c2Low};
    const int32_t middle = (*lowBound[axis] + *lowHigh[axis]) / 2;
    *lowHigh[axis] = middle;
    *highLow[axis] = middle + 1;

    shrink(low);
    shrink(high);
    ++count;
  }

  for (int32_t i = 0; i < count; ++i) {
    if (mean(boxes[i], i) != 0) return 1;
  }
  qs.colorsInUse = count;
  return 0;
}

}  // namespace

int32_t ChoosePalette(QuantState& qs) {
  uint32_t rows[kCellRows];
  MarkCountedCells(qs.histogram.data(), rows);
  return ChooseByBoxes(
      qs, [&rows](ColorBox& box) { ShrinkBoxByRows(rows, box); },
      [&qs, &rows](const ColorBox& box, int32_t index) { return BoxMeanColorByRows(qs, rows, box, index); });
}

int32_t ChoosePalettePlain(QuantState& qs) {
  return ChooseByBoxes(
      qs, [&qs](ColorBox& box) { ShrinkBox(qs, box); },
      [&qs](const ColorBox& box, int32_t index) { return BoxMeanColor(qs, box, index); });
}

}  // namespace kdz
