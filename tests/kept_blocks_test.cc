// Plane memory kept between decodes: what is kept and given back, and that what one
// decode leaves in its planes never reaches the picture of the next.
#include "codec/kept_blocks.h"

#include <gtest/gtest.h>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "kdz/encoder.h"
#include "kdz/kdz.h"

namespace kdz {
namespace {

constexpr size_t kK = size_t{1} << 10;
constexpr size_t kM = size_t{1} << 20;

void* Block(size_t bytes) { return std::malloc(bytes); }

void* Take(size_t bytes) {
  ZeroRect zeros;
  return TakeKeptBlock(bytes, ZeroRect{}, &zeros);
}

TEST(KeptBlocks, KeepWithinTheBoundsAndGiveBackTheBestFit) {
#if defined(__wasi__) || defined(__EMSCRIPTEN__)
  GTEST_SKIP() << "not run: WebAssembly keeps no blocks";
#endif
  FreeKeptBlocks();
  KeepBlock(Block(kKeptBlockLeast - 1), kKeptBlockLeast - 1);
  KeepBlock(Block(kKeptBytesMost + 1), kKeptBytesMost + 1);
  EXPECT_EQ(KeptBlockCount(), 0u) << "too small and too large blocks are freed";

  void* a = Block(100 * kK);
  void* b = Block(200 * kK);
  void* c = Block(400 * kK);
  KeepBlock(a, 100 * kK);
  KeepBlock(b, 200 * kK);
  KeepBlock(c, 400 * kK);
  EXPECT_EQ(KeptBlockCount(), 3u);
  EXPECT_EQ(KeptBlockBytes(), 700 * kK);
  // Asked for, given (null: none fits, below the least size, or over twice the ask),
  // each given back before the next: the smallest that fits, newest among equals.
  const struct {
    size_t ask;
    void* given;
    size_t givenBytes;
  } cases[] = {{450 * kK, nullptr, 0},  {150 * kK, b, 200 * kK}, {32 * kK, nullptr, 0},
               {90 * kK, a, 100 * kK}, {100 * kK, a, 100 * kK}, {190 * kK, b, 200 * kK},
               {210 * kK, c, 400 * kK}, {101 * kK, b, 200 * kK}, {99 * kK, a, 100 * kK}};
  for (const auto& k : cases) {
    void* got = Take(k.ask);
    EXPECT_EQ(got, k.given) << "asked for " << k.ask / kK << " KB";
    if (got != nullptr) {
      EXPECT_EQ(KeptBlockCount(), 2u);
      KeepBlock(got, k.givenBytes);
    }
  }
  EXPECT_EQ(KeptBlockBytes(), 700 * kK);
  // A short-lived buffer borrows the smallest block that holds it, whatever its size.
  size_t capacity = 1;
  EXPECT_EQ(TakeKeptBlockAtLeast(500 * kK, &capacity), nullptr);
  EXPECT_EQ(capacity, 0u);
  EXPECT_EQ(TakeKeptBlockAtLeast(128 * kK, &capacity), b);
  EXPECT_EQ(capacity, 200 * kK);
  KeepBlock(b, capacity);

  // The bounds: the oldest go first, by count and then by bytes.
  FreeKeptBlocks();
  for (int k = 0; k < 8; ++k) KeepBlock(Block(kM), kM);
  EXPECT_EQ(KeptBlockCount(), kKeptBlocksMost);
  EXPECT_EQ(KeptBlockBytes(), kKeptBlocksMost * kM);
  void* big = Block(4 * kM);
  KeepBlock(big, 4 * kM);
  EXPECT_LE(KeptBlockBytes(), kKeptBytesMost);
  EXPECT_EQ(KeptBlockBytes(), 4 * kM + (kKeptBytesMost - 4 * kM) / kM * kM);
  EXPECT_EQ(Take(3 * kM), big) << "the newest is kept";
  KeepBlock(big, 4 * kM);
  FreeKeptBlocks();
  EXPECT_EQ(KeptBlockCount(), 0u);
  EXPECT_EQ(KeptBlockBytes(), 0u);

  // A block whose zero rectangle covers the one asked for goes first, and the
  // rectangle comes with it; one that does not fit the block is not kept.
  const ZeroRect lowerHalf{1024, 64, 128, 1024}, narrower{1024, 64, 128, 512}, elsewhere{1024, 0, 64, 1024};
  void* covered = Block(128 * kK);
  void* plain = Block(128 * kK);
  KeepBlock(covered, 128 * kK, lowerHalf);
  KeepBlock(plain, 128 * kK);
  KeepBlock(Block(128 * kK), 128 * kK, ZeroRect{1024, 64, 129, 1024});
  ZeroRect zeros;
  EXPECT_EQ(TakeKeptBlock(128 * kK, narrower, &zeros), covered);
  EXPECT_TRUE(zeros.Covers(narrower) && zeros.Covers(lowerHalf) && !zeros.Covers(elsewhere));
  KeepBlock(covered, 128 * kK, lowerHalf);
  // None covers `elsewhere`: the newest, `covered` again, with its own rectangle.
  EXPECT_EQ(TakeKeptBlock(128 * kK, elsewhere, &zeros), covered);
  EXPECT_FALSE(zeros.Covers(elsewhere));
  KeepBlock(covered, 128 * kK);  // given back with no zero part: its use wrote over it
  // None covers the lower half now (the rectangle of 129 rows was refused, as the
  // block holds 128): the newest, whose rectangle is the one it came back with.
  EXPECT_EQ(TakeKeptBlock(128 * kK, lowerHalf, &zeros), covered);
  EXPECT_TRUE(zeros.empty());
  std::free(covered);
  FreeKeptBlocks();
}

std::vector<uint8_t> ReadSample(const char* name) {
  std::ifstream in(std::filesystem::path(KDZ_SOURCE_DIR) / "samples" / name, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Every sample in both depths on one and two threads, decoded once from fresh memory
// and again after another sample's 24-bit decode, its kept planes filled with a
// pattern but for their zero parts: the pictures must be the same (a kept plane is
// cleared on reuse but for the zero part its new use leaves alone).
TEST(KeptBlocks, WhatADecodeLeavesNeverReachesTheNext) {
  const char* const samples[] = {"astronaut.kdz", "camera.kdz", "chelsea.kdz", "coffee.kdz", "color.kdz"};
  std::vector<std::vector<uint8_t>> files;
  for (const char* name : samples) {
    files.push_back(ReadSample(name));
    ASSERT_FALSE(files.back().empty()) << name;
  }
  for (int threads : {1, 2}) {
    Limits limits;
    limits.threads = threads;
    for (size_t n = 0; n < files.size(); ++n) {
      for (bool eightBit : {false, true}) {
        const std::vector<uint8_t>& file = files[n];
        FreeKeptBlocks();
        Bitmap fresh;
        ASSERT_TRUE(DecodeToBitmap(file.data(), file.size(), eightBit, &fresh, limits).ok());
        const std::vector<uint8_t>& other = files[(n + 1) % files.size()];
        Bitmap before;
        ASSERT_TRUE(DecodeToBitmap(other.data(), other.size(), false, &before, limits).ok());
#if !defined(__wasi__) && !defined(__EMSCRIPTEN__)
        ASSERT_GE(KeptBlockCount(), 3u) << "the planes of " << samples[(n + 1) % files.size()] << " are kept";
#endif
        for (int value : {0xA5, 0x00, 0xFF}) {
          FillKeptBlocks(static_cast<unsigned char>(value));
          Bitmap reused;
          ASSERT_TRUE(DecodeToBitmap(file.data(), file.size(), eightBit, &reused, limits).ok());
          EXPECT_EQ(reused.block, fresh.block)
              << samples[n] << (eightBit ? " 8-bit" : " 24-bit") << " on " << threads << " threads, fill "
              << value;
          // Once a decode of this picture has kept its planes, the next takes them
          // all and gives them back, as the quantiser's histograms do the planes
          // they borrow.
          const size_t keptAfter = KeptBlockCount();
          Bitmap again;
          ASSERT_TRUE(DecodeToBitmap(file.data(), file.size(), eightBit, &again, limits).ok());
          EXPECT_EQ(KeptBlockCount(), keptAfter);
          EXPECT_EQ(again.block, fresh.block);
        }
      }
    }
  }
  FreeKeptBlocks();
}

#if defined(__linux__)
// Whether the page at p is mapped (mincore fails with ENOMEM where it is not).
bool Mapped(const void* p) {
  unsigned char resident = 0;
  void* page = reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(p) & ~uintptr_t{4095});
  return mincore(page, 1, &resident) == 0;
}
#endif

// Fresh blocks of 2 MB and more are mapped from a 2 MB boundary and unmapped whole
// when freed, whichever way they go (kept and taken again, too large to keep, pushed
// out of the list); smaller ones come from malloc. A picture whose planes are that
// large decodes the same on one thread and on two, fresh and from kept blocks.
TEST(KeptBlocks, LargeFreshBlocksAreMappedAndUnmappedWhole) {
  FreeKeptBlocks();
  const size_t sizes[] = {kHugePageBytes + 12345, 3 * kM, 9 * kM};
  for (size_t bytes : sizes) {
    auto* block = static_cast<unsigned char*>(AllocateFreshBlock(bytes));
    ASSERT_NE(block, nullptr);
    std::memset(block, 0x5A, bytes);
#if defined(__linux__)
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % kHugePageBytes, 0u) << bytes;
    ASSERT_TRUE(Mapped(block + bytes - 1));
#endif
    KeepBlock(block, bytes);  // 9 MB is too large to keep: freed at once
    if (bytes <= kKeptBytesMost) {
      ASSERT_EQ(Take(bytes), block) << bytes;
      FreeBlock(block);
    }
#if defined(__linux__)
    EXPECT_FALSE(Mapped(block)) << bytes << " bytes still mapped after they were freed";
    EXPECT_FALSE(Mapped(block + bytes - 1)) << bytes;
#endif
  }
  // Pushed out of the list by newer blocks.
  void* first = AllocateFreshBlock(3 * kM);
  ASSERT_NE(first, nullptr);
  KeepBlock(first, 3 * kM);
  for (int k = 0; k < 2; ++k) KeepBlock(AllocateFreshBlock(3 * kM), 3 * kM);
#if defined(__linux__)
  EXPECT_FALSE(Mapped(first));
#endif
  FreeKeptBlocks();
  void* small = AllocateFreshBlock(kM);
  ASSERT_NE(small, nullptr);
  FreeBlock(small);

  RgbImage picture;
  picture.width = 1024;
  picture.height = 1024;  // planes of 2 MB
  for (int y = 0; y < picture.height; ++y) {
    for (int x = 0; x < picture.width; ++x) {
      for (int c = 0; c < 3; ++c) picture.rgb.push_back(static_cast<uint8_t>((x / (c + 2) + y / 3 + (x ^ y) % 23) & 0xFF));
    }
  }
  EncodeOptions options;
  options.quality = 20;  // no search for a size: a quick encode
  std::vector<uint8_t> file;
  ASSERT_TRUE(Encode(picture, options, &file).ok());
  Limits one;
  one.threads = 1;
  RgbImage plain, fresh, reused;
  ASSERT_TRUE(Decode(file.data(), file.size(), &plain, one).ok());
  FreeKeptBlocks();
  ASSERT_TRUE(Decode(file.data(), file.size(), &fresh).ok());
  FillKeptBlocks(0xA5);
  ASSERT_TRUE(Decode(file.data(), file.size(), &reused).ok());
  EXPECT_EQ(fresh.rgb, plain.rgb);
  EXPECT_EQ(reused.rgb, plain.rgb);
  FreeKeptBlocks();
}

}  // namespace
}  // namespace kdz
