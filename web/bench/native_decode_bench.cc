// kdz_web_native_bench: the native half of the web benchmark. Decodes each file in
// process, in both depths (or the one named), and prints one JSON line per file and
// depth with the fastest and the median time of a decode, in milliseconds. Decodes run
// on one thread, as the WebAssembly module does: the comparison is of the same code
// compiled two ways, not of the machine's cores.
//
//   kdz_web_native_bench ROUNDS [--24bit|--8bit] FILE...
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kdz/kdz.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: kdz_web_native_bench ROUNDS FILE...\n");
    return 2;
  }
  // 0 rounds: only the first decode (the instruction counts subtract such a run).
  const int rounds = std::max(0, std::atoi(argv[1]));
  int first = 2;
  std::vector<bool> depths = {false, true};
  if (std::strcmp(argv[2], "--24bit") == 0 || std::strcmp(argv[2], "--8bit") == 0) {
    depths = {std::strcmp(argv[2], "--8bit") == 0};
    first = 3;
  }
  for (int i = first; i < argc; ++i) {
    std::vector<uint8_t> bytes;
    if (std::FILE* f = std::fopen(argv[i], "rb")) {
      uint8_t chunk[65536];
      size_t n;
      while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
      std::fclose(f);
    }
    kdz::Limits limits;
    limits.threads = 1;
    for (const bool eightBit : depths) {
      std::vector<double> ms;
      kdz::Bitmap bitmap;
      // One decode first, not timed, as the WebAssembly side warms up too.
      if (!kdz::DecodeToBitmap(bytes.data(), bytes.size(), eightBit, &bitmap, limits).ok()) {
        std::fprintf(stderr, "kdz_web_native_bench: %s does not decode\n", argv[i]);
        return 1;
      }
      for (int r = 0; r < rounds; ++r) {
        const auto start = std::chrono::steady_clock::now();
        const kdz::Result result = kdz::DecodeToBitmap(bytes.data(), bytes.size(), eightBit, &bitmap, limits);
        const auto end = std::chrono::steady_clock::now();
        if (!result.ok()) return 1;
        ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
      }
      if (ms.empty()) continue;
      std::sort(ms.begin(), ms.end());
      std::printf("{\"file\":\"%s\",\"bits\":%d,\"minMs\":%.4f,\"medianMs\":%.4f}\n", argv[i],
                  eightBit ? 8 : 24, ms.front(), ms[ms.size() / 2]);
    }
  }
  return 0;
}
