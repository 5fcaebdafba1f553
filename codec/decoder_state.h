// DecoderState: every piece of the decoder's working state, passed by reference to
// the decode functions (the library keeps no globals; the plug-in owns one instance).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "codec/kept_blocks.h"
#include "kdz/kdz.h"

namespace kdz {

// The bitmap block: header, colour table, then the pixel area.
constexpr int kBitmapHeaderSize = 40;
constexpr int kColorTableSize = 256 * 4;
constexpr int kPixelAreaOffset = kBitmapHeaderSize + kColorTableSize;  // 1064
constexpr int kPaletteBlockSize = 256 * 3;
// Files of this size or more are refused: plane offsets are 16-bit and the encoder
// keeps files well below this.
constexpr uint32_t kMaxFileSize = 80000;
constexpr int kMaxLevels = 10;
constexpr int kSubbandRows = 31;  // 3 * kMaxLevels + 1

enum PlaneIndex { kPlaneY = 0, kPlaneI = 1, kPlaneQ = 2 };

// The allocator of the planes: every plane starts all zero, and making its samples
// stores nothing more. With an unread area (a ZeroRect in bytes: the lower half of a
// plane whose finest level is interpolated, which the decode never writes, and reads
// only where work memory ran out) the zeros come from calloc, which need not clear
// memory fresh from the system: those pages are never touched. Otherwise they are
// stored at once, so that each page is faulted in now and once (a page first read
// and then written is faulted twice). A plane freed is kept for the next decode where it is large
// enough (see kept_blocks.h), with its unread area as the part known to be zero; a
// kept block taken again is cleared but for the part of its unread area that is
// known to be zero already.
template <typename T>
struct ZeroedAllocator {
  using value_type = T;
  using propagate_on_container_move_assignment = std::true_type;
  using is_always_equal = std::true_type;  // every plane is freed the same way
  ZeroRect unread;

  ZeroedAllocator() = default;
  explicit ZeroedAllocator(const ZeroRect& area) noexcept : unread(area) {}
  template <typename U>
  ZeroedAllocator(const ZeroedAllocator<U>& other) noexcept : unread(other.unread) {}
  // Clears `bytes` at p but for the unread area, when that is zero already.
  void ClearKept(void* p, size_t bytes, const ZeroRect& zeros) const {
    auto* b = static_cast<unsigned char*>(p);
    const ZeroRect& u = unread;
    if (u.empty() || !zeros.Covers(u) || u.rowBytes * u.row1 > bytes) {
      std::memset(b, 0, bytes);
      return;
    }
    std::memset(b, 0, u.row0 * u.rowBytes);
    for (size_t r = u.row0; r < u.row1 && u.spanBytes < u.rowBytes; ++r) {
      std::memset(b + r * u.rowBytes + u.spanBytes, 0, u.rowBytes - u.spanBytes);
    }
    std::memset(b + u.row1 * u.rowBytes, 0, bytes - u.row1 * u.rowBytes);
  }
  T* allocate(size_t n) {
    if (n > std::numeric_limits<size_t>::max() / sizeof(T)) throw std::bad_alloc();
    const size_t bytes = n * sizeof(T);
#if defined(__wasi__) || defined(__EMSCRIPTEN__)
    // There the allocator clears every block that calloc hands out, fresh or not, so
    // calloc gains nothing: the planes come from operator new, as the other buffers
    // do, and are cleared here.
    void* p = ::operator new(bytes, std::nothrow);
    if (p != nullptr) std::memset(p, 0, bytes);
#else
    // A block kept from an earlier decode is resident already: clearing it costs far
    // less than faulting in fresh pages (see kept_blocks.h).
    ZeroRect zeros;
    void* p = TakeKeptBlock(bytes, unread, &zeros);
    if (p != nullptr) {
      ClearKept(p, bytes, zeros);
      return static_cast<T*>(p);
    }
    const bool untouched = !unread.empty();
    p = untouched ? std::calloc(n, sizeof(T)) : AllocateFreshBlock(bytes);
    if (p != nullptr && !untouched) {
      // The fence keeps the compiler from making the two calls one calloc, which
      // would leave the pages untouched after all.
      std::atomic_signal_fence(std::memory_order_seq_cst);
      std::memset(p, 0, bytes);
    }
#endif
    if (p == nullptr) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, size_t n) noexcept {
#if defined(__wasi__) || defined(__EMSCRIPTEN__)
    (void)n;
    ::operator delete(p);
#else
    KeepBlock(p, n * sizeof(T), unread);
#endif
  }
  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;  // the zero stays
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(static_cast<Args&&>(args)...);
  }
  template <typename U>
  bool operator==(const ZeroedAllocator<U>&) const noexcept { return true; }
  template <typename U>
  bool operator!=(const ZeroedAllocator<U>&) const noexcept { return false; }
};
using PlaneSamples = std::vector<int16_t, ZeroedAllocator<int16_t>>;

struct DecoderState {
  // Head.
  char signature[8] = {'Q', 'E', 'M', '2', '.', '3', 'a', 'Z'};
  // Plane buffers (planeSize samples each); empty while no plane exists.
  PlaneSamples planeY, planeI, planeQ;
  // The buffer the current stage works on: the file image while planes are decoded.
  const uint8_t* dataBase = nullptr;
  // Read cursor into the file image, as an offset from dataBase. It may run past
  // dataSize; reads there yield zero bytes (see InputBit).
  size_t readPos = 0;
  size_t dataSize = 0;  // bytes of the file image at dataBase

  // File header copy.
  char fileSignature[8] = {};
  int32_t headerLength = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t planeSize = 0;
  int32_t uncodedLevels[3] = {};
  int32_t planeOffsetI = 0;
  int32_t planeOffsetQ = 0;
  int32_t segmentOffset[3] = {};
  int32_t transformMode = 0;
  int32_t levels = 0;
  int32_t headerEnd = 0;  // offset just past the last fixed header field

  // Dequantisation, indexed [plane][subband].
  int32_t scalePos[3][kSubbandRows] = {};
  int32_t scaleNeg[3][kSubbandRows] = {};
  int32_t scaleDiv[3][kSubbandRows] = {};
  int32_t lumaBias = 0;
  int32_t chromaBias[2] = {};  // stored, not used

  // Zero-tree fill.
  int32_t zeroFillLimit = 0;
  int32_t zeroFillValue = 0;
  int16_t* zeroFillPlane = nullptr;

  // Arithmetic decoder registers and adaptive model.
  int32_t codeValue = 0;
  int32_t low = 0;
  int32_t high = 0;
  int32_t bitBuffer = 0;
  int32_t bitsLeft = 0;
  bool readPastEnd = false;  // set once a bit was read past the end of the image
  int32_t freq[258] = {};
  int32_t cumFreq[258] = {};
  uint8_t indexToSymbol[258] = {};
  int32_t symbolCount = 0;
  int32_t endSymbol = 0;
  int32_t valueCount = 0;
  uint8_t symbolValue[256] = {};

  // Colour conversion: the saturation table, built by BuildClampTable.
  uint8_t clampTable[2048] = {};

  // Threads of a decode: 1 runs every stage on the caller's thread; 0 or less takes
  // one per core (see ResolveThreadCount). The output is the same for every count.
  int32_t threads = 1;

  // Limits and the first error of the current decode.
  uint64_t maxPixels = kDefaultMaxPixels;
  // Bytes available for the pixel area; a picture that needs more is refused.
  size_t pixelAreaCapacity = std::numeric_limits<size_t>::max();
  Error error = Error::kNone;
  std::string errorDetail;

  // Records a failure unless one is already recorded; returns 1 (the inner steps'
  // failure result) so callers can write `return state.Fail(...)`.
  int Fail(Error e, std::string detail) {
    if (error == Error::kNone) {
      error = e;
      errorDetail = std::move(detail);
    }
    return 1;
  }
  void ClearError() {
    error = Error::kNone;
    errorDetail.clear();
  }
  // The buffer of plane kPlaneY, kPlaneI or kPlaneQ.
  PlaneSamples& PlaneBuffer(int p) { return p == kPlaneY ? planeY : p == kPlaneI ? planeI : planeQ; }
};

}  // namespace kdz
