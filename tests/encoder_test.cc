// The image encoder: forward transforms against the decoder's, round trips
// through the public decode API with stated PSNR bounds, the coded symbols (zero
// trees, end symbols, segments) read back with the decoder's own arithmetic
// decoder, the format's limits and the rate control.
#include "kdz/encoder.h"

#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "codec/arith_decoder.h"
#include "codec/coeff_decoder.h"
#include "codec/color.h"
#include "codec/decoder_state.h"
#include "codec/file_format.h"
#include "codec/wavelet.h"
#include "encoder/forward_color.h"
#include "encoder/forward_wavelet.h"
#include "encoder/image_encoder.h"
#include "kdz/kdz.h"

namespace kdz {
namespace {

// A picture with smooth shading, hard edges, fine stripes and a little noise,
// like a photograph with text on it.
RgbImage Synthetic(int width, int height, uint32_t seed = 1) {
  RgbImage img;
  img.width = width;
  img.height = height;
  img.rgb.resize(static_cast<size_t>(width) * height * 3);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> noise(-3, 3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const double u = static_cast<double>(x) / width, v = static_cast<double>(y) / height;
      double r = 200 * u + 30, g = 60 + 150 * v, b = 120 + 80 * std::sin(6 * u + 3 * v);
      const double dx = u - 0.4, dy = v - 0.55;
      if (dx * dx + dy * dy < 0.06) r = 240, g = 220 - 100 * v, b = 40;
      if (x > width * 3 / 4 && (y / 2) % 2 == 0) r = g = b = 20;  // fine stripes
      uint8_t* p = &img.rgb[(static_cast<size_t>(y) * width + x) * 3];
      const double c[3] = {r, g, b};
      for (int k = 0; k < 3; ++k) {
        p[k] = static_cast<uint8_t>(std::clamp(static_cast<int>(c[k]) + noise(rng), 0, 255));
      }
    }
  }
  return img;
}

bool LoadShared(const std::string& name, RgbImage* out) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  const std::string path = std::string(KDZ_SHARED_IMAGES) + "/" + name;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
  image.format = PNG_FORMAT_RGB;
  out->width = static_cast<int>(image.width);
  out->height = static_cast<int>(image.height);
  out->rgb.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, out->rgb.data(), 0, nullptr)) {
    png_image_free(&image);
    return false;
  }
  return true;
}

double DecodedPsnr(const RgbImage& original, const std::vector<uint8_t>& file) {
  RgbImage decoded;
  const Result r = Decode(file.data(), file.size(), &decoded);
  EXPECT_TRUE(r.ok()) << r.message;
  if (!r.ok()) return 0;
  EXPECT_EQ(decoded.width, original.width);
  EXPECT_EQ(decoded.height, original.height);
  return Psnr(original, decoded);
}

// Every file must pass the decoder's bounds checks and the format's offset limits.
void ExpectWithinLimits(const std::vector<uint8_t>& file) {
  HeaderInfo info;
  const Result r = ReadHeader(file.data(), file.size(), &info);
  ASSERT_TRUE(r.ok()) << r.message;
  EXPECT_TRUE(info.decodable) << info.problem;
  EXPECT_LT(file.size(), 80000u);
  for (int p = 0; p < 3; ++p) {
    EXPECT_LT(info.planeOffset[p], 65536u);
    EXPECT_LT(info.segmentOffset[p], 65536u);
    EXPECT_GE(info.valueCount[p], 0);
    EXPECT_LE(info.valueCount[p], 255);
  }
}

// ---- Transforms ----------------------------------------------------------

TEST(ForwardWavelet, DecoderSynthesisGivesTheRegionBackNearly) {
  std::mt19937 rng(5);
  for (int rows = 4; rows <= 24; rows += 2) {
    for (int cols = 4; cols <= 24; cols += 2) {
      const int stride = cols + 3;
      std::vector<int32_t> plane(static_cast<size_t>(rows) * stride, 0);
      std::uniform_int_distribution<int> value(-255, 255);
      for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) plane[static_cast<size_t>(r) * stride + c] = value(rng);
      }
      const std::vector<int32_t> original = plane;
      AnalyzeLevel(plane.data(), stride, rows, cols);
      std::vector<int16_t> synth(plane.begin(), plane.end());
      ASSERT_EQ(SynthesizeLevel(synth.data(), stride, rows, cols), 0);
      double squared = 0;
      for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < stride; ++c) {
          const size_t at = static_cast<size_t>(r) * stride + c;
          const int error = synth[at] - original[at];
          if (c >= cols) {
            EXPECT_EQ(error, 0) << "outside the region";
            continue;
          }
          squared += error * error;
          // The vertical step is exact and the horizontal one exact at odd
          // columns, apart from the rows the top and bottom edge formulas build.
          if (r != 0 && r != rows - 2 && (c & 1)) {
            ASSERT_EQ(error, 0) << rows << "x" << cols;
          }
          ASSERT_LE(std::abs(error), 8) << rows << "x" << cols << " at " << r << "," << c;
        }
      }
      // The edge rows and columns weigh more in small regions.
      EXPECT_LT(squared / (rows * cols), 1.0 + 8.0 / std::min(rows, cols)) << rows << "x" << cols;
    }
  }
}

TEST(ForwardWavelet, WholePlaneRoundTripAtEveryLevelCount) {
  const int w = 100, h = 72;  // not multiples of 2^levels: the border is left alone
  const RgbImage img = Synthetic(w, h);
  YiqPlanes planes;
  RgbToYiq(img, 128, &planes);
  for (int levels = 0; levels <= 5; ++levels) {
    std::vector<int32_t> plane = planes.y;
    ForwardTransformPlane(&plane, w, h, levels);
    DecoderState s;
    s.width = w;
    s.height = h;
    s.levels = levels;
    s.planeSize = w * h;
    std::vector<int16_t> synth(plane.begin(), plane.end());
    InverseTransformPlane(s, synth.data(), 'y');
    const int cw = (w >> levels) << levels, ch = (h >> levels) << levels;
    double squared = 0;
    for (int r = 0; r < h; ++r) {
      for (int c = 0; c < w; ++c) {
        const size_t at = static_cast<size_t>(r) * w + c;
        const int error = synth[at] - planes.y[at];
        if (r >= ch || c >= cw) {
          EXPECT_EQ(plane[at], planes.y[at]) << "border sample changed";
          continue;
        }
        squared += error * error;
      }
    }
    EXPECT_LT(squared / (cw * ch), 1.0) << "levels " << levels;
  }
}

TEST(ForwardWavelet, GainsFollowTheSynthesisScaling) {
  // The low band carries twice the mean per level and the vertical detail is the
  // horizontal one at half scale: unit coefficients lose energy level by level.
  for (int m = 1; m < 6; ++m) {
    EXPECT_LT(BandGain(m + 1, 0), BandGain(m, 0));
    EXPECT_LT(BandGain(m + 1, 3), BandGain(m, 3));
    EXPECT_NEAR(BandGain(m, 1), BandGain(m, 2), 1e-9);
  }
  EXPECT_GT(BandGain(1, 3), BandGain(1, 1));
}

TEST(ForwardColor, DecoderConversionGivesThePixelsBack) {
  // Every 17th level of each channel, through the decoder's fixed-point matrix;
  // plane row 0 holds the picture's bottom row.
  RgbImage img;
  img.width = 16;
  img.height = 16 * 16;
  for (int r = 0; r < 256; r += 17) {
    for (int g = 0; g < 256; g += 17) {
      for (int b = 0; b < 256; b += 17) img.rgb.insert(img.rgb.end(), {uint8_t(r), uint8_t(g), uint8_t(b)});
    }
  }
  img.rgb.resize(static_cast<size_t>(img.width) * img.height * 3, 0);
  for (int bias : {128, 0, 255, 60}) {
    YiqPlanes planes;
    RgbToYiq(img, bias, &planes);
    DecoderState s;
    s.lumaBias = bias;
    BuildClampTable(s);
    std::vector<int16_t> y(planes.y.begin(), planes.y.end()), i(planes.i.begin(), planes.i.end()),
        q(planes.q.begin(), planes.q.end());
    std::vector<uint8_t> pixels(img.rgb.size());
    YiqToRgb(s, y.data(), i.data(), q.data(), pixels.data(), y.size());
    int worst = 0;
    double squared = 0;
    for (int row = 0; row < img.height; ++row) {
      for (int x = 0; x < img.width; ++x) {
        const uint8_t* want = &img.rgb[(static_cast<size_t>(img.height - 1 - row) * img.width + x) * 3];
        const uint8_t* got = &pixels[(static_cast<size_t>(row) * img.width + x) * 3];
        for (int k = 0; k < 3; ++k) {
          const int e = got[k] - want[2 - k];  // byte 0 is shown as blue
          worst = std::max(worst, std::abs(e));
          squared += e * e;
        }
      }
    }
    EXPECT_LE(worst, 2) << "bias " << bias;
    EXPECT_LT(squared / static_cast<double>(pixels.size()), 0.35) << "bias " << bias;
  }
}

// ---- Coded symbols -----------------------------------------------------------

struct PlaneWalk {
  std::vector<int> values;    // decoded values in order; 1000 for an end symbol
  int rootsThatMark = 0;      // roots whose descendants lie in coded levels
  int roots = 0;
  int ends = 0;
  int skipped = 0;            // positions covered by a root, visited without a symbol
  int pendingAtEnd = 0;       // marked positions left unvisited when the plane ended
  bool secondUsed = false;
};

// Reads one plane's symbols with the decoder's arithmetic decoder, following the
// band walk and the zero-tree marks on its own.
PlaneWalk WalkPlane(DecoderState& s, int letter) {
  PlaneWalk walk;
  EXPECT_EQ(ParsePlaneHeader(s, letter), 0);
  const int p = PlaneIndexOf(letter);
  const int w = s.width, h = s.height, levels = s.levels;
  const int limit = levels - s.uncodedLevels[p];
  std::vector<uint8_t> marked(static_cast<size_t>(w) * h, 0);
  int pending = 0;
  bool armed = s.segmentOffset[p] != 0;
  auto start = [&] {
    ResetModel(s);
    ResetBitInput(s);
    StartDecoding(s);
  };
  auto value = [&](int index) {
    const int v = s.symbolValue[s.indexToSymbol[index]] - 128;
    UpdateModel(s, index);
    return v;
  };
  start();
  const Band low = BandAt(w, h, levels, 0);
  for (int k = 0; k < low.rows * low.cols; ++k) {
    const int index = DecodeSymbol(s);
    EXPECT_NE(index, s.endSymbol) << "end symbol in the low band";
    walk.values.push_back(value(index));
  }
  bool finished = false;
  for (int k = 1; k < BandCount(levels) && !finished; ++k) {
    const Band band = BandAt(w, h, levels, k);
    const int j = (k - 1) / 3;
    for (int r = band.row0; r < band.row0 + band.rows && !finished; ++r) {
      for (int c = band.col0; c < band.col0 + band.cols && !finished; ++c) {
        const size_t at = static_cast<size_t>(r) * w + c;
        if (marked[at]) {
          marked[at] = 0;
          --pending;
          ++walk.skipped;
          continue;
        }
        int index = DecodeSymbol(s);
        if (index == s.endSymbol) {
          walk.values.push_back(1000);
          ++walk.ends;
          if (!armed) {
            finished = true;
            walk.pendingAtEnd = pending;
            break;
          }
          armed = false;
          walk.secondUsed = true;
          s.readPos = static_cast<size_t>(s.segmentOffset[p]);
          start();
          index = DecodeSymbol(s);
          EXPECT_NE(index, s.endSymbol) << "empty second segment";
        }
        const int v = value(index);
        walk.values.push_back(v);
        if (v != kRootValue) continue;
        ++walk.roots;
        int size = 2, r0 = 2 * r, c0 = 2 * c;
        if (j + 1 < limit) ++walk.rootsThatMark;
        for (int level = j + 1; level < limit; ++level) {
          for (int y = r0; y < r0 + size; ++y) {
            for (int x = c0; x < c0 + size; ++x) {
              if (!marked[static_cast<size_t>(y) * w + x]) ++pending;
              marked[static_cast<size_t>(y) * w + x] = 1;
            }
          }
          size *= 2;
          r0 *= 2;
          c0 *= 2;
        }
      }
    }
  }
  if (p == kPlaneY) s.readPos = static_cast<size_t>(s.planeOffsetI);
  if (p == kPlaneI) s.readPos = static_cast<size_t>(s.planeOffsetQ);
  return walk;
}

struct FileWalk {
  PlaneWalk planes[3];
};

FileWalk WalkFile(const std::vector<uint8_t>& file) {
  DecoderState s;
  s.dataBase = file.data();
  s.dataSize = file.size();
  s.readPos = 0;
  FileWalk out;
  for (int p = 0; p < 3; ++p) out.planes[p] = WalkPlane(s, "yiq"[p]);
  return out;
}

TEST(EncoderSymbols, FileHoldsTheEncodersSymbolsWithZeroTreesAndEndSymbols) {
  const RgbImage img = Synthetic(160, 128);
  PreparedPicture prep;
  ASSERT_TRUE(PreparePicture(img, 4, &prep));
  PlaneEncoder coder;
  EncoderTuning tuning;
  const int uncoded[3] = {0, 1, 2};
  CodedPlane planes[3];
  const BuiltFile built = BuildFile(prep, 12.0, uncoded, -1, tuning, &coder, true, planes);
  ASSERT_TRUE(built.fits) << built.why;
  ExpectWithinLimits(built.bytes);
  const FileWalk walk = WalkFile(built.bytes);
  for (int p = 0; p < 3; ++p) {
    SCOPED_TRACE(p);
    const PlaneWalk& pw = walk.planes[p];
    std::vector<int> expected = planes[p].symbols;
    for (int& v : expected) {
      if (v == kEndMark) v = 1000;
    }
    EXPECT_EQ(pw.values, expected);
    // Roots are used, and not only where they mark nothing.
    EXPECT_GT(pw.roots, 0);
    EXPECT_GT(pw.rootsThatMark, 0);
    EXPECT_GT(pw.skipped, pw.rootsThatMark);
    // Planes with uncoded levels must end before them; no plane ends while a
    // root's mark is still waiting to be visited.
    if (uncoded[p] > 0) {
      EXPECT_EQ(pw.ends, 1);
    }
    EXPECT_EQ(pw.pendingAtEnd, 0);
    EXPECT_EQ(planes[p].roots, static_cast<size_t>(pw.roots));
  }
}

TEST(EncoderSymbols, EndSymbolStopsAPlaneWhoseDetailsAreAllZero) {
  // A flat picture: every detail is zero, so each plane is its low band, then one
  // end symbol or a few roots.
  RgbImage img;
  img.width = 64;
  img.height = 48;
  img.rgb.assign(64 * 48 * 3, 0);
  for (size_t k = 0; k < img.rgb.size(); k += 3) img.rgb[k] = 90, img.rgb[k + 1] = 140, img.rgb[k + 2] = 30;
  std::vector<uint8_t> file;
  EncodeOptions options;
  options.levels = 3;
  options.quality = 90;
  ASSERT_TRUE(Encode(img, options, &file).ok());
  const FileWalk walk = WalkFile(file);
  for (int p = 0; p < 3; ++p) {
    const PlaneWalk& pw = walk.planes[p];
    const int lowCount = (48 >> 3) * (64 >> 3);
    // The low band, then the end symbol straight away.
    EXPECT_EQ(static_cast<int>(pw.values.size()), lowCount + 1);
    EXPECT_EQ(pw.ends, 1);
    EXPECT_EQ(pw.roots, 0);
  }
  EXPECT_GT(DecodedPsnr(img, file), 45.0);
}

TEST(EncoderSymbols, SecondSegmentRestartsTheModelWithoutChangingThePicture) {
  const RgbImage img = Synthetic(128, 96, 7);
  PreparedPicture prep;
  ASSERT_TRUE(PreparePicture(img, 4, &prep));
  PlaneEncoder coder;
  EncoderTuning tuning;
  const int uncoded[3] = {0, 0, 1};
  const BuiltFile plain = BuildFile(prep, 6.0, uncoded, -1, tuning, &coder);
  const BuiltFile split = BuildFile(prep, 6.0, uncoded, 2, tuning, &coder);
  ASSERT_TRUE(plain.fits && split.fits);
  ExpectWithinLimits(split.bytes);
  HeaderInfo info;
  ASSERT_TRUE(ReadHeader(split.bytes.data(), split.bytes.size(), &info).ok());
  EXPECT_NE(info.segmentOffset[0], 0u);
  const FileWalk walk = WalkFile(split.bytes);
  EXPECT_TRUE(walk.planes[0].secondUsed);
  RgbImage a, b;
  ASSERT_TRUE(Decode(plain.bytes.data(), plain.bytes.size(), &a).ok());
  ASSERT_TRUE(Decode(split.bytes.data(), split.bytes.size(), &b).ok());
  EXPECT_EQ(a.rgb, b.rgb);
}

TEST(EncoderSymbols, LumaIsCutWhereTwoThreadsMeet) {
  // 'y' coded whole, then with the cut for two decoders: the cut lies in the detail
  // bands and moves on as the chroma planes grow while the second thread decodes
  // both (it has more of its own); chroma planes each larger than 'y' keep the
  // first thread busy with one of them, so the second segment grows again. The cut
  // file is the same picture in about the same bytes, and the decoder goes on into
  // the second segment; a 'y' too short for a second segment is not cut.
  RgbImage img = Synthetic(192, 160, 3);
  for (size_t k = 0; k + 2 < img.rgb.size(); k += 3) img.rgb[k] = img.rgb[k + 2] = img.rgb[k + 1];  // grey
  PreparedPicture prep;
  ASSERT_TRUE(PreparePicture(img, 4, &prep));
  PlaneEncoder coder;
  EncoderTuning whole;
  whole.balanceSegments = false;
  const int uncoded[3] = {0, 0, 0};
  CodedPlane coded[3];
  const BuiltFile plain = BuildFile(prep, 4.0, uncoded, -1, whole, &coder, true, coded);
  ASSERT_TRUE(plain.fits);
  const Band low = BandAt(prep.width, prep.height, prep.levels, 0);
  const size_t lowSymbols = static_cast<size_t>(low.rows) * low.cols;
  const size_t pixels = static_cast<size_t>(prep.width) * prep.height;
  const size_t values = BitsAfterEachValue(coded[0]).size();
  ASSERT_GT(values, 4 * lowSymbols);
  // The cut with chroma planes `chromaShare` times as large as 'y' (in symbols and bits) together.
  auto cutWith = [&](double chromaShare) {
    CodedPlane planes[3] = {coded[0], coded[1], coded[2]};
    for (int p = 1; p < 3; ++p) {
      planes[p].symbolCount = static_cast<size_t>(chromaShare * static_cast<double>(values) / 2);
      planes[p].data.resize(1 + planes[p].valueCount + static_cast<size_t>(chromaShare * static_cast<double>(coded[0].data.size()) / 2));
    }
    return BalancedLumaSplit(planes, lowSymbols, pixels);
  };
  size_t last = lowSymbols;
  for (double chromaShare : {0.0, 0.1, 0.2, 0.3}) {
    const size_t at = cutWith(chromaShare);
    ASSERT_NE(at, 0u) << chromaShare;
    EXPECT_GE(at, last) << chromaShare;
    EXPECT_LT(at, values) << chromaShare;
    last = at;
  }
  EXPECT_GT(last, cutWith(0.0)) << "the cut never moved";
  const size_t heavy = cutWith(3.0);
  EXPECT_GT(heavy, lowSymbols);
  EXPECT_LT(heavy, last) << "chroma each larger than 'y' should leave more to the second thread";

  {
    RgbImage small = Synthetic(40, 32, 3);
    PreparedPicture smallPrep;
    ASSERT_TRUE(PreparePicture(small, 3, &smallPrep));
    CodedPlane smallCoded[3];
    ASSERT_TRUE(BuildFile(smallPrep, 4.0, uncoded, -1, whole, &coder, true, smallCoded).fits);
    const Band smallLow = BandAt(smallPrep.width, smallPrep.height, smallPrep.levels, 0);
    EXPECT_EQ(BalancedLumaSplit(smallCoded, static_cast<size_t>(smallLow.rows) * smallLow.cols, 40 * 32), 0u);
  }

  const BuiltFile cut = BuildFile(prep, 4.0, uncoded, -1, EncoderTuning{}, &coder);
  ASSERT_TRUE(cut.fits);
  HeaderInfo info;
  ASSERT_TRUE(ReadHeader(cut.bytes.data(), cut.bytes.size(), &info).ok());
  EXPECT_NE(info.segmentOffset[0], 0u);
  EXPECT_LT(cut.bytes.size(), plain.bytes.size() * 101 / 100);
  const FileWalk walk = WalkFile(cut.bytes);
  EXPECT_TRUE(walk.planes[0].secondUsed);
  RgbImage a, b;
  ASSERT_TRUE(Decode(plain.bytes.data(), plain.bytes.size(), &a).ok());
  ASSERT_TRUE(Decode(cut.bytes.data(), cut.bytes.size(), &b).ok());
  EXPECT_EQ(a.rgb, b.rgb);
}

// ---- Round trips through the public API ------------------------------------------

TEST(EncoderRoundTrip, SyntheticPicturesOfManySizesDecodeWell) {
  struct Case {
    int w, h, quality;
    double minPsnr;
  };
  // Bounds with a margin below what the encoder reaches.
  const Case cases[] = {
      {256, 192, 90, 37.0}, {256, 192, 75, 33.0}, {256, 192, 30, 27.0},
      // Odd sizes lose the last column and row to the bias grey.
      {97, 61, 75, 24.0},
      {200, 8, 75, 30.0},   {8, 200, 75, 30.0},   {4, 4, 100, 40.0},    {3, 5, 100, 38.0},
      {1, 1, 100, 40.0},    {513, 257, 60, 30.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " q" << c.quality);
    const RgbImage img = Synthetic(c.w, c.h, static_cast<uint32_t>(c.w * 7 + c.h));
    EncodeOptions options;
    options.quality = c.quality;
    std::vector<uint8_t> file;
    EncodeReport report;
    const Result r = Encode(img, options, &file, &report);
    ASSERT_TRUE(r.ok()) << r.message;
    ExpectWithinLimits(file);
    EXPECT_EQ(report.fileSize, file.size());
    const double psnr = DecodedPsnr(img, file);
    EXPECT_GE(psnr, c.minPsnr);
    EXPECT_NEAR(psnr, report.psnr, 1e-9);
  }
}

TEST(EncoderRoundTrip, HigherQualityNeverGivesAWorsePicture) {
  const RgbImage img = Synthetic(192, 160, 3);
  double last = 0;
  size_t lastSize = 0;
  for (int quality : {10, 30, 50, 70, 85, 95}) {
    EncodeOptions options;
    options.quality = quality;
    std::vector<uint8_t> file;
    ASSERT_TRUE(Encode(img, options, &file).ok());
    const double psnr = DecodedPsnr(img, file);
    EXPECT_GT(psnr, last - 0.2) << quality;
    EXPECT_GT(file.size(), lastSize) << quality;
    last = psnr;
    lastSize = file.size();
  }
  EXPECT_GT(last, 38.0);
}

TEST(EncoderRoundTrip, OrientationAndChannelsSurviveTheTrip) {
  // Top half red, bottom half blue, left quarter green: a swap of rows or of the
  // red and blue bytes would cost far more than the bound.
  RgbImage img;
  img.width = 64;
  img.height = 64;
  img.rgb.resize(64 * 64 * 3);
  for (int y = 0; y < 64; ++y) {
    for (int x = 0; x < 64; ++x) {
      uint8_t* p = &img.rgb[(static_cast<size_t>(y) * 64 + x) * 3];
      p[0] = y < 32 ? 230 : 10;
      p[1] = x < 16 ? 200 : 20;
      p[2] = y < 32 ? 10 : 230;
    }
  }
  std::vector<uint8_t> file;
  EncodeOptions options;
  options.quality = 90;
  ASSERT_TRUE(Encode(img, options, &file).ok());
  RgbImage decoded;
  ASSERT_TRUE(Decode(file.data(), file.size(), &decoded).ok());
  const uint8_t* topLeft = &decoded.rgb[(5 * 64 + 40) * 3];
  EXPECT_NEAR(topLeft[0], 230, 12);
  EXPECT_NEAR(topLeft[2], 10, 12);
  const uint8_t* bottom = &decoded.rgb[(60 * 64 + 5) * 3];
  EXPECT_NEAR(bottom[1], 200, 12);
  EXPECT_NEAR(bottom[2], 230, 12);
  EXPECT_GT(Psnr(img, decoded), 30.0);
}

TEST(EncoderRoundTrip, UncoveredBorderShowsTheNearestGrey) {
  // 67 x 35 with 3 levels transforms 64 x 32 samples; the rest shows the luma
  // bias, which the encoder sets to the border's mean.
  RgbImage img = Synthetic(67, 35);
  for (int y = 0; y < 35; ++y) {
    for (int x = 0; x < 67; ++x) {
      if (x >= 64 || y < 3) {
        uint8_t* p = &img.rgb[(static_cast<size_t>(y) * 67 + x) * 3];
        p[0] = p[1] = p[2] = 77;
      }
    }
  }
  EncodeOptions options;
  options.levels = 3;
  std::vector<uint8_t> file;
  EncodeReport report;
  ASSERT_TRUE(Encode(img, options, &file, &report).ok());
  EXPECT_EQ(report.lumaBias, 77);
  EXPECT_EQ(report.coveredWidth, 64);
  EXPECT_EQ(report.coveredHeight, 32);
  RgbImage decoded;
  ASSERT_TRUE(Decode(file.data(), file.size(), &decoded).ok());
  EXPECT_EQ(decoded.rgb[(10 * 67 + 66) * 3], 77);
  EXPECT_EQ(decoded.rgb[(0 * 67 + 5) * 3 + 1], 77);
}

TEST(EncoderRoundTrip, AutomaticLevelsPickTheBetterBorderTrade) {
  // 100 x 70: three levels transform 96 x 64 samples, two levels 100 x 68. The
  // choice between a smaller low band and fewer grey border pixels depends on
  // the rate; the automatic choice must be as good as the better of the two.
  const RgbImage img = Synthetic(100, 70, 21);
  for (int target : {900, 4000}) {
    double explicitBest = 0;
    for (int levels : {2, 3}) {
      EncodeOptions options;
      options.targetSize = target;
      options.levels = levels;
      std::vector<uint8_t> file;
      ASSERT_TRUE(Encode(img, options, &file).ok());
      explicitBest = std::max(explicitBest, DecodedPsnr(img, file));
    }
    EncodeOptions options;
    options.targetSize = target;
    std::vector<uint8_t> file;
    EncodeReport report;
    ASSERT_TRUE(Encode(img, options, &file, &report).ok());
    EXPECT_GE(DecodedPsnr(img, file), explicitBest - 0.01) << target;
  }
}

TEST(EncoderRoundTrip, SharedPicturesAtHalfAndOneAndAHalfBitsPerPixel) {
  // Bounds: a margin below what the encoder reaches and, for the pictures whose
  // size is a multiple of 64, above what baseline JPEG reaches at the same size.
  struct Case {
    const char* name;
    double bpp, minPsnr;
  };
  const Case cases[] = {
      {"astronaut.png", 0.5, 30.5}, {"astronaut.png", 1.5, 36.5}, {"camera.png", 0.5, 32.3},
      {"coffee.png", 0.5, 28.2},    {"chelsea.png", 0.5, 28.5},   {"color.png", 0.5, 45.0},
  };
  int found = 0;
  for (const Case& c : cases) {
    RgbImage img;
    if (!LoadShared(c.name, &img)) continue;
    ++found;
    SCOPED_TRACE(c.name);
    EncodeOptions options;
    options.targetSize = static_cast<int>(c.bpp * img.width * img.height / 8);
    std::vector<uint8_t> file;
    EncodeReport report;
    const Result r = Encode(img, options, &file, &report);
    ASSERT_TRUE(r.ok()) << r.message;
    ExpectWithinLimits(file);
    EXPECT_LE(file.size(), static_cast<size_t>(options.targetSize));
    EXPECT_GE(file.size(), static_cast<size_t>(options.targetSize) * 95 / 100);
    EXPECT_GE(DecodedPsnr(img, file), c.minPsnr) << c.bpp << " bpp";
  }
  if (found == 0) GTEST_SKIP() << "no shared pictures at " << KDZ_SHARED_IMAGES;
}

// ---- Limits and rate control ---------------------------------------------------

TEST(EncoderLimits, NoisyPictureAtFullQualityIsCutDownToFit) {
  // Noise does not compress: at quality 100 this would need far more than the
  // format allows, so the encoder lowers the quality until every offset fits.
  RgbImage img;
  img.width = 400;
  img.height = 320;
  img.rgb.resize(400 * 320 * 3);
  std::mt19937 rng(11);
  for (auto& b : img.rgb) b = static_cast<uint8_t>(rng());
  EncodeOptions options;
  options.quality = 100;
  std::vector<uint8_t> file;
  EncodeReport report;
  const Result r = Encode(img, options, &file, &report);
  ASSERT_TRUE(r.ok()) << r.message;
  ExpectWithinLimits(file);
  EXPECT_GT(file.size(), 30000u);
  EXPECT_LT(report.quality, 100.0);
}

TEST(EncoderLimits, TargetSizesAreMetAndLargerTargetsLookBetter) {
  const RgbImage img = Synthetic(320, 240, 9);
  double last = 0;
  for (int target : {1500, 4000, 9000, 20000}) {
    EncodeOptions options;
    options.targetSize = target;
    std::vector<uint8_t> file;
    EncodeReport report;
    const Result r = Encode(img, options, &file, &report);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_LE(file.size(), static_cast<size_t>(target));
    EXPECT_GE(file.size(), static_cast<size_t>(target) * 9 / 10);
    const double psnr = DecodedPsnr(img, file);
    EXPECT_GT(psnr, last) << target;
    last = psnr;
  }
}

TEST(EncoderLimits, RefusesWhatCannotBeEncoded) {
  const RgbImage img = Synthetic(64, 64);
  std::vector<uint8_t> file = {1, 2, 3};
  EncodeOptions tiny;
  tiny.targetSize = 60;  // smaller than the header and three value tables
  Result r = Encode(img, tiny, &file);
  EXPECT_EQ(r.error, Error::kFileTooLarge);
  EXPECT_NE(r.message.find("does not fit"), std::string::npos) << r.message;
  EXPECT_TRUE(file.empty());

  auto refused = [&](const RgbImage& picture, const EncodeOptions& options) {
    std::vector<uint8_t> out;
    const Result res = Encode(picture, options, &out);
    EXPECT_FALSE(res.message.empty());
    return res.error;
  };
  EncodeOptions options;
  options.quality = 0;
  EXPECT_EQ(refused(img, options), Error::kInvalidArgument);
  options.quality = 101;
  EXPECT_EQ(refused(img, options), Error::kInvalidArgument);
  options = {};
  options.levels = 11;
  EXPECT_EQ(refused(img, options), Error::kInvalidArgument);
  options.levels = 6;  // 64 >> 6 = 1: the low band would be a single sample
  EXPECT_EQ(refused(img, options), Error::kInvalidArgument);
  options = {};
  options.targetSize = -5;
  EXPECT_EQ(refused(img, options), Error::kInvalidArgument);
  RgbImage bad = img;
  bad.rgb.pop_back();
  EXPECT_EQ(refused(bad, EncodeOptions{}), Error::kInvalidArgument);
  RgbImage empty;
  EXPECT_EQ(refused(empty, EncodeOptions{}), Error::kInvalidArgument);
  RgbImage huge;
  huge.width = 40000;
  huge.height = 1;
  EXPECT_EQ(refused(huge, EncodeOptions{}), Error::kInvalidArgument);
}

TEST(EncoderLimits, ExplicitLevelsAndLevelZeroAreHonoured) {
  const RgbImage img = Synthetic(48, 32);
  for (int levels : {0, 1, 2, 4}) {
    EncodeOptions options;
    options.levels = levels;
    options.quality = 85;
    std::vector<uint8_t> file;
    EncodeReport report;
    ASSERT_TRUE(Encode(img, options, &file, &report).ok()) << levels;
    HeaderInfo info;
    ASSERT_TRUE(ReadHeader(file.data(), file.size(), &info).ok());
    EXPECT_EQ(info.levels, levels);
    EXPECT_EQ(report.levels, levels);
    EXPECT_GT(DecodedPsnr(img, file), 33.0) << levels;
  }
}

}  // namespace
}  // namespace kdz
