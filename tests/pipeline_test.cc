// Whole files through the pipeline and the public API: bitmap layout, file size
// limits, blocks that are too small, and pictures built from known coefficients.
#include "codec/pipeline.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "codec/color.h"
#include "kdz/kdz.h"
#include "kdz_builder_util.h"

namespace kdz {
namespace {

using test::BuildKdz;
using test::EntriesOf;
using test::kEnd;
using test::KdzLayout;

uint32_t Get32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }
uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// A picture whose luma plane is given sample by sample (levels 0, unit scales),
// chroma zero: pixel k is Y[k] + bias in all three bytes.
KdzLayout LumaPicture(int w, int h, const std::vector<int>& luma, int bias) {
  KdzLayout layout;
  layout.width = w;
  layout.height = h;
  layout.lumaBias = bias;
  std::vector<int>& vals = layout.planes[0].values;
  for (int v : luma) {
    bool seen = false;
    for (int x : vals) seen |= x == v;
    if (!seen) vals.push_back(v);
  }
  layout.planes[0].symbols = EntriesOf(vals, luma);
  for (int p = 1; p < 3; ++p) {
    layout.planes[p].values = {0};
    layout.planes[p].symbols = {kEnd};
  }
  return layout;
}

TEST(Pipeline, TwentyFourBitBitmapIsPaddedBottomUpInPlaneOrder) {
  // 3 x 2 picture: plane row 0 is 1, 2, 3 and row 1 is 4, 5, 6.
  const std::vector<uint8_t> file = BuildKdz(LumaPicture(3, 2, {1, 2, 3, 4, 5, 6}, 100));
  Bitmap bmp;
  ASSERT_TRUE(DecodeToBitmap(file.data(), file.size(), false, &bmp).ok());
  const uint8_t* h = bmp.block.data();
  EXPECT_EQ(Get32(h + 0), 40u);
  EXPECT_EQ(Get32(h + 4), 3u);
  EXPECT_EQ(Get32(h + 8), 2u);  // positive: bottom-up
  EXPECT_EQ(Get16(h + 12), 1);
  EXPECT_EQ(Get16(h + 14), 24);
  EXPECT_EQ(Get32(h + 16), 0u);
  EXPECT_EQ(Get32(h + 20), 18u);  // width x height x 3
  ASSERT_EQ(bmp.RowStride(), 12u);
  const uint8_t row0[12] = {101, 101, 101, 102, 102, 102, 103, 103, 103, 0, 0, 0};
  const uint8_t row1[12] = {104, 104, 104, 105, 105, 105, 106, 106, 106, 0, 0, 0};
  EXPECT_EQ(std::memcmp(bmp.Row(0), row0, 12), 0);
  EXPECT_EQ(std::memcmp(bmp.Row(1), row1, 12), 0);

  // The RGB view is top row first: plane row 1 first.
  RgbImage rgb;
  ASSERT_TRUE(Decode(file.data(), file.size(), &rgb).ok());
  EXPECT_EQ(rgb.rgb[0], 104);
  EXPECT_EQ(rgb.rgb[9], 101);
}

TEST(Pipeline, EightBitBitmapHasColourTableAndPaddedIndexRows) {
  const std::vector<uint8_t> file = BuildKdz(LumaPicture(5, 2, {0, 0, 0, 0, 50, 50, 50, 0, 0, 0}, 30));
  Bitmap bmp;
  ASSERT_TRUE(DecodeToBitmap(file.data(), file.size(), true, &bmp).ok());
  const uint8_t* h = bmp.block.data();
  EXPECT_EQ(Get16(h + 14), 8);
  EXPECT_EQ(Get32(h + 20), 30u);  // still width x height x 3
  ASSERT_EQ(bmp.RowStride(), 8u);
  EXPECT_EQ(bmp.colorsUsed, 2);
  const uint8_t* table = h + 40;
  for (int r = 0; r < 2; ++r) {
    for (int c = 0; c < 5; ++c) {
      const uint8_t idx = bmp.Row(r)[c];
      const int expect = (r * 5 + c >= 4 && r * 5 + c <= 6) ? 80 : 30;
      ASSERT_LT(idx, 2);
      // Palette colours are histogram-cell colours: within a cell of the pixel.
      EXPECT_NEAR(table[4 * idx], expect, 8);
      EXPECT_NEAR(table[4 * idx + 1], expect, 4);
      EXPECT_NEAR(table[4 * idx + 2], expect, 8);
      EXPECT_EQ(table[4 * idx + 3], 0);
    }
    for (int c = 5; c < 8; ++c) EXPECT_EQ(bmp.Row(r)[c], 0);
  }
  for (int k = 2; k < 256; ++k) EXPECT_EQ(Get32(table + 4 * k), 0u);
}

TEST(Pipeline, PaletteColoursGoToTheTableAsBlueGreenRed) {
  // Luma 20 with I, Q chosen so the three bytes differ: byte 0 = blue in the table.
  KdzLayout layout = LumaPicture(4, 4, std::vector<int>(16, 60), 0);
  layout.planes[1].values = {40};
  layout.planes[1].symbols = std::vector<int>(16, 0);
  const std::vector<uint8_t> file = BuildKdz(layout);
  Bitmap b24, b8;
  ASSERT_TRUE(DecodeToBitmap(file.data(), file.size(), false, &b24).ok());
  ASSERT_TRUE(DecodeToBitmap(file.data(), file.size(), true, &b8).ok());
  const uint8_t* px = b24.Row(0);
  ASSERT_NE(px[0], px[2]);
  // The palette holds histogram-cell colours, so compare within a cell's width.
  const uint8_t* entry = b8.block.data() + 40 + 4 * b8.Row(0)[0];
  EXPECT_NEAR(entry[0], px[0], 8);
  EXPECT_NEAR(entry[1], px[1], 4);
  EXPECT_NEAR(entry[2], px[2], 8);
}

TEST(Pipeline, FileSizeLimitsAndEmptyFiles) {
  std::vector<uint8_t> file = BuildKdz(LumaPicture(2, 2, {1, 2, 3, 4}, 0));
  file.resize(79999, 0);  // trailing bytes are never read
  Bitmap bmp;
  EXPECT_TRUE(DecodeToBitmap(file.data(), file.size(), false, &bmp).ok());
  file.push_back(0);
  Result r = DecodeToBitmap(file.data(), file.size(), false, &bmp);
  EXPECT_EQ(r.error, Error::kFileTooLarge);
  EXPECT_TRUE(bmp.block.empty());
  EXPECT_EQ(DecodeToBitmap(file.data(), 0, false, &bmp).error, Error::kEmpty);

  // The same limits through the file path.
  DecoderState s;
  BuildClampTable(s);
  std::vector<uint8_t> fileBlock(80000), bitmapBlock(2000);
  const std::string big = test::WriteTempFile(file, "big.kdz");
  EXPECT_EQ(DecodeKdzFile(s, big.c_str(), fileBlock.data(), fileBlock.size(), bitmapBlock.data(),
                          bitmapBlock.size(), nullptr), 0);
  EXPECT_EQ(s.error, Error::kFileTooLarge);
  const std::string empty = test::WriteTempFile({}, "empty.kdz");
  EXPECT_EQ(DecodeKdzFile(s, empty.c_str(), fileBlock.data(), fileBlock.size(), bitmapBlock.data(),
                          bitmapBlock.size(), nullptr), 0);
  EXPECT_EQ(s.error, Error::kEmpty);
  EXPECT_EQ(DecodeKdzFile(s, "/nonexistent.kdz", fileBlock.data(), fileBlock.size(), bitmapBlock.data(),
                          bitmapBlock.size(), nullptr), 0);
  EXPECT_EQ(s.error, Error::kIo);
  std::remove(big.c_str());
  std::remove(empty.c_str());
}

TEST(Pipeline, NeverWritesPastTheBlocksItWasGiven) {
  const std::vector<uint8_t> file = BuildKdz(LumaPicture(3, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9}, 0));
  const std::string path = test::WriteTempFile(file, "fit.kdz");
  DecoderState s;
  BuildClampTable(s);
  const size_t need = BitmapBlockSize(3, 3);
  ASSERT_EQ(need, 1064u + 12u * 3u);
  // A file block one byte short is refused before reading.
  std::vector<uint8_t> fileBlock(file.size() - 1), bitmap(need + 16, 0xEE);
  EXPECT_EQ(DecodeKdzFile(s, path.c_str(), fileBlock.data(), fileBlock.size(), bitmap.data(), need, nullptr), 0);
  EXPECT_EQ(s.error, Error::kBufferTooSmall);
  // A bitmap block one byte short is refused before any plane is decoded.
  fileBlock.resize(file.size());
  EXPECT_EQ(DecodeKdzFile(s, path.c_str(), fileBlock.data(), fileBlock.size(), bitmap.data(), need - 1, nullptr), 0);
  EXPECT_EQ(s.error, Error::kBufferTooSmall);
  EXPECT_TRUE(s.planeY.empty());
  // The exact size works, in both depths, and the bytes beyond stay untouched.
  uint8_t palette[768];
  for (uint8_t* pal : {static_cast<uint8_t*>(nullptr), palette}) {
    EXPECT_EQ(DecodeKdzFile(s, path.c_str(), fileBlock.data(), fileBlock.size(), bitmap.data(), need, pal), 1)
        << s.errorDetail;
    for (size_t k = need; k < bitmap.size(); ++k) ASSERT_EQ(bitmap[k], 0xEE);
    EXPECT_TRUE(s.planeY.empty() && s.planeI.empty() && s.planeQ.empty());
  }
  std::remove(path.c_str());
}

TEST(Pipeline, RejectedFilesLeaveNoPlanesAndNoSizes) {
  std::vector<uint8_t> file = BuildKdz(LumaPicture(2, 2, {1, 2, 3, 4}, 0));
  file[0] = 'X';
  DecoderState s;
  std::vector<uint8_t> bitmap(BitmapBlockSize(2, 2), 0);
  EXPECT_EQ(DecodeKdzBytes(s, file.data(), file.size(), bitmap.data(), bitmap.size(), nullptr), 0);
  EXPECT_EQ(s.error, Error::kNotKdz);
  EXPECT_EQ(Get32(bitmap.data() + 4), 0u);   // biWidth unwritten
  EXPECT_EQ(Get32(bitmap.data() + 20), 0u);  // biSizeImage unwritten
  EXPECT_TRUE(s.planeY.empty());
  EXPECT_EQ(DecodeKdzBytes(s, file.data(), file.size(), nullptr, 0, nullptr), 0);
}

TEST(Pipeline, MultiLevelFlatPictureAndOddSizes) {
  // 37 x 21 with two levels: low band 5 x 9 holds 4 * 50; the transformed region
  // is 20 x 36 and the last column and row stay at the bias alone.
  KdzLayout layout;
  layout.width = 37;
  layout.height = 21;
  layout.levels = 2;
  layout.lumaBias = 10;
  layout.planes[0].values = {100};
  layout.scalePos[0][6] = 2;  // low band n = 3L = 6: 100 * 2 = 200
  layout.planes[0].symbols = std::vector<int>(45, 0);
  layout.planes[0].symbols.push_back(kEnd);
  for (int p = 1; p < 3; ++p) {
    layout.planes[p].values = {};
    layout.planes[p].symbols = {kEnd};
  }
  const std::vector<uint8_t> file = BuildKdz(layout);
  Bitmap bmp;
  Result r = DecodeToBitmap(file.data(), file.size(), false, &bmp);
  ASSERT_TRUE(r.ok()) << r.message;
  for (int row = 0; row < 21; ++row) {
    for (int c = 0; c < 37; ++c) {
      const int expect = (row < 20 && c < 36) ? 60 : 10;
      ASSERT_EQ(bmp.Row(row)[3 * c], expect) << row << "," << c;
    }
  }
}

TEST(Api, LimitsAreReportedApartFromMalformedFiles) {
  const std::vector<uint8_t> file = BuildKdz(LumaPicture(4, 4, std::vector<int>(16, 1), 0));
  RgbImage img;
  Limits tight;
  tight.maxPixels = 15;
  Result r = Decode(file.data(), file.size(), &img, tight);
  EXPECT_EQ(r.error, Error::kLimit);
  EXPECT_NE(r.message.find("limit"), std::string::npos);
  tight.maxPixels = 16;
  EXPECT_TRUE(Decode(file.data(), file.size(), &img, tight).ok());

  HeaderInfo info;
  ASSERT_TRUE(ReadHeader(file.data(), file.size(), &info).ok());
  EXPECT_TRUE(info.decodable);
  EXPECT_EQ(info.width, 4);
  EXPECT_EQ(info.valueCount[0], 1);
  EXPECT_EQ(info.valueCount[1], 1);
  EXPECT_EQ(std::string(info.signature), "QEM2.3aZ");
  std::vector<uint8_t> large = file;
  large.resize(80000);
  ASSERT_TRUE(ReadHeader(large.data(), large.size(), &info).ok());
  EXPECT_FALSE(info.decodable);
  EXPECT_NE(info.problem.find("80000"), std::string::npos);
  std::vector<uint8_t> broken = file;
  broken[30] = 12;  // levels
  ASSERT_TRUE(ReadHeader(broken.data(), broken.size(), &info).ok());
  EXPECT_FALSE(info.decodable);
  EXPECT_NE(info.problem.find("levels"), std::string::npos);
}

}  // namespace
}  // namespace kdz

namespace kdz {
namespace {

std::vector<uint8_t> ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The RGB picture that a 24-bit bitmap shows: rows turned top first and the bytes
// of each pixel reversed, as Decode once derived it from the bitmap.
RgbImage TurnedBitmap(const Bitmap& b) {
  RgbImage img;
  img.width = b.width;
  img.height = b.height;
  img.rgb.resize(static_cast<size_t>(b.width) * b.height * 3);
  for (int y = 0; y < b.height; ++y) {
    const uint8_t* src = b.Row(b.height - 1 - y);
    uint8_t* dst = img.rgb.data() + static_cast<size_t>(y) * b.width * 3;
    for (int x = 0; x < b.width; ++x) {
      dst[3 * x + 0] = src[3 * x + 2];
      dst[3 * x + 1] = src[3 * x + 1];
      dst[3 * x + 2] = src[3 * x + 0];
    }
  }
  return img;
}

// Decode writes RGB rows itself: for the samples, every fuzz seed (broken files
// among them), cut and damaged copies of a sample and widths whose bitmap rows are
// padded, on one thread and on several, it gives the turned bitmap or fails with
// the bitmap's error and message.
TEST(Api, RgbPictureIsTheTurnedBitmap) {
  const std::filesystem::path root(KDZ_SOURCE_DIR);
  std::vector<std::vector<uint8_t>> files;
  for (const char* dir : {"samples", "fuzz/corpus/decode_fuzzer"}) {
    for (const auto& entry : std::filesystem::directory_iterator(root / dir)) {
      if (entry.is_regular_file() && entry.path().extension() != ".md") files.push_back(ReadBytes(entry.path()));
    }
  }
  ASSERT_GE(files.size(), 20u);
  const std::vector<uint8_t> sample = ReadBytes(root / "samples" / "camera.kdz");
  std::mt19937 rng(11);
  for (int k = 0; k < 40; ++k) {
    std::vector<uint8_t> damaged = sample;
    if (k % 2 == 0) damaged.resize(rng() % sample.size());
    for (int n = 0; n < 3 && !damaged.empty(); ++n) damaged[rng() % damaged.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
    files.push_back(damaged);
  }
  for (int w : {1, 2, 3, 5, 7}) files.push_back(BuildKdz(LumaPicture(w, 3, std::vector<int>(3 * w, 40), 60)));

  int decoded = 0;
  for (const std::vector<uint8_t>& file : files) {
    for (int threads : {1, 0, 2}) {
      Limits limits;
      limits.threads = threads;
      Bitmap bitmap;
      RgbImage rgb;
      const Result rb = DecodeToBitmap(file.data(), file.size(), false, &bitmap, limits);
      const Result rr = Decode(file.data(), file.size(), &rgb, limits);
      ASSERT_EQ(rr.error, rb.error) << rb.message;
      ASSERT_EQ(rr.message, rb.message);
      if (!rb.ok()) continue;
      const RgbImage turned = TurnedBitmap(bitmap);
      ASSERT_EQ(rgb.width, turned.width);
      ASSERT_EQ(rgb.height, turned.height);
      ASSERT_EQ(rgb.rgb, turned.rgb) << rgb.width << " x " << rgb.height << ", " << threads << " threads";
      ++decoded;
    }
  }
  EXPECT_GE(decoded, 3 * 10);  // the samples, the padded widths and some damaged copies
}

// A block or picture that cannot be had fails the decode as out of memory, on one
// thread and on several, and a block that comes is the block of DecodeKdzBytes.
TEST(Pipeline, TakenBlockIsTheGivenBlockOrOutOfMemory) {
  const std::vector<uint8_t> file = ReadBytes(std::filesystem::path(KDZ_SOURCE_DIR) / "samples" / "color.kdz");
  for (int threads : {1, 2}) {
    DecoderState given;
    given.threads = threads;
    BuildClampTable(given);
    const size_t blockSize = 1064 + 3 * 512 * 512 + 4096;
    std::vector<uint8_t> block(blockSize, 0), taken(blockSize, 0);
    uint8_t palette[768];
    ASSERT_EQ(DecodeKdzBytes(given, file.data(), file.size(), block.data(), block.size(), palette), 1);
    DecoderState s = given;
    ASSERT_EQ(DecodeKdzBytesTaking(s, file.data(), file.size(), [&] { return taken.data(); }, blockSize, palette,
                                   nullptr),
              1);
    EXPECT_EQ(taken, block);
    EXPECT_EQ(DecodeKdzBytesTaking(s, file.data(), file.size(), [] { return nullptr; }, blockSize, palette, nullptr),
              0);
    EXPECT_EQ(s.error, Error::kOutOfMemory);
    EXPECT_EQ(s.errorDetail, "cannot allocate the bitmap");
    int32_t w = 0, h = 0;
    s = given;
    EXPECT_EQ(DecodeKdzBytesToRgb(s, file.data(), file.size(), [] { return nullptr; }, blockSize, &w, &h), 0);
    EXPECT_EQ(s.error, Error::kOutOfMemory);
  }
}

}  // namespace
}  // namespace kdz
