// The plug-in's check of a completed stream before any block is allocated: reading the
// saved file whole, and the header check with the plug-in's pixel limit.
#include "plugin/stream_check.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "kdz_builder_util.h"
#include "plugin/stream_math.h"

namespace kdz {
namespace plugin {
namespace {

using test::BuildKdz;
using test::kEnd;
using test::KdzLayout;
using test::WriteTempFile;

std::vector<uint8_t> FlatFile(int width, int height, int levels = 0) {
  KdzLayout layout;
  layout.width = width;
  layout.height = height;
  layout.levels = levels;
  for (int p = 0; p < 3; ++p) layout.planes[p].symbols = {kEnd};
  return BuildKdz(layout);
}

TEST(PluginStreamCheck, HugeDeclaredPicturesAreRefusedBeforeAnyBlockIsSized) {
  DecoderState state;
  // A file of a few dozen bytes declaring 32767 x 32767: the peek alone would size a
  // bitmap block of more than 3 GB.
  std::vector<uint8_t> huge = FlatFile(32767, 32767);
  ASSERT_LT(huge.size(), 80u);
  EXPECT_EQ(ImageBufferSize(PeekedImageSize(32767, 32767)), 3221029945u);
  StreamCheck check = CheckStreamHeader(state, huge.data(), huge.size(), kPluginMaxPixels);
  EXPECT_FALSE(check.ok);
  EXPECT_EQ(state.error, Error::kLimit);
  // The same header cut to 60 bytes fails on its missing fields first.
  check = CheckStreamHeader(state, huge.data(), 60, kPluginMaxPixels);
  EXPECT_FALSE(check.ok);
  EXPECT_EQ(state.error, Error::kMalformed);
  EXPECT_EQ(check.width, 0);

  // The limit itself is accepted, one row more is not; below the decoder's default.
  ASSERT_LT(kPluginMaxPixels, kDefaultMaxPixels);
  std::vector<uint8_t> atLimit = FlatFile(4096, 4096, 3);
  check = CheckStreamHeader(state, atLimit.data(), atLimit.size(), kPluginMaxPixels);
  ASSERT_TRUE(check.ok) << state.errorDetail;
  EXPECT_EQ(check.width, 4096);
  EXPECT_EQ(check.height, 4096);
  std::vector<uint8_t> over = FlatFile(4096, 4097, 3);
  EXPECT_FALSE(CheckStreamHeader(state, over.data(), over.size(), kPluginMaxPixels).ok);
  EXPECT_EQ(state.error, Error::kLimit);
  EXPECT_TRUE(CheckStreamHeader(state, over.data(), over.size(), kDefaultMaxPixels).ok);

  // A good file after refused ones: nothing of them is left in the state.
  std::vector<uint8_t> good = FlatFile(33, 17, 2);
  check = CheckStreamHeader(state, good.data(), good.size(), kPluginMaxPixels);
  ASSERT_TRUE(check.ok);
  EXPECT_EQ(state.error, Error::kNone);
  EXPECT_EQ(BitmapAllocationSize(ImageBufferSize(PeekedImageSize(check.width, check.height)), 33, 17),
            BitmapBlockSize(33, 17));
  EXPECT_EQ(state.dataBase, nullptr);  // the file image stays the caller's
}

TEST(PluginStreamCheck, EveryHeaderRefusalIsReportedWithItsCause) {
  DecoderState state;
  const std::vector<uint8_t> good = FlatFile(16, 16, 2);
  struct Case {
    size_t at;
    int value;
    Error error;
  } cases[] = {
      {30, 11, Error::kMalformed},  // levels
      {16, 0, Error::kMalformed},   // width
      {10, 3, Error::kMalformed},   // uncoded levels of 'i'
      {22, 9999, Error::kMalformed},  // 'i' data outside the file
      {5, '2', Error::kMalformed},  // 2.2 layout: the fields land elsewhere
      {7, 'z', Error::kUnsupported},
      {0, 'X', Error::kNotKdz},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> f = good;
    if (c.at == 5 || c.at == 7 || c.at == 0) {
      f[c.at] = static_cast<uint8_t>(c.value);
    } else {
      f[c.at] = static_cast<uint8_t>(c.value & 0xFF);
      f[c.at + 1] = static_cast<uint8_t>((c.value >> 8) & 0xFF);
    }
    EXPECT_FALSE(CheckStreamHeader(state, f.data(), f.size(), kPluginMaxPixels).ok) << c.at;
    EXPECT_EQ(state.error, c.error) << c.at;
    EXPECT_FALSE(state.errorDetail.empty()) << c.at;
  }
  EXPECT_FALSE(CheckStreamHeader(state, good.data(), 0, kPluginMaxPixels).ok);
  EXPECT_EQ(state.error, Error::kEmpty);
  EXPECT_FALSE(CheckStreamHeader(state, good.data(), 80000, kPluginMaxPixels).ok);
  EXPECT_EQ(state.error, Error::kFileTooLarge);
}

TEST(PluginStreamCheck, ReadsTheSavedFileWholeUpToTheFileLimit) {
  std::vector<uint8_t> bytes;
  const std::vector<uint8_t> good = FlatFile(64, 48);
  const std::string goodPath = WriteTempFile(good, "check_good.kdz");
  EXPECT_EQ(ReadStreamFile(goodPath.c_str(), &bytes), Error::kNone);
  EXPECT_EQ(bytes, good);

  std::vector<uint8_t> big(80000, 7);
  const std::string bigPath = WriteTempFile(big, "check_big.kdz");
  EXPECT_EQ(ReadStreamFile(bigPath.c_str(), &bytes), Error::kFileTooLarge);
  big.resize(79999);
  const std::string justPath = WriteTempFile(big, "check_just.kdz");
  EXPECT_EQ(ReadStreamFile(justPath.c_str(), &bytes), Error::kNone);
  EXPECT_EQ(bytes.size(), 79999u);

  const std::string emptyPath = WriteTempFile({}, "check_empty.kdz");
  EXPECT_EQ(ReadStreamFile(emptyPath.c_str(), &bytes), Error::kEmpty);
  EXPECT_EQ(ReadStreamFile((goodPath + ".missing").c_str(), &bytes), Error::kIo);
  EXPECT_TRUE(bytes.empty());
  for (const std::string& p : {goodPath, bigPath, justPath, emptyPath}) std::remove(p.c_str());
}

}  // namespace
}  // namespace plugin
}  // namespace kdz
