// Decode speed against the usual peers in one process: what bench/peers.sh measures
// per process, without process start, file reading and writing. Every shared picture
// is coded at about 0.5 and 1.5 bits per pixel: KDZ by our encoder with the size as
// its target, JPEG by libjpeg with optimised Huffman tables (as cjpeg -optimize) and
// WebP by libwebp's default settings (as cwebp), each at the quality whose file is
// nearest the KDZ file's size. One benchmark per comparison decodes all the files
// by both sides, the two in turn and in alternating order, so that the noise of a
// shared machine falls on both alike. Its time is KDZ's; the counter `ratio` is
// KDZ's time over the peer's (below 1 is faster), and `peer_ms` the peer's time.
//   8-bit:  kdz::DecodeToBitmap, eightBit           against libjpeg with 256 colours,
//           two-pass quantiser and Floyd-Steinberg  (djpeg -colors 256 -dither fs)
//   24-bit: kdz::Decode                             against WebPDecodeRGB (dwebp),
//                                                   and against libjpeg to RGB (djpeg)
// KDZ decodes on one thread per core, as the CLI does; the peers have one thread.
// A libjpeg error ends the program with libjpeg's message, as djpeg's would.
#include <benchmark/benchmark.h>
#include <webp/decode.h>
#include <webp/encode.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// libjpeg's header needs the declarations of <cstdio> before it.
#include <jpeglib.h>

#include "bench_png.h"
#include "kdz/encoder.h"
#include "kdz/kdz.h"

namespace kdz {
namespace {

using Bytes = std::vector<uint8_t>;

struct PeerFiles {
  std::string name;
  size_t pixels = 0;
  Bytes kdz, jpeg, webp;
};

// libjpeg's warnings (the coarse tables of low qualities) are not shown.
void Quiet(j_common_ptr, int) {}

Bytes JpegAt(const RgbImage& img, int quality) {
  jpeg_compress_struct c{};
  jpeg_error_mgr err{};
  c.err = jpeg_std_error(&err);
  err.emit_message = Quiet;
  jpeg_create_compress(&c);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &buffer, &size);
  c.image_width = static_cast<JDIMENSION>(img.width);
  c.image_height = static_cast<JDIMENSION>(img.height);
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, quality, FALSE);
  c.optimize_coding = TRUE;
  jpeg_start_compress(&c, TRUE);
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = const_cast<uint8_t*>(img.rgb.data()) + static_cast<size_t>(c.next_scanline) * 3 * img.width;
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  Bytes out(buffer, buffer + size);
  std::free(buffer);
  jpeg_destroy_compress(&c);
  return out;
}

// A quality step of WebP is half a unit, as bench/peers.sh searches them.
Bytes WebpAt(const RgbImage& img, int halfSteps) {
  uint8_t* buffer = nullptr;
  const size_t size = WebPEncodeRGB(img.rgb.data(), img.width, img.height, 3 * img.width,
                                    static_cast<float>(halfSteps) / 2, &buffer);
  Bytes out(buffer, buffer + size);
  WebPFree(buffer);
  return out;
}

// The file nearest `target` bytes over qualities lo..hi, by bisection (sizes grow
// with quality), then the two neighbours of the point found compared.
Bytes Nearest(size_t target, int lo, int hi, const std::function<Bytes(int)>& at) {
  const int lowest = lo;
  while (lo < hi) {
    const int mid = (lo + hi) / 2;
    if (at(mid).size() < target) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  Bytes best = at(lo);
  if (lo > lowest) {
    Bytes below = at(lo - 1);
    const auto miss = [target](const Bytes& b) { return b.size() > target ? b.size() - target : target - b.size(); };
    if (miss(below) <= miss(best)) best = std::move(below);
  }
  return best;
}

// All the files, made on first use (some seconds: the encoders search their sizes).
const std::vector<PeerFiles>& Files() {
  static const std::vector<PeerFiles> files = [] {
    std::vector<std::string> pngs;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(KDZ_SHARED_IMAGES, ec)) {
      if (entry.path().extension() == ".png") pngs.push_back(entry.path().string());
    }
    std::sort(pngs.begin(), pngs.end());
    std::vector<PeerFiles> made;
    for (const std::string& png : pngs) {
      RgbImage img;
      if (!ReadPngRgb(png, &img)) continue;
      for (int tenths : {5, 15}) {
        PeerFiles f;
        f.name = std::filesystem::path(png).stem().string() + (tenths == 5 ? "-0.5" : "-1.5");
        f.pixels = static_cast<size_t>(img.width) * static_cast<size_t>(img.height);
        EncodeOptions options;
        options.targetSize = static_cast<int>(f.pixels * tenths / 80);
        if (!Encode(img, options, &f.kdz).ok()) continue;
        f.jpeg = Nearest(f.kdz.size(), 1, 100, [&img](int q) { return JpegAt(img, q); });
        f.webp = Nearest(f.kdz.size(), 0, 200, [&img](int q) { return WebpAt(img, q); });
        made.push_back(std::move(f));
      }
    }
    return made;
  }();
  return files;
}

void Kdz8Bit(const PeerFiles& f) {
  Bitmap bitmap;
  if (!DecodeToBitmap(f.kdz.data(), f.kdz.size(), true, &bitmap).ok()) std::abort();
  benchmark::DoNotOptimize(bitmap.block.data());
}

void Kdz24Bit(const PeerFiles& f) {
  RgbImage image;
  if (!Decode(f.kdz.data(), f.kdz.size(), &image).ok()) std::abort();
  benchmark::DoNotOptimize(image.rgb.data());
}

// libjpeg's decode into a whole picture, quantised to 256 colours when asked.
void JpegDecode(const PeerFiles& f, bool quantise) {
  jpeg_decompress_struct d{};
  jpeg_error_mgr err{};
  d.err = jpeg_std_error(&err);
  jpeg_create_decompress(&d);
  jpeg_mem_src(&d, f.jpeg.data(), static_cast<unsigned long>(f.jpeg.size()));
  jpeg_read_header(&d, TRUE);
  if (quantise) {
    d.quantize_colors = TRUE;
    d.desired_number_of_colors = 256;
    d.two_pass_quantize = TRUE;
    d.dither_mode = JDITHER_FS;
  }
  jpeg_start_decompress(&d);
  const size_t stride = static_cast<size_t>(d.output_width) * static_cast<size_t>(d.output_components);
  // Not cleared first, as libwebp's output is not either.
  const std::unique_ptr<uint8_t[]> picture(new uint8_t[stride * d.output_height]);
  while (d.output_scanline < d.output_height) {
    JSAMPROW row = picture.get() + stride * d.output_scanline;
    jpeg_read_scanlines(&d, &row, 1);
  }
  jpeg_finish_decompress(&d);
  jpeg_destroy_decompress(&d);
  benchmark::DoNotOptimize(picture.get());
}

void Djpeg8Bit(const PeerFiles& f) { JpegDecode(f, true); }
void Djpeg24Bit(const PeerFiles& f) { JpegDecode(f, false); }

void Dwebp24Bit(const PeerFiles& f) {
  int width = 0, height = 0;
  uint8_t* rgb = WebPDecodeRGB(f.webp.data(), f.webp.size(), &width, &height);
  if (rgb == nullptr) std::abort();
  benchmark::DoNotOptimize(rgb);
  WebPFree(rgb);
}

using Side = void (*)(const PeerFiles&);

void BM_AgainstPeer(benchmark::State& st, Side ours, Side peer) {
  const std::vector<PeerFiles>& files = Files();
  if (files.empty()) {
    st.SkipWithError("not run: no PNG pictures in " KDZ_SHARED_IMAGES);
    return;
  }
  using Clock = std::chrono::steady_clock;
  double oursTotal = 0, peerTotal = 0;
  bool oursFirst = true;
  for (auto _ : st) {
    double oursTime = 0;
    for (const PeerFiles& f : files) {
      for (int turn = 0; turn < 2; ++turn) {
        const bool isOurs = (turn == 0) == oursFirst;
        const Clock::time_point start = Clock::now();
        (isOurs ? ours : peer)(f);
        const double took = std::chrono::duration<double>(Clock::now() - start).count();
        (isOurs ? oursTime : peerTotal) += took;
      }
    }
    oursFirst = !oursFirst;
    oursTotal += oursTime;
    st.SetIterationTime(oursTime);
  }
  st.counters["files"] = static_cast<double>(files.size());
  st.counters["ratio"] = peerTotal > 0 ? oursTotal / peerTotal : 0;
  st.counters["peer_ms"] = 1000 * peerTotal / static_cast<double>(st.iterations());
}

BENCHMARK_CAPTURE(BM_AgainstPeer, kdz8bit_vs_djpeg_colors256_fs, Kdz8Bit, Djpeg8Bit)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_AgainstPeer, kdz24bit_vs_dwebp, Kdz24Bit, Dwebp24Bit)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_AgainstPeer, kdz24bit_vs_djpeg, Kdz24Bit, Djpeg24Bit)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kdz
