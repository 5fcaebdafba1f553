// The worst decode a small file can ask for: a picture at the pixel limit whose every
// coefficient position is coded, each with so likely a symbol that the whole file stays
// far below 80000 bytes. Time per decode, and (counter extra_MB) the memory the decode
// adds at its peak, measured in a child process. Sides 8192 (the decoder's default
// limit), 4096 (the plug-in's) and 2048.
#include <benchmark/benchmark.h>

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "codec/coeff_decoder.h"
#include "codec/file_format.h"
#include "encoder/arith_encoder.h"
#include "kdz/kdz.h"
#include "kdz_builder_util.h"

namespace kdz {
namespace {

constexpr int kLevels = 10;

void Set16(std::vector<uint8_t>* f, size_t at, int v) {
  (*f)[at] = static_cast<uint8_t>(v & 0xFF);
  (*f)[at + 1] = static_cast<uint8_t>((v >> 8) & 0xFF);
}

// One plane's data: the value table, then one segment in which every position of
// the plane is coded. "flat": one value, 0, everywhere (the least data). "shaded":
// the low band draws from four values, so that the picture is a smooth field of
// many colours for the quantiser; the detail bands stay 0.
std::vector<uint8_t> PlaneData(int side, bool shaded, uint32_t seed) {
  const std::vector<int> values = shaded ? std::vector<int>{0, 30, -30, 60} : std::vector<int>{0};
  ArithEncoder enc(static_cast<int>(values.size()));
  std::mt19937 rng(seed);
  const int low = side >> kLevels;
  const size_t positions = static_cast<size_t>(side) * side;
  for (size_t k = 0; k < positions; ++k) {
    const bool inLowBand = k < static_cast<size_t>(low) * low;
    enc.EncodeValue(shaded && inLowBand ? static_cast<int>(rng() % values.size()) : 0);
  }
  std::vector<uint8_t> out = {static_cast<uint8_t>(values.size())};
  for (int v : values) out.push_back(static_cast<uint8_t>(v + 128));
  const std::vector<uint8_t> coded = enc.Finish();
  out.insert(out.end(), coded.begin(), coded.end());
  return out;
}

// The whole file: the header of the builder's file, then the three planes.
std::vector<uint8_t> WorstFile(int side, bool shaded) {
  test::KdzLayout layout;
  layout.width = layout.height = side;
  layout.levels = kLevels;
  layout.lumaBias = 100;
  for (int p = 0; p < 3; ++p) {
    // Each band's scale: the low band's values become visible steps of grey and colour.
    for (int n = 0; n < 31; ++n) layout.scalePos[p][n] = layout.scaleNeg[p][n] = n == 3 * kLevels ? 8 : 1;
    for (int n = 0; n < 31; ++n) layout.scaleNeg[p][n] = -layout.scaleNeg[p][n];
  }
  std::vector<uint8_t> file = test::BuildKdz(layout);
  file.resize(static_cast<size_t>(HeaderEnd23(kLevels)));
  for (int p = 0; p < 3; ++p) {
    if (p > 0) Set16(&file, p == 1 ? 22 : 24, static_cast<int>(file.size()));
    const std::vector<uint8_t> plane = PlaneData(side, shaded, 7u + static_cast<uint32_t>(p));
    file.insert(file.end(), plane.begin(), plane.end());
  }
  if (file.size() >= 65536) throw std::runtime_error("planes would start beyond offset 65535");
  return file;
}

const std::vector<uint8_t>& CachedFile(int side, bool shaded) {
  static std::map<std::pair<int, bool>, std::vector<uint8_t>> files;
  auto it = files.find({side, shaded});
  if (it == files.end()) it = files.emplace(std::make_pair(side, shaded), WorstFile(side, shaded)).first;
  return it->second;
}

long StatusKilobytes(const char* field) {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  long value = -1;
  const size_t n = std::strlen(field);
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, field, n) == 0) value = std::atol(line + n);
  }
  std::fclose(f);
  return value;
}

// Megabytes that one decode adds to the process at its peak: a child process
// decodes once and reports its high-water mark less its size before the decode.
double ExtraMegabytes(const std::vector<uint8_t>& file, bool eightBit) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    const long before = StatusKilobytes("VmRSS:");
    Bitmap bmp;
    const bool ok = DecodeToBitmap(file.data(), file.size(), eightBit, &bmp).ok();
    const long peak = StatusKilobytes("VmHWM:");
    const long extra = ok && before >= 0 && peak >= 0 ? peak - before : -1;
    ssize_t written = write(fds[1], &extra, sizeof extra);
    _exit(written == sizeof extra ? 0 : 1);
  }
  close(fds[1]);
  long extra = -1;
  if (pid < 0 || read(fds[0], &extra, sizeof extra) != sizeof extra) extra = -1;
  close(fds[0]);
  if (pid > 0) waitpid(pid, nullptr, 0);
  return extra < 0 ? -1 : static_cast<double>(extra) / 1024.0;
}

// Arguments: side, shaded (0/1), eight-bit (0/1).
void BM_WorstCaseDecode(benchmark::State& state) {
  const int side = static_cast<int>(state.range(0));
  const bool shaded = state.range(1) != 0;
  const bool eightBit = state.range(2) != 0;
  const std::vector<uint8_t>& file = CachedFile(side, shaded);
  for (auto _ : state) {
    Bitmap bmp;
    const Result r = DecodeToBitmap(file.data(), file.size(), eightBit, &bmp);
    if (!r.ok()) {
      state.SkipWithError(r.message.c_str());
      break;
    }
    benchmark::DoNotOptimize(bmp.block.data());
  }
  state.counters["file_bytes"] = static_cast<double>(file.size());
  state.counters["extra_MB"] = ExtraMegabytes(file, eightBit);
  state.counters["Mpixels"] = static_cast<double>(side) * side / 1e6;
}
BENCHMARK(BM_WorstCaseDecode)
    ->ArgNames({"side", "shaded", "8bit"})
    ->Args({8192, 0, 1})
    ->Args({8192, 1, 1})
    ->Args({8192, 0, 0})
    ->Args({4096, 0, 1})
    ->Args({4096, 1, 1})
    ->Args({2048, 1, 1})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace
}  // namespace kdz
