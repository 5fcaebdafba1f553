// Round trips of the arithmetic encoder through the plane decoder's arithmetic
// decoder: symbols, model adaptation, flush and bit order.
#include "encoder/arith_encoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "codec/arith_decoder.h"
#include "codec/decoder_state.h"

namespace kdz {
namespace {

// The plane decoder's arithmetic decoder and model over a byte buffer. Bytes past
// the end of `data` read as `padding` (the decoder itself supplies zeros there, so
// other padding is given as real bytes).
class ReferenceDecoder {
 public:
  ReferenceDecoder(const std::vector<uint8_t>& data, int valueCount, size_t start = 0,
                   uint8_t padding = 0)
      : image_(data) {
    image_.insert(image_.end(), 64, padding);
    state_.dataBase = image_.data();
    state_.dataSize = padding == 0 ? data.size() : image_.size();
    state_.readPos = start;
    state_.valueCount = valueCount;
    state_.symbolCount = valueCount + 1;
    state_.endSymbol = valueCount + 1;
    ResetModel(state_);
    ResetBitInput(state_);
    StartDecoding(state_);
  }

  // Returns the value-table entry, or -1 for the end symbol.
  int Next() {
    const int index = DecodeSymbol(state_);
    if (index == state_.endSymbol) return -1;
    const int entry = state_.indexToSymbol[index];
    UpdateModel(state_, index);
    return entry;
  }
  int freq(int i) const { return state_.freq[i]; }
  int indexToSymbol(int i) const { return state_.indexToSymbol[i]; }

 private:
  std::vector<uint8_t> image_;
  DecoderState state_;
};

// Draws table entries with a geometric-like skew, as quantised coefficients are.
std::vector<int> SkewedSymbols(int valueCount, size_t n, double skew, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<int> out(n);
  std::geometric_distribution<int> geo(skew);
  for (auto& s : out) s = geo(rng) % valueCount;
  return out;
}

std::vector<uint8_t> EncodeAll(int valueCount, const std::vector<int>& symbols) {
  ArithEncoder enc(valueCount);
  for (int s : symbols) enc.EncodeValue(s);
  enc.EncodeEnd();
  EXPECT_EQ(enc.BadCalls(), 0);
  return enc.Finish();
}

void ExpectDecodes(const std::vector<uint8_t>& bytes, int valueCount,
                   const std::vector<int>& symbols, uint8_t padding) {
  ReferenceDecoder dec(bytes, valueCount, 0, padding);
  for (size_t k = 0; k < symbols.size(); ++k) {
    ASSERT_EQ(dec.Next(), symbols[k]) << "symbol " << k << " of " << symbols.size();
  }
  EXPECT_EQ(dec.Next(), -1);
}

TEST(ArithEncoderTest, RandomSequencesOfManyAlphabetsDecode) {
  for (int valueCount : {1, 2, 3, 17, 100, 254, 255}) {
    for (double skew : {0.9, 0.3, 0.02}) {
      for (size_t n : {size_t{0}, size_t{1}, size_t{5}, size_t{300}, size_t{20000}}) {
        SCOPED_TRACE(testing::Message() << "values " << valueCount << " skew " << skew
                                        << " n " << n);
        const auto symbols = SkewedSymbols(valueCount, n, skew, static_cast<uint32_t>(7 * valueCount + n));
        const auto bytes = EncodeAll(valueCount, symbols);
        // Whatever follows the segment, zeros, ones or another plane's data.
        ExpectDecodes(bytes, valueCount, symbols, 0x00);
        ExpectDecodes(bytes, valueCount, symbols, 0xFF);
        ExpectDecodes(bytes, valueCount, symbols, 0x5A);
      }
    }
  }
}

TEST(ArithEncoderTest, UniformAlphabetOf255PassesManyHalvings) {
  std::mt19937 rng(42);
  std::uniform_int_distribution<int> pick(0, 254);
  std::vector<int> symbols(60000);
  for (auto& s : symbols) s = pick(rng);
  ExpectDecodes(EncodeAll(255, symbols), 255, symbols, 0);
}

TEST(ArithEncoderTest, LongRunsAdaptAcrossHalvingLikeTheDecoder) {
  // Runs of one entry drive its count up to the cap and force halvings with
  // counts that round up; the switch to another entry then swaps indices.
  std::vector<int> symbols;
  for (int run = 0; run < 6; ++run) symbols.insert(symbols.end(), 5000, run % 3);
  symbols.insert(symbols.end(), {1, 2, 0, 3, 3, 3});

  ArithEncoder enc(4);
  for (int s : symbols) enc.EncodeValue(s);
  enc.EncodeEnd();
  const auto bytes = enc.Finish();

  ReferenceDecoder dec(bytes, 4);
  for (int s : symbols) ASSERT_EQ(dec.Next(), s);
  // The encoder's model ended where the decoder's did.
  for (int i = 1; i <= 5; ++i) EXPECT_EQ(enc.Frequency(i), dec.freq(i)) << i;
  for (int i = 1; i <= 4; ++i) EXPECT_EQ(enc.IndexOf(dec.indexToSymbol(i)), i) << i;
  EXPECT_LE(enc.TotalFrequency(), 4096);
  EXPECT_EQ(dec.Next(), -1);
}

TEST(ArithEncoderTest, FirstUpdateSwapsIndicesAsTheDecoderDoes) {
  ArithEncoder enc(2);
  EXPECT_EQ(enc.IndexOf(0), 1);
  EXPECT_EQ(enc.IndexOf(1), 2);
  enc.EncodeValue(1);
  EXPECT_EQ(enc.IndexOf(1), 1);
  EXPECT_EQ(enc.IndexOf(0), 2);
  EXPECT_EQ(enc.Frequency(1), 2);
  EXPECT_EQ(enc.Frequency(2), 1);
  EXPECT_EQ(enc.Frequency(3), 1);
  EXPECT_EQ(enc.TotalFrequency(), 4);
}

TEST(ArithEncoderTest, EmptyTableCodesOnlyTheEndSymbolInOneByte) {
  ArithEncoder enc(0);
  enc.EncodeValue(0);  // no such entry
  EXPECT_EQ(enc.BadCalls(), 1);
  enc.EncodeEnd();
  enc.EncodeEnd();
  const auto bytes = enc.Finish();
  ASSERT_EQ(bytes.size(), 1u);
  ReferenceDecoder dec(bytes, 0, 0, 0xFF);
  EXPECT_EQ(dec.Next(), -1);
  EXPECT_EQ(dec.Next(), -1);
}

TEST(ArithEncoderTest, OutOfRangeEntriesAndCallsAfterFinishAreRefused) {
  ArithEncoder enc(3);
  enc.EncodeValue(-1);
  enc.EncodeValue(3);
  enc.EncodeValue(2);
  enc.EncodeEnd();
  const auto bytes = enc.Finish();
  enc.EncodeValue(0);
  EXPECT_EQ(enc.BadCalls(), 3);
  EXPECT_EQ(enc.Finish(), bytes);
  ExpectDecodes(bytes, 3, {2}, 0);
}

TEST(ArithEncoderTest, SegmentsBackToBackDecodeFromTheirOwnStart) {
  // As in a file: a plane's bytes are followed directly by the next plane's.
  const auto a = SkewedSymbols(40, 3000, 0.2, 1);
  const auto b = SkewedSymbols(9, 2000, 0.5, 2);
  std::vector<uint8_t> file = EncodeAll(40, a);
  const size_t second = file.size();
  const auto tail = EncodeAll(9, b);
  file.insert(file.end(), tail.begin(), tail.end());

  ReferenceDecoder first(file, 40);
  for (int s : a) ASSERT_EQ(first.Next(), s);
  EXPECT_EQ(first.Next(), -1);
  ReferenceDecoder next(file, 9, second);
  for (int s : b) ASSERT_EQ(next.Next(), s);
  EXPECT_EQ(next.Next(), -1);
}

TEST(ArithEncoderTest, SizeIsCloseToTheModelsInformationAndBitsSoFarTracksIt) {
  for (int valueCount : {2, 30, 255}) {
    const auto symbols = SkewedSymbols(valueCount, 50000, 0.15, 99);
    ArithEncoder enc(valueCount);
    double ideal = 0;
    for (int s : symbols) {
      ideal -= std::log2(static_cast<double>(enc.Frequency(enc.IndexOf(s))) /
                         enc.TotalFrequency());
      enc.EncodeValue(s);
      ASSERT_LE(static_cast<double>(enc.BitsSoFar()), ideal + 2 + 1e-3 * static_cast<double>(symbols.size()));
    }
    ideal -= std::log2(1.0 / enc.TotalFrequency());
    enc.EncodeEnd();
    const size_t before = enc.BitsSoFar();
    const size_t bytes = enc.Finish().size();
    // The flush adds two bits, then the byte is padded: nothing more.
    EXPECT_EQ(bytes, (before + 2 + 7) / 8);
    EXPECT_GE(static_cast<double>(before + 2), ideal - 16);
    EXPECT_LE(static_cast<double>(bytes) * 8, ideal * 1.002 + 24) << valueCount;
  }
}

}  // namespace
}  // namespace kdz
