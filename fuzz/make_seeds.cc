// Seed corpus maker: crafted KDZ files for the decode and header targets (every
// layout feature and every refusal the header check knows) and option records for
// the encoder round trip. With --check it verifies the saved corpus instead: each
// crafted file is byte-identical to what this program makes and decodes, or is
// refused with the error its name promises.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec/coeff_decoder.h"
#include "kdz/kdz.h"
#include "kdz_builder_util.h"

namespace {

using kdz::Error;
using kdz::test::BuildKdz;
using kdz::test::kEnd;
using kdz::test::KdzLayout;

struct Seed {
  std::string name;
  std::vector<uint8_t> bytes;
  Error expect;  // kNone: the default-limit decode succeeds
};

// A small deterministic generator, so that the corpus is the same on every machine.
struct Lcg {
  uint32_t s;
  uint32_t Next() {
    s = s * 1103515245u + 12345u;
    return s >> 8;
  }
  int Below(int n) { return static_cast<int>(Next() % static_cast<uint32_t>(n)); }
};

// Symbols of one plane in the decoder's order: the low band, then the detail bands
// coarse to fine. Positions that a zero tree covers are skipped as the decoder skips
// them. `rootEvery` > 0 makes every rootEvery-th detail position (at levels that can
// hold a tree) a zero-tree root. `stopAfter` >= 0 ends the plane with an end symbol
// after that many symbols.
std::vector<int> PlaneSymbols(int w, int h, int levels, int uncoded, const std::vector<int>& values,
                              Lcg* rng, int rootEvery, int stopAfter) {
  std::vector<int> symbols;
  std::vector<uint8_t> marked(static_cast<size_t>(w) * h, 0);
  int rootEntry = -1;
  for (size_t k = 0; k < values.size(); ++k) {
    if (values[k] == kdz::kZeroTreeRoot) rootEntry = static_cast<int>(k);
  }
  std::vector<int> plain;
  for (size_t k = 0; k < values.size(); ++k) {
    if (values[k] != kdz::kZeroTreeRoot) plain.push_back(static_cast<int>(k));
  }
  int counter = 0;
  const int limit = levels - uncoded;
  for (int k = 0; k < kdz::BandCount(levels); ++k) {
    const kdz::Band band = kdz::BandAt(w, h, levels, k);
    const int level = k == 0 ? 0 : (k - 1) / 3;
    for (int r = band.row0; r < band.row0 + band.rows; ++r) {
      for (int c = band.col0; c < band.col0 + band.cols; ++c) {
        if (marked[static_cast<size_t>(r) * w + c]) continue;
        if (stopAfter >= 0 && static_cast<int>(symbols.size()) == stopAfter) {
          symbols.push_back(kEnd);
          return symbols;
        }
        ++counter;
        const bool root = k > 0 && rootEntry >= 0 && rootEvery > 0 && counter % rootEvery == 0;
        if (root) {
          symbols.push_back(rootEntry);
          int size = 2, r0 = 2 * r, c0 = 2 * c;
          for (int lv = level + 1; lv < limit; ++lv, size *= 2, r0 *= 2, c0 *= 2) {
            for (int y = r0; y < r0 + size; ++y) {
              for (int x = c0; x < c0 + size; ++x) marked[static_cast<size_t>(y) * w + x] = 1;
            }
          }
        } else {
          symbols.push_back(plain.empty() ? kEnd : plain[static_cast<size_t>(rng->Below(static_cast<int>(plain.size())))]);
        }
      }
    }
  }
  return symbols;
}

// A picture with every plane coded from `values`; luma gets a mid-grey bias.
KdzLayout Picture(int w, int h, int levels, std::vector<int> values, uint32_t seed, int rootEvery = 0,
                int stopAfter = -1) {
  KdzLayout layout;
  layout.width = w;
  layout.height = h;
  layout.levels = levels;
  layout.lumaBias = 128;
  Lcg rng{seed};
  for (int p = 0; p < 3; ++p) {
    layout.planes[p].values = values;
    layout.planes[p].symbols = PlaneSymbols(w, h, levels, 0, values, &rng, rootEvery, stopAfter);
  }
  return layout;
}

void Set16(std::vector<uint8_t>* f, size_t at, int v) {
  (*f)[at] = static_cast<uint8_t>(v & 0xFF);
  (*f)[at + 1] = static_cast<uint8_t>((v >> 8) & 0xFF);
}

std::vector<Seed> CraftedSeeds() {
  std::vector<Seed> seeds;
  auto add = [&](const std::string& name, std::vector<uint8_t> bytes, Error expect = Error::kNone) {
    seeds.push_back(Seed{name, std::move(bytes), expect});
  };
  const std::vector<int> small = {0, 1, -1, 3, -3, 9};
  const std::vector<int> withRoot = {0, 2, -2, kdz::kZeroTreeRoot, 7};

  // Every level count; pictures of the least size the count allows, plus odd extras.
  for (int levels = 0; levels <= 10; ++levels) {
    const int side = levels == 0 ? 3 : (2 << levels);
    const int w = side + (levels % 3 == 1 ? 1 : 0);
    const int h = side + (levels % 2 == 1 ? 3 : 0);
    // Deep pictures carry only their coarse bands, then an end symbol.
    const int stop = levels <= 4 ? -1 : 40 + levels;
    add("levels" + std::to_string(levels), BuildKdz(Picture(w, h, levels, small, 11u + levels, 0, stop)));
  }
  // Zero trees at every detail level, with and without uncoded levels.
  add("zerotrees", BuildKdz(Picture(32, 32, 3, withRoot, 5, 3)));
  {
    KdzLayout layout = Picture(64, 48, 4, withRoot, 6, 2);
    layout.uncodedLevels[0] = 1;
    layout.uncodedLevels[1] = 2;
    layout.uncodedLevels[2] = 4;
    Lcg rng{7};
    for (int p = 0; p < 3; ++p) {
      layout.planes[p].symbols = PlaneSymbols(64, 48, 4, layout.uncodedLevels[p], withRoot, &rng, 2, -1);
    }
    add("uncoded-zerotrees", BuildKdz(layout));
  }
  // End symbols: in the low band, in a detail band, and a second segment after one.
  add("end-in-lowband", BuildKdz(Picture(16, 16, 2, small, 8, 0, 3)));
  {
    KdzLayout layout = Picture(16, 8, 1, small, 9, 0, 20);
    Lcg rng{10};
    for (int p = 0; p < 3; ++p) {
      std::vector<int> rest = PlaneSymbols(16, 8, 1, 0, small, &rng, 0, -1);
      layout.planes[p].second.assign(rest.begin() + 20, rest.end());
    }
    add("second-segments", BuildKdz(layout));
    layout.planes[1].second = {kEnd};  // an empty second segment ends the plane
    add("second-segment-empty", BuildKdz(layout));
  }
  // Odd sizes.
  add("odd-1x1", BuildKdz(Picture(1, 1, 0, small, 12)));
  add("odd-7x5", BuildKdz(Picture(7, 5, 1, small, 13)));
  add("odd-33x17", BuildKdz(Picture(33, 17, 2, withRoot, 14, 4)));
  add("odd-5x131", BuildKdz(Picture(5, 131, 1, small, 15)));
  // headerLength gaps, and a headerLength that places the data inside the header.
  {
    KdzLayout layout = Picture(8, 8, 1, small, 16);
    layout.headerGap = 1;
    add("header-gap1", BuildKdz(layout));
    layout.headerGap = 37;
    add("header-gap37", BuildKdz(layout));
  }
  // Value tables: empty (only the end symbol) and full (255 entries).
  {
    KdzLayout layout = Picture(8, 8, 1, {}, 17);
    add("table-empty", BuildKdz(layout));
    std::vector<int> all;
    for (int v = -127; v <= 127; ++v) all.push_back(v);
    add("table-full", BuildKdz(Picture(16, 16, 2, all, 18)));
  }
  // Extreme scales and biases, a zero divisor, transform mode 61, unchecked
  // separator and variant bytes.
  {
    KdzLayout layout = Picture(16, 16, 2, {127, -128, 100, -100}, 19);
    for (int p = 0; p < 3; ++p) {
      for (int n = 0; n < 31; ++n) {
        layout.scalePos[p][n] = n % 2 ? 32767 : -32768;
        layout.scaleNeg[p][n] = n % 3 ? -32768 : 32767;
        layout.scaleDiv[p][n] = n == 4 ? 0 : (n % 2 ? 1 : -3);
      }
    }
    layout.lumaBias = -32768;
    layout.transformMode = 61;
    layout.signature = "QEM2x3?Z";
    add("extreme-scales", BuildKdz(layout));
    layout.lumaBias = 32767;
    layout.transformMode = -1;
    add("extreme-bias", BuildKdz(layout));
  }
  // A major version other than '2': short layout, no uncoded levels, segments or
  // divisors (every coefficient becomes 0).
  {
    std::vector<uint8_t> f = {'Q', 'E', 'M', '7', '.', '3', 'a', 'Z'};
    f.resize(26 + 12 + 3, 0);
    Set16(&f, 10, 4);   // width
    Set16(&f, 12, 4);   // height
    Set16(&f, 16, 38);  // planeOffsetI
    Set16(&f, 18, 39);  // planeOffsetQ
    Set16(&f, 24, 0);   // levels
    add("major7", f);
  }

  // Refusals, one per bound.
  const std::vector<uint8_t> good = BuildKdz(Picture(16, 16, 2, small, 20));
  const size_t segments2 = 32 + 12 * 7;  // segment offsets of a 2-level header
  auto patched = [&](size_t at, int v) {
    std::vector<uint8_t> f = good;
    Set16(&f, at, v);
    return f;
  };
  add("reject-empty", {}, Error::kEmpty);
  add("reject-not-qem", {'Q', 'E', 'N', '2', '.', '3', 'a', 'Z', 0, 0}, Error::kNotKdz);
  add("reject-signature-only", {'Q', 'E', 'M', '2', '.', '3'}, Error::kMalformed);
  add("reject-header-cut", std::vector<uint8_t>(good.begin(), good.begin() + 40), Error::kMalformed);
  add("reject-levels11", patched(30, 11), Error::kMalformed);
  add("reject-levels-neg", patched(30, -1), Error::kMalformed);
  add("reject-width0", patched(16, 0), Error::kMalformed);
  add("reject-height-neg", patched(18, -16), Error::kMalformed);
  add("reject-uncoded-neg", patched(10, -1), Error::kMalformed);
  add("reject-uncoded-over", patched(12, 3), Error::kMalformed);
  add("reject-too-deep", patched(18, 7), Error::kMalformed);  // 7 >> 2 < 2
  add("reject-ystart-outside", patched(14, 30000), Error::kMalformed);
  add("reject-ystart-before", patched(14, -20), Error::kMalformed);
  add("reject-planeI-outside", patched(22, static_cast<int>(good.size())), Error::kMalformed);
  {
    std::vector<uint8_t> f = good;
    f.back() = 250;  // the 'q' table would run far past the end
    Set16(&f, 24, static_cast<int>(f.size() - 1));
    add("reject-table-past-end", f, Error::kMalformed);
  }
  add("reject-segment-at-end", patched(segments2 + 2, static_cast<int>(good.size())), Error::kMalformed);
  add("reject-version20", [&] { std::vector<uint8_t> f = good; f[5] = '0'; return f; }(), Error::kUnsupported);
  add("reject-version22", [&] { std::vector<uint8_t> f = good; f[5] = '2'; return f; }(), Error::kMalformed);
  add("reject-not-z", [&] { std::vector<uint8_t> f = good; f[7] = 'Y'; return f; }(), Error::kUnsupported);
  {
    // 32767 x 32767 declared in a file of a few dozen bytes.
    KdzLayout layout;
    layout.width = layout.height = 32767;
    for (int p = 0; p < 3; ++p) layout.planes[p].symbols = {kEnd};
    add("reject-huge", BuildKdz(layout), Error::kLimit);
    layout.width = layout.height = 8193;
    add("reject-limit", BuildKdz(layout), Error::kLimit);
  }
  // The largest picture the default limit accepts, coded with almost nothing.
  {
    KdzLayout layout;
    layout.width = layout.height = 8192;
    layout.levels = 10;
    layout.lumaBias = 90;
    for (int p = 0; p < 3; ++p) {
      layout.planes[p].values = {5};
      layout.planes[p].symbols = {0, 0, 0, kEnd};
    }
    add("limit-8192", BuildKdz(layout));
  }
  return seeds;
}

// Encoder round-trip records (see encode_fuzzer.cc): width-1, height-1, quality-1,
// levels+1, target (2 bytes, top bit = on), fill mode, then pixel bytes.
std::vector<Seed> EncoderSeeds() {
  std::vector<Seed> seeds;
  auto add = [&](const std::string& name, std::vector<uint8_t> head, int fillBytes, uint32_t seed) {
    Lcg rng{seed};
    for (int i = 0; i < fillBytes; ++i) head.push_back(static_cast<uint8_t>(rng.Next()));
    seeds.push_back(Seed{name, std::move(head), Error::kNone});
  };
  add("grey-auto", {15, 15, 74, 0, 0, 0, 3, 128, 128, 128}, 0, 1);
  add("noise-q90", {31, 23, 89, 0, 0, 0, 0}, 96, 2);
  add("gradient-levels3", {63, 47, 49, 4, 0, 0, 1}, 12, 3);
  add("blocks-levels0", {12, 6, 29, 1, 0, 0, 2}, 64, 4);
  add("odd-1x1", {0, 0, 99, 0, 0, 0, 0, 10, 200, 30}, 0, 5);
  add("target-600", {47, 39, 0, 0, 0x82, 0x58, 1}, 12, 6);
  add("target-tiny", {63, 63, 0, 0, 0x80, 0x40, 0}, 48, 7);
  add("too-deep", {7, 63, 60, 6, 0, 0, 1}, 12, 8);
  return seeds;
}

std::vector<uint8_t> ReadFile(const std::filesystem::path& path, bool* ok) {
  std::ifstream in(path, std::ios::binary);
  *ok = static_cast<bool>(in);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// The outcome a crafted file must have: a full decode for pictures of at most 2^18
// pixels, the header check alone for larger ones (their decode is what the limits
// benchmark times).
bool OutcomeHolds(const Seed& seed, std::string* why) {
  kdz::HeaderInfo info;
  const kdz::Result header = kdz::ReadHeader(seed.bytes.data(), seed.bytes.size(), &info);
  Error got = header.error;
  if (header.ok() && !info.decodable) {
    kdz::Bitmap bmp;
    got = kdz::DecodeToBitmap(seed.bytes.data(), seed.bytes.size(), false, &bmp).error;
  } else if (header.ok() && static_cast<int64_t>(info.width) * info.height <= (1 << 18)) {
    kdz::Bitmap bmp;
    got = kdz::DecodeToBitmap(seed.bytes.data(), seed.bytes.size(), true, &bmp).error;
  }
  if (got == seed.expect) return true;
  *why = std::string("expected \"") + kdz::ErrorMessage(seed.expect) + "\", got \"" + kdz::ErrorMessage(got) + "\"";
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const bool check = argc == 3 && std::strcmp(argv[1], "--check") == 0;
  if (!(argc == 2 || check)) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR | --check CORPUS_DIR\n", argv[0]);
    return 2;
  }
  const std::filesystem::path root(argv[argc - 1]);
  struct Group {
    const char* target;
    const char* extension;
    bool decodes;  // the seeds are KDZ files whose outcome is checked
    std::vector<Seed> seeds;
  };
  const std::vector<Seed> crafted = CraftedSeeds();
  const Group groups[] = {{"decode_fuzzer", ".kdz", true, crafted},
                          {"header_fuzzer", ".kdz", false, crafted},
                          {"encode_fuzzer", ".bin", false, EncoderSeeds()}};
  int failures = 0, count = 0;
  for (const Group& g : groups) {
    const std::filesystem::path dir = root / g.target;
    if (!check) std::filesystem::create_directories(dir);
    for (const Seed& seed : g.seeds) {
      const std::filesystem::path path = dir / ("crafted-" + seed.name + g.extension);
      ++count;
      if (!check) {
        if (!WriteFile(path, seed.bytes)) {
          std::fprintf(stderr, "cannot write %s\n", path.c_str());
          ++failures;
        }
        continue;
      }
      bool ok = false;
      if (ReadFile(path, &ok) != seed.bytes || !ok) {
        std::fprintf(stderr, "%s: missing or out of date (run make_seeds %s)\n", path.c_str(), root.c_str());
        ++failures;
      }
      std::string why;
      if (g.decodes && !OutcomeHolds(seed, &why)) {
        std::fprintf(stderr, "%s: %s\n", seed.name.c_str(), why.c_str());
        ++failures;
      }
    }
  }
  std::printf("%s %d seed files, %d problems\n", check ? "checked" : "wrote", count, failures);
  return failures == 0 ? 0 : 1;
}
