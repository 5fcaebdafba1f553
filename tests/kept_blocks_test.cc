// Plane memory kept between decodes: what is kept and given back, and that what one
// decode leaves in its planes never reaches the picture of the next.
#include "codec/kept_blocks.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

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

}  // namespace
}  // namespace kdz
