// Benchmarks of each decode stage and of the whole decode of a 512 x 512 file.
// The file is samples/astronaut.kdz when present, else a synthetic file of the
// same size whose planes are coded from a skewed random value distribution.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "codec/coeff_decoder.h"
#include "codec/color.h"
#include "codec/file_format.h"
#include "codec/pipeline.h"
#include "codec/wavelet.h"
#include "codec/wide_vectors.h"
#include "kdz/kdz.h"
#include "kdz_builder_util.h"

#if defined(__unix__) || defined(__APPLE__)
#include <sys/resource.h>
#endif

namespace kdz {
namespace {

// Minor page faults of this process so far (0 where they cannot be read).
long MinorFaults() {
#if defined(__unix__) || defined(__APPLE__)
  rusage use{};
  return getrusage(RUSAGE_SELF, &use) == 0 ? use.ru_minflt : 0;
#else
  return 0;
#endif
}

std::vector<uint8_t> SyntheticFile() {
  test::KdzLayout layout;
  layout.width = layout.height = 512;
  layout.levels = 5;
  std::mt19937 rng(1);
  std::geometric_distribution<int> magnitude(0.6);
  for (int p = 0; p < 3; ++p) {
    std::vector<int>& vals = layout.planes[p].values;
    for (int v = -40; v <= 40; ++v) vals.push_back(v);
    const int positions = 512 * 512;
    for (int k = 0; k < positions; ++k) {
      int v = std::min(magnitude(rng), 40);
      if (rng() & 1) v = -v;
      layout.planes[p].symbols.push_back(v + 40);
    }
    // Keep the file below the format's size limit: chroma stops early.
    if (p > 0) layout.planes[p].symbols.resize(positions / 16);
    layout.planes[p].symbols.push_back(test::kEnd);
  }
  std::vector<uint8_t> file = test::BuildKdz(layout);
  return file;
}

// A sample of samples/, or the synthetic file when it cannot be read.
std::vector<uint8_t> SampleFile(const std::string& name) {
  std::vector<uint8_t> bytes;
  if (std::FILE* f = std::fopen((KDZ_SOURCE_DIR "/samples/" + name + ".kdz").c_str(), "rb")) {
    uint8_t buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    std::fclose(f);
  }
  return bytes.empty() ? SyntheticFile() : bytes;
}

const std::vector<uint8_t>& BenchFile() {
  static const std::vector<uint8_t> file = SampleFile("astronaut");
  return file;
}

void Prepare(DecoderState& s, const std::vector<uint8_t>& file) {
  BuildClampTable(s);
  s.dataBase = file.data();
  s.dataSize = file.size();
  s.readPos = 0;
}

void BM_DecodePlanes(benchmark::State& st) {
  const std::vector<uint8_t>& file = BenchFile();
  DecoderState s;
  for (auto _ : st) {
    Prepare(s, file);
    if (DecodePlane(s, 'y') || DecodePlane(s, 'i') || DecodePlane(s, 'q')) st.SkipWithError("decode failed");
    benchmark::DoNotOptimize(s.planeQ.data());
  }
  st.counters["bytes"] = static_cast<double>(file.size());
}
BENCHMARK(BM_DecodePlanes)->Unit(benchmark::kMillisecond);

// The 'y' plane's coefficients alone (the longest serial stretch of a threaded
// decode), by the coefficient loop given: the one used now, or the plain one.
template <int (*Decode)(DecoderState&, int)>
void BM_LumaCoefficients(benchmark::State& st) {
  const std::vector<uint8_t>& file = BenchFile();
  DecoderState s;
  for (auto _ : st) {
    Prepare(s, file);
    if (ParsePlaneHeader(s, 'y') || Decode(s, 'y')) st.SkipWithError("decode failed");
    benchmark::DoNotOptimize(s.planeY.data());
  }
}
BENCHMARK(BM_LumaCoefficients<DecodeCoefficients>)->Name("BM_LumaCoefficients")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LumaCoefficients<DecodeCoefficientsPlain>)
    ->Name("BM_LumaCoefficientsPlain")
    ->Unit(benchmark::kMillisecond);

// The argument 0 runs the baseline form of the loops compiled twice, 1 the AVX2 form
// where the processor has it.
void BM_InverseTransform(benchmark::State& st) {
  AllowWideVectors(st.range(0) != 0);
  const std::vector<uint8_t>& file = BenchFile();
  DecoderState s;
  Prepare(s, file);
  if (DecodePlane(s, 'y') || DecodePlane(s, 'i') || DecodePlane(s, 'q')) st.SkipWithError("decode failed");
  const PlaneSamples y = s.planeY, i = s.planeI, q = s.planeQ;
  for (auto _ : st) {
    st.PauseTiming();
    s.planeY = y;
    s.planeI = i;
    s.planeQ = q;
    st.ResumeTiming();
    InverseTransformPlane(s, s.planeY.data(), 'y');
    InverseTransformPlane(s, s.planeI.data(), 'i');
    InverseTransformPlane(s, s.planeQ.data(), 'q');
    benchmark::DoNotOptimize(s.planeQ.data());
  }
  AllowWideVectors(true);
}
BENCHMARK(BM_InverseTransform)->ArgName("wide")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The same levels by the plain steps (a region-sized scratch plane per level, the
// whole vertical step before the horizontal one), for comparison.
void BM_InverseTransformPlain(benchmark::State& st) {
  const std::vector<uint8_t>& file = BenchFile();
  DecoderState s;
  Prepare(s, file);
  if (DecodePlane(s, 'y') || DecodePlane(s, 'i') || DecodePlane(s, 'q')) st.SkipWithError("decode failed");
  const PlaneSamples planes[3] = {s.planeY, s.planeI, s.planeQ};
  PlaneSamples work[3];
  for (auto _ : st) {
    st.PauseTiming();
    for (int p = 0; p < 3; ++p) work[p] = planes[p];
    st.ResumeTiming();
    for (int p = 0; p < 3; ++p) {
      const int n = s.levels - s.uncodedLevels[p];
      int r = s.height >> s.levels, c = s.width >> s.levels;
      for (int j = 1; j <= s.levels; ++j) {
        r *= 2;
        c *= 2;
        if (j <= n) {
          SynthesizeLevelPlain(work[p].data(), s.width, r, c);
        } else {
          InterpolateLevelPlain(work[p].data(), s.width, r, c);
        }
      }
    }
    benchmark::DoNotOptimize(work[2].data());
  }
}
BENCHMARK(BM_InverseTransformPlain)->Unit(benchmark::kMillisecond);

// The colour conversion of the decoded planes, by the converter given: the products
// used now, or the lookup tables it replaced.
template <auto Convert>
void BM_ColourConversion(benchmark::State& st) {
  AllowWideVectors(st.range(0) != 0);
  const std::vector<uint8_t>& file = BenchFile();
  DecoderState s;
  Prepare(s, file);
  if (DecodePlane(s, 'y') || DecodePlane(s, 'i') || DecodePlane(s, 'q')) st.SkipWithError("decode failed");
  std::vector<uint8_t> pixels(static_cast<size_t>(s.planeSize) * 3);
  for (auto _ : st) {
    Convert(s, s.planeY.data(), s.planeI.data(), s.planeQ.data(), pixels.data(), static_cast<size_t>(s.planeSize));
    benchmark::DoNotOptimize(pixels.data());
  }
  AllowWideVectors(true);
}
BENCHMARK(BM_ColourConversion<YiqToRgb>)
    ->Name("BM_YiqToRgb")
    ->ArgName("wide")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ColourConversion<YiqToRgbByTables>)->Name("BM_YiqToRgbByTables")->Arg(0)->Unit(benchmark::kMillisecond);

// Whole decodes of each sample on the caller's thread (threads 1) and on one thread
// per core (0). The samples are the encoder's; where 'y' carries most of a file
// (camera, chelsea) it has a second segment that a second thread decodes.
constexpr const char* kSamples[] = {"astronaut", "camera", "chelsea", "coffee", "color"};

void BM_WholeDecode(benchmark::State& st) {
  const std::vector<uint8_t> file = SampleFile(kSamples[st.range(2)]);
  const bool eightBit = st.range(0) != 0;
  DecoderState s;
  s.threads = static_cast<int32_t>(st.range(1));
  BuildClampTable(s);
  const PeekResult size = PeekHeaderBytes(file.data(), file.size());
  std::vector<uint8_t> bitmap(BitmapBlockSize(size.width, size.height));
  uint8_t palette[768];
  st.SetLabel(kSamples[st.range(2)]);
  for (auto _ : st) {
    if (DecodeKdzBytes(s, file.data(), file.size(), bitmap.data(), bitmap.size(), eightBit ? palette : nullptr) != 1) {
      st.SkipWithError(s.errorDetail.c_str());
    }
    benchmark::DoNotOptimize(bitmap.data());
  }
}
BENCHMARK(BM_WholeDecode)
    ->ArgsProduct({{0, 1}, {1, 0}, {0, 1, 2, 3, 4}})
    ->ArgNames({"eightBit", "threads", "sample"})
    ->Unit(benchmark::kMillisecond);

// The same on a busy machine: one spinning thread per core runs beside the decodes,
// as other programs would. A decode on every core should then take no longer than
// one on a single thread: its helpers may get a core late, and it must not wait
// for them more than the work they took.
void BM_WholeDecodeWhileBusy(benchmark::State& st) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> busy;
  for (unsigned k = 0; k < std::max(1u, std::thread::hardware_concurrency()); ++k) {
    busy.emplace_back([&stop] {
      while (!stop.load(std::memory_order_relaxed)) {
      }
    });
  }
  BM_WholeDecode(st);
  stop = true;
  for (std::thread& t : busy) t.join();
}
BENCHMARK(BM_WholeDecodeWhileBusy)
    ->ArgsProduct({{0, 1}, {1, 0}, {0}})
    ->ArgNames({"eightBit", "threads", "sample"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Picture after picture through the public API, as an image library or a viewer
// decodes, with the page faults each decode takes: memory that comes fresh from the
// system for every decode shows here (and in the kernel's share of a profile).
void BM_DecodeThroughTheApi(benchmark::State& st) {
  const std::vector<uint8_t> file = SampleFile("astronaut");
  const bool eightBit = st.range(0) != 0;
  Limits limits;
  limits.threads = static_cast<int>(st.range(1));
  long faults = 0;
  for (auto _ : st) {
    const long before = MinorFaults();
    Bitmap bitmap;
    if (!DecodeToBitmap(file.data(), file.size(), eightBit, &bitmap, limits).ok()) {
      st.SkipWithError("the sample does not decode");
      break;
    }
    benchmark::DoNotOptimize(bitmap.block.data());
    faults += MinorFaults() - before;
  }
  st.counters["faults"] = benchmark::Counter(static_cast<double>(faults), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_DecodeThroughTheApi)
    ->ArgsProduct({{0, 1}, {1, 0}})
    ->ArgNames({"eightBit", "threads"})
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kdz
