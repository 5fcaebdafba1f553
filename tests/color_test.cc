// Tests of the YIQ conversion, its tables and its saturation.
#include "codec/color.h"

#include <gtest/gtest.h>

#include <array>

namespace kdz {
namespace {

std::array<int, 3> Convert(int y, int i, int q, int bias) {
  DecoderState s;
  BuildClampTable(s);
  s.lumaBias = bias;
  const int16_t Y = static_cast<int16_t>(y), I = static_cast<int16_t>(i), Q = static_cast<int16_t>(q);
  uint8_t px[3];
  YiqToRgb(s, &Y, &I, &Q, px, 1);
  return {px[0], px[1], px[2]};
}

TEST(Color, WorkedPixels) {
  EXPECT_EQ(Convert(100, 0, 0, 0), (std::array<int, 3>{100, 100, 100}));
  EXPECT_EQ(Convert(0, 0, 0, 300), (std::array<int, 3>{255, 255, 255}));
  EXPECT_EQ(Convert(0, 0, 0, -5), (std::array<int, 3>{0, 0, 0}));
  EXPECT_EQ(Convert(128, 100, 0, 0), (std::array<int, 3>{223, 100, 17}));
  // Products round toward minus infinity: 979 * -1 >> 10 = -1, -279 * 1 >> 10 = -1.
  EXPECT_EQ(Convert(50, -1, 0, 0), (std::array<int, 3>{49, 50, 51}));
  EXPECT_EQ(Convert(50, 1, 0, 0), (std::array<int, 3>{50, 49, 48}));
  // Table ends: 979 at 255 is 243, 1744 at -256 is -436.
  EXPECT_EQ(Convert(0, 255, 0, 0)[0], 243);
  EXPECT_EQ(Convert(500, 0, -256, 0)[2], 64);
}

TEST(Color, ClampTableEntries) {
  DecoderState s;
  BuildClampTable(s);
  EXPECT_EQ(s.clampTable[0], 0);
  EXPECT_EQ(s.clampTable[1024], 0);
  EXPECT_EQ(s.clampTable[1025], 1);
  EXPECT_EQ(s.clampTable[1278], 254);
  EXPECT_EQ(s.clampTable[1279], 255);
  EXPECT_EQ(s.clampTable[2047], 255);
}

TEST(Color, OutOfRangeSamplesSaturateInsteadOfReadingOutsideTheTables) {
  // Chroma beyond -256..255 behaves as the nearest end of the table.
  EXPECT_EQ(Convert(0, 30000, 0, 0), Convert(0, 255, 0, 0));
  EXPECT_EQ(Convert(400, -30000, 0, 0), Convert(400, -256, 0, 0));
  // Sums beyond -1024..1023 saturate.
  EXPECT_EQ(Convert(32767, 0, 0, 32767), (std::array<int, 3>{255, 255, 255}));
  EXPECT_EQ(Convert(-32768, 0, 0, -32768), (std::array<int, 3>{0, 0, 0}));
}

}  // namespace
}  // namespace kdz
