// The encoder's closed loop: the per-direction synthesis responses against the
// decoder's own integer synthesis of single coefficients, the refinement of
// quantised values against the decoded picture, and the choices made around it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

#include "codec/coeff_decoder.h"
#include "codec/decoder_state.h"
#include "codec/wavelet.h"
#include "encoder/image_encoder.h"
#include "encoder/synthesis_response.h"
#include "kdz/encoder.h"
#include "kdz/kdz.h"

namespace kdz {
namespace {

struct Geometry {
  int width, height, levels, uncoded;
};

// A single coefficient of amplitude A, synthesised by the decoder, must come out
// as A times the product of its row and column responses, within the rounding of
// the integer lifting (a unit or so per level), and nothing elsewhere.
TEST(SynthesisResponses, MatchTheDecodersSynthesisOfOneCoefficient) {
  const Geometry cases[] = {
      {32, 24, 3, 0}, {32, 24, 3, 1}, {40, 16, 2, 2}, {16, 8, 2, 0},  // 2-sample low bands
      {70, 37, 2, 0},  // the transformed region is 68 x 36
      {12, 12, 1, 0}, {24, 48, 3, 3},
  };
  constexpr int kAmplitude = 2000;
  for (const Geometry& g : cases) {
    SCOPED_TRACE(testing::Message() << g.width << "x" << g.height << " L" << g.levels << " u"
                                    << g.uncoded);
    const int cw = (g.width >> g.levels) << g.levels, ch = (g.height >> g.levels) << g.levels;
    SynthesisResponses vertical, horizontal;
    ASSERT_TRUE(vertical.Build(ch, g.levels, g.uncoded, true));
    ASSERT_TRUE(horizontal.Build(cw, g.levels, g.uncoded, false));
    EXPECT_TRUE(vertical.Matches(ch, g.levels, g.uncoded, true));
    EXPECT_FALSE(vertical.Matches(ch, g.levels, g.uncoded, false));
    DecoderState s;
    s.width = g.width;
    s.height = g.height;
    s.levels = g.levels;
    s.planeSize = g.width * g.height;
    s.uncodedLevels[0] = g.uncoded;
    const int tolerance = 2 + g.levels;
    int checked = 0;
    for (int k = 0; k < BandCount(g.levels); ++k) {
      const int j = k == 0 ? -1 : (k - 1) / 3;
      if (j >= g.levels - g.uncoded) break;  // uncoded levels carry no coefficients
      const int m = k == 0 ? g.levels : g.levels - j;
      const Band band = BandAt(g.width, g.height, g.levels, k);
      // Every row and column of small bands, the edges and a middle one of others.
      for (int r = band.row0; r < band.row0 + band.rows; ++r) {
        const bool rowEdge = r - band.row0 < 2 || band.row0 + band.rows - r <= 2;
        if (!rowEdge && r != band.row0 + band.rows / 2) continue;
        for (int c = band.col0; c < band.col0 + band.cols; ++c) {
          const bool colEdge = c - band.col0 < 2 || band.col0 + band.cols - c <= 2;
          if (!colEdge && c != band.col0 + band.cols / 2) continue;
          std::vector<int16_t> plane(static_cast<size_t>(g.width) * g.height, 0);
          plane[static_cast<size_t>(r) * g.width + c] = kAmplitude;
          ASSERT_EQ(InverseTransformPlane(s, plane.data(), 'y'), 0);
          const SynthesisResponses::Span sv = vertical.At(m, r), sh = horizontal.At(m, c);
          ASSERT_GT(sv.count, 0);
          ASSERT_GT(sh.count, 0);
          ASSERT_GE(sv.first, 0);
          ASSERT_LE(sv.first + sv.count, ch);
          ASSERT_GE(sh.first, 0);
          ASSERT_LE(sh.first + sh.count, cw);
          double energy = 0;
          for (int y = 0; y < ch; ++y) {
            const double wy = y >= sv.first && y < sv.first + sv.count ? sv.values[y - sv.first] : 0.0;
            for (int x = 0; x < cw; ++x) {
              const double wx = x >= sh.first && x < sh.first + sh.count ? sh.values[x - sh.first] : 0.0;
              const double want = kAmplitude * wy * wx;
              energy += wy * wy * wx * wx;
              ASSERT_NEAR(plane[static_cast<size_t>(y) * g.width + x], want, tolerance)
                  << "band " << k << " coefficient " << r << "," << c << " sample " << y << ","
                  << x;
            }
          }
          EXPECT_NEAR(sv.energy * sh.energy, energy, 1e-6 * std::max(1.0, energy));
          ++checked;
        }
      }
    }
    EXPECT_GT(checked, 10);
  }
}

TEST(SynthesisResponses, RefusesExtentsTheLevelsCannotSplit) {
  SynthesisResponses r;
  EXPECT_FALSE(r.Build(36, 3, 0, true));  // not a multiple of 8
  EXPECT_FALSE(r.Build(8, 3, 0, true));   // a low band of one sample
  EXPECT_FALSE(r.Build(32, 3, 4, true));  // more uncoded levels than levels
  EXPECT_EQ(r.At(1, 0).count, 0);
  ASSERT_TRUE(r.Build(32, 3, 1, false));
  EXPECT_EQ(r.At(4, 0).count, 0);   // no such level
  EXPECT_EQ(r.At(1, 32).count, 0);  // beyond the level's extent
  EXPECT_GT(r.At(3, 7).count, 0);
}

RgbImage Photo(int width, int height, uint32_t seed) {
  RgbImage img;
  img.width = width;
  img.height = height;
  img.rgb.resize(static_cast<size_t>(width) * height * 3);
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0, 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const double u = x / 17.0, v = y / 11.0;
      const double base = 120 + 60 * std::sin(u) * std::cos(v) + (x > width / 2 ? 40 : 0);
      uint8_t* p = &img.rgb[(static_cast<size_t>(y) * width + x) * 3];
      p[0] = static_cast<uint8_t>(std::clamp(base + 30 * std::sin(v) + noise(rng), 0.0, 255.0));
      p[1] = static_cast<uint8_t>(std::clamp(base + noise(rng), 0.0, 255.0));
      p[2] = static_cast<uint8_t>(std::clamp(base - 25 * std::cos(u) + noise(rng), 0.0, 255.0));
    }
  }
  return img;
}

double FilePsnr(const RgbImage& original, const std::vector<uint8_t>& file) {
  RgbImage decoded;
  const Result r = Decode(file.data(), file.size(), &decoded);
  EXPECT_TRUE(r.ok()) << r.message;
  return r.ok() ? Psnr(original, decoded) : 0.0;
}

// At the same steps, the closed loop must give a better picture for about the
// same bits, with uncoded chroma levels too, and the files must stay sound.
TEST(ClosedLoop, RefinedFilesDecodeBetterForAboutTheSameSize) {
  const RgbImage img = Photo(160, 96, 4);
  PreparedPicture prep;
  ASSERT_TRUE(PreparePicture(img, 4, &prep));
  PlaneEncoder coder;
  EncoderTuning open;
  open.refinePasses = 0;
  const EncoderTuning closed;  // the default closes the loop
  ASSERT_GT(closed.refinePasses, 0);
  for (double step : {3.0, 8.0, 24.0}) {
    for (int cu : {0, 1}) {
      SCOPED_TRACE(testing::Message() << "step " << step << " chroma uncoded " << cu);
      const int uncoded[3] = {0, cu, cu};
      CodedPlane planes[3];
      const BuiltFile a = BuildFile(prep, step, uncoded, -1, open, &coder);
      const BuiltFile b = BuildFile(prep, step, uncoded, -1, closed, &coder, false, planes);
      ASSERT_TRUE(a.fits && b.fits);
      size_t refined = 0;
      for (const CodedPlane& p : planes) refined += p.refined;
      EXPECT_GT(refined, 0u);
      const double pa = FilePsnr(img, a.bytes), pb = FilePsnr(img, b.bytes);
      EXPECT_GT(pb, pa + 0.1);
      EXPECT_LT(static_cast<double>(b.bytes.size()), 1.1 * static_cast<double>(a.bytes.size()));
    }
  }
}

// Chroma refined against the luma error it can cancel: a wrong sign or weight
// in the cross terms would make the picture worse, not better.
TEST(ClosedLoop, ChromaTargetsThatCancelLumaErrorsLowerThePictureError) {
  const RgbImage img = Photo(192, 128, 12);
  PreparedPicture prep;
  ASSERT_TRUE(PreparePicture(img, 4, &prep));
  PlaneEncoder coder;
  EncoderTuning separate;
  separate.crossPlane = false;
  const EncoderTuning joint;
  ASSERT_TRUE(joint.crossPlane);
  for (double step : {6.0, 16.0}) {
    const int uncoded[3] = {0, 0, 0};
    const BuiltFile a = BuildFile(prep, step, uncoded, -1, separate, &coder);
    const BuiltFile b = BuildFile(prep, step, uncoded, -1, joint, &coder);
    ASSERT_TRUE(a.fits && b.fits);
    const double pa = FilePsnr(img, a.bytes), pb = FilePsnr(img, b.bytes);
    EXPECT_GT(pb, pa + 0.03) << step;
    EXPECT_LT(static_cast<double>(b.bytes.size()), 1.02 * static_cast<double>(a.bytes.size()));
  }
}

TEST(ClosedLoop, RateControlledEncodeBeatsTheOpenLoop) {
  const RgbImage img = Photo(200, 136, 9);  // the region is 200 x 136 at 3 levels
  for (int target : {2500, 6000}) {
    EncodeOptions options;
    options.targetSize = target;
    EncoderTuning open;
    open.refinePasses = 0;
    std::vector<uint8_t> a, b;
    EncodeReport ra, rb;
    ASSERT_TRUE(EncodeTuned(img, options, open, &a, &ra).ok());
    ASSERT_TRUE(Encode(img, options, &b, &rb).ok());
    EXPECT_LE(b.size(), static_cast<size_t>(target));
    EXPECT_GE(b.size(), static_cast<size_t>(target) * 95 / 100);
    EXPECT_GT(rb.psnr, ra.psnr + 0.1) << target;
    EXPECT_NEAR(FilePsnr(img, b), rb.psnr, 1e-9);
  }
}

// With a target, the automatic choice of uncoded chroma levels must do as well
// as the best fixed choice, whichever that is: a colour cast over textured grey
// favours chroma made of its low band alone (by 0.2 dB), small blocks of
// saturated colours chroma with all its details (by 4 dB).
TEST(EncoderChoices, AutomaticChromaLevelsMatchTheBestFixedChoice) {
  RgbImage smooth, detailed;
  for (RgbImage* img : {&smooth, &detailed}) {
    img->width = 192;
    img->height = 128;
    img->rgb.resize(192 * 128 * 3);
  }
  std::mt19937 rng(8);
  std::uniform_int_distribution<int> texture(-40, 40), colour(0, 255);
  int block[3] = {};
  for (int y = 0; y < 128; ++y) {
    for (int x = 0; x < 192; ++x) {
      // Textured grey under a gentle colour cast.
      uint8_t* p = &smooth.rgb[(static_cast<size_t>(y) * 192 + x) * 3];
      const int grey = 128 + texture(rng);
      p[0] = static_cast<uint8_t>(std::clamp(grey + x / 4 - 24, 0, 255));
      p[1] = static_cast<uint8_t>(grey);
      p[2] = static_cast<uint8_t>(std::clamp(grey + y / 3 - 21, 0, 255));
      // Small blocks of saturated colours.
      if (x % 4 == 0 && y % 4 == 0) {
        for (int& b : block) b = colour(rng);
      }
      if (x % 4 == 0 && y % 4 != 0) {
        const uint8_t* above = &detailed.rgb[(static_cast<size_t>(y - 1) * 192 + x) * 3];
        for (int k = 0; k < 3; ++k) block[k] = above[k];
      }
      uint8_t* q = &detailed.rgb[(static_cast<size_t>(y) * 192 + x) * 3];
      for (int k = 0; k < 3; ++k) q[k] = static_cast<uint8_t>(block[k]);
    }
  }
  for (RgbImage* img : {&smooth, &detailed}) {
    EncodeOptions options;
    options.targetSize = 12000;
    options.levels = 4;
    double bestFixed = 0;
    int bestLevels = -1;
    for (int cu = 0; cu <= 4; ++cu) {
      EncoderTuning fixed;
      fixed.chromaUncoded = cu;
      std::vector<uint8_t> file;
      EncodeReport report;
      ASSERT_TRUE(EncodeTuned(*img, options, fixed, &file, &report).ok()) << cu;
      EXPECT_EQ(report.uncodedLevels[1], cu);
      EXPECT_EQ(report.uncodedLevels[2], cu);
      if (report.psnr > bestFixed) bestFixed = report.psnr, bestLevels = cu;
    }
    std::vector<uint8_t> file;
    EncodeReport report;
    ASSERT_TRUE(Encode(*img, options, &file, &report).ok());
    EXPECT_GE(report.psnr, bestFixed - 0.1)
        << "best fixed choice " << bestLevels << ", automatic " << report.uncodedLevels[1];
  }
}

}  // namespace
}  // namespace kdz
