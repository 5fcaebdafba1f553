// Tests of the band layout, zero trees, dequantisation and the plane symbol loop.
#include "codec/coeff_decoder.h"

#include <gtest/gtest.h>

#include "codec/file_format.h"
#include "kdz_builder_util.h"

namespace kdz {
namespace {

using test::BuildKdz;
using test::EntriesOf;
using test::EntryOf;
using test::kEnd;
using test::KdzLayout;

TEST(Bands, GeometryOf64x48WithThreeLevels) {
  struct Expect {
    int row0, col0, rows, cols, n;
  };
  const Expect expected[] = {
      {0, 0, 6, 8, 9},                                       // low band
      {0, 8, 6, 8, 7},    {6, 0, 6, 8, 6},    {6, 8, 6, 8, 8},    // level 0
      {0, 16, 12, 16, 4}, {12, 0, 12, 16, 3}, {12, 16, 12, 16, 5},
      {0, 32, 24, 32, 1}, {24, 0, 24, 32, 0}, {24, 32, 24, 32, 2},
  };
  ASSERT_EQ(BandCount(3), 10);
  for (int k = 0; k < 10; ++k) {
    const Band b = BandAt(64, 48, 3, k);
    EXPECT_EQ(b.row0, expected[k].row0) << k;
    EXPECT_EQ(b.col0, expected[k].col0) << k;
    EXPECT_EQ(b.rows, expected[k].rows) << k;
    EXPECT_EQ(b.cols, expected[k].cols) << k;
    EXPECT_EQ(b.n, expected[k].n) << k;
  }
  // Sizes double from the low band rather than being recomputed: H = 100, L = 3.
  EXPECT_EQ(BandAt(64, 100, 3, 0).rows, 12);
  const Band finest = BandAt(64, 100, 3, 8);
  EXPECT_EQ(finest.row0 + finest.rows, 96);
  // No levels: the low band is the whole plane, subband 0.
  const Band all = BandAt(5, 7, 0, 0);
  EXPECT_EQ(all.rows, 7);
  EXPECT_EQ(all.cols, 5);
  EXPECT_EQ(all.n, 0);
}

TEST(ZeroTree, MarksDescendantsDownToTheLimitOnly) {
  DecoderState s;
  s.width = 64;
  std::vector<int16_t> plane(64 * 48, 0);
  s.zeroFillPlane = plane.data();
  s.zeroFillValue = kPendingZero;
  s.zeroFillLimit = 3;
  MarkZeroTree(s, 2, 9, 1);
  int marked = 0;
  for (int r = 0; r < 48; ++r) {
    for (int c = 0; c < 64; ++c) {
      const bool inside = (r >= 4 && r <= 5 && c >= 18 && c <= 19) || (r >= 8 && r <= 11 && c >= 36 && c <= 39);
      EXPECT_EQ(plane[r * 64 + c], inside ? kPendingZero : 0) << r << "," << c;
      marked += plane[r * 64 + c] != 0;
    }
  }
  EXPECT_EQ(marked, 4 + 16);

  std::fill(plane.begin(), plane.end(), 0);
  s.zeroFillLimit = 1;
  MarkZeroTree(s, 2, 9, 1);
  for (int16_t v : plane) ASSERT_EQ(v, 0);
}

TEST(Dequantise, TruncatesTowardZeroWithSignedScales) {
  auto steps = [](int pos, int neg, int div, float* p, float* n) {
    *p = static_cast<float>(static_cast<double>(pos) / div);
    *n = static_cast<float>(-(static_cast<double>(neg) / div));
  };
  float p, n;
  steps(7, -7, 2, &p, &n);
  EXPECT_EQ(Dequantise(5, p, n), 17);
  EXPECT_EQ(Dequantise(-3, p, n), -10);
  EXPECT_EQ(Dequantise(0, p, n), 0);
  steps(7, 7, 2, &p, &n);
  EXPECT_EQ(Dequantise(-3, p, n), 10);
  // Results keep their low 16 bits.
  steps(32767, -1, 1, &p, &n);
  EXPECT_EQ(Dequantise(2, p, n), static_cast<int16_t>(-2));
}

// Decodes the planes of `bytes` into `s` (header parse included).
void DecodeFile(DecoderState& s, const std::vector<uint8_t>& bytes) {
  s.dataBase = bytes.data();
  s.dataSize = bytes.size();
  s.readPos = 0;
  ASSERT_EQ(DecodePlane(s, 'y'), 0) << s.errorDetail;
  ASSERT_EQ(DecodePlane(s, 'i'), 0);
  ASSERT_EQ(DecodePlane(s, 'q'), 0);
}

// An 8 x 8 plane with one level: low band 4 x 4 at (0,0), detail bands 4 x 4.
KdzLayout OneLevel8x8() {
  KdzLayout layout;
  layout.levels = 1;
  for (int p = 0; p < 3; ++p) layout.planes[p].values = {0};
  for (int p = 0; p < 3; ++p) layout.planes[p].symbols = {kEnd, kEnd};  // low band ends, plane ends
  return layout;
}

TEST(Planes, LowBandEndSymbolLeavesZerosAndDetailsGoOn) {
  KdzLayout layout = OneLevel8x8();
  std::vector<int>& vals = layout.planes[0].values;
  vals = {3, -127, 9, -126};
  // Low band: two values, then end; the details follow in the same segment: the
  // upper-right band gets 9 at its first position, then the plane ends.
  layout.planes[0].symbols = EntriesOf(vals, {3, -127});
  layout.planes[0].symbols.push_back(kEnd);
  for (int v : EntriesOf(vals, {9, -126})) layout.planes[0].symbols.push_back(v);
  layout.planes[0].symbols.push_back(kEnd);
  DecoderState s;
  DecodeFile(s, BuildKdz(layout));
  const PlaneSamples& y = s.planeY;
  EXPECT_EQ(y[0], 3);
  EXPECT_EQ(y[1], -127);  // an ordinary value in the low band
  for (int c = 2; c < 4; ++c) EXPECT_EQ(y[c], 0);
  EXPECT_EQ(y[4], 9);      // upper-right band starts at column 4
  EXPECT_EQ(y[5], -126);   // a decoded -126 is kept
  int nonZero = 0;
  for (int16_t v : y) nonZero += v != 0;
  EXPECT_EQ(nonZero, 4);
  EXPECT_EQ(s.planeI.size(), 64u);
}

TEST(Planes, ZeroTreeSkipsMarkedPositionsAndEarlyEndClearsMarkers) {
  // 16 x 16, two levels: low 4 x 4, level 0 bands 4 x 4, level 1 bands 8 x 8.
  KdzLayout layout;
  layout.width = layout.height = 16;
  layout.levels = 2;
  std::vector<int>& vals = layout.planes[0].values;
  vals = {0, 1, -127};
  std::vector<int> seq(16, 1);           // low band all 1
  seq.push_back(-127);                   // root at (0,4): marks (0..1, 8..9) in level 1
  for (int k = 1; k < 16; ++k) seq.push_back(0);  // rest of upper right
  for (int k = 0; k < 32; ++k) seq.push_back(0);  // lower left, lower right of level 0
  // Level 1 upper right: rows 0..7, columns 8..15. Row 0: columns 8, 9 are skipped.
  for (int k = 0; k < 6; ++k) seq.push_back(1);   // row 0, columns 10..15
  seq.push_back(0);                                // row 1 column 10 (8, 9 skipped)
  layout.planes[0].symbols = EntriesOf(vals, seq);
  layout.planes[0].symbols.push_back(kEnd);          // ends the plane at row 1 column 11
  for (int p = 1; p < 3; ++p) {
    layout.planes[p].values = {0};
    layout.planes[p].symbols = {kEnd, kEnd};
  }
  DecoderState s;
  std::vector<uint8_t> bytes = BuildKdz(layout);
  DecodeFile(s, bytes);
  const auto at = [&](int r, int c) { return s.planeY[r * 16 + c]; };
  EXPECT_EQ(at(0, 0), 1);
  EXPECT_EQ(at(0, 4), 0);
  EXPECT_EQ(at(0, 8), 0);
  EXPECT_EQ(at(0, 9), 0);
  EXPECT_EQ(at(1, 8), 0);
  EXPECT_EQ(at(0, 10), 1);
  EXPECT_EQ(at(0, 15), 1);
  EXPECT_EQ(at(1, 10), 0);
  for (int16_t v : s.planeY) EXPECT_NE(v, kPendingZero);

  // The same root, with the uncoded finest level, marks nothing.
  layout.uncodedLevels[0] = 1;
  seq.resize(16 + 16 + 32);
  seq.insert(seq.end(), 6 + 2, 1);  // row 0 now decodes columns 8..15
  layout.planes[0].symbols = EntriesOf(vals, seq);
  layout.planes[0].symbols.push_back(kEnd);
  DecodeFile(s, BuildKdz(layout));
  EXPECT_EQ(s.planeY[8], 1);
  EXPECT_EQ(s.planeY[9], 1);
}

TEST(Planes, PendingMarkersLeftByAnEarlyEndBecomeZero) {
  KdzLayout layout;
  layout.width = layout.height = 16;
  layout.levels = 2;
  std::vector<int>& vals = layout.planes[0].values;
  vals = {0, -127};
  std::vector<int> seq(16, 0);
  seq.push_back(-127);  // root in level 0 marks four level-1 positions
  layout.planes[0].symbols = EntriesOf(vals, seq);
  layout.planes[0].symbols.push_back(kEnd);  // plane ends before level 1
  for (int p = 1; p < 3; ++p) {
    layout.planes[p].values = {0};
    layout.planes[p].symbols = {kEnd, kEnd};
  }
  DecoderState s;
  DecodeFile(s, BuildKdz(layout));
  for (int16_t v : s.planeY) EXPECT_EQ(v, 0);
}

TEST(Planes, SecondSegmentContinuesTheSamePosition) {
  KdzLayout layout = OneLevel8x8();
  std::vector<int>& vals = layout.planes[1].values;
  vals = {4, 5, 6};
  std::vector<int> low(16, 4);
  layout.planes[1].symbols = EntriesOf(vals, low);
  layout.planes[1].symbols.push_back(EntriesOf(vals, {5})[0]);  // (0,4)
  layout.planes[1].symbols.push_back(kEnd);                      // switches segments
  layout.planes[1].second = EntriesOf(vals, {6, 6});             // (0,5), (0,6)
  layout.planes[1].second.push_back(kEnd);                       // finishes the plane
  DecoderState s;
  DecodeFile(s, BuildKdz(layout));
  EXPECT_EQ(s.planeI[0], 4);
  EXPECT_EQ(s.planeI[4], 5);
  EXPECT_EQ(s.planeI[5], 6);
  EXPECT_EQ(s.planeI[6], 6);
  EXPECT_EQ(s.planeI[7], 0);
  // The 'q' plane was read from planeOffsetQ after 'i' finished.
  EXPECT_EQ(s.planeQ.size(), 64u);

  // An end symbol first in the second segment ends the plane there.
  layout.planes[1].second = {kEnd};
  DecodeFile(s, BuildKdz(layout));
  EXPECT_EQ(s.planeI[4], 5);
  EXPECT_EQ(s.planeI[5], 0);
}

TEST(Planes, ZeroDivisorStoresZerosButStillConsumesSymbols) {
  KdzLayout layout = OneLevel8x8();
  layout.scaleDiv[0][3] = 0;  // the low band of a one-level plane is n = 3
  std::vector<int>& vals = layout.planes[0].values;
  vals = {7, 8};
  layout.planes[0].symbols = EntriesOf(vals, std::vector<int>(16, 7));
  layout.planes[0].symbols.push_back(EntryOf(vals, 8));  // first detail position
  layout.planes[0].symbols.push_back(kEnd);
  DecoderState s;
  DecodeFile(s, BuildKdz(layout));
  EXPECT_EQ(s.planeY[0], 0);
  EXPECT_EQ(s.planeY[4], 8);
}

}  // namespace
}  // namespace kdz
