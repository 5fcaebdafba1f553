// The blocks kept between decodes: a short list under one lock.
#include "codec/kept_blocks.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__wasi__) || defined(__EMSCRIPTEN__)

// WebAssembly memory never goes back to the system, so no page is faulted twice:
// nothing is kept there.
namespace kdz {
void* AllocateFreshBlock(size_t bytes) { return std::malloc(bytes); }
void FreeBlock(void* block) { std::free(block); }
void* TakeKeptBlock(size_t, const ZeroRect&, ZeroRect*) { return nullptr; }
void* TakeKeptBlockAtLeast(size_t, size_t*) { return nullptr; }
void KeepBlock(void* block, size_t, const ZeroRect&) { std::free(block); }
void FreeKeptBlocks() {}
size_t KeptBlockCount() { return 0; }
size_t KeptBlockBytes() { return 0; }
void FillKeptBlocks(unsigned char) {}
}  // namespace kdz

#else

#include <mutex>
#include <new>
#include <utility>
#include <vector>

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#endif
#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace kdz {
namespace {

struct Kept {
  std::mutex mutex;
  // Oldest first; `count` entries in use.
  void* block[kKeptBlocksMost] = {};
  size_t bytes[kKeptBlocksMost] = {};
  ZeroRect zeros[kKeptBlocksMost];
  size_t count = 0;
  size_t total = 0;
  // The blocks mapped in huge pages, kept or not, with their mapped lengths.
  std::vector<std::pair<void*, size_t>> mapped;

  void Remove(size_t k) {
    total -= bytes[k];
    for (size_t j = k + 1; j < count; ++j) {
      block[j - 1] = block[j];
      bytes[j - 1] = bytes[j];
      zeros[j - 1] = zeros[j];
    }
    --count;
  }
};

// Made once and never destroyed, like the kept crews: blocks still kept at the end
// of the process go with it.
Kept& TheKept() {
  static Kept* const kept = [] {
    auto* k = new Kept;
#if defined(__unix__) || defined(__APPLE__)
    // The lock is held across fork, so that the child gets it free and the list whole.
    (void)pthread_atfork([] { TheKept().mutex.lock(); }, [] { TheKept().mutex.unlock(); },
                         [] { TheKept().mutex.unlock(); });
#endif
    return k;
  }();
  return *kept;
}

#if defined(__linux__) && defined(MADV_HUGEPAGE)
// `bytes` mapped from a huge-page boundary, null when the system gives none. Only
// whole pages of 4 KB are mapped (the rest of the last is the block's slack), and
// only the whole huge pages are asked for as such, so that the block takes no more
// memory than its pages (an aligned_alloc from the allocator's arenas took up to
// 1.4 MB more at the peak of a two-thread decode of 1800 x 1200 pixels).
void* MapInHugePages(size_t bytes) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  if (page == 0 || kHugePageBytes % page != 0 || bytes > SIZE_MAX - 2 * kHugePageBytes) return nullptr;
  const size_t length = (bytes + page - 1) / page * page;
  void* raw = mmap(nullptr, length + kHugePageBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + kHugePageBytes - 1) & ~static_cast<uintptr_t>(kHugePageBytes - 1);
  if (aligned > start) (void)munmap(raw, aligned - start);
  const size_t after = start + kHugePageBytes - aligned;  // past the block's pages
  if (after > 0) (void)munmap(reinterpret_cast<void*>(aligned + length), after);
  void* block = reinterpret_cast<void*>(aligned);
  (void)madvise(block, length & ~(kHugePageBytes - 1), MADV_HUGEPAGE);  // a request: refused, the pages stay small
  Kept& kept = TheKept();
  try {
    std::lock_guard<std::mutex> lock(kept.mutex);
    kept.mapped.emplace_back(block, length);
  } catch (const std::bad_alloc&) {
    (void)munmap(block, length);  // not listed, it could not be freed
    return nullptr;
  }
  return block;
}
#endif

}  // namespace

void* AllocateFreshBlock(size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes >= kHugePageBytes) {
    if (void* block = MapInHugePages(bytes)) return block;
  }
#endif
  return std::malloc(bytes);
}

void FreeBlock(void* block) {
  if (block == nullptr) return;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  size_t length = 0;
  {
    Kept& kept = TheKept();
    std::lock_guard<std::mutex> lock(kept.mutex);
    for (size_t k = 0; k < kept.mapped.size(); ++k) {
      if (kept.mapped[k].first == block) {
        length = kept.mapped[k].second;
        kept.mapped[k] = kept.mapped.back();
        kept.mapped.pop_back();
        break;
      }
    }
  }
  if (length > 0) {
    (void)munmap(block, length);
    return;
  }
#endif
  std::free(block);
}

void* TakeKeptBlock(size_t bytes, const ZeroRect& wanted, ZeroRect* zeros) {
  *zeros = ZeroRect{};
  if (bytes < kKeptBlockLeast || bytes > kKeptBytesMost) return nullptr;
  Kept& kept = TheKept();
  std::lock_guard<std::mutex> lock(kept.mutex);
  // First one that covers `wanted`, then one with no zero part beyond it (its
  // untouched pages stay so only where the new user leaves them alone), then the
  // smallest.
  auto spare = [&](size_t k) {
    const ZeroRect& z = kept.zeros[k];
    return z.empty() ? 0 : (z.row1 - z.row0) * z.spanBytes;
  };
  const size_t wantedBytes = wanted.empty() ? 0 : (wanted.row1 - wanted.row0) * wanted.spanBytes;
  size_t best = kept.count;
  auto better = [&](size_t k) {
    if (best == kept.count) return true;
    const bool covers = kept.zeros[k].Covers(wanted), bestCovers = kept.zeros[best].Covers(wanted);
    if (covers != bestCovers) return covers;
    const bool exact = spare(k) == wantedBytes, bestExact = spare(best) == wantedBytes;
    if (exact != bestExact) return exact;
    return kept.bytes[k] < kept.bytes[best];
  };
  for (size_t k = kept.count; k-- > 0;) {  // newest first, so it wins among equals
    if (kept.bytes[k] >= bytes && kept.bytes[k] / 2 <= bytes && better(k)) best = k;
  }
  if (best == kept.count) return nullptr;
  void* block = kept.block[best];
  *zeros = kept.zeros[best];
  kept.Remove(best);
  return block;
}

void* TakeKeptBlockAtLeast(size_t bytes, size_t* capacity) {
  *capacity = 0;
  Kept& kept = TheKept();
  std::lock_guard<std::mutex> lock(kept.mutex);
  size_t best = kept.count;
  for (size_t k = kept.count; k-- > 0;) {
    if (kept.bytes[k] >= bytes && (best == kept.count || kept.bytes[k] < kept.bytes[best])) best = k;
  }
  if (best == kept.count) return nullptr;
  void* block = kept.block[best];
  *capacity = kept.bytes[best];
  kept.Remove(best);
  return block;
}

void KeepBlock(void* block, size_t bytes, const ZeroRect& zeros) {
  if (block == nullptr) return;
  if (bytes < kKeptBlockLeast || bytes > kKeptBytesMost) {
    FreeBlock(block);
    return;
  }
  void* freed[kKeptBlocksMost];
  size_t freedCount = 0;
  {
    Kept& kept = TheKept();
    std::lock_guard<std::mutex> lock(kept.mutex);
    while (kept.count == kKeptBlocksMost || kept.total + bytes > kKeptBytesMost) {
      freed[freedCount++] = kept.block[0];
      kept.Remove(0);
    }
    kept.block[kept.count] = block;
    kept.bytes[kept.count] = bytes;
    kept.zeros[kept.count] =
        zeros.spanBytes <= zeros.rowBytes && zeros.rowBytes * zeros.row1 <= bytes ? zeros : ZeroRect{};
    ++kept.count;
    kept.total += bytes;
  }
  for (size_t k = 0; k < freedCount; ++k) FreeBlock(freed[k]);
}

void FreeKeptBlocks() {
  void* freed[kKeptBlocksMost];
  size_t freedCount = 0;
  {
    Kept& kept = TheKept();
    std::lock_guard<std::mutex> lock(kept.mutex);
    while (kept.count > 0) {
      freed[freedCount++] = kept.block[kept.count - 1];
      kept.Remove(kept.count - 1);
    }
  }
  for (size_t k = 0; k < freedCount; ++k) FreeBlock(freed[k]);
}

size_t KeptBlockCount() {
  Kept& kept = TheKept();
  std::lock_guard<std::mutex> lock(kept.mutex);
  return kept.count;
}

size_t KeptBlockBytes() {
  Kept& kept = TheKept();
  std::lock_guard<std::mutex> lock(kept.mutex);
  return kept.total;
}

void FillKeptBlocks(unsigned char value) {
  Kept& kept = TheKept();
  std::lock_guard<std::mutex> lock(kept.mutex);
  for (size_t k = 0; k < kept.count; ++k) {
    auto* bytes = static_cast<unsigned char*>(kept.block[k]);
    const ZeroRect& z = kept.zeros[k];
    for (size_t at = 0; at < kept.bytes[k]; ++at) {
      const size_t row = z.rowBytes != 0 ? at / z.rowBytes : 0;
      const bool zero = !z.empty() && row >= z.row0 && row < z.row1 && at % z.rowBytes < z.spanBytes;
      if (!zero) bytes[at] = value;
    }
  }
}

}  // namespace kdz

#endif
