// Tests of the colour quantiser: box splitting, saturating counts, the nearest-colour cache, serpentine error diffusion and ColorQuant2's buffer handling.
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "quant/color_quant.h"
#include "quant/quant_internal.h"

namespace kdz {
namespace {

using Color = std::array<uint8_t, 3>;
using Palette = std::vector<Color>;

constexpr uint8_t kGuard = 0xA5;
constexpr size_t kGuardBytes = 64;

Color CellCentre(int c0, int c1, int c2) {
  return {static_cast<uint8_t>(8 * c0 + 4), static_cast<uint8_t>(4 * c1 + 2),
          static_cast<uint8_t>(8 * c2 + 4)};
}

// A picture of w x h pixels followed by guard bytes that nobody may touch.
struct Picture {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint8_t> bytes;

  Picture(int32_t w, int32_t h) : width(w), height(h), bytes(Size() + kGuardBytes, kGuard) {
    std::fill(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(Size()), 0);
  }
  size_t Size() const { return static_cast<size_t>(width) * static_cast<size_t>(height) * 3; }
  uint8_t* Pixel(int32_t x, int32_t y) { return bytes.data() + 3 * (static_cast<size_t>(y) * width + x); }
  void Set(int32_t x, int32_t y, Color c) { std::copy(c.begin(), c.end(), Pixel(x, y)); }
  void Fill(Color c) {
    for (int32_t y = 0; y < height; ++y)
      for (int32_t x = 0; x < width; ++x) Set(x, y, c);
  }
  bool GuardIntact() const {
    return std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(Size()), bytes.end(),
                       [](uint8_t b) { return b == kGuard; });
  }
};

// A 768-byte palette block followed by guard bytes; unwritten bytes hold kGuard.
struct PaletteBlock {
  std::vector<uint8_t> bytes = std::vector<uint8_t>(768 + kGuardBytes, kGuard);
  Color Entry(int i) const { return {bytes[3 * i], bytes[3 * i + 1], bytes[3 * i + 2]}; }
  void SetEntries(const Palette& p) {
    for (size_t i = 0; i < p.size(); ++i) std::copy(p[i].begin(), p[i].end(), bytes.begin() + 3 * i);
  }
  bool UntouchedFrom(size_t byte) const {
    return std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(byte), bytes.end(),
                       [](uint8_t b) { return b == kGuard; });
  }
};

int32_t Quantise(Picture& pic, int32_t dither, int32_t supplied, PaletteBlock& pal, int32_t colours) {
  return ColorQuant2(pic.bytes.data(), pic.width, pic.height, dither, supplied, pal.bytes.data(), colours);
}

// Weighted 1:3:2 squared distance.
int32_t Distance(const Color& a, const Color& b) {
  const int32_t d0 = a[0] - b[0], d1 = a[1] - b[1], d2 = a[2] - b[2];
  return d0 * d0 + 9 * d1 * d1 + 4 * d2 * d2;
}

// The entry nearest to the centre of the colour's cell, searched over the whole palette.
int BruteNearest(const Palette& pal, const Color& c) {
  const Color centre = CellCentre(c[0] >> 3, c[1] >> 2, c[2] >> 3);
  int best = 0;
  for (size_t i = 1; i < pal.size(); ++i) {
    if (Distance(centre, pal[i]) < Distance(centre, pal[best])) best = static_cast<int>(i);
  }
  return best;
}

int LimitedError(int e) {
  const int m = std::abs(e);
  const int l = m <= 15 ? m : (m <= 47 ? 16 + (m - 16) / 2 : 32);
  return e < 0 ? -l : l;
}

// Sixteenths rounded to the nearest integer, halves upwards, without relying on shifts.
int RoundSixteenths(int v) {
  const int t = v + 8;
  return t >= 0 ? t / 16 : -((-t + 15) / 16);
}

// Serpentine Floyd-Steinberg written out plainly: every pixel's shares go straight into
// a whole-picture accumulator, nearest entries come from a brute-force search.
std::vector<uint8_t> ReferenceDither(const uint8_t* pixels, int w, int h, const Palette& pal) {
  std::vector<int> acc(static_cast<size_t>(w) * h * 3, 0);
  std::vector<uint8_t> out(static_cast<size_t>(w) * h);
  for (int y = 0; y < h; ++y) {
    const int dir = (y % 2 == 0) ? 1 : -1;
    for (int n = 0; n < w; ++n) {
      const int x = dir == 1 ? n : w - 1 - n;
      const size_t at = static_cast<size_t>(y) * w + x;
      Color a;
      for (int k = 0; k < 3; ++k) {
        const int v = pixels[3 * at + k] + LimitedError(RoundSixteenths(acc[3 * at + k]));
        a[k] = static_cast<uint8_t>(std::clamp(v, 0, 255));
      }
      const int index = BruteNearest(pal, a);
      out[at] = static_cast<uint8_t>(index);
      for (int k = 0; k < 3; ++k) {
        const int err = a[k] - pal[index][k];
        auto give = [&](int gx, int gy, int weight) {
          if (gx >= 0 && gx < w && gy < h) acc[3 * (static_cast<size_t>(gy) * w + gx) + k] += weight * err;
        };
        give(x + dir, y, 7);
        give(x - dir, y + 1, 3);
        give(x, y + 1, 5);
        give(x + dir, y + 1, 1);
      }
    }
  }
  return out;
}

Palette RandomPalette(std::mt19937& rng, int n) {
  std::uniform_int_distribution<int> byte(0, 255);
  Palette p(static_cast<size_t>(n));
  for (auto& c : p) c = {static_cast<uint8_t>(byte(rng)), static_cast<uint8_t>(byte(rng)), static_cast<uint8_t>(byte(rng))};
  return p;
}

void RandomPixels(std::mt19937& rng, Picture& pic) {
  std::uniform_int_distribution<int> byte(0, 255);
  for (size_t i = 0; i < pic.Size(); ++i) pic.bytes[i] = static_cast<uint8_t>(byte(rng));
}

// A state with a given palette in use, ready for mapping.
QuantState StateWithPalette(int32_t w, int32_t h, int32_t dither, const Palette& pal) {
  QuantState qs;
  EXPECT_EQ(SetUpQuantState(qs, w, h, dither, std::max<int32_t>(3, static_cast<int32_t>(pal.size()))), 0);
  for (size_t i = 0; i < pal.size(); ++i)
    for (int k = 0; k < 3; ++k) qs.palette[k][i] = pal[i][k];
  qs.colorsInUse = static_cast<int32_t>(pal.size());
  return qs;
}

// A state whose histogram holds the given cells, one pixel each.
QuantState StateWithCells(int32_t colours, const std::vector<std::array<int, 3>>& cells) {
  QuantState qs;
  EXPECT_EQ(SetUpQuantState(qs, 1, 1, 0, colours), 0);
  for (const auto& c : cells) qs.histogram[CellIndex(c[0], c[1], c[2])] = 1;
  return qs;
}

Palette PaletteOf(const QuantState& qs) {
  Palette p(static_cast<size_t>(qs.colorsInUse));
  for (size_t i = 0; i < p.size(); ++i) p[i] = {qs.palette[0][i], qs.palette[1][i], qs.palette[2][i]};
  return p;
}

// ---------------------------------------------------------------------------
// Palette selection

TEST(QuantPalette, OneColourGivesItsCellCentre) {
  struct Case { Color pixel; Color entry; };
  for (const Case& c : {Case{{255, 255, 255}, {252, 254, 252}}, Case{{0, 0, 0}, {4, 2, 4}},
                        Case{{13, 200, 77}, {12, 202, 76}}}) {
    Picture pic(7, 5);
    pic.Fill(c.pixel);
    PaletteBlock pal;
    ASSERT_EQ(Quantise(pic, 1, 0, pal, 256), 1);
    EXPECT_EQ(pal.Entry(0), c.entry);
    EXPECT_TRUE(pal.UntouchedFrom(3));
    for (size_t i = 0; i < 35; ++i) EXPECT_EQ(pic.bytes[i], 0) << i;
  }
}

TEST(QuantPalette, BlackAndWhiteSplitAlongComponentOne) {
  // Whatever the counts, the first cut is on component 1 and black stays at index 0.
  for (int blacks : {1, 5, 34}) {
    Picture pic(5, 7);
    pic.Fill({255, 255, 255});
    for (int i = 0; i < blacks; ++i) pic.Set(i % 5, i / 5, {0, 0, 0});
    PaletteBlock pal;
    ASSERT_EQ(Quantise(pic, 0, 0, pal, 256), 2);
    EXPECT_EQ(pal.Entry(0), (Color{4, 2, 4}));
    EXPECT_EQ(pal.Entry(1), (Color{252, 254, 252}));
    EXPECT_TRUE(pal.UntouchedFrom(6));
    for (int i = 0; i < 35; ++i) EXPECT_EQ(pic.bytes[i], i < blacks ? 0 : 1) << i;
  }
}

TEST(QuantPalette, FewerCellsThanColoursGiveEachCentre) {
  const std::vector<Color> colours = {{0, 0, 0}, {7, 3, 7}, {100, 50, 200}, {255, 0, 128}, {30, 250, 30}, {31, 251, 31}};
  // {0,0,0} and {7,3,7} share a cell, as do the last two: four cells.
  std::set<Color> expected = {{4, 2, 4}, {100, 50, 204}, {252, 2, 132}, {28, 250, 28}};
  Picture pic(6, 1);
  for (int x = 0; x < 6; ++x) pic.Set(x, 0, colours[x]);
  PaletteBlock pal;
  ASSERT_EQ(Quantise(pic, 0, 0, pal, 5), 4);
  std::set<Color> got;
  for (int i = 0; i < 4; ++i) got.insert(pal.Entry(i));
  EXPECT_EQ(got, expected);
  EXPECT_TRUE(pal.UntouchedFrom(12));
}

TEST(QuantPalette, AxisTiesGoToComponentOneThenTwoThenZero) {
  // Each case: three cells whose first cut differs by axis; the palette order shows
  // which axis was cut first.
  struct Case {
    std::vector<std::array<int, 3>> cells;
    std::vector<std::array<int, 3>> order;  // cells in expected palette order
  };
  const Case cases[] = {
      // d1 = 48 = d2: component 1 wins.
      {{{0, 0, 0}, {0, 4, 0}, {0, 0, 3}}, {{0, 0, 0}, {0, 4, 0}, {0, 0, 3}}},
      // d0 = 16 = d2: component 2 wins.
      {{{0, 0, 0}, {2, 0, 0}, {0, 0, 1}}, {{0, 0, 0}, {0, 0, 1}, {2, 0, 0}}},
      // d0 = 24 = d1: component 1 wins.
      {{{0, 0, 0}, {3, 0, 0}, {0, 2, 0}}, {{0, 0, 0}, {0, 2, 0}, {3, 0, 0}}},
      // d0 = 32 > d1 = 24: component 0.
      {{{0, 0, 0}, {4, 0, 0}, {0, 2, 0}}, {{0, 0, 0}, {4, 0, 0}, {0, 2, 0}}},
  };
  for (const Case& c : cases) {
    QuantState qs = StateWithCells(3, c.cells);
    ASSERT_EQ(ChoosePalette(qs), 0);
    ASSERT_EQ(qs.colorsInUse, 3);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(PaletteOf(qs)[i], CellCentre(c.order[i][0], c.order[i][1], c.order[i][2])) << i;
    }
  }
}

TEST(QuantPalette, EqualBoxesSplitLowestIndexFirst) {
  // The first cut (component 1, at 20) leaves two boxes of two cells and equal norm.
  const std::vector<std::array<int, 3>> cells = {{0, 0, 0}, {0, 0, 2}, {0, 40, 0}, {0, 40, 2}};
  {
    // Four colours: the second cut is by population (tie), the third by norm.
    QuantState qs = StateWithCells(4, cells);
    ASSERT_EQ(ChoosePalette(qs), 0);
    ASSERT_EQ(qs.colorsInUse, 4);
    const Palette p = PaletteOf(qs);
    EXPECT_EQ(p[0], CellCentre(0, 0, 0));
    EXPECT_EQ(p[1], CellCentre(0, 40, 0));
    EXPECT_EQ(p[2], CellCentre(0, 0, 2));
    EXPECT_EQ(p[3], CellCentre(0, 40, 2));
  }
  {
    // Three colours: the second cut is by norm (tie) and takes box 0.
    QuantState qs = StateWithCells(3, cells);
    ASSERT_EQ(ChoosePalette(qs), 0);
    ASSERT_EQ(qs.colorsInUse, 3);
    const Palette p = PaletteOf(qs);
    EXPECT_EQ(p[0], CellCentre(0, 0, 0));
    EXPECT_EQ(p[1], (Color{4, 162, 12}));  // mean of (0,40,0) and (0,40,2)
    EXPECT_EQ(p[2], CellCentre(0, 0, 2));
  }
}

TEST(QuantPalette, PopulationRuleGivesWayToNormHalfway) {
  // Box 0 after the first cut: four close cells. Box 1: two cells far apart.
  const std::vector<std::array<int, 3>> cells = {{0, 0, 0}, {0, 0, 1}, {0, 1, 0}, {1, 0, 0}, {0, 63, 0}, {0, 63, 20}};
  {
    QuantState qs = StateWithCells(3, cells);  // 2 * 2 > 3: second cut by norm
    ASSERT_EQ(ChoosePalette(qs), 0);
    ASSERT_EQ(qs.colorsInUse, 3);
    const Palette p = PaletteOf(qs);
    EXPECT_EQ(p[0], (Color{6, 3, 6}));  // mean of the four close cells
    EXPECT_EQ(p[1], CellCentre(0, 63, 0));
    EXPECT_EQ(p[2], CellCentre(0, 63, 20));
  }
  {
    QuantState qs = StateWithCells(4, cells);  // 2 * 2 <= 4: second cut by population
    ASSERT_EQ(ChoosePalette(qs), 0);
    ASSERT_EQ(qs.colorsInUse, 4);
    const Palette p = PaletteOf(qs);
    EXPECT_EQ(p[0], (Color{7, 3, 4}));  // (0,0,0), (0,1,0), (1,0,0)
    EXPECT_EQ(p[1], CellCentre(0, 63, 0));
    EXPECT_EQ(p[2], CellCentre(0, 0, 1));
    EXPECT_EQ(p[3], CellCentre(0, 63, 20));
  }
}

TEST(QuantPalette, ShrinkBoxTightensAndCounts) {
  QuantState qs = StateWithCells(3, {{3, 10, 7}, {5, 12, 20}, {4, 50, 9}});
  ColorBox box{0, 31, 0, 63, 0, 31, 0, 0};
  ShrinkBox(qs, box);
  EXPECT_EQ(box.c0Low, 3);
  EXPECT_EQ(box.c0High, 5);
  EXPECT_EQ(box.c1Low, 10);
  EXPECT_EQ(box.c1High, 50);
  EXPECT_EQ(box.c2Low, 7);
  EXPECT_EQ(box.c2High, 20);
  EXPECT_EQ(box.norm, 16 * 16 + 480 * 480 + 208 * 208);
  EXPECT_EQ(box.population, 3);

  // A sub-box tightens within its own bounds only.
  ColorBox part{0, 31, 0, 40, 0, 31, 0, 0};
  ShrinkBox(qs, part);
  EXPECT_EQ(part.c0Low, 3);
  EXPECT_EQ(part.c0High, 5);
  EXPECT_EQ(part.c1High, 12);
  EXPECT_EQ(part.population, 2);

  // An empty box keeps its bounds.
  ColorBox empty{10, 20, 30, 40, 25, 31, 0, 0};
  ShrinkBox(qs, empty);
  EXPECT_EQ(empty.c0Low, 10);
  EXPECT_EQ(empty.c0High, 20);
  EXPECT_EQ(empty.c1Low, 30);
  EXPECT_EQ(empty.c1High, 40);
  EXPECT_EQ(empty.norm, 80 * 80 + 120 * 120 + 96 * 96);
  EXPECT_EQ(empty.population, 0);
}

TEST(QuantPalette, CountsSaturateAt65535) {
  struct Case { int32_t hits; uint16_t count; };
  for (const Case& c : {Case{65534, 65534}, Case{65535, 65535}, Case{65536, 65535}, Case{200000, 65535}}) {
    QuantState qs;
    ASSERT_EQ(SetUpQuantState(qs, c.hits, 1, 0, 3), 0);
    std::vector<uint8_t> pixels(static_cast<size_t>(c.hits) * 3, 0);
    for (size_t i = 0; i < pixels.size(); i += 3) pixels[i + 1] = 9;
    CountColors(qs, pixels.data());
    EXPECT_EQ(qs.histogram[CellIndex(0, 2, 0)], c.count) << c.hits;
  }

  // A cell hit 100000 times weighs as much as one hit 65535 times.
  QuantState qs;
  ASSERT_EQ(SetUpQuantState(qs, 165535, 1, 0, 3), 0);
  std::vector<uint8_t> pixels(165535 * 3, 0);
  for (size_t i = 100000 * 3; i < pixels.size(); i += 3) pixels[i] = 255;
  CountColors(qs, pixels.data());
  ColorBox box{0, 31, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(BoxMeanColor(qs, box, 0), 0);
  EXPECT_EQ(qs.palette[0][0], 128);  // (4 + 252) / 2
  EXPECT_EQ(qs.palette[1][0], 2);
  EXPECT_EQ(qs.palette[2][0], 4);
}

TEST(QuantPalette, MeanColourRoundsHalfUpAndHasWideSums) {
  QuantState qs;
  ASSERT_EQ(SetUpQuantState(qs, 1, 1, 0, 3), 0);
  const ColorBox corner{0, 1, 0, 1, 0, 0, 0, 0};
  // Component 1: centres 2 (x7) and 6 (x1) give 2.5, which rounds up.
  qs.histogram[CellIndex(0, 0, 0)] = 7;
  qs.histogram[CellIndex(0, 1, 0)] = 1;
  ASSERT_EQ(BoxMeanColor(qs, corner, 2), 0);
  EXPECT_EQ((Color{qs.palette[0][2], qs.palette[1][2], qs.palette[2][2]}), (Color{4, 3, 4}));
  // Component 0: centres 4 (x2) and 12 (x1) give 6.67 -> 7; 4 (x1) and 12 (x2) 9.33 -> 9.
  std::fill(qs.histogram.begin(), qs.histogram.end(), uint16_t{0});
  qs.histogram[CellIndex(0, 0, 0)] = 2;
  qs.histogram[CellIndex(1, 0, 0)] = 1;
  ASSERT_EQ(BoxMeanColor(qs, corner, 1), 0);
  EXPECT_EQ(qs.palette[0][1], 7);
  qs.histogram[CellIndex(0, 0, 0)] = 1;
  qs.histogram[CellIndex(1, 0, 0)] = 2;
  ASSERT_EQ(BoxMeanColor(qs, corner, 1), 0);
  EXPECT_EQ(qs.palette[0][1], 9);
  // Cells outside the box do not count.
  qs.histogram[CellIndex(2, 0, 0)] = 50;
  ASSERT_EQ(BoxMeanColor(qs, corner, 1), 0);
  EXPECT_EQ(qs.palette[0][1], 9);
  // An empty box is a failure and writes nothing.
  qs.palette[0][0] = 77;
  EXPECT_EQ(BoxMeanColor(qs, ColorBox{20, 21, 0, 0, 0, 0, 0, 0}, 0), 1);
  EXPECT_EQ(qs.palette[0][0], 77);

  // Every cell full: 65536 * 65535 * 254 overflows 32 bits; the mean is the middle.
  std::fill(qs.histogram.begin(), qs.histogram.end(), uint16_t{65535});
  ASSERT_EQ(BoxMeanColor(qs, ColorBox{0, 31, 0, 63, 0, 31, 0, 0}, 0), 0);
  EXPECT_EQ(qs.palette[0][0], 128);
  EXPECT_EQ(qs.palette[1][0], 128);
  EXPECT_EQ(qs.palette[2][0], 128);
  ASSERT_EQ(BoxMeanColor(qs, ColorBox{16, 31, 32, 63, 24, 31, 0, 0}, 0), 0);
  EXPECT_EQ(qs.palette[0][0], 192);  // centres 132..252
  EXPECT_EQ(qs.palette[1][0], 192);  // centres 130..254
  EXPECT_EQ(qs.palette[2][0], 224);  // centres 196..252
}

TEST(QuantPalette, NoPixelsIsAFailure) {
  Picture pic(0, 4);
  PaletteBlock pal;
  EXPECT_EQ(Quantise(pic, 1, 0, pal, 256), 0);
  EXPECT_TRUE(pal.UntouchedFrom(0));
  EXPECT_TRUE(pic.GuardIntact());
}

// ---------------------------------------------------------------------------
// Nearest-colour cache

TEST(QuantCache, EveryBlockMatchesBruteForce) {
  std::mt19937 rng(1234);
  std::vector<Palette> palettes;
  for (int n : {1, 2, 3, 17, 64, 256}) palettes.push_back(RandomPalette(rng, n));
  // Clustered entries near block edges make the pruning bound tight.
  Palette clustered;
  std::uniform_int_distribution<int> jitter(-6, 6);
  for (int i = 0; i < 200; ++i) {
    const int base = 32 * (i % 8);
    clustered.push_back({static_cast<uint8_t>(std::clamp(base + jitter(rng), 0, 255)),
                         static_cast<uint8_t>(std::clamp(128 + 32 * (i % 3) - 64 + jitter(rng), 0, 255)),
                         static_cast<uint8_t>(std::clamp(255 - base + jitter(rng), 0, 255))});
  }
  palettes.push_back(clustered);
  // Duplicates and mirror images tie; the lowest index must win.
  palettes.push_back({{100, 102, 100}, {96, 102, 100}, {104, 102, 100}, {96, 102, 100}, {0, 0, 0}});
  palettes.push_back({{104, 102, 100}, {96, 102, 100}, {100, 98, 100}, {100, 106, 100}});
  // The second entry's farthest point of block (0,0,0), the corner (28,30,28), is the
  // first entry's nearest, at the same distance: the first entry must stay a candidate.
  palettes.push_back({{52, 58, 52}, {4, 2, 4}});

  for (const Palette& pal : palettes) {
    QuantState qs = StateWithPalette(1, 1, 0, pal);
    for (int b0 = 0; b0 < 8; ++b0)
      for (int b1 = 0; b1 < 8; ++b1)
        for (int b2 = 0; b2 < 8; ++b2) FillCacheBlock(qs, 4 * b0 + 3, 8 * b1 + 5, 4 * b2);
    int wrong = 0;
    for (int c0 = 0; c0 < 32; ++c0)
      for (int c1 = 0; c1 < 64; ++c1)
        for (int c2 = 0; c2 < 32; ++c2) {
          const Color centre = CellCentre(c0, c1, c2);
          const int expect = BruteNearest(pal, centre) + 1;
          if (qs.histogram[CacheIndex(c0, c1, c2)] != expect && ++wrong < 5) {
            ADD_FAILURE() << "palette of " << pal.size() << ", cell " << c0 << "," << c1 << "," << c2
                          << ": " << qs.histogram[CacheIndex(c0, c1, c2)] << " vs " << expect;
          }
        }
    EXPECT_EQ(wrong, 0);
  }
}

TEST(QuantCache, FillsOnlyTheBlockAsked) {
  QuantState qs = StateWithPalette(1, 1, 0, {{10, 20, 30}, {200, 100, 50}});
  FillCacheBlock(qs, 5, 17, 30);  // block (1, 2, 7): cells 4..7, 16..23, 28..31
  int filled = 0;
  for (int c0 = 0; c0 < 32; ++c0)
    for (int c1 = 0; c1 < 64; ++c1)
      for (int c2 = 0; c2 < 32; ++c2) {
        const bool inside = c0 / 4 == 1 && c1 / 8 == 2 && c2 / 4 == 7;
        const uint16_t v = qs.histogram[CacheIndex(c0, c1, c2)];
        if (inside) {
          ++filled;
          EXPECT_TRUE(v == 1 || v == 2);
        } else {
          EXPECT_EQ(v, 0);
        }
      }
  EXPECT_EQ(filled, 128);
}

// ---------------------------------------------------------------------------
// Mapping and error diffusion

// One row of one pixel against a one-entry palette: the rounded error preset in the
// array comes back, limited, in the errors the pixel passes on.
TEST(QuantDither, ErrorsAreRoundedAndLimited) {
  struct Case { int sixteenths; int pixel; int corrected; };
  const Case cases[] = {
      {16 * 20, 100, 118}, {-16 * 20, 100, 82},  {16 * 47, 100, 131}, {16 * 100, 100, 132},
      {-16 * 47, 100, 69}, {-16 * 100, 100, 68}, {16 * 15, 100, 115}, {16 * 16, 100, 116},
      {16 * 17, 100, 116}, {16 * 18, 100, 117},  {16 * 48, 100, 132}, {16 * 255, 100, 132},
      {-8, 100, 100},      {-9, 100, 99},        {7, 100, 100},       {8, 100, 101},
      {16 * 20 - 9, 100, 117}, {16 * 40, 240, 255}, {-16 * 40, 10, 0},
  };
  for (const Case& c : cases) {
    const Palette pal = {{128, 128, 128}};
    QuantState qs = StateWithPalette(1, 1, 1, pal);
    for (int k = 0; k < 3; ++k) qs.errorArray[3 + k] = static_cast<int16_t>(c.sixteenths);
    const uint8_t pixel[3] = {static_cast<uint8_t>(c.pixel), static_cast<uint8_t>(c.pixel), static_cast<uint8_t>(c.pixel)};
    uint8_t index = 99;
    MapDithered(qs, pixel, &index);
    EXPECT_EQ(index, 0);
    const int err = c.corrected - 128;
    for (int k = 0; k < 3; ++k) {
      EXPECT_EQ(qs.errorArray[k], 3 * err) << c.sixteenths;      // behind, into the spare entry
      EXPECT_EQ(qs.errorArray[3 + k], 5 * err) << c.sixteenths;  // below
      EXPECT_EQ(qs.errorArray[6 + k], 0) << c.sixteenths;        // ahead: dropped
    }
  }
}

TEST(QuantDither, RowsAlternateDirection) {
  // Component 0 only, one black entry: every error equals the corrected value.
  // Row 0 (left to right): 40, 17, 7. Row 1 (right to left): 3, 10, 18.
  const Palette pal = {{0, 0, 0}};
  QuantState qs = StateWithPalette(3, 2, 1, pal);
  const uint8_t pixels[18] = {40, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  uint8_t index[6];
  std::memset(index, 9, sizeof index);
  MapDithered(qs, pixels, index);
  for (uint8_t i : index) EXPECT_EQ(i, 0);
  const int16_t expected[5] = {120, 100, 107, 45, 9};
  for (int e = 0; e < 5; ++e) {
    EXPECT_EQ(qs.errorArray[3 * e], expected[e]) << "entry " << e;
    EXPECT_EQ(qs.errorArray[3 * e + 1], 0);
    EXPECT_EQ(qs.errorArray[3 * e + 2], 0);
  }
  EXPECT_EQ(qs.oddRow, 0);  // flipped twice
}

TEST(QuantDither, IndicesLandAtTheirColumn) {
  // Pixels equal to entries leave no error, so each index shows where it was written.
  const Palette pal = {{0, 0, 0}, {255, 255, 255}, {0, 0, 255}, {0, 255, 0}};
  Picture pic(5, 3);
  const int layout[15] = {0, 1, 2, 3, 3, 3, 3, 2, 1, 0, 2, 0, 0, 1, 1};
  for (int i = 0; i < 15; ++i) pic.Set(i % 5, i / 5, pal[layout[i]]);
  for (int dither : {0, 1}) {
    QuantState qs = StateWithPalette(5, 3, dither, pal);
    std::vector<uint8_t> index(15, 99);
    MapToPalette(qs, pic.bytes.data(), index.data());
    for (int i = 0; i < 15; ++i) EXPECT_EQ(index[i], layout[i]) << "dither " << dither << " pixel " << i;
  }
}

TEST(QuantDither, MatchesPlainSerpentineReference) {
  std::mt19937 rng(77);
  for (int round = 0; round < 12; ++round) {
    const int w = 1 + round * 7 % 23, h = 1 + round * 5 % 11;
    Picture pic(w, h);
    RandomPixels(rng, pic);
    if (round % 3 == 0) {  // smooth ramps keep errors small and diffusion visible
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
          pic.Set(x, y, {static_cast<uint8_t>(9 * x + y), static_cast<uint8_t>(120 + x), static_cast<uint8_t>(250 - 4 * y)});
    }
    const Palette pal = RandomPalette(rng, 3 + round * 21);
    QuantState qs = StateWithPalette(w, h, 1, pal);
    std::vector<uint8_t> index(static_cast<size_t>(w) * h);
    MapToPalette(qs, pic.bytes.data(), index.data());
    EXPECT_EQ(index, ReferenceDither(pic.bytes.data(), w, h, pal)) << w << "x" << h;
  }
}

TEST(QuantDither, DitherOtherThanOneMapsEachCellToOneIndex) {
  std::mt19937 rng(5);
  Picture base(40, 30);
  RandomPixels(rng, base);
  for (int i = 0; i < 300; ++i) base.bytes[i] = base.bytes[300 + i % 30];  // repeated cells
  std::vector<uint8_t> first;
  for (int dither : {0, 2, -1, 1000}) {
    Picture pic = base;
    PaletteBlock pal;
    ASSERT_EQ(Quantise(pic, dither, 0, pal, 64), 64) << dither;
    std::vector<uint8_t> index(pic.bytes.begin(), pic.bytes.begin() + 1200);
    std::vector<int> byCell(kHistCells, -1);
    for (int i = 0; i < 1200; ++i) {
      const uint8_t* p = base.bytes.data() + 3 * i;
      int& seen = byCell[CellIndex(p[0] >> 3, p[1] >> 2, p[2] >> 3)];
      if (seen < 0) seen = index[i];
      EXPECT_EQ(seen, index[i]) << "pixel " << i;
    }
    if (first.empty()) first = index;
    EXPECT_EQ(index, first) << dither;
  }
}

TEST(QuantDither, OneEntryPaletteGivesAllZero) {
  Picture pic(33, 9);
  pic.Fill({90, 91, 92});
  PaletteBlock pal;
  ASSERT_EQ(Quantise(pic, 1, 0, pal, 256), 1);
  for (size_t i = 0; i < 33 * 9; ++i) ASSERT_EQ(pic.bytes[i], 0) << i;
}

// ---------------------------------------------------------------------------
// ColorQuant2: arguments and buffers

TEST(QuantCall, RefusedColourCountsTouchNothing) {
  std::mt19937 rng(9);
  for (int32_t colours : {-1, 0, 2, 257, 1000}) {
    for (int32_t supplied : {0, 1}) {
      Picture pic(10, 10);
      RandomPixels(rng, pic);
      PaletteBlock pal;
      pal.SetEntries(RandomPalette(rng, 256));
      const Picture picBefore = pic;
      const PaletteBlock palBefore = pal;
      EXPECT_EQ(Quantise(pic, 1, supplied, pal, colours), 0) << colours;
      EXPECT_EQ(pic.bytes, picBefore.bytes);
      EXPECT_EQ(pal.bytes, palBefore.bytes);
    }
  }
}

TEST(QuantCall, NonsenseArgumentsAreRefused) {
  Picture pic(4, 4);
  pic.Fill({1, 2, 3});
  PaletteBlock pal;
  const Picture before = pic;
  EXPECT_EQ(ColorQuant2(pic.bytes.data(), -4, 4, 1, 0, pal.bytes.data(), 16), 0);
  EXPECT_EQ(ColorQuant2(pic.bytes.data(), 4, -4, 1, 0, pal.bytes.data(), 16), 0);
  EXPECT_EQ(ColorQuant2(pic.bytes.data(), 4, 4, 1, 2, pal.bytes.data(), 16), 0);
  EXPECT_EQ(ColorQuant2(pic.bytes.data(), 4, 4, 1, 0, nullptr, 16), 0);
  EXPECT_EQ(ColorQuant2(nullptr, 4, 4, 1, 0, pal.bytes.data(), 16), 0);
  EXPECT_EQ(pic.bytes, before.bytes);
  EXPECT_TRUE(pal.UntouchedFrom(0));
}

TEST(QuantCall, SuppliedPaletteIsOnlyRead) {
  std::mt19937 rng(21);
  for (int32_t dither : {0, 1}) {
    Picture pic(37, 23);
    RandomPixels(rng, pic);
    const Picture before = pic;
    const Palette entries = RandomPalette(rng, 40);
    PaletteBlock pal;
    pal.SetEntries(entries);
    const PaletteBlock palBefore = pal;
    ASSERT_EQ(Quantise(pic, dither, 1, pal, 40), 40);
    EXPECT_EQ(pal.bytes, palBefore.bytes);
    const size_t n = 37 * 23;
    if (dither == 0) {
      for (size_t i = 0; i < n; ++i) {
        const Color c = {before.bytes[3 * i], before.bytes[3 * i + 1], before.bytes[3 * i + 2]};
        ASSERT_EQ(pic.bytes[i], BruteNearest(entries, c)) << i;
      }
    } else {
      const std::vector<uint8_t> expect = ReferenceDither(before.bytes.data(), 37, 23, entries);
      EXPECT_TRUE(std::equal(expect.begin(), expect.end(), pic.bytes.begin()));
    }
    // The 24-bit bytes past the index image and the guard are untouched.
    EXPECT_TRUE(std::equal(pic.bytes.begin() + n, pic.bytes.end(), before.bytes.begin() + n));
  }
}

TEST(QuantCall, SuppliedPaletteOnAnEmptyPictureSucceeds) {
  Picture pic(0, 0);
  PaletteBlock pal;
  pal.SetEntries({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}});
  const PaletteBlock before = pal;
  EXPECT_EQ(Quantise(pic, 1, 1, pal, 3), 3);
  EXPECT_EQ(pal.bytes, before.bytes);
  EXPECT_TRUE(pic.GuardIntact());
}

TEST(QuantCall, ChosenPaletteLeavesTheRestAlone) {
  std::mt19937 rng(3);
  for (int32_t colours : {3, 16, 100, 256}) {
    Picture pic(61, 47);
    RandomPixels(rng, pic);
    const Picture before = pic;
    PaletteBlock pal;
    const int32_t used = Quantise(pic, 1, 0, pal, colours);
    ASSERT_EQ(used, colours);  // random pixels fill far more cells than colours
    EXPECT_TRUE(pal.UntouchedFrom(3 * static_cast<size_t>(used)));
    const size_t n = 61 * 47;
    EXPECT_TRUE(std::equal(pic.bytes.begin() + n, pic.bytes.end(), before.bytes.begin() + n));
    Palette entries;
    for (int i = 0; i < used; ++i) entries.push_back(pal.Entry(i));
    const std::vector<uint8_t> expect = ReferenceDither(before.bytes.data(), 61, 47, entries);
    EXPECT_TRUE(std::equal(expect.begin(), expect.end(), pic.bytes.begin())) << colours;
  }
}

// ---------------------------------------------------------------------------
// Real pictures

struct LoadedImage {
  int32_t width = 0, height = 0;
  std::vector<uint8_t> bgr;  // byte 0 blue, as the decoder writes pixels
};

bool LoadPng(const std::string& path, LoadedImage* out) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
  image.format = PNG_FORMAT_BGR;
  out->width = static_cast<int32_t>(image.width);
  out->height = static_cast<int32_t>(image.height);
  out->bgr.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, out->bgr.data(), 0, nullptr)) {
    png_image_free(&image);
    return false;
  }
  return true;
}

#ifndef KDZ_SHARED_IMAGES
#define KDZ_SHARED_IMAGES "/work/shared/images"
#endif

// Mean absolute difference per component between the palette colour of each index and
// the 24-bit input, bounded per picture with about 20% headroom over what was observed
// (dithered / nearest): astronaut 4.53 / 3.91, camera 2.04 / 1.65, chelsea 3.66 / 3.14,
// coffee 3.69 / 3.20, and the synthetic colour wheel, whose many saturated hues are
// what 256 boxes cover worst, 9.24 / 8.01. Diffusion spreads the error rather than
// removing it, so its per-pixel mean is the higher one.
TEST(QuantImages, RealPicturesStayClose) {
  struct Named { const char* name; double dithered; double nearest; };
  const Named pictures[] = {{"astronaut.png", 5.5, 4.7}, {"camera.png", 2.5, 2.0},
                            {"chelsea.png", 4.4, 3.8},   {"coffee.png", 4.4, 3.8},
                            {"color.png", 11.0, 9.6}};
  int loaded = 0;
  for (const Named& picture : pictures) {
    const char* name = picture.name;
    LoadedImage img;
    if (!LoadPng(std::string(KDZ_SHARED_IMAGES) + "/" + name, &img)) continue;
    ++loaded;
    for (int32_t dither : {1, 0}) {
      Picture pic(img.width, img.height);
      std::copy(img.bgr.begin(), img.bgr.end(), pic.bytes.begin());
      PaletteBlock pal;
      const int32_t used = Quantise(pic, dither, 0, pal, 256);
      ASSERT_GE(used, 1) << name;
      ASSERT_LE(used, 256) << name;
      EXPECT_TRUE(pal.UntouchedFrom(3 * static_cast<size_t>(used)));
      EXPECT_TRUE(pic.GuardIntact());
      const size_t n = static_cast<size_t>(img.width) * img.height;
      EXPECT_TRUE(std::equal(pic.bytes.begin() + n, pic.bytes.begin() + 3 * n, img.bgr.begin() + n));
      uint64_t sum = 0;
      for (size_t i = 0; i < n; ++i) {
        ASSERT_LT(pic.bytes[i], used) << name << " pixel " << i;
        const Color c = pal.Entry(pic.bytes[i]);
        for (int k = 0; k < 3; ++k) sum += static_cast<uint64_t>(std::abs(c[k] - img.bgr[3 * i + k]));
      }
      const double mean = static_cast<double>(sum) / (3.0 * static_cast<double>(n));
      EXPECT_LE(mean, dither == 1 ? picture.dithered : picture.nearest) << name << " dither " << dither;
      RecordProperty(std::string(name) + (dither == 1 ? "_dithered" : "_nearest"), std::to_string(mean));
    }
  }
  if (loaded == 0) GTEST_SKIP() << "no pictures in " << KDZ_SHARED_IMAGES;
}

}  // namespace
}  // namespace kdz
