// The fast forms of the symbol decoder and the coefficient loop against the plain
// forms they replaced: the same indices, registers, bit input and planes, on random
// registers and streams (running past the end too) and on every file at hand.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "codec/arith_decoder.h"
#include "codec/coeff_decoder.h"
#include "codec/file_format.h"

namespace kdz {
namespace {

// The registers and bit input of a state, for comparisons with a message.
std::string Registers(const DecoderState& s) {
  return std::to_string(s.codeValue) + " " + std::to_string(s.low) + " " + std::to_string(s.high) + " buffer " +
         std::to_string(s.bitBuffer) + "/" + std::to_string(s.bitsLeft) + " at " + std::to_string(s.readPos) +
         (s.readPastEnd ? " past end" : "");
}

// A state as decoding can leave it: a model adapted to a skewed run of indices
// (so that its total may reach the limit), registers either fresh or a random
// renormalised interval with the code value inside it, and the bit input anywhere
// in a short stream or past its end, inside a byte or at a byte's start.
DecoderState RandomState(std::mt19937& rng, const std::vector<uint8_t>& stream) {
  DecoderState s;
  s.dataBase = stream.data();
  s.dataSize = stream.size();
  s.valueCount = static_cast<int32_t>(rng() % 256);
  s.symbolCount = s.endSymbol = s.valueCount + 1;
  ResetModel(s);
  std::geometric_distribution<int> skew(0.3);
  const int updates = static_cast<int>(rng() % 6000);
  for (int k = 0; k < updates && s.valueCount > 0; ++k) UpdateModel(s, 1 + skew(rng) % s.valueCount);
  if (rng() % 4 == 0) {
    s.low = 0;
    s.high = kCodeTop;
  } else {
    do {
      s.low = static_cast<int32_t>(rng() % kHalf);
      s.high = static_cast<int32_t>(kHalf + rng() % kHalf);
    } while (s.low >= kFirstQuarter && s.high < kThirdQuarter);
  }
  s.codeValue = s.low + static_cast<int32_t>(rng() % static_cast<uint32_t>(s.high - s.low + 1));
  s.readPos = rng() % (stream.size() + 4);
  s.bitsLeft = static_cast<int32_t>(rng() % 9);
  const uint32_t byte = s.readPos > 0 && s.readPos <= stream.size() ? stream[s.readPos - 1] : 0;
  s.bitBuffer = static_cast<int32_t>(byte >> (8 - s.bitsLeft));
  s.readPastEnd = s.readPos > stream.size() || rng() % 8 == 0;
  return s;
}

TEST(DecoderPlainForms, WindowedSymbolsMatchThePlainSteps) {
  std::mt19937 rng(23);
  for (int trial = 0; trial < 3000; ++trial) {
    // Streams from empty to a few dozen bytes: long runs go past the end.
    std::vector<uint8_t> stream(rng() % 40);
    const int kind = static_cast<int>(rng() % 3);  // random, all zero or all one bits
    for (uint8_t& b : stream) b = kind == 0 ? static_cast<uint8_t>(rng()) : kind == 1 ? 0 : 0xFF;
    DecoderState plain = RandomState(rng, stream);
    DecoderState fast = plain;
    ArithRegisters a(plain);
    WindowedRegisters w(fast);
    const int symbols = 1 + static_cast<int>(rng() % 60);
    for (int k = 0; k < symbols; ++k) {
      const int index = DecodeSymbol(a, plain.cumFreq, plain.symbolCount);
      ASSERT_EQ(DecodeSymbol(w, fast.cumFreq, fast.symbolCount), index) << "trial " << trial << " symbol " << k;
      a.StoreTo(plain);
      w.StoreTo(fast);
      ASSERT_EQ(Registers(fast), Registers(plain)) << "trial " << trial << " symbol " << k;
      if (index != plain.endSymbol) {
        UpdateModel(plain, index);
        UpdateModel(fast, index);
      }
      // Now and then the windowed registers start again from the stored state, as
      // they do at a second segment.
      if (rng() % 8 == 0) w = WindowedRegisters(fast);
    }
  }
}

TEST(DecoderPlainForms, ZeroTreesMatchThePlainMarking) {
  // Roots in every band of pyramids of a few sizes, marked down to every limit,
  // with the marker and other values; the plane is wider than the pyramid, so a
  // store past a block's row shows.
  std::mt19937 rng(41);
  for (int levels : {1, 2, 4, 5}) {
    const int rows = 3 << levels, cols = 5 << levels, width = cols + 6;
    for (int trial = 0; trial < 40; ++trial) {
      DecoderState fast, plain;
      std::vector<int16_t> a(static_cast<size_t>(rows + 2) * width, 7), b = a;
      for (DecoderState* s : {&fast, &plain}) {
        s->width = width;
        s->zeroFillLimit = static_cast<int32_t>(rng() % (levels + 1));
        s->zeroFillValue = trial % 2 ? kPendingZero : static_cast<int16_t>(rng());
      }
      plain.zeroFillLimit = fast.zeroFillLimit;
      plain.zeroFillValue = fast.zeroFillValue;
      fast.zeroFillPlane = a.data();
      plain.zeroFillPlane = b.data();
      const int j = static_cast<int>(rng() % levels);  // the root's level
      const int bandRows = 3 << j, bandCols = 5 << j;
      const int row = static_cast<int>(rng() % (2 * bandRows)), col = static_cast<int>(rng() % (2 * bandCols));
      MarkZeroTree(fast, row, col, j + 1);
      MarkZeroTreePlain(plain, row, col, j + 1);
      ASSERT_EQ(a, b) << "levels " << levels << " root " << row << "," << col << " level " << j;
    }
  }
}

std::vector<uint8_t> ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every plane of a file by the coefficient loop given, as DecodePlane runs it; the
// state after the last plane (or the first failure).
DecoderState DecodePlanes(const std::vector<uint8_t>& file, int (*decode)(DecoderState&, int)) {
  DecoderState s;
  s.dataBase = file.data();
  s.dataSize = file.size();
  for (int letter : {'y', 'i', 'q'}) {
    if (ParsePlaneHeader(s, letter) != 0) break;
    if (IsDecodableVersion(s) && decode(s, letter) != 0) break;
  }
  return s;
}

TEST(DecoderPlainForms, PlanesMatchThePlainLoopOnEveryFile) {
  // The samples, the fuzz seeds and regression files, and broken copies of the
  // samples: cut short anywhere, or with bytes changed (in the header, the value
  // tables or the coded data).
  std::vector<std::filesystem::path> paths;
  for (const char* dir : {"/samples", "/fuzz/corpus/decode_fuzzer", "/tests/regressions"}) {
    const std::filesystem::path folder = std::string(KDZ_SOURCE_DIR) + dir;
    if (!std::filesystem::is_directory(folder)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      if (entry.is_regular_file() && entry.path().filename() != "README" && entry.path().extension() != ".md") {
        paths.push_back(entry.path());
      }
    }
  }
  ASSERT_GE(paths.size(), 5u);
  std::mt19937 rng(31);
  int files = 0;
  for (const auto& path : paths) {
    const std::vector<uint8_t> original = ReadBytes(path);
    const bool sample = path.parent_path().filename() == "samples";
    for (int copy = 0; copy < (sample ? 40 : 1); ++copy) {
      std::vector<uint8_t> file = original;
      if (copy > 0 && !file.empty()) {
        if (copy % 2) {
          file.resize(rng() % file.size());
        } else {
          for (int k = 0; k < 1 + copy % 5; ++k) file[rng() % file.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
        }
      }
      const DecoderState plain = DecodePlanes(file, DecodeCoefficientsPlain);
      const DecoderState fast = DecodePlanes(file, DecodeCoefficients);
      const std::string what = path.filename().string() + " copy " + std::to_string(copy);
      ASSERT_EQ(fast.planeY, plain.planeY) << what;
      ASSERT_EQ(fast.planeI, plain.planeI) << what;
      ASSERT_EQ(fast.planeQ, plain.planeQ) << what;
      ASSERT_EQ(Registers(fast), Registers(plain)) << what;
      ASSERT_EQ(fast.errorDetail, plain.errorDetail) << what;
      ++files;
    }
  }
  EXPECT_GE(files, 200);
}

}  // namespace
}  // namespace kdz
