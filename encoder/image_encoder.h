// The image encoder's inner steps, apart from the public entry point, so that
// tests, benchmarks and tuning tools can drive them one by one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "encoder/forward_color.h"
#include "encoder/kdz_writer.h"
#include "encoder/plane_encoder.h"
#include "kdz/encoder.h"

namespace kdz {

// Knobs of the encoder; the defaults are what Encode uses.
struct EncoderTuning {
  double deadZone = 0.0;       // rounding offset of the quantiser, in steps
  double chromaWeight = 1.0;   // extra step factor for 'i' and 'q'
  int chromaUncoded = -1;      // uncodedLevels of 'i' and 'q'; -1 tries 0 and 1
  int splitLevel = -1;         // second segment from this detail level; -2 picks, -1 none
  // With splitLevel -1: a second segment of 'y' where two threads decode the
  // picture in about equal time (see BalancedLumaSplit).
  bool balanceSegments = true;
  double rdo = 0.1;            // rate-distortion pruning: lambda = rdo * step^2; 0 off
  int prunePasses = 1;         // rate-distortion pruning passes (with rdo > 0)
  int refinePasses = 3;        // closed-loop passes against the decoder's synthesis; 0 off
  bool crossPlane = true;      // chroma refined against the errors of the planes before it
  int maxLevels = 8;
};

// A picture prepared for one choice of levels: planes transformed, the largest
// coefficient of each band known.
struct PreparedPicture {
  int width = 0, height = 0;
  int levels = 0;
  int lumaBias = 128;
  int coveredWidth = 0, coveredHeight = 0;
  YiqPlanes planes;            // transformed
  YiqPlanes samples;           // the same planes before the transform
  double maxAbs[3][kSubbandRows] = {};
};

// Quality 1..100 and the base step, both ways (continuous).
double QualityToStep(double quality);
double StepToQuality(double step);

// The largest level count worth trying for the picture's size.
int MaxLevelsFor(int width, int height, int cap);

// Transforms the picture for `levels`. False when the coefficients would not fit
// the decoder's 16-bit samples.
bool PreparePicture(const RgbImage& picture, int levels, PreparedPicture* out);

struct BuiltFile {
  bool fits = false;       // within every limit of the format
  std::string why;         // when not
  std::vector<uint8_t> bytes;
  EncodeReport report;     // the fields known without decoding
  // Known whether or not the file fits: its length, and the largest share of a
  // format limit it takes (file length of 79999 bytes, plane and segment starts
  // of 65535); above 1 it does not fit.
  size_t length = 0;
  double limitLoad = 0;
};

// Builds the file for base step `step` with the given uncoded levels per plane and
// second-segment level (-1 none).
BuiltFile BuildFile(const PreparedPicture& prepared, double step, const int uncoded[3],
                    int splitLevel, const EncoderTuning& tuning, PlaneEncoder* coder,
                    bool keepSymbols = false, CodedPlane* planesOut = nullptr);

// Where 'y' (coded[0], with its symbol list) is best cut for a decoder with two
// threads: the value symbol (in coding order) at which its second segment starts,
// so that one thread reads the first segment into the plane while the other
// decodes the second segment; each chroma plane (coded[1], coded[2]) then goes to
// the thread free first. The cut whose decode a model of those threads predicts
// fastest; 0 when no cut is faster, or the second segment would be too short to
// pay for itself.
size_t BalancedLumaSplit(const CodedPlane coded[3], size_t lowBandSymbols, size_t pixels);

// RGB PSNR in dB between two pictures of the same size (99 when identical).
double Psnr(const RgbImage& a, const RgbImage& b);

// Encode with explicit tuning (Encode uses the defaults).
Result EncodeTuned(const RgbImage& picture, const EncodeOptions& options,
                   const EncoderTuning& tuning, std::vector<uint8_t>* out, EncodeReport* report);

}  // namespace kdz
