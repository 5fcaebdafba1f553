// The plug-in's portable arithmetic: image buffer sizes, compression ratio, decode time.
#include "plugin/stream_math.h"

#include <gtest/gtest.h>

namespace kdz {
namespace plugin {
namespace {

TEST(PluginBufferSizes, ImageBufferIsThreeBytesPerPixelPlusHeaderAndColourTable) {
  EXPECT_EQ(ImageBufferSize(PeekedImageSize(64, 48)), 10294u);
  EXPECT_EQ(ImageBufferSize(PeekedImageSize(1, 1)), 1081u);
  // A zero or negative side leaves only the header and colour table.
  EXPECT_EQ(ImageBufferSize(PeekedImageSize(0, 48)), 1078u);
  EXPECT_EQ(ImageBufferSize(PeekedImageSize(64, 0)), 1078u);
  EXPECT_EQ(ImageBufferSize(PeekedImageSize(-5, 48)), 1078u);
  EXPECT_EQ(ImageBufferSize(PeekedImageSize(-5, -7)), 1078u);
  // The largest header values exceed the signed 32-bit range; unsigned they still fit.
  EXPECT_EQ(PeekedImageSize(32767, 32767), 3221028867u);
  EXPECT_EQ(ImageBufferSize(PeekedImageSize(32767, 32767)), 3221029945u);
}

TEST(PluginBufferSizes, BitmapAllocationHoldsTheDecodersPaddedRows) {
  // 64 x 48: rows of 192 bytes need no padding; the image buffer size is enough.
  EXPECT_EQ(BitmapAllocationSize(10294, 64, 48), 10294u);
  // 1 x 100: 24-bit rows of 3 bytes pad to 4, more than width x height x 3 + 14.
  const uint32_t size = ImageBufferSize(PeekedImageSize(1, 100));
  EXPECT_EQ(size, 1378u);
  EXPECT_EQ(BitmapAllocationSize(size, 1, 100), 1064u + 4u * 100u);
  // Unknown picture size: the image buffer size alone.
  EXPECT_EQ(BitmapAllocationSize(1078, 0, 0), 1078u);
  EXPECT_EQ(BitmapAllocationSize(2001078, 0, 0), 2001078u);
}

TEST(PluginCompressionRatio, BitmapBlockOverFileSize) {
  EXPECT_DOUBLE_EQ(CompressionRatio(10294, 2000), 5.147);
  EXPECT_DOUBLE_EQ(CompressionRatio(10294, 71), 10294.0 / 71.0);
  EXPECT_EQ(CompressionRatio(10294, 0), 0.0);
  // Both sizes count as unsigned 32-bit values.
  EXPECT_DOUBLE_EQ(CompressionRatio(3221029945u, 1), 3221029945.0);
  EXPECT_DOUBLE_EQ(CompressionRatio(1078, 0xFFFFFFFFu), 1078.0 / 4294967295.0);
}

TEST(PluginDecodeTime, MillisecondsThenSeconds) {
  EXPECT_NEAR(DecodeTime(10, 950, 12, 20), 1.07, 1e-12);
  EXPECT_DOUBLE_EQ(DecodeTime(10, 950, 12, 20), (20 * 0.001 - 950 * 0.001) - 10.0 + 12.0);
  EXPECT_EQ(DecodeTime(100, 500, 100, 500), 0.0);
  EXPECT_NEAR(DecodeTime(1700000000, 999, 1700000001, 0), 0.001, 1e-6);
  EXPECT_NEAR(DecodeTime(5, 0, 5, 250), 0.25, 1e-12);
}

}  // namespace
}  // namespace plugin
}  // namespace kdz
