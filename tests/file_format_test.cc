// Tests of the header layouts, the header peek and every bounds check of a file.
#include "codec/file_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "codec/pipeline.h"
#include "kdz_builder_util.h"

namespace kdz {
namespace {

using test::BuildKdz;
using test::KdzLayout;

int Parse(DecoderState& s, const std::vector<uint8_t>& bytes) {
  s.ClearError();
  s.dataBase = bytes.data();
  s.dataSize = bytes.size();
  s.readPos = 0;
  return ParsePlaneHeader(s, 'y');
}

void Put16(std::vector<uint8_t>& b, size_t at, int v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}

// A hand-laid 2.3 header with one level: every field holds a distinct value.
std::vector<uint8_t> OneLevelHeader() {
  std::vector<uint8_t> b(140, 0);
  std::memcpy(b.data(), "QEM2.3aZ", 8);
  Put16(b, 8, 1);      // uncoded y
  Put16(b, 10, 0);     // uncoded i
  Put16(b, 12, 1);     // uncoded q
  Put16(b, 16, 8);     // width
  Put16(b, 18, 6);     // height
  Put16(b, 22, 120);   // planeOffsetI
  Put16(b, 24, 130);   // planeOffsetQ
  Put16(b, 28, 7);     // transformMode
  Put16(b, 30, 1);     // levels
  for (int n = 0; n < 4; ++n) {
    for (int k = 0; k < 6; ++k) Put16(b, 32 + 12 * n + 2 * k, 100 * n + k - 3);
  }
  Put16(b, 80, 125);
  Put16(b, 82, 126);
  Put16(b, 84, 127);
  Put16(b, 86, -40);   // lumaBias
  Put16(b, 88, 11);
  Put16(b, 90, 12);
  for (int n = 0; n < 4; ++n) {
    for (int p = 0; p < 3; ++p) Put16(b, 92 + 6 * n + 2 * p, 10 * n + p + 1);
  }
  b[116] = 2;  // 'y' value table: two values
  b[117] = 130;
  b[118] = 1;
  return b;
}

TEST(Header, OneLevelLayoutPlacesEveryField) {
  const std::vector<uint8_t> b = OneLevelHeader();
  DecoderState s;
  ASSERT_EQ(Parse(s, b), 0) << s.errorDetail;
  EXPECT_EQ(s.uncodedLevels[0], 1);
  EXPECT_EQ(s.uncodedLevels[2], 1);
  EXPECT_EQ(s.width, 8);
  EXPECT_EQ(s.height, 6);
  EXPECT_EQ(s.planeSize, 48);
  EXPECT_EQ(s.planeOffsetI, 120);
  EXPECT_EQ(s.planeOffsetQ, 130);
  EXPECT_EQ(s.transformMode, 7);
  EXPECT_EQ(s.levels, 1);
  EXPECT_EQ(s.scalePos[0][0], -3);
  EXPECT_EQ(s.scaleNeg[0][0], -2);
  EXPECT_EQ(s.scalePos[2][3], 301);
  EXPECT_EQ(s.scaleNeg[2][3], 302);
  EXPECT_EQ(s.segmentOffset[0], 125);
  EXPECT_EQ(s.segmentOffset[2], 127);
  EXPECT_EQ(s.lumaBias, -40);
  EXPECT_EQ(s.scaleDiv[0][0], 1);
  EXPECT_EQ(s.scaleDiv[2][3], 33);
  EXPECT_EQ(s.headerEnd, 116);
  EXPECT_EQ(s.valueCount, 2);
  EXPECT_EQ(s.symbolCount, 3);
  EXPECT_EQ(s.endSymbol, 3);
  EXPECT_EQ(s.symbolValue[0], 130);
  EXPECT_EQ(s.symbolValue[1], 1);
  EXPECT_EQ(s.readPos, 119u);
}

TEST(Header, ZeroLevelsPutTheTableAt62AndHeaderLengthMovesIt) {
  KdzLayout layout;
  layout.planes[0].values = {5};
  DecoderState s;
  ASSERT_EQ(Parse(s, BuildKdz(layout)), 0);
  EXPECT_EQ(s.headerEnd, 62);
  EXPECT_EQ(s.readPos, 64u);  // after N and one value

  layout.headerGap = 9;
  ASSERT_EQ(Parse(s, BuildKdz(layout)), 0);
  EXPECT_EQ(s.headerLength, 62 + 9 - 8);
  EXPECT_EQ(s.readPos, 62u + 9u + 2u);
  EXPECT_EQ(s.valueCount, 1);
}

TEST(Header, SeparatorAndVariantBytesAreNotChecked) {
  KdzLayout layout;
  layout.signature = "QEM2x3?Z";
  DecoderState s;
  EXPECT_EQ(Parse(s, BuildKdz(layout)), 0);
  EXPECT_TRUE(IsDecodableVersion(s));
}

TEST(Header, OlderVersionsParseButAreRefused) {
  // 2.2: segment and bias fields follow L+1 ignored rows; no divisor rows.
  std::vector<uint8_t> b(200, 0);
  std::memcpy(b.data(), "QEM2.2aZ", 8);
  Put16(b, 16, 8);
  Put16(b, 18, 8);
  Put16(b, 42, 1);            // levels at 42
  const size_t seg = 44 + 12 * 2;  // two ignored rows
  Put16(b, seg + 6, 77);      // lumaBias
  DecoderState s;
  EXPECT_EQ(Parse(s, b), 1);
  EXPECT_EQ(s.error, Error::kUnsupported);
  EXPECT_EQ(s.levels, 1);
  EXPECT_EQ(s.lumaBias, 77);

  // A major version other than '2' with '3' and 'Z' decodes with zero uncoded
  // levels, segments, divisors and bias, whatever the previous file set.
  KdzLayout other;
  other.lumaBias = 50;
  ASSERT_EQ(Parse(s, BuildKdz(other)), 0);
  ASSERT_EQ(s.lumaBias, 50);
  std::vector<uint8_t> m(100, 0);
  std::memcpy(m.data(), "QEM3.3aZ", 8);
  Put16(m, 10, 4);   // width
  Put16(m, 12, 4);   // height
  Put16(m, 16, 40);  // planeOffsetI
  Put16(m, 18, 40);  // planeOffsetQ
  Put16(m, 24, 0);   // levels; one scale row follows at 26..37
  ASSERT_EQ(Parse(s, m), 0) << s.errorDetail;
  EXPECT_EQ(s.width, 4);
  EXPECT_EQ(s.lumaBias, 0);
  EXPECT_EQ(s.scaleDiv[0][0], 0);
  EXPECT_EQ(s.readPos, 39u);
}

TEST(Header, RejectsEveryOutOfBoundsFile) {
  struct Case {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> mutate;
    Error expected;
  };
  const std::vector<Case> cases = {
      {"bad signature", [](auto& b) { b[1] = 'X'; }, Error::kNotKdz},
      {"truncated header", [](auto& b) { b.resize(40); }, Error::kMalformed},
      {"levels above 10", [](auto& b) { Put16(b, 30, 11); }, Error::kMalformed},
      {"negative levels", [](auto& b) { Put16(b, 30, -1); }, Error::kMalformed},
      {"zero width", [](auto& b) { Put16(b, 16, 0); }, Error::kMalformed},
      {"negative height", [](auto& b) { Put16(b, 18, -8); }, Error::kMalformed},
      {"uncoded above levels", [](auto& b) { Put16(b, 10, 2); }, Error::kMalformed},
      {"negative uncoded", [](auto& b) { Put16(b, 8, -1); }, Error::kMalformed},
      {"too few low rows", [](auto& b) { Put16(b, 18, 3); }, Error::kMalformed},
      {"too few low columns", [](auto& b) { Put16(b, 16, 3); }, Error::kMalformed},
      {"y data outside", [](auto& b) { Put16(b, 14, 500); }, Error::kMalformed},
      {"y data before the file", [](auto& b) { Put16(b, 14, -20); }, Error::kMalformed},
      {"i offset outside", [](auto& b) { Put16(b, 22, 140); }, Error::kMalformed},
      {"q table runs past the end", [](auto& b) { Put16(b, 24, 138); b[138] = 5; }, Error::kMalformed},
      {"segment at the end", [](auto& b) { Put16(b, 82, 140); }, Error::kMalformed},
      {"minor version 2", [](auto& b) { b[5] = '2'; }, Error::kUnsupported},
      {"terminator not Z", [](auto& b) { b[7] = 'z'; }, Error::kUnsupported},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> b = OneLevelHeader();
    c.mutate(b);
    DecoderState s;
    EXPECT_EQ(Parse(s, b), 1) << c.name;
    EXPECT_EQ(s.error, c.expected) << c.name;
    EXPECT_FALSE(s.errorDetail.empty()) << c.name;
  }
}

TEST(Header, PixelLimitAndBitmapCapacityAreSeparateFailures) {
  std::vector<uint8_t> b = OneLevelHeader();
  DecoderState s;
  s.maxPixels = 47;
  EXPECT_EQ(Parse(s, b), 1);
  EXPECT_EQ(s.error, Error::kLimit);
  s.maxPixels = 48;
  s.pixelAreaCapacity = 8 * 3 * 6 - 1;
  EXPECT_EQ(Parse(s, b), 1);
  EXPECT_EQ(s.error, Error::kBufferTooSmall);
  s.pixelAreaCapacity = 8 * 3 * 6;
  EXPECT_EQ(Parse(s, b), 0);
}

TEST(Peek, ReadsTheSizeWhereTheLayoutPutsIt) {
  std::vector<uint8_t> b = OneLevelHeader();
  PeekResult p = PeekHeaderBytes(b.data(), b.size());
  EXPECT_EQ(p.width, 8);
  EXPECT_EQ(p.height, 6);
  EXPECT_EQ(p.imageSize, 144);
  EXPECT_EQ(p.fileSize, 140u);

  b[5] = '0';  // 2.0: width and height at 10 and 12
  Put16(b, 10, 30);
  Put16(b, 12, 20);
  p = PeekHeaderBytes(b.data(), b.size());
  EXPECT_EQ(p.width, 30);
  EXPECT_EQ(p.height, 20);
  b[5] = '3';
  b[3] = '4';  // another major version: also at 10 and 12
  p = PeekHeaderBytes(b.data(), b.size());
  EXPECT_EQ(p.width, 30);

  const uint8_t shortFile[] = {'Q', 'E', 'M', '2', '.', '3', 'a', 'Z', 0, 0, 0, 0, 0, 0, 0, 0, 9};
  p = PeekHeaderBytes(shortFile, sizeof shortFile);  // width half present, height missing
  EXPECT_EQ(p.width, 0);
  EXPECT_EQ(p.height, 0);
  EXPECT_EQ(p.imageSize, 0);
}

TEST(Peek, FileVersionReportsSizeAndMissingFile) {
  std::vector<uint8_t> b = OneLevelHeader();
  const std::string path = test::WriteTempFile(b, "peek.kdz");
  PeekResult p;
  ASSERT_TRUE(PeekHeader(path.c_str(), &p));
  EXPECT_EQ(p.fileSize, 140u);
  EXPECT_EQ(p.width, 8);
  EXPECT_FALSE(PeekHeader("/nonexistent/x.kdz", &p));
  std::remove(path.c_str());
}

}  // namespace
}  // namespace kdz
