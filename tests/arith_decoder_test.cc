// Tests of the adaptive model, the bit input and symbol decoding.
#include "codec/arith_decoder.h"

#include <gtest/gtest.h>

#include <random>

#include "encoder/arith_encoder.h"

namespace kdz {
namespace {

void StartModel(DecoderState& s, int valueCount) {
  s.valueCount = valueCount;
  s.symbolCount = s.endSymbol = valueCount + 1;
  ResetModel(s);
}

TEST(ArithModel, ResetAndFirstUpdateSwapIndices) {
  DecoderState s;
  StartModel(s, 2);
  EXPECT_EQ((std::vector<int>{s.freq[0], s.freq[1], s.freq[2], s.freq[3]}), (std::vector<int>{0, 1, 1, 1}));
  EXPECT_EQ((std::vector<int>{s.cumFreq[0], s.cumFreq[1], s.cumFreq[2], s.cumFreq[3]}),
            (std::vector<int>{3, 2, 1, 0}));
  EXPECT_EQ(s.indexToSymbol[1], 0);
  EXPECT_EQ(s.indexToSymbol[2], 1);

  UpdateModel(s, 2);  // equal counts: index 2 moves to the front
  EXPECT_EQ(s.indexToSymbol[1], 1);
  EXPECT_EQ(s.indexToSymbol[2], 0);
  EXPECT_EQ((std::vector<int>{s.freq[0], s.freq[1], s.freq[2], s.freq[3]}), (std::vector<int>{0, 2, 1, 1}));
  EXPECT_EQ((std::vector<int>{s.cumFreq[0], s.cumFreq[1], s.cumFreq[2], s.cumFreq[3]}),
            (std::vector<int>{4, 2, 1, 0}));
}

TEST(ArithModel, HalvingAtTheLimitRoundsUpAndKeepsTheTotalConsistent) {
  DecoderState s;
  StartModel(s, 3);  // S = 4, total 4
  // Bring index 1 to a count that fills the total to exactly 4096.
  while (s.cumFreq[0] < kMaxFrequency) UpdateModel(s, 1);
  ASSERT_EQ(s.cumFreq[0], 4096);
  EXPECT_EQ(s.freq[1], 4093);
  UpdateModel(s, 2);  // halves first: 4093 -> 2047, 1 -> 1, then adds its own count
  EXPECT_EQ(s.freq[1], 2047);
  EXPECT_EQ(s.freq[2], 2);
  EXPECT_EQ(s.freq[3], 1);
  EXPECT_EQ(s.freq[4], 1);
  EXPECT_EQ(s.cumFreq[0], 2047 + 2 + 1 + 1);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(s.cumFreq[i], s.cumFreq[i + 1] + s.freq[i + 1]) << i;
}

TEST(ArithModel, HalvingMapsCountsOneTwoThreeToOneOneTwo) {
  DecoderState s;
  StartModel(s, 3);
  s.freq[1] = 3;
  s.freq[2] = 2;
  s.freq[3] = 1;
  s.freq[4] = 4090;  // end symbol's count, only to reach the limit
  int cum = 0;
  for (int i = 4; i >= 0; --i) {
    s.cumFreq[i] = cum;
    cum += s.freq[i];
  }
  ASSERT_EQ(s.cumFreq[0], 4096);
  UpdateModel(s, 3);
  EXPECT_EQ(s.freq[4], 2045);
  EXPECT_EQ(s.freq[1], 2);
  // index 3 had count 1 and index 2 had 1 after halving: index 3 moves to 2.
  EXPECT_EQ(s.freq[2], 2);
  EXPECT_EQ(s.freq[3], 1);
}

TEST(ArithDecode, ReciprocalsOfTheTotalDivideExactly) {
  // Every total and every cumulative count up to it, with the extreme ranges, the
  // total itself as the range (every quotient then whole: a reciprocal rounded down
  // would come out one short) and random ranges: the quotients of the interval
  // update, range * count / total, by the reciprocal and by a division.
  std::mt19937 rng(41);
  for (uint32_t total = 1; total <= static_cast<uint32_t>(kMaxFrequency); ++total) {
    // The table the fast loop reads gives the same reciprocal.
    ASSERT_EQ(TotalReciprocal(static_cast<int32_t>(total), ReciprocalTable()),
              TotalReciprocal(static_cast<int32_t>(total)))
        << total;
    const uint32_t ranges[] = {1, 2, total, 0xFFFFu, 0x10000u, static_cast<uint32_t>(1 + rng() % 0x10000u),
                               static_cast<uint32_t>(1 + rng() % 0x10000u)};
    for (const uint32_t range : ranges) {
      const uint64_t scaled = uint64_t{range} * TotalReciprocal(static_cast<int32_t>(total));
      for (uint32_t count = 0; count <= total; ++count) {
        const uint32_t quotient = static_cast<uint32_t>((scaled * count) >> kTotalShift);
        if (quotient != range * count / total) {
          FAIL() << range << " * " << count << " / " << total << ": " << quotient;
        }
      }
    }
  }
}

TEST(ArithBits, LeastSignificantBitFirstAndStartConsumesTwoBytes) {
  const uint8_t data[] = {0x01, 0x80, 0xFF, 0x00};
  DecoderState s;
  s.dataBase = data;
  s.dataSize = sizeof data;
  ResetBitInput(s);
  EXPECT_EQ(InputBit(s), 1);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(InputBit(s), 0);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(InputBit(s), 0);
  EXPECT_EQ(InputBit(s), 1);

  s.readPos = 0;
  ResetBitInput(s);
  StartDecoding(s);
  EXPECT_EQ(s.readPos, 2u);
  EXPECT_EQ(s.codeValue, 0x8001);  // first bit read is the most significant
  EXPECT_EQ(s.low, 0);
  EXPECT_EQ(s.high, 0xFFFF);
}

TEST(ArithBits, ResetDropsTheRestOfAByteAndPastTheEndReadsZeros) {
  const uint8_t data[] = {0xFF, 0x02};
  DecoderState s;
  s.dataBase = data;
  s.dataSize = sizeof data;
  ResetBitInput(s);
  EXPECT_EQ(InputBit(s), 1);
  ResetBitInput(s);
  EXPECT_EQ(InputBit(s), 0);  // bit 0 of the second byte
  EXPECT_EQ(InputBit(s), 1);
  EXPECT_FALSE(s.readPastEnd);
  for (int i = 0; i < 6; ++i) InputBit(s);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(InputBit(s), 0);
  EXPECT_TRUE(s.readPastEnd);
}

TEST(ArithDecode, EmptyTableYieldsOnlyTheEndSymbol) {
  const uint8_t data[] = {0x5A, 0xC3, 0x99};
  DecoderState s;
  s.dataBase = data;
  s.dataSize = sizeof data;
  StartModel(s, 0);
  EXPECT_EQ(s.cumFreq[0], 1);
  ResetBitInput(s);
  StartDecoding(s);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(DecodeSymbol(s), 1);
}

// Decodes what the encoder wrote, adapting the model as the plane decoder does.
std::vector<int> DecodeAll(const std::vector<uint8_t>& bytes, int valueCount, size_t count) {
  DecoderState s;
  s.dataBase = bytes.data();
  s.dataSize = bytes.size();
  StartModel(s, valueCount);
  ResetBitInput(s);
  StartDecoding(s);
  std::vector<int> out;
  for (size_t k = 0; k < count; ++k) {
    const int index = DecodeSymbol(s);
    if (index == s.endSymbol) {
      out.push_back(-1);
      continue;
    }
    out.push_back(s.indexToSymbol[index]);
    UpdateModel(s, index);
  }
  return out;
}

TEST(ArithDecode, ReadsBackEncodedSequencesOfEverySkew) {
  std::mt19937 rng(7);
  for (int valueCount : {1, 2, 5, 37, 255}) {
    for (double skew : {0.0, 0.9, 0.999}) {
      std::vector<int> symbols;
      ArithEncoder enc(valueCount);
      std::uniform_int_distribution<int> any(0, valueCount - 1);
      std::bernoulli_distribution common(skew);
      for (int k = 0; k < 20000; ++k) {  // long enough to pass several halvings
        const int v = common(rng) ? 0 : any(rng);
        symbols.push_back(v);
        enc.EncodeValue(v);
      }
      enc.EncodeEnd();
      symbols.push_back(-1);
      const std::vector<uint8_t> bytes = enc.Finish();
      EXPECT_EQ(DecodeAll(bytes, valueCount, symbols.size()), symbols)
          << "values " << valueCount << " skew " << skew;
    }
  }
}

}  // namespace
}  // namespace kdz
