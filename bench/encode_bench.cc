// Benchmarks of the encoder on a 512 x 512 picture: the whole encode with rate
// control (target: under one second), one file build at a fixed step, and the
// colour and wavelet stages. The picture is astronaut.png from the shared test
// pictures when present, else the decode of samples/astronaut.kdz, else a
// synthetic picture.
#include <benchmark/benchmark.h>

#include <cmath>
#include <string>
#include <vector>

#include "bench_png.h"
#include "encoder/forward_color.h"
#include "encoder/forward_wavelet.h"
#include "encoder/image_encoder.h"
#include "kdz/encoder.h"
#include "kdz/kdz.h"

namespace kdz {
namespace {

RgbImage LoadPicture() {
  RgbImage img;
  if (ReadPngRgb(std::string(KDZ_SHARED_IMAGES) + "/astronaut.png", &img)) return img;
  if (DecodeFile(std::string(KDZ_SOURCE_DIR) + "/samples/astronaut.kdz", &img).ok()) return img;
  img.width = img.height = 512;
  img.rgb.resize(512 * 512 * 3);
  for (int y = 0; y < 512; ++y) {
    for (int x = 0; x < 512; ++x) {
      uint8_t* p = &img.rgb[(static_cast<size_t>(y) * 512 + x) * 3];
      p[0] = static_cast<uint8_t>(128 + 100 * std::sin(x * 0.05) * std::cos(y * 0.03));
      p[1] = static_cast<uint8_t>((x ^ y) & 0xFF);
      p[2] = static_cast<uint8_t>(x / 2);
    }
  }
  return img;
}

const RgbImage& Picture() {
  static const RgbImage img = LoadPicture();
  return img;
}

// Arg: bits per pixel in tenths.
void BM_EncodeWithRateControl(benchmark::State& state) {
  const RgbImage& img = Picture();
  EncodeOptions options;
  options.targetSize = static_cast<int>(state.range(0) * img.width * img.height / 80);
  EncodeReport report;
  for (auto _ : state) {
    std::vector<uint8_t> out;
    if (!Encode(img, options, &out, &report).ok()) state.SkipWithError("encode failed");
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["bytes"] = static_cast<double>(report.fileSize);
  state.counters["psnr"] = report.psnr;
  state.counters["builds"] = report.trials;
}
BENCHMARK(BM_EncodeWithRateControl)->Arg(5)->Arg(10)->Arg(15)->Unit(benchmark::kMillisecond);

void BM_EncodeAtQuality(benchmark::State& state) {
  const RgbImage& img = Picture();
  EncodeOptions options;
  options.quality = static_cast<int>(state.range(0));
  EncodeReport report;
  for (auto _ : state) {
    std::vector<uint8_t> out;
    if (!Encode(img, options, &out, &report).ok()) state.SkipWithError("encode failed");
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["bytes"] = static_cast<double>(report.fileSize);
  state.counters["psnr"] = report.psnr;
}
BENCHMARK(BM_EncodeAtQuality)->Arg(50)->Arg(90)->Unit(benchmark::kMillisecond);

// One trial of the rate search: quantise, prune, code and assemble three planes.
void BM_BuildFile(benchmark::State& state) {
  PreparedPicture prep;
  PreparePicture(Picture(), 6, &prep);
  PlaneEncoder coder;
  const int uncoded[3] = {0, 0, 0};
  for (auto _ : state) {
    BuiltFile f = BuildFile(prep, 8.0, uncoded, -1, EncoderTuning{}, &coder);
    benchmark::DoNotOptimize(f.bytes.data());
  }
}
BENCHMARK(BM_BuildFile)->Unit(benchmark::kMillisecond);

void BM_RgbToYiq(benchmark::State& state) {
  YiqPlanes planes;
  for (auto _ : state) {
    RgbToYiq(Picture(), 128, &planes);
    benchmark::DoNotOptimize(planes.y.data());
  }
}
BENCHMARK(BM_RgbToYiq)->Unit(benchmark::kMillisecond);

void BM_ForwardTransformPlane(benchmark::State& state) {
  YiqPlanes planes;
  RgbToYiq(Picture(), 128, &planes);
  for (auto _ : state) {
    std::vector<int32_t> plane = planes.y;
    ForwardTransformPlane(&plane, planes.width, planes.height, 6);
    benchmark::DoNotOptimize(plane.data());
  }
}
BENCHMARK(BM_ForwardTransformPlane)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kdz
