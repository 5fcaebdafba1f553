// The image encoder: colour planes, forward transform, per-band steps, plane
// coding, and the search for the best quality that fits the limits or a target.
#include "encoder/image_encoder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <string>

#include "codec/file_format.h"
#include "codec/coeff_decoder.h"
#include "encoder/forward_wavelet.h"

namespace kdz {
namespace {

// Coefficients stay well inside 16 bits so that dequantised values and the
// synthesis's intermediate sums cannot wrap.
constexpr double kMaxCoefficient = 16000;
// How much each plane's error counts in the RGB error: the squared lengths of the
// decoder matrix's columns, over 3 (luma reaches all three bytes with weight 1).
constexpr double kPlaneWeight[3] = {
    1.0,
    (979.0 * 979 + 279.0 * 279 + 1133.0 * 1133) / (3 * 1024.0 * 1024),
    (636.0 * 636 + 662.0 * 662 + 1744.0 * 1744) / (3 * 1024.0 * 1024),
};
// The RGB error of a pixel is the sum over its bytes of (eY + cI eI + cQ eQ)^2
// with the decoder matrix's chroma coefficients. Over 3, the cross terms give
// each chroma plane a target that cancels part of the errors coded before it:
// 'i' aims at kShiftIY * eY, 'q' at kShiftQY * eY + kShiftQI * eI.
constexpr double kSumI = (979.0 - 279 - 1133) / 1024, kSumQ = (636.0 - 662 + 1744) / 1024;
constexpr double kSumIQ = (979.0 * 636 + 279.0 * 662 - 1133.0 * 1744) / (1024.0 * 1024);
constexpr double kShiftIY = -kSumI / (3 * kPlaneWeight[1]);
constexpr double kShiftQY = -kSumQ / (3 * kPlaneWeight[2]);
constexpr double kShiftQI = -kSumIQ / (3 * kPlaneWeight[2]);
// What decoding costs a thread, in nanoseconds, for cutting 'y' in two segments
// that two threads decode at once (see BalancedLumaSplit): a symbol and a bit of
// the first segment of 'y' (arithmetic decoding, model update and placing the
// value), the placing alone, the second segment's value-only decoding against the
// first's without the placing, a chroma plane's symbol and bit (with its placing),
// and a plane's pixel (its pages and inverse transform). Not timed one by one: the
// decoder's threads share their work at run time (a free thread takes a chroma
// plane, or the placing of 'y'), so these were fitted to the cut that measured
// fastest, in process (24- and 8-bit) and as a whole process alike, on the five
// shared pictures at 0.5, 1 and 1.5 bits per pixel, each file cut at every 1/40
// of its values; of the fits as good as the best, these are the ones that stay
// so when each constant is 10 % off. Against the constants they replaced (which
// gave 'i' and 'q' always to the second thread), the files decode about 5 %
// faster in process at 24 bits and 2 % at 8, and as fast as a whole process.
constexpr double kLumaSymbolNs = 12;
constexpr double kLumaBitNs = 7;
constexpr double kPlaceNs = 6;
constexpr double kAheadFactor = 0.9;
constexpr double kChromaSymbolNs = 13.5;
constexpr double kChromaBitNs = 8;
constexpr double kPlanePixelNs = 1.8;
// The cuts tried: the detail values of 'y' in this many steps.
constexpr int kCutSteps = 64;
// A second segment shorter than this saves too little to pay for its fresh model.
constexpr double kMinSecondSegment = 2000;
constexpr double kMinStep = 0.35;
constexpr double kMaxStep = 4000;

// Synthesis gains by level (1..10) and orientation, computed once.
const std::array<std::array<double, 4>, kMaxLevels + 1>& Gains() {
  static const auto table = [] {
    std::array<std::array<double, 4>, kMaxLevels + 1> t{};
    for (int m = 1; m <= kMaxLevels; ++m) {
      for (int o = 0; o < 4; ++o) t[m][o] = BandGain(m, o);
    }
    return t;
  }();
  return table;
}

// Level m (1 = finest) and orientation of subband n for `levels` levels.
void BandOf(int n, int levels, int* m, int* orientation) {
  if (n == 3 * levels) {
    *m = levels;
    *orientation = 0;
    return;
  }
  *m = n / 3 + 1;
  static const int kOrientation[3] = {2, 1, 3};  // lower-left, upper-right, lower-right
  *orientation = kOrientation[n % 3];
}

void StepToScale(double step, int16_t* scalePos, int16_t* scaleNeg, int16_t* scaleDiv) {
  step = std::clamp(step, 1.0 / 1024, 32767.0);
  const int div = std::clamp(static_cast<int>(32767 / step), 1, 32767);
  const int pos = std::clamp(static_cast<int>(std::lround(step * div)), 1, 32767);
  *scalePos = static_cast<int16_t>(pos);
  *scaleNeg = static_cast<int16_t>(-pos);
  *scaleDiv = static_cast<int16_t>(div);
}

}  // namespace

// The JPEG-like scale: 50 is the reference step, higher qualities shrink it
// linearly to the finest step at 100, lower ones grow it as 50/q.
double QualityToStep(double quality) {
  quality = std::clamp(quality, 1.0, 100.0);
  const double scale = quality < 50 ? 50.0 / quality : (100.0 - quality) / 50.0;
  return std::max(kMinStep, 24.0 * scale);
}

double StepToQuality(double step) {
  if (step <= kMinStep) return 100.0;
  if (step <= 24.0) return std::max(50.0, 100.0 - 50.0 * step / 24.0);
  return std::clamp(50.0 * 24.0 / step, 1.0, 50.0);
}

// Deeper levels shrink the low band, whose samples are coded one by one; below a
// few hundred samples that no longer pays, and the deeper levels' rounding adds up.
int MaxLevelsFor(int width, int height, int cap) {
  constexpr int64_t kSmallestLowBand = 200;
  int levels = 0;
  while (levels < std::min(cap, kMaxLevels)) {
    const int64_t cols = width >> (levels + 1), rows = height >> (levels + 1);
    if (cols < 2 || rows < 2) break;
    if (cols * rows < kSmallestLowBand && levels + 1 > 3) break;
    ++levels;
  }
  return levels;
}

namespace {

bool PrepareWithBias(const RgbImage& picture, int levels, int bias, PreparedPicture* out) {
  out->lumaBias = bias;
  RgbToYiq(picture, bias, &out->samples);
  out->planes = out->samples;
  std::vector<int32_t>* planes[3] = {&out->planes.y, &out->planes.i, &out->planes.q};
  const int bands = BandCount(levels);
  for (int p = 0; p < 3; ++p) {
    ForwardTransformPlane(planes[p], picture.width, picture.height, levels);
    for (int k = 0; k < bands; ++k) {
      const Band band = BandAt(picture.width, picture.height, levels, k);
      double m = 0;
      for (int r = band.row0; r < band.row0 + band.rows; ++r) {
        const int32_t* row = planes[p]->data() + static_cast<size_t>(r) * picture.width;
        for (int c = band.col0; c < band.col0 + band.cols; ++c) {
          m = std::max(m, std::abs(static_cast<double>(row[c])));
        }
      }
      out->maxAbs[p][band.n] = m;
      if (m > kMaxCoefficient) return false;
    }
  }
  return true;
}

}  // namespace

bool PreparePicture(const RgbImage& picture, int levels, PreparedPicture* out) {
  out->width = picture.width;
  out->height = picture.height;
  out->levels = levels;
  out->coveredWidth = (picture.width >> levels) << levels;
  out->coveredHeight = (picture.height >> levels) << levels;
  // Pixels outside the transformed region show the bias as a grey; pick the one
  // nearest to them. Luma minus the bias then spans up to -255..255, which deep
  // levels may not hold: centred luma is the fallback.
  const int border = BestUncoveredGrey(picture, out->coveredWidth, out->coveredHeight);
  if (PrepareWithBias(picture, levels, border, out)) return true;
  return border != 128 && PrepareWithBias(picture, levels, 128, out);
}

namespace {

// The predicted time, in nanoseconds, of two threads decoding a picture of
// `pixels` pixels whose 'y' holds `values` values in `lumaBits` bits, `s` values
// and `b` bits of them after the cut (0 and 0: no cut), with chroma planes that
// take one thread `chromaNs` each.
double TwoThreadDecodeNs(double s, double b, double values, double lumaBits, const double chromaNs[2],
                         double pixels) {
  // The second thread decodes the second segment's values; the first reads the
  // first segment into the plane, places the second segment's values (not before
  // they are decoded) and transforms 'y'. Each chroma plane goes to the thread
  // free first.
  const double first = kLumaSymbolNs * (values - s) + kLumaBitNs * (lumaBits - b);
  double two = kAheadFactor * ((kLumaSymbolNs - kPlaceNs) * s + kLumaBitNs * b);
  double one = std::max(first + kPlaceNs * s, two) + kPlanePixelNs * pixels;
  bool oneTookChroma = false;
  for (int p = 0; p < 2; ++p) {
    if (two <= one) {
      two += chromaNs[p];
    } else {
      one += chromaNs[p];
      oneTookChroma = true;
    }
  }
  if (oneTookChroma || two >= first) return std::max(one, two);
  // The second thread is free while the first still reads its segment: it takes
  // the placing of the rest, and the first only decodes.
  const double rest = first - two;
  const double placingShare = kPlaceNs * (values - s) / first;
  return two + std::max(rest * (1 - placingShare), rest * placingShare + kPlaceNs * s + kPlanePixelNs * pixels);
}

}  // namespace

size_t BalancedLumaSplit(const CodedPlane coded[3], size_t lowBandSymbols, size_t pixels) {
  const std::vector<uint32_t> bits = BitsAfterEachValue(coded[0]);
  if (bits.size() <= lowBandSymbols) return 0;
  const double values = static_cast<double>(bits.size());
  const double lumaBits = bits.back();
  const double n = static_cast<double>(pixels);
  double chromaNs[2];
  for (int p = 1; p < 3; ++p) {
    const double chromaBits =
        8.0 * static_cast<double>(coded[p].data.size() + coded[p].second.size() - 1 - coded[p].valueCount);
    chromaNs[p - 1] = kChromaSymbolNs * static_cast<double>(coded[p].symbolCount) + kChromaBitNs * chromaBits +
                      kPlanePixelNs * n;
  }
  // The fastest of no cut and cuts every 1/kCutSteps of the detail values; on a
  // tie the one found first: no cut, or the shorter second segment.
  const size_t span = bits.size() - lowBandSymbols;
  size_t bestAt = 0;
  double bestNs = TwoThreadDecodeNs(0, 0, values, lumaBits, chromaNs, n);
  for (int k = 1; k < kCutSteps; ++k) {
    const size_t second = span * static_cast<size_t>(k) / kCutSteps;
    if (static_cast<double>(second) < kMinSecondSegment) continue;
    const size_t at = bits.size() - second;
    const double ns = TwoThreadDecodeNs(static_cast<double>(second), lumaBits - bits[at - 1], values, lumaBits,
                                        chromaNs, n);
    if (ns < bestNs) {
      bestNs = ns;
      bestAt = at;
    }
  }
  return bestAt;
}

BuiltFile BuildFile(const PreparedPicture& prep, double step, const int uncoded[3],
                    int splitLevel, const EncoderTuning& tuning, PlaneEncoder* coder,
                    bool keepSymbols, CodedPlane* planesOut) {
  BuiltFile built;
  FileLayout layout;
  layout.width = prep.width;
  layout.height = prep.height;
  layout.levels = prep.levels;
  layout.lumaBias = prep.lumaBias;
  const auto& gains = Gains();
  const int rows = 3 * prep.levels + 1;
  const std::vector<int32_t>* planes[3] = {&prep.planes.y, &prep.planes.i, &prep.planes.q};
  const std::vector<int32_t>* samples[3] = {&prep.samples.y, &prep.samples.i, &prep.samples.q};
  CodedPlane coded[3];
  // Without a cut asked for, 'y' is cut for two decoding threads once all planes are coded.
  const bool balance = splitLevel == -1 && tuning.balanceSegments && prep.levels > 0;
  // Decoded errors of 'y' and 'i', and the target shift of the chroma plane.
  std::vector<float> errorY, errorI, shift;
  for (int p = 0; p < 3; ++p) {
    layout.uncodedLevels[p] = uncoded[p];
    const double planeStep =
        step / std::sqrt(kPlaneWeight[p]) * (p == 0 ? 1.0 : tuning.chromaWeight);
    PlaneJob job;
    job.coefficients = planes[p]->data();
    job.width = prep.width;
    job.height = prep.height;
    job.levels = prep.levels;
    job.uncodedLevels = uncoded[p];
    job.deadZone = tuning.deadZone;
    job.keepSymbols = keepSymbols || (p == 0 && balance);
    if (tuning.refinePasses > 0 && samples[p]->size() == planes[p]->size()) {
      job.samples = samples[p]->data();
      job.sampleWeight = kPlaneWeight[p];
      job.refinePasses = tuning.refinePasses;
      if (p > 0 && tuning.crossPlane && !errorY.empty()) {
        shift.resize(errorY.size());
        for (size_t k = 0; k < shift.size(); ++k) {
          shift[k] = static_cast<float>(
              p == 1 ? kShiftIY * errorY[k]
                     : kShiftQY * errorY[k] + (errorI.empty() ? 0.0 : kShiftQI * errorI[k]));
        }
        job.targetShift = shift.data();
      }
    }
    // Errors are weighed in picture units: band gain times the plane's weight in
    // RGB; with the plane steps above, lambda ~ step^2 balances rate and error.
    job.lambda = tuning.rdo * step * step;
    job.prunePasses = tuning.prunePasses;
    for (int n = 0; n < rows; ++n) {
      int m, o;
      BandOf(n, prep.levels, &m, &o);
      const double gain = prep.levels == 0 ? 1.0 : gains[m][o];
      // Coefficients are integers, so a step below 1 buys nothing; the largest
      // coefficient must stay within the quantised range.
      const double bandStep = std::max(
          {planeStep / std::sqrt(gain), 1.0, prep.maxAbs[p][n] / kMaxQuantised});
      StepToScale(bandStep, &layout.scalePos[p][n], &layout.scaleNeg[p][n],
                  &layout.scaleDiv[p][n]);
      job.scalePos[n] = layout.scalePos[p][n];
      job.scaleNeg[n] = layout.scaleNeg[p][n];
      job.scaleDiv[n] = layout.scaleDiv[p][n];
      job.weight[n] = gain * kPlaneWeight[p];
    }
    const int limit = prep.levels - uncoded[p];
    if (splitLevel >= -1) {
      job.splitLevel = splitLevel;
      coded[p] = coder->Encode(job);
    } else {
      // Try a fresh model for the two finest coded levels and keep the smallest.
      job.splitLevel = -1;
      coded[p] = coder->Encode(job);
      for (int j = std::max(1, limit - 2); j < limit; ++j) {
        job.splitLevel = j;
        CodedPlane alt = coder->Encode(job);
        if (alt.data.size() + alt.second.size() < coded[p].data.size() + coded[p].second.size()) {
          coded[p] = std::move(alt);
        }
      }
    }
    if (tuning.crossPlane && p < 2) coder->DecodedError(job, p == 0 ? &errorY : &errorI);
  }
  if (balance) {
    const Band low = BandAt(prep.width, prep.height, prep.levels, 0);
    const size_t lowSymbols = static_cast<size_t>(low.rows) * static_cast<size_t>(low.cols);
    const size_t at = BalancedLumaSplit(coded, lowSymbols, static_cast<size_t>(prep.width) * prep.height);
    if (at > 0) coded[0] = WithSecondSegment(coded[0], at, lowSymbols);
    if (!keepSymbols) coded[0].symbols = std::vector<int>();
  }
  built.fits = WriteKdzFile(layout, coded, &built.bytes, &built.why);
  size_t at = static_cast<size_t>(HeaderEnd23(prep.levels));
  double load = 0;
  for (int p = 0; p < 3; ++p) {
    if (p > 0) load = std::max(load, static_cast<double>(at) / 65535);
    at += coded[p].data.size();
    if (!coded[p].second.empty()) load = std::max(load, static_cast<double>(at) / 65535);
    at += coded[p].second.size();
  }
  built.length = at;
  built.limitLoad = std::max(load, static_cast<double>(at) / static_cast<double>(kMaxFileSize - 1));
  EncodeReport& r = built.report;
  r.width = prep.width;
  r.height = prep.height;
  r.levels = prep.levels;
  r.step = step;
  r.quality = StepToQuality(step);
  r.lumaBias = prep.lumaBias;
  r.coveredWidth = prep.coveredWidth;
  r.coveredHeight = prep.coveredHeight;
  r.fileSize = built.bytes.size();
  for (int p = 0; p < 3; ++p) {
    r.uncodedLevels[p] = uncoded[p];
    r.planeBytes[p] = coded[p].data.size() + coded[p].second.size();
    r.secondSegment[p] = !coded[p].second.empty();
    r.valueCount[p] = coded[p].valueCount;
    r.zeroTreeRoots[p] = coded[p].roots;
    r.endSymbol[p] = coded[p].ended;
    if (planesOut) planesOut[p] = std::move(coded[p]);
  }
  if (!built.fits) built.bytes.clear();
  return built;
}

double Psnr(const RgbImage& a, const RgbImage& b) {
  if (a.rgb.size() != b.rgb.size() || a.rgb.empty()) return 0;
  double se = 0;
  for (size_t k = 0; k < a.rgb.size(); ++k) {
    const double d = static_cast<double>(a.rgb[k]) - b.rgb[k];
    se += d * d;
  }
  if (se == 0) return 99.0;
  return 10.0 * std::log10(255.0 * 255.0 * static_cast<double>(a.rgb.size()) / se);
}

namespace {

Result Fail(Error e, std::string message) { return Result{e, std::move(message)}; }

// The smallest step (best quality) whose file fits `budget` bytes. The search
// works on the file's occupancy, the larger of its share of the budget and of
// the format's tightest limit, which falls roughly as a power of the step: it
// interpolates in log-log terms between a fitting and a failing step. `start`
// is tried first; with `exact` false it wins when it fits (a quality was asked
// for), otherwise the search goes on until the occupancy reaches `fill` or the
// bracket is within 1 % (3 % without a target). Outside a bracket the exponent
// is the one the last two builds show, or *slope (about -1.3 unless an earlier
// search of the same picture measured it), which receives the last exponent
// measured.
bool SearchStep(const PreparedPicture& prep, double start, bool exact, size_t budget,
                const int uncoded[3], const EncoderTuning& tuning, PlaneEncoder* coder,
                BuiltFile* best, int* trials, double* slope, double fill) {
  auto build = [&](double step) {
    ++*trials;
    return BuildFile(prep, step, uncoded, tuning.splitLevel, tuning, coder);
  };
  auto fitsBudget = [&](const BuiltFile& f) { return f.fits && f.bytes.size() <= budget; };
  auto occupancy = [&](const BuiltFile& f) {
    return std::max(static_cast<double>(f.length) / static_cast<double>(budget), f.limitLoad);
  };
  const double aim = (1 + fill) / 2;  // as far from the limit as from the fill
  double lo = 0, hi = 0;            // failing and fitting steps, 0 while unknown
  double loSize = 0, hiSize = 0;    // their occupancies
  BuiltFile good;
  double step = std::clamp(start, kMinStep, kMaxStep);
  double lastStep = 0, lastSize = 0;  // the previous build
  for (int round = 0; round < 40; ++round) {
    BuiltFile f = build(step);
    const double size = occupancy(f);
    if (lastStep > 0 && std::fabs(std::log(step / lastStep)) > 1e-3) {
      *slope = std::clamp(std::log(size / lastSize) / std::log(step / lastStep), -4.0, -0.4);
    }
    lastStep = step;
    lastSize = size;
    if (fitsBudget(f)) {
      hi = step;
      hiSize = size;
      good = std::move(f);
      if (!exact && round == 0) break;
      if (size >= fill || step <= kMinStep) break;
    } else {
      lo = step;
      loSize = size;
      if (step >= kMaxStep) return false;
    }
    if (hi > 0 && lo > 0 && hi / lo < (exact ? 1.01 : 1.03)) break;
    // Next step: interpolate log size against log step where both ends are
    // known, else extrapolate.
    double next;
    if (hi > 0 && lo > 0) {
      const double chord = std::log(hiSize / loSize) / std::log(hi / lo);
      next = chord < -0.05 ? hi * std::exp(std::log(aim / hiSize) / chord)
                           : std::sqrt(lo * hi);
      // Keep inside the bracket so that it always shrinks.
      const double l = std::log(lo), h = std::log(hi);
      const double t = std::clamp((std::log(next) - l) / (h - l), 0.1, 0.9);
      next = std::exp(l + t * (h - l));
    } else {
      const double ratio = (hi > 0 ? hiSize : loSize) / aim;
      next = step * std::pow(ratio, -1 / *slope);
      if (hi > 0) next = std::min(next, hi / 1.005);
      if (lo > 0) next = std::max(next, lo * 1.05);
    }
    step = std::clamp(next, kMinStep, kMaxStep);
    if (step == (hi > 0 ? hi : -1) || step == lo) break;
  }
  if (hi == 0) return false;
  *best = std::move(good);
  return true;
}

}  // namespace

Result EncodeTuned(const RgbImage& picture, const EncodeOptions& options,
                   const EncoderTuning& tuning, std::vector<uint8_t>* out, EncodeReport* report) {
  if (out) out->clear();
  if (!out) return Fail(Error::kInvalidArgument, "no output buffer");
  const int w = picture.width, h = picture.height;
  if (w < 1 || h < 1 || w > 32767 || h > 32767) {
    return Fail(Error::kInvalidArgument, "picture size " + std::to_string(w) + " x " +
                                             std::to_string(h) + " outside 1..32767");
  }
  if (static_cast<uint64_t>(w) * static_cast<uint64_t>(h) > kDefaultMaxPixels) {
    return Fail(Error::kInvalidArgument, "picture of " + std::to_string(w) + " x " +
                                             std::to_string(h) +
                                             " pixels exceeds the decoders' 8192 x 8192 limit");
  }
  if (picture.rgb.size() != static_cast<size_t>(w) * h * 3) {
    return Fail(Error::kInvalidArgument, "pixel data does not match the picture size");
  }
  if (options.quality < 1 || options.quality > 100) {
    return Fail(Error::kInvalidArgument, "quality " + std::to_string(options.quality) +
                                             " outside 1..100");
  }
  if (options.targetSize < 0) return Fail(Error::kInvalidArgument, "negative target size");
  if (options.levels < -1 || options.levels > kMaxLevels) {
    return Fail(Error::kInvalidArgument, "levels " + std::to_string(options.levels) +
                                             " outside 0..10");
  }
  if (options.levels > 0 && ((w >> options.levels) < 2 || (h >> options.levels) < 2)) {
    return Fail(Error::kInvalidArgument,
                "levels " + std::to_string(options.levels) + " too many for a " +
                    std::to_string(w) + " x " + std::to_string(h) +
                    " picture (the low band needs 2 x 2 samples)");
  }

  // Candidate level counts: the deepest of each distinct transformed region, as
  // the region decides which border pixels are lost to the bias grey. Those with
  // the smallest loss come first; a candidate whose border alone costs more than
  // the best file found so far cannot win and is skipped.
  struct Candidate {
    int levels;
    double borderError;  // squared error of the untransformed border, over 3
  };
  std::vector<Candidate> candidates;
  if (options.levels >= 0) {
    candidates.push_back({options.levels, 0.0});
  } else {
    const int top = MaxLevelsFor(w, h, tuning.maxLevels);
    int lastW = -1, lastH = -1;
    for (int l = top; l >= std::min(top, 2); --l) {
      const int cw = (w >> l) << l, ch = (h >> l) << l;
      if (cw == lastW && ch == lastH) continue;
      lastW = cw;
      lastH = ch;
      double border = 0;
      BestUncoveredGrey(picture, cw, ch, &border);
      candidates.push_back({l, border});
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return a.borderError < b.borderError; });
  }

  const size_t budget = options.targetSize > 0
                            ? std::min<size_t>(static_cast<size_t>(options.targetSize), kMaxFileSize - 1)
                            : kMaxFileSize - 1;
  const bool exact = options.targetSize > 0;
  // With a target, start from the step that ordinary photographs need for its
  // bits per pixel (about 16 at one bit, in inverse proportion); the search
  // corrects it.
  const double bitsPerPixel = 8.0 * static_cast<double>(budget) / (static_cast<double>(w) * h);
  const double start = exact ? std::clamp(16.0 / bitsPerPixel, 2.0, 400.0)
                             : QualityToStep(options.quality);
  PlaneEncoder coder;
  BuiltFile best;
  double bestPsnr = -1;
  double bestScore = 0;
  int trials = 0;
  std::string lastWhy;
  bool rangeFailed = false;
  // The choices are compared on open-loop files, which are twice as fast to
  // build, filled to within a few per cent of the target; the closed loop then
  // remakes the winner.
  constexpr double kChoiceFill = 0.97;
  constexpr double kChoiceDbPerDoubling = 4.0;  // of a photograph near one bit per pixel
  constexpr double kFinalFill = 0.99;
  constexpr double kClosedLoopGrowth = 1.04;
  constexpr double kFineStep = 4.0;
  EncoderTuning openLoop = tuning;
  openLoop.refinePasses = 0;
  std::shared_ptr<const PreparedPicture> bestPrep;
  int bestUncoded[3] = {};
  double bestSlope = -1.3;
  auto scoreOf = [&](const BuiltFile& f, double psnr) {
    // With a target the best picture wins; at a given quality the best trade
    // of error against bits, weighed as the pruning weighs them.
    const double error = std::pow(10.0, -psnr / 10) * 255.0 * 255.0 * w * h;
    const double bits = exact ? 0.0 : 8.0 * static_cast<double>(f.bytes.size());
    return -(error + tuning.rdo * f.report.step * f.report.step * bits);
  };
  for (const Candidate& candidate : candidates) {
    if (bestPsnr >= 0 && candidate.borderError >= -bestScore) continue;
    int levels = candidate.levels;
    auto prepHolder = std::make_shared<PreparedPicture>();
    PreparedPicture& prep = *prepHolder;
    bool prepared = PreparePicture(picture, levels, &prep);
    // Too deep for 16-bit coefficients: with automatic levels, one level less.
    while (!prepared && options.levels < 0 && levels > 0) {
      prepared = PreparePicture(picture, --levels, &prep);
    }
    if (!prepared) {
      rangeFailed = true;
      continue;
    }
    // Chroma without its finest details: none and one level are both tried,
    // then more while each beats the one before, and chroma made of its low
    // band alone (which smooth colours favour).
    const bool fixedChroma = tuning.chromaUncoded >= 0;
    const int firstChroma = fixedChroma ? std::min(tuning.chromaUncoded, levels) : 0;
    const int lastChroma = fixedChroma ? firstChroma : (levels >= 2 ? levels : 0);
    double found = start;
    double slope = -1.3;
    std::vector<double> chromaScore(static_cast<size_t>(lastChroma) + 1,
                                    -std::numeric_limits<double>::infinity());
    bool improving = true;
    for (int cu = firstChroma; cu <= lastChroma; ++cu) {
      if (cu >= firstChroma + 2 &&
          chromaScore[static_cast<size_t>(cu) - 1] <= chromaScore[static_cast<size_t>(cu) - 2]) {
        improving = false;
      }
      if (!improving && cu < lastChroma) continue;
      const int uncoded[3] = {0, cu, cu};
      BuiltFile f;
      // Later searches start where the first one ended.
      if (!SearchStep(prep, found, exact, budget, uncoded, openLoop, &coder, &f, &trials, &slope,
                      kChoiceFill)) {
        lastWhy = options.targetSize > 0
                      ? "the picture does not fit in " + std::to_string(options.targetSize) +
                            " bytes even at the lowest quality"
                      : "the picture does not fit in a KDZ file (below 80000 bytes, planes "
                        "below offset 65536) even at the lowest quality";
        continue;
      }
      found = f.report.step;
      RgbImage decoded;
      const Result dr = Decode(f.bytes.data(), f.bytes.size(), &decoded);
      if (!dr.ok()) return Fail(Error::kInvalidArgument, "internal error: " + dr.message);
      const double psnr = Psnr(picture, decoded);
      // The searches stop anywhere between kChoiceFill and the budget: the
      // choices are compared as if each filled the budget.
      const double filled = exact ? kChoiceDbPerDoubling *
                                        std::log2(static_cast<double>(budget) /
                                                  static_cast<double>(f.bytes.size()))
                                  : 0.0;
      const double score = scoreOf(f, psnr + filled);
      chromaScore[static_cast<size_t>(cu)] = score;
      if (bestPsnr < 0 || score > bestScore) {
        bestScore = score;
        bestPsnr = psnr;
        best = std::move(f);
        best.report.psnr = psnr;
        bestPrep = prepHolder;
        bestSlope = slope;
        std::copy(uncoded, uncoded + 3, bestUncoded);
      }
    }
  }
  if (bestPsnr >= 0) bestScore = scoreOf(best, bestPsnr);
  if (bestPsnr >= 0 && tuning.refinePasses > 0) {
    BuiltFile f;
    // The closed loop spends a few per cent more bits at a given step.
    const double from = exact ? best.report.step * std::pow(kClosedLoopGrowth, -1 / bestSlope)
                              : best.report.step;
    if (SearchStep(*bestPrep, from, exact, budget, bestUncoded, tuning, &coder, &f, &trials,
                   &bestSlope, kFinalFill)) {
      RgbImage decoded;
      const Result dr = Decode(f.bytes.data(), f.bytes.size(), &decoded);
      if (!dr.ok()) return Fail(Error::kInvalidArgument, "internal error: " + dr.message);
      const double psnr = Psnr(picture, decoded);
      if (scoreOf(f, psnr) > bestScore) {
        bestScore = scoreOf(f, psnr);
        best = std::move(f);
        best.report.psnr = psnr;
      }
    }
    // At the finest steps the integer synthesis rather than the quantiser limits
    // the picture, and a coarser step may decode better: with a target, the
    // best picture that fits wins.
    const double base = best.report.step;
    for (double factor : {1.4, 2.0}) {
      if (!exact || base >= kFineStep) break;
      ++trials;
      BuiltFile g = BuildFile(*bestPrep, base * factor, bestUncoded, tuning.splitLevel, tuning, &coder);
      if (!g.fits || g.bytes.size() > budget) continue;
      RgbImage decoded;
      const Result dr = Decode(g.bytes.data(), g.bytes.size(), &decoded);
      if (!dr.ok()) return Fail(Error::kInvalidArgument, "internal error: " + dr.message);
      const double psnr = Psnr(picture, decoded);
      if (scoreOf(g, psnr) <= bestScore) break;
      bestScore = scoreOf(g, psnr);
      best = std::move(g);
      best.report.psnr = psnr;
    }
  }
  if (bestPsnr < 0) {
    if (rangeFailed && lastWhy.empty()) {
      return Fail(Error::kInvalidArgument, "the wavelet coefficients exceed 16 bits at every level count");
    }
    return Fail(Error::kFileTooLarge, lastWhy.empty() ? "no encoding fits" : lastWhy);
  }
  best.report.trials = trials;
  if (report) *report = best.report;
  *out = std::move(best.bytes);
  return Result{};
}

Result Encode(const RgbImage& picture, const EncodeOptions& options, std::vector<uint8_t>* out,
              EncodeReport* report) {
  return EncodeTuned(picture, options, EncoderTuning{}, out, report);
}

}  // namespace kdz
