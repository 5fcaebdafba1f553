// The fast forms of the decode and quantiser stages against the plain forms they
// replaced: the same bytes for random inputs over the whole range of their types.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/coeff_decoder.h"
#include "codec/parallel.h"
#include "codec/color.h"
#include "codec/pipeline.h"
#include "codec/wavelet.h"
#include "codec/wide_vectors.h"
#include "kdz/encoder.h"
#include "kdz/kdz.h"
#include "quant/color_quant.h"
#include "quant/quant_internal.h"

namespace kdz {
namespace {

std::vector<int16_t> RandomSamples(std::mt19937& rng, size_t n, int lo, int hi) {
  std::uniform_int_distribution<int> d(lo, hi);
  std::vector<int16_t> v(n);
  for (int16_t& x : v) x = static_cast<int16_t>(d(rng));
  return v;
}

// Whether the AVX2 forms run is asked of the C library where it knows; the answer
// must be the compiler runtime's own.
TEST(WideVectors, RunWhereTheCompilerRuntimeFindsAvx2) {
#if KDZ_WIDE_VECTORS
  AllowWideVectors(true);
  __builtin_cpu_init();
  EXPECT_EQ(UseWideVectors(), __builtin_cpu_supports("avx2") != 0);
#else
  GTEST_SKIP() << "not run: this build has no AVX2 forms";
#endif
}

// The stages compiled twice (baseline and AVX2) are checked in both forms: the
// baseline on every machine, the AVX2 one where the processor has it.
class BothForms : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    AllowWideVectors(true);
    if (GetParam() && !UseWideVectors()) GTEST_SKIP() << "not run: this build or processor has no AVX2 form";
    AllowWideVectors(GetParam());
  }
  void TearDown() override { AllowWideVectors(true); }
};
INSTANTIATE_TEST_SUITE_P(PlainForms, BothForms, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& form) { return form.param ? "Wide" : "Baseline"; });

TEST_P(BothForms, ColourConversionMatchesTheTables) {
  std::mt19937 rng(7);
  DecoderState s;
  BuildClampTable(s);
  // Counts around the conversion's chunk size; samples both inside the tables and
  // over the whole 16-bit range, with biases up to the 16-bit ends.
  for (size_t count : {size_t{1}, size_t{255}, size_t{256}, size_t{257}, size_t{1000}}) {
    for (int range : {300, 1200, 32767}) {
      for (int bias : {0, 128, -32768, 32767}) {
        s.lumaBias = bias;
        const auto y = RandomSamples(rng, count, -range - 1, range);
        const auto i = RandomSamples(rng, count, -range - 1, range);
        const auto q = RandomSamples(rng, count, -range - 1, range);
        std::vector<uint8_t> fast(3 * count + 1, 0xAB), plain(3 * count + 1, 0xAB);
        YiqToRgb(s, y.data(), i.data(), q.data(), fast.data(), count);
        YiqToRgbByTables(s, y.data(), i.data(), q.data(), plain.data(), count);
        ASSERT_EQ(fast, plain) << "count " << count << " range " << range << " bias " << bias;
      }
    }
  }
}

TEST_P(BothForms, LevelStepsMatchThePlainSteps) {
  std::mt19937 rng(11);
  // Regions with 2, 3 and more low rows and columns, inside planes whose stride
  // and height exceed the region, so a write outside it shows as well. The full
  // 16-bit range exercises the wrap of every store.
  for (int rows : {4, 6, 8, 14, 36}) {
    for (int cols : {4, 6, 10, 32}) {
      for (int range : {200, 32767}) {
        const int stride = cols + 5;
        const auto input = RandomSamples(rng, static_cast<size_t>(rows + 3) * stride, -range - 1, range);
        for (int interpolate = 0; interpolate < 2; ++interpolate) {
          std::vector<int16_t> fast = input, plain = input;
          TransformScratch scratch;
          if (interpolate) {
            ASSERT_EQ(InterpolateLevel(fast.data(), stride, rows, cols, scratch), 0);
            ASSERT_EQ(InterpolateLevelPlain(plain.data(), stride, rows, cols), 0);
          } else {
            ASSERT_EQ(SynthesizeLevel(fast.data(), stride, rows, cols, scratch), 0);
            ASSERT_EQ(SynthesizeLevelPlain(plain.data(), stride, rows, cols), 0);
          }
          ASSERT_EQ(fast, plain) << (interpolate ? "interpolation " : "synthesis ") << rows << " x " << cols;
        }
      }
    }
  }
}

TEST_P(BothForms, FinestRowsAreTheRowsOfTheLevelInPlace) {
  // Pairs made out of place, in order from several starts and in a shuffled order,
  // against the plain synthesis and interpolation in place; regions inside a larger
  // plane, samples over the whole 16-bit range.
  std::mt19937 rng(13);
  for (int rows : {4, 6, 8, 30}) {
    for (int cols : {4, 6, 12, 34}) {
      for (int range : {200, 32767}) {
        for (bool interpolated : {false, true}) {
          const int stride = cols + 3;
          const auto input = RandomSamples(rng, static_cast<size_t>(rows + 2) * stride, -range - 1, range);
          std::vector<int16_t> plain = input;
          ASSERT_EQ(interpolated ? InterpolateLevelPlain(plain.data(), stride, rows, cols)
                                 : SynthesizeLevelPlain(plain.data(), stride, rows, cols),
                    0);
          std::vector<int> order;
          for (int start : {0, 1, rows / 2 - 1, rows / 3}) {
            for (int k = start; k < rows / 2; ++k) order.push_back(k);
          }
          for (int k = 0; k < rows / 2; ++k) order.push_back(k);
          std::shuffle(order.end() - rows / 2, order.end(), rng);
          FinestLevel level;
          level.rows = rows;
          level.cols = cols;
          level.interpolated = interpolated;
          FinestRows finest(input.data(), stride, level);
          ASSERT_TRUE(finest.ok());
          std::vector<int16_t> even(static_cast<size_t>(cols)), odd(static_cast<size_t>(cols));
          for (int k : order) {
            finest.Pair(k, even.data(), odd.data());
            const int16_t* want = plain.data() + static_cast<size_t>(2 * k) * stride;
            ASSERT_TRUE(std::equal(even.begin(), even.end(), want))
                << rows << " x " << cols << (interpolated ? " interpolated" : "") << ", row " << 2 * k;
            ASSERT_TRUE(std::equal(odd.begin(), odd.end(), want + stride))
                << rows << " x " << cols << (interpolated ? " interpolated" : "") << ", row " << 2 * k + 1;
          }
        }
      }
    }
  }
}

// A picture of smooth ramps plus noise, so that every plane carries coded detail,
// encoded at the case's quality and levels (-1: the encoder's choice).
struct EncodedCase {
  int width, height, quality, levels;
};
std::vector<uint8_t> EncodedRamps(const EncodedCase& c, std::mt19937& rng, EncodeReport* report = nullptr) {
  RgbImage picture;
  picture.width = c.width;
  picture.height = c.height;
  picture.rgb.resize(static_cast<size_t>(c.width) * c.height * 3);
  for (size_t k = 0; k < picture.rgb.size(); ++k) {
    const size_t px = k / 3;
    const int x = static_cast<int>(px % static_cast<size_t>(c.width));
    const int y = static_cast<int>(px / static_cast<size_t>(c.width));
    picture.rgb[k] = static_cast<uint8_t>((x * 5 + y * 3 + static_cast<int>(k % 3) * 70 + static_cast<int>(rng() % 40)) & 255);
  }
  EncodeOptions options;
  options.quality = c.quality;
  options.levels = c.levels;
  std::vector<uint8_t> file;
  EXPECT_TRUE(Encode(picture, options, &file, report).ok()) << c.width << " x " << c.height;
  return file;
}

// The decode makes the finest level of 'y' on the way to the pixels; the plain
// reconstruction does every level in place and then converts. The same pixels in
// both layouts, on one thread and two, for pictures without levels and with borders
// outside the transform.
TEST_P(BothForms, FinestLevelMadeOnTheWayGivesThePlainPixels) {
  std::mt19937 rng(17);
  const EncodedCase cases[] = {{3, 2, 80, 0},    {8, 8, 70, 1},     {37, 21, 60, 2},
                               {130, 98, 95, 3}, {96, 64, 10, -1}, {200, 150, 5, -1}};
  int interpolatedChroma = 0;
  for (const EncodedCase& c : cases) {
    EncodeReport report;
    const std::vector<uint8_t> file = EncodedRamps(c, rng, &report);
    ASSERT_FALSE(file.empty());
    interpolatedChroma += report.levels > 0 && report.uncodedLevels[1] > 0;
    const size_t bytes = static_cast<size_t>(c.width) * c.height * 3;
    for (PixelLayout layout : {PixelLayout::kBitmapRows, PixelLayout::kRgbTopDown}) {
      DecoderState plainState;
      plainState.dataBase = file.data();
      plainState.dataSize = file.size();
      ASSERT_EQ(DecodePlane(plainState, 'y'), 0);
      ASSERT_EQ(DecodePlane(plainState, 'i'), 0);
      ASSERT_EQ(DecodePlane(plainState, 'q'), 0);
      std::vector<uint8_t> plain(bytes, 0xAB);
      ReconstructImage(plainState, plain.data(), layout);
      for (int threads : {1, 2}) {
        DecoderState state;
        state.threads = threads;
        // Room for the padded rows the bitmap gets later; the decode writes them unpadded.
        std::vector<uint8_t> fast(BitmapBlockSize(c.width, c.height), 0xCD);
        int32_t width = 0, height = 0;
        ASSERT_EQ(DecodeAllPlanes(state, file.data(), file.size(), fast.data(), fast.size(), &width, &height, nullptr,
                                  nullptr, layout),
                  1);
        fast.resize(bytes);
        EXPECT_EQ(fast, plain) << c.width << " x " << c.height << ", " << threads << " threads";
      }
    }
  }
  EXPECT_GT(interpolatedChroma, 0) << "no case has chroma whose finest level is interpolated";
}

TEST(PlainForms, ScratchKeptOverLevelsGivesThePlainPlane) {
  // A whole multi-level transform with one scratch for all levels (grown level by
  // level, as a failed first reservation would leave it) against the plain steps.
  std::mt19937 rng(5);
  const int width = 52, height = 40, levels = 3;
  const auto input = RandomSamples(rng, static_cast<size_t>(width) * height, -3000, 3000);
  std::vector<int16_t> fast = input, plain = input;
  TransformScratch scratch;
  int r = height >> levels, c = width >> levels;
  for (int j = 1; j <= levels; ++j) {
    r *= 2;
    c *= 2;
    if (j < levels) {
      ASSERT_EQ(SynthesizeLevel(fast.data(), width, r, c, scratch), 0);
      ASSERT_EQ(SynthesizeLevelPlain(plain.data(), width, r, c), 0);
    } else {
      ASSERT_EQ(InterpolateLevel(fast.data(), width, r, c, scratch), 0);
      ASSERT_EQ(InterpolateLevelPlain(plain.data(), width, r, c), 0);
    }
  }
  EXPECT_EQ(fast, plain);
}

// Pictures for the quantiser: noise around a few colours, a smooth ramp, and one
// colour in more pixels than a histogram cell can count (in every slice, too).
std::vector<std::vector<uint8_t>> QuantPictures(std::mt19937& rng, int pixels) {
  std::vector<std::vector<uint8_t>> out(3, std::vector<uint8_t>(static_cast<size_t>(pixels) * 3));
  for (int k = 0; k < pixels * 3; ++k) {
    out[0][k] = static_cast<uint8_t>((k % 3) * 90 + (k / 999 % 4) * 30 + static_cast<int>(rng() % 25));
    out[1][k] = static_cast<uint8_t>((k / 3 % 256 + k % 3 * 40) & 255);
    out[2][k] = static_cast<uint8_t>(k % 3 == 1 ? 200 : 17);
  }
  return out;
}

TEST(PlainForms, DitheringMatchesThePlainLoop) {
  std::mt19937 rng(9);
  const int width = 173, height = 61;
  for (const auto& picture : QuantPictures(rng, width * height)) {
    QuantState fast, plain;
    for (QuantState* qs : {&fast, &plain}) {
      ASSERT_EQ(SetUpQuantState(*qs, width, height, 1, 256), 0);
      CountColors(*qs, picture.data());
      ASSERT_EQ(ChoosePalette(*qs), 0);
      std::fill(qs->histogram.begin(), qs->histogram.end(), uint16_t{0});
    }
    std::vector<uint8_t> a(static_cast<size_t>(width) * height), b(a.size());
    MapDithered(fast, picture.data(), a.data());
    MapDitheredPlain(plain, picture.data(), b.data());
    EXPECT_EQ(a, b);
    EXPECT_EQ(fast.errorArray, plain.errorArray);
    EXPECT_EQ(fast.histogram, plain.histogram);  // the same cache blocks, filled alike
  }
}

TEST(PlainForms, DitheringMatchesThePlainLoopAtTheEdges) {
  // Narrow rows (the spare entries and both ends meet), and palettes far from the
  // picture, so that errors reach the ends of the limit and clamp tables: random
  // bytes, all black, all white, and black beside white.
  std::mt19937 rng(17);
  const uint8_t palettes[3][9] = {{0, 0, 0, 255, 255, 255, 128, 0, 255},
                                  {255, 0, 0, 0, 255, 0, 0, 0, 255},
                                  {7, 7, 7, 7, 7, 7, 250, 250, 250}};
  for (int width : {1, 2, 3, 8, 33}) {
    const int height = 19;
    const size_t n = static_cast<size_t>(width) * height * 3;
    std::vector<std::vector<uint8_t>> pictures(4, std::vector<uint8_t>(n));
    for (size_t k = 0; k < n; ++k) {
      pictures[0][k] = static_cast<uint8_t>(rng());
      pictures[1][k] = 0;
      pictures[2][k] = 255;
      pictures[3][k] = (k / 3 + k / (3 * width)) % 2 ? 255 : 0;
    }
    for (const auto& picture : pictures) {
      for (const auto& entries : palettes) {
        QuantState fast, plain;
        for (QuantState* qs : {&fast, &plain}) {
          ASSERT_EQ(SetUpQuantState(*qs, width, height, 1, 3), 0);
          for (int i = 0; i < 3; ++i) {
            for (int c = 0; c < 3; ++c) qs->palette[c][i] = entries[3 * i + c];
          }
          qs->colorsInUse = 3;
        }
        std::vector<uint8_t> a(n / 3), b(n / 3);
        MapDithered(fast, picture.data(), a.data());
        MapDitheredPlain(plain, picture.data(), b.data());
        ASSERT_EQ(a, b) << "width " << width;
        ASSERT_EQ(fast.errorArray, plain.errorArray) << "width " << width;
        ASSERT_EQ(fast.oddRow, plain.oddRow);
      }
    }
  }
}

TEST(PlainForms, DitheringMatchesThePlainLoopForAnyPalette) {
  // Random palettes of every size class, up to 256 entries so that the last entry's
  // cache value (256) is reached, on random pixels and on a picture of a few flat
  // colours (long runs of one cell), at odd widths.
  std::mt19937 rng(29);
  for (int colors : {1, 2, 5, 255, 256}) {
    for (int width : {1, 7, 130}) {
      const int height = 23;
      const size_t n = static_cast<size_t>(width) * height;
      std::vector<uint8_t> noise(3 * n), flat(3 * n);
      for (size_t k = 0; k < 3 * n; ++k) {
        noise[k] = static_cast<uint8_t>(rng());
        flat[k] = static_cast<uint8_t>((k / 3 / 17 % 4) * 85 + k % 3);
      }
      for (const auto* picture : {&noise, &flat}) {
        QuantState fast, plain;
        for (QuantState* qs : {&fast, &plain}) ASSERT_EQ(SetUpQuantState(*qs, width, height, 1, 256), 0);
        for (int i = 0; i < colors; ++i) {
          for (int c = 0; c < 3; ++c) fast.palette[c][i] = plain.palette[c][i] = static_cast<uint8_t>(rng());
        }
        fast.colorsInUse = plain.colorsInUse = colors;
        std::vector<uint8_t> a(n), b(n);
        MapDithered(fast, picture->data(), a.data());
        MapDitheredPlain(plain, picture->data(), b.data());
        ASSERT_EQ(a, b) << colors << " colours, width " << width;
        ASSERT_EQ(fast.errorArray, plain.errorArray) << colors << " colours, width " << width;
        ASSERT_EQ(fast.histogram, plain.histogram) << colors << " colours, width " << width;
      }
    }
  }
}

TEST(PlainForms, MappingOverThePixelsMatchesASeparateIndexImage) {
  // ColorQuant2 maps the pixels onto themselves: for both modes, one row and several
  // (rows right to left from the second on), narrow and wide, the indices equal
  // those written to a block of their own, and the bytes after them are untouched.
  std::mt19937 rng(31);
  for (int dither : {0, 1}) {
    for (int width : {1, 2, 5, 64}) {
      for (int height : {1, 2, 9}) {
        const size_t n = static_cast<size_t>(width) * height;
        std::vector<uint8_t> picture(3 * n);
        for (uint8_t& b : picture) b = static_cast<uint8_t>(rng());
        QuantState apart, over;
        for (QuantState* qs : {&apart, &over}) {
          ASSERT_EQ(SetUpQuantState(*qs, width, height, dither, 16), 0);
          CountColors(*qs, picture.data());
          ASSERT_EQ(ChoosePalette(*qs), 0);
        }
        std::vector<uint8_t> index(n), inPlace = picture;
        MapToPalette(apart, picture.data(), index.data());
        MapToPalette(over, inPlace.data(), inPlace.data());
        ASSERT_EQ(std::vector<uint8_t>(inPlace.begin(), inPlace.begin() + n), index)
            << "dither " << dither << ", " << width << " x " << height;
        ASSERT_TRUE(std::equal(inPlace.begin() + n, inPlace.end(), picture.begin() + n));
      }
    }
  }
}

TEST(PlainForms, CacheFillMatchesThePlainFill) {
  // Every block for palettes of one, a few and 256 entries: random ones, entries at
  // the ends of the range and on block edges, repeated entries (ties), and pairs of
  // different entries mirrored about a cell centre (ties between other colours).
  std::mt19937 rng(19);
  for (int colors : {1, 3, 17, 256}) {
    for (int kind = 0; kind < 4; ++kind) {
      QuantState fast, plain;
      for (QuantState* qs : {&fast, &plain}) ASSERT_EQ(SetUpQuantState(*qs, 1, 1, 1, 256), 0);
      for (int i = 0; i < colors; ++i) {
        for (int c = 0; c < 3; ++c) {
          const uint8_t edges[] = {0, 255, 31, 32, 36, 4, 28, 128};
          // Centres are 8 c0 + 4, 4 c1 + 2, 8 c2 + 4; pair i / 2 differs along one axis.
          const int centre = c == 1 ? 4 * ((i / 2) * 5 % 64) + 2 : 8 * ((i / 2) * 3 % 32) + 4;
          const int offset = c == (i / 2) % 3 ? (i % 2 ? -3 : 3) : 0;
          const uint8_t v = kind == 0   ? static_cast<uint8_t>(rng())
                            : kind == 1 ? edges[rng() % 8]
                            : kind == 2 ? static_cast<uint8_t>((i / 4) * 37 + c * 11)
                                        : static_cast<uint8_t>(std::clamp(centre + offset, 0, 255));
          fast.palette[c][i] = plain.palette[c][i] = v;
        }
      }
      fast.colorsInUse = plain.colorsInUse = colors;
      for (int32_t block = 0; block < 512; ++block) {
        FillCacheBlockNumber(fast, block);
        FillCacheBlockPlain(plain, 4 * (block >> 6), 8 * ((block >> 3) & 7), 4 * (block & 7));
      }
      ASSERT_EQ(fast.histogram, plain.histogram) << colors << " colours, kind " << kind;
    }
  }
}

TEST(PlainForms, CountingMatchesThePlainCount) {
  // Random pixels, and one colour often enough to saturate its cell, counted on
  // top of counts already near the limit; runs of every length modulo 4.
  std::mt19937 rng(23);
  for (size_t count : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{5}, size_t{1000}, size_t{70000}, size_t{70001},
                       size_t{70002}, size_t{70003}}) {
    std::vector<uint8_t> random(3 * count), flat(3 * count, 0xC7);
    for (uint8_t& b : random) b = static_cast<uint8_t>(rng());
    for (const auto* pixels : {&random, &flat}) {
      std::vector<uint16_t> fast(kHistCells), plain(kHistCells);
      for (int k = 0; k < kHistCells; ++k) fast[k] = plain[k] = static_cast<uint16_t>(k % 7 == 0 ? 65530 + k % 6 : 0);
      CountPixels(fast.data(), pixels->data(), count);
      CountPixelsPlain(plain.data(), pixels->data(), count);
      ASSERT_EQ(fast, plain) << count << " pixels";
    }
  }
}

TEST(PlainForms, PaletteChoiceMatchesThePlainChoice) {
  // Histograms of the test pictures, of random cells (sparse and dense, counts up to
  // the saturated 65535), of every cell, of the corner cells (the first and last bit
  // of a row, of the columns and of the planes), of one cell and of none, each cut
  // into few and into many boxes.
  std::mt19937 rng(37);
  std::vector<std::vector<uint16_t>> histograms;
  for (const auto& picture : QuantPictures(rng, 50000)) {
    QuantState qs;
    ASSERT_EQ(SetUpQuantState(qs, 50000, 1, 0, 256), 0);
    CountColors(qs, picture.data());
    histograms.emplace_back(qs.histogram.begin(), qs.histogram.end());
  }
  for (int density : {2, 60, 1000}) {
    std::vector<uint16_t> h(kHistCells);
    for (uint16_t& cell : h) cell = rng() % 1000 < static_cast<unsigned>(density) ? static_cast<uint16_t>(1 + rng() % 65535) : 0;
    histograms.push_back(h);
  }
  histograms.emplace_back(kHistCells, uint16_t{1});
  std::vector<uint16_t> corners(kHistCells), one(kHistCells);
  for (int c0 : {0, kHistC0 - 1}) {
    for (int c1 : {0, kHistC1 - 1}) {
      for (int c2 : {0, kHistC2 - 1}) corners[CellIndex(c0, c1, c2)] = static_cast<uint16_t>(1 + c0 + c1 + c2);
    }
  }
  one[CellIndex(17, 40, 31)] = 65535;
  histograms.push_back(corners);
  histograms.push_back(one);
  histograms.emplace_back(kHistCells, uint16_t{0});
  for (size_t n = 0; n < histograms.size(); ++n) {
    for (int colours : {3, 16, 255, 256}) {
      QuantState fast, plain;
      for (QuantState* qs : {&fast, &plain}) {
        ASSERT_EQ(SetUpQuantState(*qs, 1, 1, 1, colours), 0);
        std::copy(histograms[n].begin(), histograms[n].end(), qs->histogram.begin());
      }
      const int32_t fastResult = ChoosePalette(fast);
      ASSERT_EQ(fastResult, ChoosePalettePlain(plain)) << "histogram " << n << ", " << colours << " colours";
      EXPECT_EQ(fastResult, n + 1 == histograms.size() ? 1 : 0);
      ASSERT_EQ(fast.colorsInUse, plain.colorsInUse) << "histogram " << n << ", " << colours << " colours";
      ASSERT_EQ(fast.palette, plain.palette) << "histogram " << n << ", " << colours << " colours";
    }
  }
}

TEST(PlainForms, SplitQuantiserMatchesColorQuant2) {
  std::mt19937 rng(13);
  const int width = 401, height = 500;  // 200500 pixels: 3 slices of over 65535
  // Tasks run in reverse order, so nothing may depend on the order they run in.
  const TaskRunner reverse = [](const std::vector<std::function<void()>>& tasks) {
    for (size_t k = tasks.size(); k-- > 0;) tasks[k]();
  };
  for (const auto& picture : QuantPictures(rng, width * height)) {
    for (int dither : {0, 1}) {
      std::vector<uint8_t> plain = picture;
      uint8_t plainPalette[768] = {};
      const int32_t colours = ColorQuant2(plain.data(), width, height, dither, 0, plainPalette, 256);
      ASSERT_GT(colours, 0);
      for (int parts : {2, 3, 4}) {
        std::vector<uint8_t> split = picture;
        uint8_t splitPalette[768] = {};
        EXPECT_EQ(ColorQuant2Split(split.data(), width, height, dither, 0, splitPalette, 256, parts, reverse), colours);
        EXPECT_EQ(split, plain) << parts << " parts, dither " << dither;
        EXPECT_EQ(std::vector<uint8_t>(splitPalette, splitPalette + 768),
                  std::vector<uint8_t>(plainPalette, plainPalette + 768));
      }
    }
  }
}

TEST(PlainForms, DitheringReachesOnlyTheBlocksWithinReach) {
  // The blocks the lazy mapping fills are all in the list the split quantiser fills
  // ahead: the test pictures with their own palettes, and noise, flat colours and
  // black beside white against palettes far from them, whose errors reach the limit.
  std::mt19937 rng(43);
  const int width = 97, height = 41;
  std::vector<std::vector<uint8_t>> pictures = QuantPictures(rng, width * height);
  std::vector<uint8_t> noise(3 * width * height), edges(noise.size());
  for (size_t k = 0; k < noise.size(); ++k) {
    noise[k] = static_cast<uint8_t>(rng());
    edges[k] = (k / 3 + k / (3 * width)) % 2 ? 255 : 0;
  }
  pictures.push_back(noise);
  pictures.push_back(edges);
  for (size_t n = 0; n < pictures.size(); ++n) {
    for (int palette = 0; palette < 2; ++palette) {
      QuantState qs;
      ASSERT_EQ(SetUpQuantState(qs, width, height, 1, palette == 0 ? 256 : 3), 0);
      CountColors(qs, pictures[n].data());
      if (palette == 0) {
        ASSERT_EQ(ChoosePalette(qs), 0);
      } else {
        const uint8_t far[3][3] = {{128, 0, 255}, {0, 255, 0}, {250, 250, 7}};
        for (int i = 0; i < 3; ++i) {
          for (int c = 0; c < 3; ++c) qs.palette[c][i] = far[i][c];
        }
        qs.colorsInUse = 3;
      }
      const std::vector<int32_t> occupied = OccupiedBlocks(qs);
      const std::vector<int32_t> reach = BlocksWithinReach(occupied);
      ASSERT_TRUE(std::equal(occupied.begin(), occupied.end(), reach.begin()));
      std::vector<int32_t> sorted = reach;
      std::sort(sorted.begin(), sorted.end());
      ASSERT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
      std::fill(qs.histogram.begin(), qs.histogram.end(), uint16_t{0});
      std::vector<uint8_t> index(static_cast<size_t>(width) * height);
      MapDitheredPlain(qs, pictures[n].data(), index.data());
      for (int32_t b = 0; b < kCacheBlocks; ++b) {
        if (qs.histogram[CacheIndex(4 * (b >> 6), 8 * ((b >> 3) & 7), 4 * (b & 7))] == 0) continue;
        EXPECT_TRUE(std::binary_search(sorted.begin(), sorted.end(), b))
            << "picture " << n << ", palette " << palette << ": block " << b << " filled, not listed";
      }
    }
  }
}

// A picture's quantiser state as the mapping finds it (palette chosen, cache
// cleared), the cache blocks its colours occupy, and the plain loop's indices and
// end state for it.
struct ChosenPicture {
  QuantState chosen, plain;
  std::vector<int32_t> occupied;
  std::vector<uint8_t> expected;
};

void ChoosePaletteFor(const std::vector<uint8_t>& picture, int width, int height, const BufferHooks* hooks,
                      ChosenPicture* out) {
  ASSERT_EQ(SetUpQuantState(out->chosen, width, height, 1, 256, hooks), 0);
  ASSERT_EQ(out->chosen.histogram.get_allocator().hooks, hooks);
  CountColors(out->chosen, picture.data());
  ASSERT_EQ(ChoosePalette(out->chosen), 0);
  out->occupied = OccupiedBlocks(out->chosen);
  std::fill(out->chosen.histogram.begin(), out->chosen.histogram.end(), uint16_t{0});
  out->plain = out->chosen;
  out->expected.assign(static_cast<size_t>(width) * height, 0);
  MapDitheredPlain(out->plain, picture.data(), out->expected.data());
}

TEST(PlainForms, DitheringWithBlocksFilledAlongsideMatchesThePlainLoop) {
  // The mapping fills what it needs whatever the other thread has done: no block
  // begun, every block begun and none finished (a helper held up), half of them
  // filled before, and a helper really running alongside.
  std::mt19937 rng(41);
  const int width = 211, height = 97;
  for (const auto& picture : QuantPictures(rng, width * height)) {
    ChosenPicture p;
    ASSERT_NO_FATAL_FAILURE(ChoosePaletteFor(picture, width, height, nullptr, &p));
    const QuantState& chosen = p.chosen;
    const QuantState& plain = p.plain;
    const std::vector<int32_t>& occupied = p.occupied;
    const std::vector<uint8_t>& expected = p.expected;
    for (int ahead = 0; ahead < 4; ++ahead) {
      QuantState qs = chosen;
      FillAhead shared;
      std::vector<int32_t> half;
      for (size_t k = 0; k < occupied.size(); k += 2) half.push_back(occupied[k]);
      if (ahead == 1) {
        for (auto& taken : shared.taken) taken.store(1);
      } else if (ahead == 2) {
        FillBlocksAhead(qs, shared, half);
      }
      std::vector<uint8_t> got(expected.size());
      if (ahead == 3) {
        RunTasks({[&] { MapDitheredAlongside(qs, shared, picture.data(), got.data()); },
                  [&] { FillBlocksAhead(qs, shared, occupied); }});
      } else {
        MapDitheredAlongside(qs, shared, picture.data(), got.data());
      }
      ASSERT_EQ(got, expected) << "case " << ahead;
      ASSERT_EQ(qs.errorArray, plain.errorArray) << "case " << ahead;
      // Once the mapping is done, nothing more is filled.
      ASSERT_TRUE(shared.mappingDone.load());
      for (auto& taken : shared.taken) taken.store(0);
      std::fill(qs.histogram.begin(), qs.histogram.end(), uint16_t{0});
      FillBlocksAhead(qs, shared, occupied);
      ASSERT_EQ(std::count(qs.histogram.begin(), qs.histogram.end(), uint16_t{0}), kHistCells);
    }
  }
}

// Kept blocks for the dithering's word slabs as a test gives them: up to
// `blocksLeft` blocks of `blockBytes` bytes, filled with garbage, each counted out
// and back. Other requests (histograms) are refused, and go to malloc.
struct TestKeptBlocks {
  static size_t blockBytes;
  static int blocksLeft;
  static int out;
  static int taken;
  static void* Take(size_t bytes, size_t* capacity) {
    if (bytes != kHistCells / kWordSlabs * sizeof(uint64_t) || blocksLeft == 0) return nullptr;
    --blocksLeft;
    ++out;
    ++taken;
    void* block = std::malloc(blockBytes);
    std::memset(block, 0xA5, blockBytes);
    *capacity = blockBytes;
    return block;
  }
  static void Give(void* block, size_t capacity) {
    EXPECT_EQ(capacity, blockBytes);
    --out;
    std::free(block);
  }
};
size_t TestKeptBlocks::blockBytes = 0;
int TestKeptBlocks::blocksLeft = 0;
int TestKeptBlocks::out = 0;
int TestKeptBlocks::taken = 0;

TEST(PlainForms, DitheringFromWordSlabsMatchesThePlainLoop) {
  // With kept blocks at hand the mapping reads the cache's cells as words, in slabs
  // cut from those blocks: one slab a block, all from one block, blocks with room
  // left over that is too small, and blocks that run out, then with fresh memory
  // and with none (each cell of a slab without memory made alone, every time). Noise
  // reaches every slab; the mapping runs in turn and with blocks filled alongside.
  static const BufferHooks kHooks = {TestKeptBlocks::Take, TestKeptBlocks::Give};
  const size_t slab = kHistCells / kWordSlabs * sizeof(uint64_t);
  struct Case {
    size_t blockBytes;
    int blocks;
    int fresh;
  } const cases[] = {{slab, 8, 8}, {8 * slab, 1, 0}, {slab * 3 / 2, 8, 0}, {2 * slab, 2, 8}, {slab, 1, 0}};
  std::mt19937 rng(53);
  const int width = 173, height = 61;
  std::vector<std::vector<uint8_t>> pictures = QuantPictures(rng, width * height);
  pictures.emplace_back(static_cast<size_t>(width) * height * 3);
  for (uint8_t& v : pictures.back()) v = static_cast<uint8_t>(rng());
  // A mapping has run before in this process: the first reads from the cache.
  {
    QuantState first;
    ASSERT_EQ(SetUpQuantState(first, 1, 1, 1, 3), 0);
    first.colorsInUse = 1;
    uint8_t pixel[3] = {1, 2, 3};
    MapToPalette(first, pixel, pixel);
  }
  for (const auto& picture : pictures) {
    ChosenPicture p;
    ASSERT_NO_FATAL_FAILURE(ChoosePaletteFor(picture, width, height, &kHooks, &p));
    const QuantState& chosen = p.chosen;
    const QuantState& plain = p.plain;
    const std::vector<int32_t>& occupied = p.occupied;
    const std::vector<uint8_t>& expected = p.expected;
    for (const Case& c : cases) {
      for (bool alongside : {false, true}) {
        TestKeptBlocks::blockBytes = c.blockBytes;
        TestKeptBlocks::blocksLeft = c.blocks;
        TestKeptBlocks::taken = 0;
        QuantState qs = chosen;
        qs.freshWordSlabs = c.fresh;
        std::vector<uint8_t> got(expected.size());
        if (alongside) {
          FillAhead shared;
          RunTasks({[&] { MapDitheredAlongside(qs, shared, picture.data(), got.data()); },
                    [&] { FillBlocksAhead(qs, shared, occupied); }});
        } else {
          MapToPalette(qs, picture.data(), got.data());
        }
        const std::string where = std::to_string(c.blockBytes) + " x " + std::to_string(c.blocks) + " bytes, " +
                                  std::to_string(c.fresh) + " fresh" + (alongside ? ", alongside" : "");
        ASSERT_EQ(got, expected) << where;
        ASSERT_EQ(qs.errorArray, plain.errorArray) << where;
        ASSERT_EQ(qs.oddRow, plain.oddRow) << where;
        EXPECT_GT(TestKeptBlocks::taken, 0) << where << ": no slab taken from the kept blocks";
        EXPECT_EQ(TestKeptBlocks::out, 0) << where << ": kept blocks not given back";
      }
    }
  }
}

// Every thread count gives the bitmap of the decode on the caller's thread alone, in
// both depths: pictures smaller than a conversion slice, odd sizes whose borders the
// transform leaves alone, chroma planes with and without coded levels, and a
// second segment, as the encoder makes them.
TEST(PlainForms, EveryThreadCountGivesTheSameBitmap) {
  std::mt19937 rng(3);
  const EncodedCase cases[] = {{1, 1, 75, 0}, {2, 3, 90, 0}, {37, 21, 60, 2}, {130, 98, 95, 3}, {256, 200, 40, -1}};
  for (const EncodedCase& c : cases) {
    const std::vector<uint8_t> file = EncodedRamps(c, rng);
    ASSERT_FALSE(file.empty());
    for (bool eightBit : {false, true}) {
      Limits one;
      one.threads = 1;
      Bitmap plain;
      ASSERT_TRUE(DecodeToBitmap(file.data(), file.size(), eightBit, &plain, one).ok());
      if (eightBit) {
        // The count of colours in use, as it was once derived from the bitmap: the
        // last non-zero colour-table entry and the largest index.
        int used = 0;
        for (int k = 0; k < 256; ++k) {
          const uint8_t* e = plain.block.data() + 40 + 4 * k;
          if (e[0] | e[1] | e[2]) used = k + 1;
        }
        for (int r = 0; r < plain.height; ++r) {
          for (int x = 0; x < plain.width; ++x) used = std::max(used, plain.Row(r)[x] + 1);
        }
        EXPECT_EQ(plain.colorsUsed, used);
      }
      for (int threads : {2, 3, 4, 0}) {
        Limits limits;
        limits.threads = threads;
        Bitmap fast;
        ASSERT_TRUE(DecodeToBitmap(file.data(), file.size(), eightBit, &fast, limits).ok());
        EXPECT_EQ(fast.block, plain.block) << c.width << " x " << c.height << ", " << threads << " threads";
        EXPECT_EQ(fast.colorsUsed, plain.colorsUsed);
      }
    }
  }
}

}  // namespace
}  // namespace kdz
