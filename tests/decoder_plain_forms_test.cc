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

std::string Registers(const DecoderState& s) {
  return std::to_string(s.codeValue) + " " + std::to_string(s.low) + " " + std::to_string(s.high) + " buffer " +
         std::to_string(s.bitBuffer) + "/" + std::to_string(s.bitsLeft) + " at " + std::to_string(s.readPos) +
         (s.readPastEnd ? " past end" : "");
}

TEST(DecoderPlainForms, WindowedSymbolsMatchThePlainSteps) {
  // Streams of random, all-zero or all-one bytes, short enough that most runs go
  // past the end; a model adapted to a skewed run of indices (its total may reach
  // the limit); fresh registers or a random renormalised interval; the bit input
  // anywhere in the stream or past it, inside a byte, at its start or with a whole
  // byte loaded, with readPastEnd set or not.
  std::mt19937 rng(23);
  std::geometric_distribution<int> skew(0.3);
  for (int trial = 0; trial < 3000; ++trial) {
    std::vector<uint8_t> stream(rng() % 40);
    for (uint8_t& b : stream) b = static_cast<uint8_t>(trial % 3 == 0 ? rng() : trial % 3 == 1 ? 0 : 0xFF);
    DecoderState plain;
    plain.dataBase = stream.data();
    plain.dataSize = stream.size();
    plain.valueCount = static_cast<int32_t>(rng() % 256);
    plain.symbolCount = plain.endSymbol = plain.valueCount + 1;
    ResetModel(plain);
    for (int k = static_cast<int>(rng() % 6000); k > 0 && plain.valueCount > 0; --k) UpdateModel(plain, 1 + skew(rng) % plain.valueCount);
    plain.low = 0;
    plain.high = kCodeTop;
    if (trial % 4 != 0) {
      do {
        plain.low = static_cast<int32_t>(rng() % kHalf);
        plain.high = static_cast<int32_t>(kHalf + rng() % kHalf);
      } while (plain.low >= kFirstQuarter && plain.high < kThirdQuarter);
    }
    plain.codeValue = plain.low + static_cast<int32_t>(rng() % static_cast<uint32_t>(plain.high - plain.low + 1));
    plain.readPos = rng() % (stream.size() + 4);
    plain.bitsLeft = static_cast<int32_t>(rng() % 9);
    const uint32_t byte = plain.readPos > 0 && plain.readPos <= stream.size() ? stream[plain.readPos - 1] : 0;
    plain.bitBuffer = static_cast<int32_t>(byte >> (8 - plain.bitsLeft));
    plain.readPastEnd = rng() % 4 == 0;

    DecoderState fast = plain;
    ArithRegisters a(plain);
    WindowedRegisters w(fast);
    for (int k = 0; k < 1 + trial % 60; ++k) {
      const int index = DecodeSymbol(a, plain.cumFreq, plain.symbolCount);
      ASSERT_EQ(DecodeSymbol(w, fast.cumFreq, fast.symbolCount), index) << "trial " << trial << " symbol " << k;
      a.StoreTo(plain);
      w.StoreTo(fast);
      ASSERT_EQ(Registers(fast), Registers(plain)) << "trial " << trial << " symbol " << k;
      if (index != plain.endSymbol) {
        UpdateModel(plain, index);
        UpdateModel(fast, index);
      }
      if (rng() % 8 == 0) w = WindowedRegisters(fast);  // as at a second segment
    }
  }
}

// Every plane of a file by the coefficient loop given, as DecodePlane runs them.
DecoderState DecodePlanes(const std::vector<uint8_t>& file, int (*decode)(DecoderState&, int)) {
  DecoderState s;
  s.dataBase = file.data();
  s.dataSize = file.size();
  for (int letter : {'y', 'i', 'q'}) {
    if (ParsePlaneHeader(s, letter) != 0 || (IsDecodableVersion(s) && decode(s, letter) != 0)) break;
  }
  return s;
}

TEST(DecoderPlainForms, PlanesMatchThePlainLoopOnEveryFile) {
  // The samples, the fuzz seeds and regression files, and copies of the samples
  // cut short anywhere or with bytes changed anywhere.
  std::mt19937 rng(31);
  int files = 0;
  for (const char* dir : {"/samples", "/fuzz/corpus/decode_fuzzer", "/tests/regressions"}) {
    for (const auto& entry : std::filesystem::directory_iterator(std::string(KDZ_SOURCE_DIR) + dir)) {
      const std::string name = entry.path().filename().string();
      if (name == "README" || entry.path().extension() == ".md") continue;
      std::ifstream in(entry.path(), std::ios::binary);
      const std::vector<uint8_t> original{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
      for (int copy = 0; copy < (dir[1] == 's' ? 40 : 1); ++copy, ++files) {
        std::vector<uint8_t> file = original;
        for (int k = 0; copy > 0 && copy % 2 == 0 && k < 1 + copy % 5; ++k) file[rng() % file.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
        if (copy % 2) file.resize(rng() % file.size());
        const DecoderState plain = DecodePlanes(file, DecodeCoefficientsPlain);
        const DecoderState fast = DecodePlanes(file, DecodeCoefficients);
        const std::string what = name + " copy " + std::to_string(copy);
        ASSERT_TRUE(fast.planeY == plain.planeY && fast.planeI == plain.planeI && fast.planeQ == plain.planeQ) << what;
        ASSERT_EQ(Registers(fast), Registers(plain)) << what;
        ASSERT_EQ(fast.errorDetail, plain.errorDetail) << what;
      }
    }
  }
  EXPECT_GE(files, 250);
}

}  // namespace
}  // namespace kdz
