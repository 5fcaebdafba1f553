// Tests of the lifting synthesis and the interpolation levels.
#include "codec/wavelet.h"

#include <gtest/gtest.h>

#include <vector>

namespace kdz {
namespace {

// A region of R x C samples inside a plane with a wider stride, so that columns
// beyond the region show whether anything leaks out of it.
struct Region {
  int rows, cols, stride;
  std::vector<int16_t> p;
  Region(int r, int c) : rows(r), cols(c), stride(c + 3), p(static_cast<size_t>(r + 2) * (c + 3), 0) {}
  int16_t& at(int r, int c) { return p[static_cast<size_t>(r) * stride + c]; }
};

TEST(Synthesis, VerticalStepMatchesWorkedColumns) {
  // One column of low samples and detail samples; horizontal step with zero
  // details and W = 2 then duplicates... so read the column after a full level
  // on a 4-column region whose other columns are copies.
  auto run = [](std::vector<int> low, std::vector<int> detail) {
    const int h = static_cast<int>(low.size());
    Region g(2 * h, 4);
    for (int k = 0; k < h; ++k) {
      // Column layout: low part in columns 0..1, details 2..3 (all zero), so the
      // horizontal step maps l to column 1 and column 0 gets l as well.
      g.at(k, 0) = static_cast<int16_t>(low[k]);
      g.at(k, 1) = static_cast<int16_t>(low[k]);
      g.at(h + k, 0) = static_cast<int16_t>(detail[k]);
      g.at(h + k, 1) = static_cast<int16_t>(detail[k]);
    }
    EXPECT_EQ(SynthesizeLevel(g.p.data(), g.stride, g.rows, g.cols), 0);
    std::vector<int> out;
    for (int r = 0; r < 2 * h; ++r) out.push_back(g.at(r, 1));
    return out;
  };
  EXPECT_EQ(run({40, 80}, {4, -4}), (std::vector<int>{12, 20, 33, 39}));
  EXPECT_EQ(run({40, 80, 120}, {4, -4, 8}), (std::vector<int>{12, 20, 34, 41, 43, 62}));
}

TEST(Synthesis, HorizontalStepMatchesWorkedRows) {
  // Rows of a region whose vertical details are zero and whose two low rows hold
  // 2x the wanted row, so the vertical step hands the row through unchanged.
  auto run = [](std::vector<int> low, std::vector<int> detail) {
    const int w = static_cast<int>(low.size());
    Region g(4, 2 * w);
    for (int k = 0; k < w; ++k) {
      for (int r = 0; r < 2; ++r) {
        g.at(r, k) = static_cast<int16_t>(2 * low[k]);
        g.at(r, w + k) = static_cast<int16_t>(2 * detail[k]);
      }
    }
    EXPECT_EQ(SynthesizeLevel(g.p.data(), g.stride, g.rows, g.cols), 0);
    std::vector<int> out;
    for (int c = 0; c < 2 * w; ++c) out.push_back(g.at(1, c));
    return out;
  };
  EXPECT_EQ(run({10, 20}, {2, -2}), (std::vector<int>{2, 10, 18, 19}));
  EXPECT_EQ(run({10, 20, 30}, {2, -2, 4}), (std::vector<int>{2, 10, 19, 21, 18, 32}));
}

TEST(Synthesis, FlatLowBandComesOutFlatForEverySize) {
  for (int h = 2; h <= 6; ++h) {
    for (int w = 2; w <= 6; ++w) {
      for (int value : {0, 7, -9, 100}) {
        for (bool interpolate : {false, true}) {
          Region g(2 * h, 2 * w);
          for (int r = 0; r < h; ++r) {
            for (int c = 0; c < w; ++c) g.at(r, c) = static_cast<int16_t>(2 * value);
          }
          if (interpolate) {
            // Details are ignored by interpolation: fill them with noise.
            for (int r = 0; r < 2 * h; ++r) {
              for (int c = (r < h ? w : 0); c < 2 * w; ++c) g.at(r, c) = static_cast<int16_t>(r * 31 - c * 17);
            }
          }
          const int rc = interpolate ? InterpolateLevel(g.p.data(), g.stride, g.rows, g.cols)
                                     : SynthesizeLevel(g.p.data(), g.stride, g.rows, g.cols);
          ASSERT_EQ(rc, 0);
          for (int r = 0; r < 2 * h; ++r) {
            for (int c = 0; c < 2 * w; ++c) {
              ASSERT_EQ(g.at(r, c), value) << h << "x" << w << " v" << value << " interp " << interpolate
                                           << " at " << r << "," << c;
            }
            ASSERT_EQ(g.at(r, 2 * w), 0);  // outside the region: untouched
          }
        }
      }
    }
  }
}

TEST(Interpolation, LastRowComesFromTheLastLowSampleHalved) {
  Region g(4, 4);
  g.at(0, 0) = g.at(0, 1) = 10;
  g.at(1, 0) = g.at(1, 1) = 20;
  ASSERT_EQ(InterpolateLevel(g.p.data(), g.stride, 4, 4), 0);
  EXPECT_EQ((std::vector<int>{g.at(0, 3), g.at(1, 3), g.at(2, 3), g.at(3, 3)}), (std::vector<int>{5, 5, 7, 10}));
}

TEST(Synthesis, NegativeValuesShiftTowardMinusInfinityAndStoresWrap) {
  Region g(4, 4);
  // Low sample -3 alone: V[1] = (0 + -6 + 0) >> 2 = -2 (not -1).
  g.at(0, 0) = -3;
  ASSERT_EQ(SynthesizeLevel(g.p.data(), g.stride, 4, 4), 0);
  EXPECT_EQ(g.at(1, 1), -2);

  Region big(4, 4);
  for (int r = 0; r < 2; ++r) {
    for (int c = 0; c < 2; ++c) big.at(r, c) = 32767;
  }
  for (int c = 2; c < 4; ++c) big.at(0, c) = -32768;
  ASSERT_EQ(SynthesizeLevel(big.p.data(), big.stride, 4, 4), 0);
  // P[0][0] = ((h1 - h0) >> 1) - 3 h0 + l0 with h0 = h1 = -16384, l0 = 16383:
  // 0 + 49152 + 16383 = 65535, stored as -1.
  EXPECT_EQ(big.at(0, 0), -1);
}

TEST(Transform, LevelsRunOnlyOverTheDyadicRegion) {
  DecoderState s;
  s.width = 100;
  s.height = 16;
  s.levels = 3;
  s.planeSize = 1600;
  std::vector<int16_t> plane(1600, 0);
  // Coarsest low band: 2 x 12, holding 8 * 5.
  for (int r = 0; r < 2; ++r) {
    for (int c = 0; c < 12; ++c) plane[r * 100 + c] = 40;
  }
  for (uint32_t uncoded : {0u, 1u, 3u}) {
    std::vector<int16_t> p = plane;
    s.uncodedLevels[kPlaneY] = static_cast<int32_t>(uncoded);
    ASSERT_EQ(InverseTransformPlane(s, p.data(), 'y'), 0);
    for (int r = 0; r < 16; ++r) {
      for (int c = 0; c < 100; ++c) ASSERT_EQ(p[r * 100 + c], c < 96 ? 5 : 0) << r << "," << c;
    }
  }
  s.levels = 0;
  std::vector<int16_t> p = plane;
  ASSERT_EQ(InverseTransformPlane(s, p.data(), 'y'), 0);
  EXPECT_EQ(p, plane);
}

}  // namespace
}  // namespace kdz
