// Benchmarks of the colour quantiser on the 512 x 512 test pictures: counting, palette choice, mapping, and the whole ColorQuant2 call.
#include <benchmark/benchmark.h>
#include <png.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "codec/kept_blocks.h"
#include "codec/parallel.h"
#include "quant/color_quant.h"
#include "quant/quant_internal.h"

namespace kdz {
namespace {

struct BenchPicture {
  int32_t width = 0, height = 0;
  std::vector<uint8_t> bgr;  // byte 0 blue, as the decoder writes pixels
};

// Loaded once per name; empty when the file is missing or unreadable.
const BenchPicture& Picture(const std::string& name) {
  static std::map<std::string, BenchPicture> cache;
  auto found = cache.find(name);
  if (found != cache.end()) return found->second;
  BenchPicture& pic = cache[name];
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  const std::string path = std::string(KDZ_SHARED_IMAGES) + "/" + name;
  if (png_image_begin_read_from_file(&image, path.c_str())) {
    image.format = PNG_FORMAT_BGR;
    pic.bgr.resize(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, pic.bgr.data(), 0, nullptr)) {
      pic.width = static_cast<int32_t>(image.width);
      pic.height = static_cast<int32_t>(image.height);
    } else {
      pic.bgr.clear();
    }
  }
  return pic;
}

const char* const kNames[] = {"astronaut.png", "camera.png"};

const BenchPicture* PictureFor(benchmark::State& state) {
  const char* name = kNames[state.range(0)];
  state.SetLabel(name);
  const BenchPicture& pic = Picture(name);
  if (pic.bgr.empty()) {
    state.SkipWithError((std::string(name) + " not found in " KDZ_SHARED_IMAGES).c_str());
    return nullptr;
  }
  return &pic;
}

void SetPixels(benchmark::State& state, const BenchPicture& pic) {
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(pic.width) * pic.height);
}

// A state whose palette has been chosen for the picture, ready for mapping.
bool ChosenState(const BenchPicture& pic, int32_t dither, QuantState& qs, const BufferHooks* hooks = nullptr) {
  if (SetUpQuantState(qs, pic.width, pic.height, dither, 256, hooks) != 0) return false;
  CountColors(qs, pic.bgr.data());
  return ChoosePalette(qs) == 0;
}

void BM_CountColors(benchmark::State& state) {
  const BenchPicture* pic = PictureFor(state);
  if (pic == nullptr) return;
  QuantState qs;
  if (SetUpQuantState(qs, pic->width, pic->height, 0, 256) != 0) return state.SkipWithError("set-up");
  for (auto _ : state) {
    // Counts keep accumulating (and saturate); the work per pixel is the same.
    CountColors(qs, pic->bgr.data());
    benchmark::ClobberMemory();
  }
  SetPixels(state, *pic);
}

// The palette choice in the form used and the plain form.
template <int32_t (*Choose)(QuantState&)>
void ChooseBench(benchmark::State& state) {
  const BenchPicture* pic = PictureFor(state);
  if (pic == nullptr) return;
  QuantState qs;
  if (SetUpQuantState(qs, pic->width, pic->height, 0, 256) != 0) return state.SkipWithError("set-up");
  CountColors(qs, pic->bgr.data());
  for (auto _ : state) {
    if (Choose(qs) != 0) return state.SkipWithError("no palette");
    benchmark::DoNotOptimize(qs.palette[0].data());
  }
  state.counters["colours"] = qs.colorsInUse;
}
void BM_ChoosePalette(benchmark::State& state) { ChooseBench<ChoosePalette>(state); }
void BM_ChoosePalettePlain(benchmark::State& state) { ChooseBench<ChoosePalettePlain>(state); }

// The mapping of the picture, each call started as ColorQuant2 would: no carried
// errors, first row left to right, and an empty cache (cleared by MapToPalette).
// With `filled` the cache is instead filled by one mapping before the timing, and
// the dithering (MapDithered) runs with every block it reaches already there.
void MapBench(benchmark::State& state, int32_t dither, const BufferHooks* hooks = nullptr, bool filled = false) {
  const BenchPicture* pic = PictureFor(state);
  if (pic == nullptr) return;
  QuantState qs;
  if (!ChosenState(*pic, dither, qs, hooks)) return state.SkipWithError("no palette");
  std::vector<uint8_t> index(static_cast<size_t>(pic->width) * pic->height);
  if (filled) {
    std::fill(qs.histogram.begin(), qs.histogram.end(), uint16_t{0});
    MapDithered(qs, pic->bgr.data(), index.data());
  }
  for (auto _ : state) {
    std::fill(qs.errorArray.begin(), qs.errorArray.end(), int16_t{0});
    qs.oddRow = 0;
    if (filled) {
      MapDithered(qs, pic->bgr.data(), index.data());
    } else {
      MapToPalette(qs, pic->bgr.data(), index.data());
    }
    benchmark::DoNotOptimize(index.data());
  }
  SetPixels(state, *pic);
}

void BM_MapDithered(benchmark::State& state) { MapBench(state, 1); }

// The decoder's kept blocks, as the pipeline lends them to the quantiser, with room
// for every slab of words kept first.
const BufferHooks* KeptMemoryWithRoom() {
  static const BufferHooks kKeptMemory = {
      [](size_t bytes, size_t* capacity) { return TakeKeptBlockAtLeast(bytes, capacity); },
      [](void* block, size_t capacity) { KeepBlock(block, capacity); }};
  const size_t slabs = size_t{512} << 10;
  KeepBlock(AllocateFreshBlock(slabs), slabs);
  return &kKeptMemory;
}

// The same with the decoder's kept blocks at hand, as a program decoding picture
// after picture has them: the cells are read as words in slabs borrowed from them
// (from the second mapping of the process on).
void BM_MapDitheredFromKeptBlocks(benchmark::State& state) { MapBench(state, 1, KeptMemoryWithRoom()); }

// The dithering's row loop alone: a first mapping fills every cache block that the
// dithering reaches before the timing starts, so that none is filled on the way.
// The second argument reads the cells as words (1, made again once per block and
// call) or from the cache (0).
void BM_MapDitheredFilled(benchmark::State& state) {
  MapBench(state, 1, state.range(1) != 0 ? KeptMemoryWithRoom() : nullptr, true);
}

// The plain dithering loop that MapDithered replaced, for comparison.
void BM_MapDitheredPlain(benchmark::State& state) {
  const BenchPicture* pic = PictureFor(state);
  if (pic == nullptr) return;
  QuantState qs;
  if (!ChosenState(*pic, 1, qs)) return state.SkipWithError("no palette");
  std::vector<uint8_t> index(static_cast<size_t>(pic->width) * pic->height);
  for (auto _ : state) {
    std::fill(qs.errorArray.begin(), qs.errorArray.end(), int16_t{0});
    std::fill(qs.histogram.begin(), qs.histogram.end(), uint16_t{0});
    qs.oddRow = 0;
    MapDitheredPlain(qs, pic->bgr.data(), index.data());
    benchmark::DoNotOptimize(index.data());
  }
  SetPixels(state, *pic);
}
void BM_MapNearest(benchmark::State& state) { MapBench(state, 0); }

// The cache fill alone: every block that the picture's colours occupy, as the split
// quantiser fills them alongside the dithering, in the form used and the plain form.
template <void (*Fill)(QuantState&, int32_t, int32_t, int32_t)>
void FillBench(benchmark::State& state) {
  const BenchPicture* pic = PictureFor(state);
  if (pic == nullptr) return;
  QuantState qs;
  if (!ChosenState(*pic, 1, qs)) return state.SkipWithError("no palette");
  const std::vector<int32_t> blocks = OccupiedBlocks(qs);
  for (auto _ : state) {
    for (int32_t block : blocks) Fill(qs, 4 * (block >> 6), 8 * ((block >> 3) & 7), 4 * (block & 7));
    benchmark::DoNotOptimize(qs.histogram.data());
  }
  state.counters["blocks"] = static_cast<double>(blocks.size());
}
void BM_FillCacheBlock(benchmark::State& state) { FillBench<FillCacheBlock>(state); }
void BM_FillCacheBlockPlain(benchmark::State& state) { FillBench<FillCacheBlockPlain>(state); }

void BM_ColorQuant2(benchmark::State& state) {
  const BenchPicture* pic = PictureFor(state);
  if (pic == nullptr) return;
  std::vector<uint8_t> work(pic->bgr.size());
  uint8_t palette[768];
  for (auto _ : state) {
    state.PauseTiming();
    work = pic->bgr;
    state.ResumeTiming();
    if (ColorQuant2(work.data(), pic->width, pic->height, 1, 0, palette, 256) == 0) {
      return state.SkipWithError("ColorQuant2 failed");
    }
    benchmark::DoNotOptimize(work.data());
  }
  SetPixels(state, *pic);
}

// ColorQuant2Split over one thread per core, as the decode pipeline calls it: on a
// crew of helpers that outlives each call.
void BM_ColorQuant2Split(benchmark::State& state) {
  const BenchPicture* pic = PictureFor(state);
  if (pic == nullptr) return;
  std::vector<uint8_t> work(pic->bgr.size());
  uint8_t palette[768];
  const int32_t parts = ResolveThreadCount(0);
  TaskCrew crew(parts);
  const TaskRunner runner = [&crew](const std::vector<std::function<void()>>& tasks) { crew.Run(tasks); };
  for (auto _ : state) {
    state.PauseTiming();
    work = pic->bgr;
    state.ResumeTiming();
    if (ColorQuant2Split(work.data(), pic->width, pic->height, 1, 0, palette, 256, parts, runner) == 0) {
      return state.SkipWithError("ColorQuant2Split failed");
    }
    benchmark::DoNotOptimize(work.data());
  }
  state.counters["parts"] = parts;
  SetPixels(state, *pic);
}

BENCHMARK(BM_CountColors)->DenseRange(0, 1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ChoosePalette)->DenseRange(0, 1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ChoosePalettePlain)->DenseRange(0, 1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MapDithered)->DenseRange(0, 1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MapDitheredFromKeptBlocks)->DenseRange(0, 1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MapDitheredFilled)->ArgsProduct({{0, 1}, {0, 1}})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MapNearest)->DenseRange(0, 1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FillCacheBlock)->DenseRange(0, 1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FillCacheBlockPlain)->DenseRange(0, 1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MapDitheredPlain)->DenseRange(0, 1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ColorQuant2Split)->DenseRange(0, 1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ColorQuant2)->DenseRange(0, 1)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kdz
