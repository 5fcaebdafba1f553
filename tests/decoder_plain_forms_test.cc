// The fast forms of the symbol decoder and the coefficient loop against the plain
// forms they replaced: the same indices, registers, bit input and planes, on random
// registers and streams (running past the end too) and on every file at hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "codec/arith_decoder.h"
#include "codec/coeff_decoder.h"
#include "codec/file_format.h"
#include "encoder/image_encoder.h"
#include "kdz/encoder.h"

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
        UpdateModel(fast, index, w);  // the windowed registers keep part of the model
        ASSERT_EQ(w.total, fast.cumFreq[0]) << "trial " << trial << " symbol " << k;
        ASSERT_EQ(w.cum1, fast.cumFreq[1]) << "trial " << trial << " symbol " << k;
        if (fast.symbolCount >= 2) {
          ASSERT_EQ(w.cum2, fast.cumFreq[2]) << "trial " << trial << " symbol " << k;
        }
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

// A plane's memory may come back from the heap holding what an earlier buffer left
// there: every sample the decode does not write must still read as zero, in the rows
// it zeroes itself and in those it leaves to the allocator (the lower half of an
// interpolated finest level, which the sample's chroma planes have).
TEST(DecoderPlainForms, PlanesInUsedMemoryAreThePlanesInFreshMemory) {
  std::ifstream in(std::string(KDZ_SOURCE_DIR) + "/samples/chelsea.kdz", std::ios::binary);
  const std::vector<uint8_t> file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const DecoderState first = DecodePlanes(file, DecodeCoefficients);
  ASSERT_FALSE(first.planeQ.empty());
  ASSERT_GT(first.uncodedLevels[kPlaneI], 0);
#if defined(__GLIBC__)
  // Buffers of a plane's size from the heap, and kept there when freed, as the CLI
  // has them (glibc would otherwise map each afresh).
  (void)mallopt(M_MMAP_THRESHOLD, 32 << 20);
  (void)mallopt(M_TRIM_THRESHOLD, 64 << 20);
#endif
  for (int round = 0; round < 3; ++round) {
    {
      std::vector<PlaneSamples> dirty(8, PlaneSamples(static_cast<size_t>(first.planeSize)));
      for (PlaneSamples& d : dirty) std::fill(d.begin(), d.end(), static_cast<int16_t>(0x5A5A));
    }
    const DecoderState again = DecodePlanes(file, DecodeCoefficients);
    ASSERT_TRUE(again.planeY == first.planeY && again.planeI == first.planeI && again.planeQ == first.planeQ);
    const int rows = (first.height >> first.levels) << first.levels;
    const size_t w = static_cast<size_t>(first.width);
    for (const PlaneSamples* plane : {&again.planeI, &again.planeQ}) {
      ASSERT_TRUE(std::all_of(plane->begin() + static_cast<ptrdiff_t>(rows / 2 * w),
                              plane->begin() + static_cast<ptrdiff_t>(rows * w), [](int16_t v) { return v == 0; }))
          << "round " << round;
    }
  }
}

// A picture of mostly grey detail, so that 'y' carries most of the file and the
// encoder cuts it into two segments.
RgbImage GreyDetail(int width, int height, uint32_t seed) {
  std::mt19937 rng(seed);
  RgbImage img;
  img.width = width;
  img.height = height;
  img.rgb.resize(static_cast<size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const int grey = (x * 7 + y * 3) % 256 / 2 + static_cast<int>(rng() % 90);
      uint8_t* p = &img.rgb[(static_cast<size_t>(y) * width + x) * 3];
      p[0] = static_cast<uint8_t>(std::min(255, grey + x % 9));
      p[1] = static_cast<uint8_t>(grey);
      p[2] = static_cast<uint8_t>(std::min(255, grey + y % 5));
    }
  }
  return img;
}

// How the second segment of 'y' is decoded ahead, against the loop.
enum class Ahead { kAlongside, kBefore, kPassedBy };

// The registers and model a decode leaves.
std::string RegistersAndModel(const DecoderState& s) {
  std::string out = Registers(s);
  for (int k = 0; k <= s.symbolCount; ++k) {
    out += " " + std::to_string(s.cumFreq[k]) + ":" + std::to_string(s.indexToSymbol[k]);
  }
  return out;
}

// The planes as DecodePlanes makes them, 'y' decoded with its second segment
// decoded ahead `how`; *afterY receives the registers and model 'y' left.
DecoderState DecodePlanesAhead(const std::vector<uint8_t>& file, Ahead how, size_t* taken, bool* tookEnd,
                               std::string* afterY) {
  DecoderState s;
  s.dataBase = file.data();
  s.dataSize = file.size();
  *taken = 0;
  *tookEnd = false;
  afterY->clear();
  if (ParsePlaneHeader(s, 'y') != 0 || !IsDecodableVersion(s)) return s;
  SegmentAhead ahead(s, 'y');
  std::thread alongside;
  if (how == Ahead::kAlongside) alongside = std::thread([&] { ahead.Run(); });
  if (how == Ahead::kBefore) ahead.Run();
  const int failed = DecodeCoefficients(s, 'y', &ahead);
  if (how == Ahead::kAlongside) alongside.join();
  if (how == Ahead::kPassedBy) ahead.Run();  // too late: must leave everything as it is
  *taken = ahead.valuesTaken();
  *tookEnd = ahead.tookEnd();
  *afterY = RegistersAndModel(s);
  for (int letter : {'i', 'q'}) {
    if (failed != 0 || ParsePlaneHeader(s, letter) != 0 || DecodeCoefficients(s, letter) != 0) break;
  }
  return s;
}

// What the plain loop leaves after 'y' alone.
std::string PlainAfterY(const std::vector<uint8_t>& file) {
  DecoderState s;
  s.dataBase = file.data();
  s.dataSize = file.size();
  if (ParsePlaneHeader(s, 'y') != 0 || !IsDecodableVersion(s)) return "";
  (void)DecodeCoefficientsPlain(s, 'y');
  return RegistersAndModel(s);
}

TEST(DecoderPlainForms, SecondSegmentDecodedAheadGivesThePlainPlanes) {
  // Files the encoder cuts in two (its own cut, and cuts at a level's start as
  // older files have them), whole, cut short or with bytes changed anywhere; the
  // second segment decoded on another thread at once, before the plane, or not
  // at all because the loop passed it by.
  std::vector<std::vector<uint8_t>> originals;
  const struct {
    int width, height, quality;
  } pictures[] = {{96, 64, 90}, {131, 77, 60}, {160, 160, 30}, {64, 200, 98}};
  for (const auto& c : pictures) {
    EncodeOptions options;
    options.quality = c.quality;
    std::vector<uint8_t> file;
    ASSERT_TRUE(Encode(GreyDetail(c.width, c.height, static_cast<uint32_t>(c.quality)), options, &file).ok());
    originals.push_back(file);
  }
  {
    PreparedPicture prep;
    ASSERT_TRUE(PreparePicture(GreyDetail(128, 96, 5), 4, &prep));
    PlaneEncoder coder;
    const int uncoded[3] = {0, 1, 1};
    for (int level : {1, 3}) originals.push_back(BuildFile(prep, 5.0, uncoded, level, EncoderTuning{}, &coder).bytes);
  }
  std::mt19937 rng(41);
  int withAhead = 0, withEnd = 0;
  for (size_t n = 0; n < originals.size(); ++n) {
    HeaderInfo info;
    ASSERT_TRUE(ReadHeader(originals[n].data(), originals[n].size(), &info).ok());
    ASSERT_NE(info.segmentOffset[0], 0u) << "file " << n << " has no second segment";
    for (int copy = 0; copy < 30; ++copy) {
      std::vector<uint8_t> file = originals[n];
      if (copy % 3 == 1) file.resize(info.segmentOffset[0] + rng() % (file.size() - info.segmentOffset[0]));
      for (int k = 0; copy % 3 == 2 && k < 1 + copy % 4; ++k) {
        // Mostly in the second segment of 'y', where the two ways part.
        const size_t from = k == 0 ? info.segmentOffset[0] : 0;
        file[from + rng() % (file.size() - from)] ^= static_cast<uint8_t>(1 + rng() % 255);
      }
      const DecoderState plain = DecodePlanes(file, DecodeCoefficientsPlain);
      const std::string plainAfterY = PlainAfterY(file);
      for (Ahead how : {Ahead::kAlongside, Ahead::kBefore, Ahead::kPassedBy}) {
        size_t taken = 0;
        bool tookEnd = false;
        std::string afterY;
        const DecoderState fast = DecodePlanesAhead(file, how, &taken, &tookEnd, &afterY);
        const std::string what = "file " + std::to_string(n) + " copy " + std::to_string(copy) + " way " +
                                 std::to_string(static_cast<int>(how));
        ASSERT_TRUE(fast.planeY == plain.planeY && fast.planeI == plain.planeI && fast.planeQ == plain.planeQ) << what;
        ASSERT_EQ(fast.errorDetail, plain.errorDetail) << what;
        if (how == Ahead::kPassedBy) {
          ASSERT_EQ(taken, 0u) << what;
          ASSERT_EQ(Registers(fast), Registers(plain)) << what;
        }
        // Once the loop took the end symbol, 'y' leaves what the plain loop leaves.
        if (how == Ahead::kPassedBy || tookEnd) {
          ASSERT_EQ(afterY, plainAfterY) << what;
        }
        withEnd += tookEnd;
        withAhead += how == Ahead::kBefore && taken > 0;
      }
    }
  }
  // The values did come from the segment decoded ahead in most files.
  EXPECT_GE(withAhead, static_cast<int>(originals.size()) * 15);
  EXPECT_GT(withEnd, 0);
}

// Every plane decoded with its placing handed over after `rows` detail rows of the
// loop, then placed from the values: on this one thread, which the lists allow
// (the loop decodes all its values before it returns). For 'y' the second segment
// is decoded ahead first, or left for the placing to decode. handedOver[p] counts
// the planes p handed over; *afterY receives what 'y' left when its placing ended
// at an end symbol (else it stays empty). With lend 1 the request lends room enough
// for the list, filled with a pattern, with lend 2 too little room (the list then
// takes memory of its own).
DecoderState DecodePlanesHandedOver(const std::vector<uint8_t>& file, int rows, bool aheadFirst, int lend,
                                    int handedOver[3], std::string* afterY) {
  DecoderState s;
  s.dataBase = file.data();
  s.dataSize = file.size();
  afterY->clear();
  for (int letter : {'y', 'i', 'q'}) {
    if (ParsePlaneHeader(s, letter) != 0 || !IsDecodableVersion(s)) break;
    SegmentAhead ahead(s, letter);
    SegmentAhead handover(s, letter, SegmentAhead::kHandover);
    std::vector<int8_t> room(lend == 0 ? 0 : lend == 1 ? static_cast<size_t>(s.planeSize) : 16, int8_t{0x5A});
    handover.Ask(rows, lend == 0 ? nullptr : room.data(), room.size());
    if (aheadFirst) ahead.Run();
    if (DecodeCoefficients(s, letter, letter == 'y' ? &ahead : nullptr, &handover) != 0) break;
    if (handover.RequestPlacing()) {
      ++handedOver[PlaneIndexOf(letter)];
      EXPECT_EQ(PlaceHandedOver(s, letter, &handover, letter == 'y' ? &ahead : nullptr), 0);
      const bool ended = HasSecondSegment(s, letter) ? ahead.tookEnd() : handover.tookEnd();
      if (letter == 'y' && ended) *afterY = RegistersAndModel(s);
    } else {
      EXPECT_FALSE(handover.handedOver());
    }
  }
  return s;
}

TEST(DecoderPlainForms, PlacingHandedOverAtAnyRowGivesThePlainPlanes) {
  // Files in one segment and in two, whole, cut short or with bytes changed; the
  // placing handed over at the first detail row, a little later, far into the
  // plane, or asked for too late (refused); the second segment decoded before or
  // by the placing; the list in memory of its own or in room lent with the request.
  std::vector<std::vector<uint8_t>> originals;
  for (const char* name : {"astronaut", "camera"}) {
    std::ifstream in(std::string(KDZ_SOURCE_DIR) + "/samples/" + name + ".kdz", std::ios::binary);
    originals.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  for (int quality : {40, 90}) {
    EncodeOptions options;
    options.quality = quality;
    std::vector<uint8_t> file;
    ASSERT_TRUE(Encode(GreyDetail(131, 77, static_cast<uint32_t>(quality)), options, &file).ok());
    originals.push_back(file);
  }
  {
    // Noise at the best quality: a value at nearly every position, so that the
    // list handed over needs nearly all the room the positions left give.
    std::mt19937 noise(7);
    RgbImage img;
    img.width = 40;
    img.height = 24;
    img.rgb.resize(40 * 24 * 3);
    for (uint8_t& b : img.rgb) b = static_cast<uint8_t>(noise());
    EncodeOptions options;
    options.quality = 100;
    std::vector<uint8_t> file;
    ASSERT_TRUE(Encode(img, options, &file).ok());
    originals.push_back(file);
  }
  std::mt19937 rng(43);
  int oneSegment = 0, twoSegments = 0, endsCompared = 0;
  std::map<int, int> lumaHandedOver;  // by rows passed
  int chromaHandedOver = 0;
  for (size_t n = 0; n < originals.size(); ++n) {
    HeaderInfo info;
    ASSERT_TRUE(ReadHeader(originals[n].data(), originals[n].size(), &info).ok());
    (info.segmentOffset[0] != 0 ? twoSegments : oneSegment) += 1;
    for (int copy = 0; copy < 6; ++copy) {
      std::vector<uint8_t> file = originals[n];
      if (copy % 3 == 1) file.resize(file.size() / 3 + rng() % (file.size() * 2 / 3));
      for (int k = 0; copy % 3 == 2 && k < 1 + copy % 4; ++k) {
        file[rng() % file.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
      }
      const DecoderState plain = DecodePlanes(file, DecodeCoefficientsPlain);
      const std::string plainAfterY = PlainAfterY(file);
      for (int rows : {0, 1, 13, 150, 1 << 20}) {
        for (bool aheadFirst : {true, false}) {
          int planesHandedOver[3] = {0, 0, 0};
          std::string afterY;
          const int lend = (copy + rows + aheadFirst) % 3;
          const DecoderState fast = DecodePlanesHandedOver(file, rows, aheadFirst, lend, planesHandedOver, &afterY);
          const std::string what = "file " + std::to_string(n) + " copy " + std::to_string(copy) + " after " +
                                   std::to_string(rows) + " rows" + (aheadFirst ? ", ahead first" : "") +
                                   ", lending " + std::to_string(lend);
          ASSERT_TRUE(fast.planeY == plain.planeY && fast.planeI == plain.planeI && fast.planeQ == plain.planeQ)
              << what;
          ASSERT_EQ(fast.errorDetail, plain.errorDetail) << what;
          if (!afterY.empty()) {
            ASSERT_EQ(afterY, plainAfterY) << what;
            ++endsCompared;
          }
          if (rows == 1 << 20) {
            ASSERT_EQ(planesHandedOver[0] + planesHandedOver[1] + planesHandedOver[2], 0) << what;
          }
          lumaHandedOver[rows] += planesHandedOver[0];
          chromaHandedOver += planesHandedOver[1] + planesHandedOver[2];
        }
      }
    }
  }
  EXPECT_GT(oneSegment, 0);
  EXPECT_GT(twoSegments, 0);
  // 'y' was handed over at every row tried but the last, the chroma planes too, and
  // the registers were compared.
  for (int rows : {0, 1, 13, 150}) EXPECT_GT(lumaHandedOver[rows], 0) << rows;
  EXPECT_GT(chromaHandedOver, 0);
  EXPECT_GT(endsCompared, 0);
}

}  // namespace
}  // namespace kdz
