// The decode pipeline: file block in, bitmap block (header, colour table, padded
// bottom-up rows) out; the planes live only within one decode.
#include "codec/pipeline.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "codec/coeff_decoder.h"
#include "codec/color.h"
#include "codec/file_format.h"
#include "codec/kept_blocks.h"
#include "codec/parallel.h"
#include "codec/wavelet.h"
#include "quant/color_quant.h"

namespace kdz {
namespace {

void Put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  Put16(p, v);
  Put16(p + 2, v >> 16);
}

void ReleasePlanes(DecoderState& s) {
  s.planeY = PlaneSamples();
  s.planeI = PlaneSamples();
  s.planeQ = PlaneSamples();
  s.zeroFillPlane = nullptr;
}

// Spreads `rows` rows of `rowBytes` bytes, stored one after another, to a stride
// of a multiple of 4 bytes, last row first so that no row is overwritten before it
// moves; the padding bytes are zeroed.
void PadRows(uint8_t* area, size_t rowBytes, int rows) {
  const size_t stride = (rowBytes + 3) & ~size_t{3};
  if (stride == rowBytes) return;
  for (int r = rows - 1; r >= 0; --r) {
    uint8_t* dst = area + stride * static_cast<size_t>(r);
    std::memmove(dst, area + rowBytes * static_cast<size_t>(r), rowBytes);
    std::memset(dst + rowBytes, 0, stride - rowBytes);
  }
}

#if KDZ_HAVE_THREADS
// Where helpers begin to pay for themselves with the default thread count, in
// pixels (measured with two cores on a virtual machine, 24-bit decodes of one
// photograph cut to squares). Waking a kept helper costs about 10 us: in process,
// 96 x 96 took as long with one as without, 160 x 160 a fifth less time with one.
// Starting one in a fresh process costs about 130 us, 15 % of a 96 x 96 decode
// there: 160 x 160 and 224 x 224 took as long with a new helper as without, 320 x 320
// a quarter less.
constexpr uint64_t kPixelsForHelpers = 100 * 100;
constexpr uint64_t kPixelsToStartHelpers = 160 * 160;

// Decodes the three planes and transforms each as soon as it is decoded, the planes
// on threads of their own: every plane has its own segments and value table, so
// after the file header each needs only its own copy of the decoder's registers and
// model. 'y' (most often the longest by far) runs on the caller's thread, with its
// second segment, if it has one, decoded on the next thread; then every thread
// takes what is left in turn: 'i', 'q' and the pixel area, so that with two threads
// the one done first takes the rest. The planes, the first error in plane order
// and the reads past the end come out as from decoding 'y', 'i', 'q' in turn. True
// when all three planes were decoded (then also transformed).
// The crew of `threads` threads is borrowed once the header has passed its checks,
// so a refused file starts none; it is left in *crew for the later stages, or null
// when no helper could be started or the picture is too small to gain from one
// (then the same work runs in turn).
bool DecodeAndTransformConcurrently(DecoderState& state, int threads, BorrowedCrew* crew,
                                    const AreaSource& area, uint8_t** pixelArea) {
  if (ParsePlaneHeader(state, 'y') != 0) return false;
  if (!IsDecodableVersion(state)) return true;  // nothing to decode; the caller reports it
  // With the default count, a small picture does not wait for helpers it cannot
  // repay: one kept asleep from an earlier decode is taken from kPixelsForHelpers
  // pixels on, a new one started only from kPixelsToStartHelpers.
  const uint64_t pixels = static_cast<uint64_t>(state.width) * static_cast<uint64_t>(state.height);
  const bool chosenCount = state.threads > 0;
  try {
    if (chosenCount || pixels >= kPixelsForHelpers) {
      *crew = BorrowCrew(threads, chosenCount || pixels >= kPixelsToStartHelpers);
    }
  } catch (const std::bad_alloc&) {
    crew->reset();
  }
  DecoderState side[2] = {state, state};
  side[0].readPos = static_cast<size_t>(state.planeOffsetI);
  side[1].readPos = static_cast<size_t>(state.planeOffsetQ);
  std::unique_ptr<SegmentAhead> ahead;  // null without a second segment of 'y'
  // The placing of each plane, for a thread with nothing left to do (with helpers).
  std::unique_ptr<SegmentAhead> handover[3];
  try {
    ahead = std::make_unique<SegmentAhead>(state, 'y');
    if (!ahead->armed()) ahead.reset();
    for (int p = 0; p < 3 && *crew != nullptr; ++p) {
      handover[p] = std::make_unique<SegmentAhead>(state, "yiq"[p], SegmentAhead::kHandover);
      if (!handover[p]->armed()) handover[p].reset();
    }
  } catch (const std::bad_alloc&) {
    ahead.reset();
    for (auto& h : handover) h.reset();
  }
  auto lumaAhead = [&] {
    if (ahead != nullptr) ahead->Run();
  };
  auto stateOf = [&](int p) -> DecoderState& { return p == 0 ? state : side[p - 1]; };
  auto transform = [&](int p) {
    DecoderState& s = stateOf(p);
    (void)InverseTransformPlane(s, s.PlaneBuffer(p).data(), "yiq"[p], true);  // the finest level is the conversion's
  };
  bool ok[3] = {false, false, false};
  // Decodes plane p, and transforms it unless its placing was handed over.
  auto plane = [&](int p) {
    DecoderState& s = stateOf(p);
    const int letter = "yiq"[p];
    SegmentAhead* h = handover[p].get();
    ok[p] = (p == 0 ? DecodeCoefficients(s, letter, ahead.get(), h) : DecodePlane(s, letter, h)) == 0;
    if (h != nullptr) h->Decline();  // a request the loop never saw is refused
    if (ok[p] && !s.PlaneBuffer(p).empty() && !(h != nullptr && h->handedOver())) transform(p);
  };
  // The list of 'y' may lie in the pixel area, once it is taken: the conversion
  // writes every byte of its first 3 x width x height, and only after the planes.
  std::atomic<uint8_t*> areaTaken{nullptr};
  auto place = [&](int p) {
    SegmentAhead* h = handover[p].get();
    int8_t* room = p == 0 ? reinterpret_cast<int8_t*>(areaTaken.load(std::memory_order_acquire)) : nullptr;
    const size_t roomBytes = 3 * static_cast<size_t>(state.width) * static_cast<size_t>(state.height);
    if (h == nullptr || !h->RequestPlacing(room, roomBytes)) return;
    (void)PlaceHandedOver(stateOf(p), "yiq"[p], h, p == 0 ? ahead.get() : nullptr);
    transform(p);
  };
  // The rest, taken in turn by whichever thread is free first: 'i', 'q', the pixel
  // area and then the placing of each plane whose loop is still at its first
  // segment (else the offer is refused at once). The second segment of 'y' comes
  // first on its thread, so that its values are ready when the first segment ends.
  std::atomic<int> nextRest{0};
  auto rest = [&] {
    for (int k; (k = nextRest.fetch_add(1)) < 6;) {
      if (k < 2) {
        plane(k + 1);
      } else if (k == 2) {
        *pixelArea = area();
        areaTaken.store(*pixelArea, std::memory_order_release);
      } else {
        place(k - 3);
      }
    }
  };
  std::vector<std::function<void()>> tasks;
  try {
    tasks.push_back([&] {
      plane(0);
      rest();
    });
    tasks.push_back([&] {
      lumaAhead();
      rest();
    });
    for (int t = 2; *crew != nullptr && t <= (*crew)->helpers() && t < 5; ++t) tasks.push_back(rest);
  } catch (const std::bad_alloc&) {
    tasks.clear();
  }
  if (*crew == nullptr || tasks.empty()) {  // no helper, or not even the task list: in turn
    plane(0);
    rest();
  } else {
    (*crew)->Run(tasks);
  }
  for (int k = 0; k < 2; ++k) {
    if (side[k].error != Error::kNone) (void)state.Fail(side[k].error, side[k].errorDetail);
    state.readPastEnd = state.readPastEnd || side[k].readPastEnd;
  }
  state.planeI = std::move(side[0].planeI);
  state.planeQ = std::move(side[1].planeQ);
  state.readPos = side[1].readPos;
  return ok[0] && ok[1] && ok[2];
}
#endif  // KDZ_HAVE_THREADS: a build without threads never decodes concurrently and leaves this out

// Converts plane rows r0..r1-1 into the pixel area in the given layout.
void ConvertRows(const DecoderState& state, uint8_t* pixelArea, int r0, int r1, PixelLayout layout) {
  const size_t w = static_cast<size_t>(state.width);
  const int16_t* y = state.planeY.data();
  const int16_t* i = state.planeI.data();
  const int16_t* q = state.planeQ.data();
  if (layout == PixelLayout::kBitmapRows) {
    const size_t begin = static_cast<size_t>(r0) * w;
    YiqToRgb(state, y + begin, i + begin, q + begin, pixelArea + 3 * begin, static_cast<size_t>(r1 - r0) * w);
    return;
  }
  for (int r = r0; r < r1; ++r) {
    const size_t begin = static_cast<size_t>(r) * w;
    uint8_t* out = pixelArea + 3 * w * static_cast<size_t>(state.height - 1 - r);
    YiqToRgbReversed(state, y + begin, i + begin, q + begin, out, w);
  }
}

// Converts row r from the given rows of the three planes.
void ConvertRowOf(const DecoderState& state, const int16_t* y, const int16_t* i, const int16_t* q, int r,
                  uint8_t* pixelArea, PixelLayout layout) {
  const size_t w = static_cast<size_t>(state.width);
  if (layout == PixelLayout::kBitmapRows) {
    YiqToRgb(state, y, i, q, pixelArea + 3 * w * static_cast<size_t>(r), w);
  } else {
    YiqToRgbReversed(state, y, i, q, pixelArea + 3 * w * static_cast<size_t>(state.height - 1 - r), w);
  }
}

// The finest levels that the transforms left undone are made a pair of rows at a
// time, and each pair converted at once: those levels are not written back, and
// their rows are read once. Pairs k0..k1-1 of the level's region; a plane whose
// finest level was done (left[p] false) is read as it is, and so are the columns
// right of the region.
void ConvertFinestPairs(const DecoderState& state, uint8_t* pixelArea, const FinestLevel levels[3],
                        const bool left[3], int k0, int k1, PixelLayout layout) {
  const size_t w = static_cast<size_t>(state.width);
  int cols = 0;  // the same for every plane that is left
  for (int p = 0; p < 3; ++p) cols = left[p] ? levels[p].cols : cols;
  const PlaneSamples* planes[3] = {&state.planeY, &state.planeI, &state.planeQ};
  std::unique_ptr<FinestRows> finest[3];
  std::unique_ptr<int16_t[]> rows[3];
  for (int p = 0; p < 3; ++p) {
    if (!left[p]) continue;
    finest[p].reset(new (std::nothrow) FinestRows(planes[p]->data(), state.width, levels[p]));
    rows[p].reset(new (std::nothrow) int16_t[2 * w]);
    if (finest[p] == nullptr || !finest[p]->ok() || rows[p] == nullptr) {
      finest[p].reset();  // the level is skipped, as one without work memory is
      rows[p].reset();
    }
  }
  for (int k = k0; k < k1; ++k) {
    const int16_t* even[3];
    const int16_t* odd[3];
    for (int p = 0; p < 3; ++p) {
      const int16_t* plane = planes[p]->data() + static_cast<size_t>(2 * k) * w;
      if (finest[p] == nullptr) {
        even[p] = plane;
        odd[p] = plane + w;
        continue;
      }
      int16_t* e = rows[p].get();
      int16_t* o = e + w;
      finest[p]->Pair(k, e, o);
      std::copy(plane + cols, plane + w, e + cols);
      std::copy(plane + w + cols, plane + 2 * w, o + cols);
      even[p] = e;
      odd[p] = o;
    }
    ConvertRowOf(state, even[0], even[1], even[2], 2 * k, pixelArea, layout);
    ConvertRowOf(state, odd[0], odd[1], odd[2], 2 * k + 1, pixelArea, layout);
  }
}

// The colour conversion of all rows, with the finest levels that the transforms left
// undone made on the way, in slices for the crew's threads (if any): a few per
// thread, so that a thread held up elsewhere leaves its share to the others.
void ConvertConcurrently(const DecoderState& state, uint8_t* pixelArea, TaskCrew* crew, PixelLayout layout) {
  FinestLevel levels[3];
  bool left[3] = {false, false, false};
  int regionRows = 0;
  for (int p = 0; p < 3; ++p) {
    left[p] = FinestLevelLeftOut(state, "yiq"[p], &levels[p]);
    if (left[p]) regionRows = levels[p].rows;
  }
  const int threads = crew != nullptr ? crew->helpers() + 1 : 1;
  const int slices = threads > 1 ? 4 * threads : 1;
  const int pairs = regionRows / 2;
  auto pairsOf = [&](int s) { return static_cast<int>(static_cast<int64_t>(pairs) * s / slices); };
  auto rowsOf = [&](int s) {
    return regionRows + static_cast<int>(static_cast<int64_t>(state.height - regionRows) * s / slices);
  };
  auto slice = [&](int s) {
    if (pairsOf(s) < pairsOf(s + 1)) ConvertFinestPairs(state, pixelArea, levels, left, pairsOf(s), pairsOf(s + 1), layout);
    if (rowsOf(s) < rowsOf(s + 1)) ConvertRows(state, pixelArea, rowsOf(s), rowsOf(s + 1), layout);
  };
  std::vector<std::function<void()>> tasks;
  try {
    for (int s = 0; s < slices && crew != nullptr; ++s) tasks.push_back([&slice, s] { slice(s); });
  } catch (const std::bad_alloc&) {
    tasks.clear();
  }
  if (tasks.size() < 2) {  // no crew, or not even the task list: in one go
    for (int s = 0; s < slices; ++s) slice(s);
    return;
  }
  crew->Run(tasks);
}

}  // namespace

size_t BitmapBlockSize(int64_t width, int64_t height) {
  if (width <= 0 || height <= 0 || width > 0x7FFFFFFF || height > 0x7FFFFFFF) return 0;
  const uint64_t w = static_cast<uint64_t>(width);
  const uint64_t h = static_cast<uint64_t>(height);
  const uint64_t stride = (w * 3 + 3) & ~uint64_t{3};
  if (h > (UINT64_MAX / 2) / stride) return 0;
  const uint64_t pixels = stride * h;  // never below w * h * 3
  const uint64_t total = pixels + kPixelAreaOffset;
  if (total > SIZE_MAX) return 0;
  return static_cast<size_t>(total);
}

void ReconstructImage(DecoderState& state, uint8_t* pixelArea, PixelLayout layout) {
  (void)InverseTransformPlane(state, state.planeY.data(), 'y');
  (void)InverseTransformPlane(state, state.planeI.data(), 'i');
  (void)InverseTransformPlane(state, state.planeQ.data(), 'q');
  ConvertRows(state, pixelArea, 0, state.height, layout);
}

int DecodeAllPlanes(DecoderState& state, const uint8_t* fileBlock, size_t size, uint8_t* pixelArea,
                    size_t pixelAreaSize, int32_t* width, int32_t* height, uint8_t* paletteBlock,
                    int* colorsUsed, PixelLayout layout) {
  return DecodeAllPlanes(state, fileBlock, size, [pixelArea] { return pixelArea; }, pixelAreaSize, width, height,
                         paletteBlock, colorsUsed, layout);
}

int DecodeAllPlanes(DecoderState& state, const uint8_t* fileBlock, size_t size, const AreaSource& area,
                    size_t pixelAreaSize, int32_t* width, int32_t* height, uint8_t* paletteBlock,
                    int* colorsUsed, PixelLayout layout) {
  ReleasePlanes(state);
  if (layout != PixelLayout::kBitmapRows && paletteBlock != nullptr) {
    state.Fail(Error::kInvalidArgument, "only bitmap rows are quantised");
    return 0;
  }
  state.dataBase = fileBlock;
  state.dataSize = size;
  state.readPos = 0;
  state.readPastEnd = false;
  state.pixelAreaCapacity = pixelAreaSize;

  int result = 0;
  // As many threads as asked for, but no more than there are cores: helpers spin
  // between stages, and more of them than cores would take turns with the work.
  // The helpers start as the planes do and serve every stage after.
  const int wanted = std::min(ResolveThreadCount(state.threads), ResolveThreadCount(0));
  const bool concurrent = wanted > 1;
  BorrowedCrew crew;
  uint8_t* pixelArea = nullptr;
  auto inTurn = [&] {
    return DecodePlane(state, 'y') == 0 && DecodePlane(state, 'i') == 0 && DecodePlane(state, 'q') == 0 &&
           (pixelArea = area(), true);
  };
#if KDZ_HAVE_THREADS
  const bool decoded = concurrent ? DecodeAndTransformConcurrently(state, wanted, &crew, area, &pixelArea) : inTurn();
#else
  const bool decoded = inTurn();
#endif
  if (decoded) {
    if (state.planeY.empty() || state.planeI.empty() || state.planeQ.empty()) {
      state.Fail(Error::kOutOfMemory, "a coefficient plane is missing");
    } else if (pixelArea == nullptr) {
      state.Fail(Error::kOutOfMemory, "cannot allocate the bitmap");
    } else {
      if (!concurrent) {
        (void)InverseTransformPlane(state, state.planeY.data(), 'y', true);
        (void)InverseTransformPlane(state, state.planeI.data(), 'i', true);
        (void)InverseTransformPlane(state, state.planeQ.data(), 'q', true);
      }
      // The planes are transformed but for their finest levels, made here.
      ConvertConcurrently(state, pixelArea, crew.get(), layout);
      *width = state.width;
      *height = state.height;
      result = 1;
      // The quantiser reads only the pixels: the planes go back to the kept blocks
      // before its buffers come, which borrow their memory.
      ReleasePlanes(state);
      if (paletteBlock != nullptr) {
        // With threads the counting and the filling of the cache blocks of the
        // picture's colours are split into tasks; the result is ColorQuant2's.
        static const BufferHooks kKeptMemory = {
            [](size_t bytes, size_t* capacity) { return TakeKeptBlockAtLeast(bytes, capacity); },
            [](void* block, size_t capacity) { KeepBlock(block, capacity); }};
        const int32_t colors =
            crew != nullptr
                ? ColorQuant2Split(pixelArea, state.width, state.height, 1, 0, paletteBlock, 256, crew->helpers() + 1,
                                   [&crew](const std::vector<std::function<void()>>& tasks) { crew->Run(tasks); },
                                   &kKeptMemory)
                : ColorQuant2Split(pixelArea, state.width, state.height, 1, 0, paletteBlock, 256, 1, nullptr,
                                   &kKeptMemory);
        if (colors == 0) {
          state.Fail(Error::kQuantFailed, "Color quant 2 encountered an error!");
          result = 0;
        } else if (colorsUsed != nullptr) {
          *colorsUsed = colors;
        }
      }
    }
  }
  ReleasePlanes(state);
  return result;
}

namespace {

// The header fields known before the picture's size.
void StartBitmapHeader(uint8_t* header, bool eightBit) {
  Put32(header + 0, 40);                  // biSize
  Put16(header + 12, 1);                  // biPlanes
  Put16(header + 14, eightBit ? 8 : 24);  // biBitCount
  Put32(header + 16, 0);                  // biCompression = BI_RGB
  Put32(header + 24, 0);                  // biXPelsPerMeter
  Put32(header + 28, 0);                  // biYPelsPerMeter
  Put32(header + 32, 0);                  // biClrUsed
  Put32(header + 36, 0);                  // biClrImportant
}

// The size fields, the padded rows and, for 8 bits, the colour table.
void FinishBitmap(uint8_t* bitmapBlock, int32_t width, int32_t height, const uint8_t* paletteBlock, int colors) {
  uint8_t* header = bitmapBlock;
  uint8_t* pixelArea = bitmapBlock + kPixelAreaOffset;
  Put32(header + 4, static_cast<uint32_t>(width));
  Put32(header + 8, static_cast<uint32_t>(height));
  Put32(header + 20, static_cast<uint32_t>(width) * static_cast<uint32_t>(height) * 3u);  // biSizeImage
  if (paletteBlock != nullptr) {
    PadRows(pixelArea, static_cast<size_t>(width), height);
    uint8_t* table = bitmapBlock + kBitmapHeaderSize;
    for (int k = 0; k < 256; ++k) {
      const bool used = k < colors;
      table[4 * k + 0] = used ? paletteBlock[3 * k + 0] : 0;
      table[4 * k + 1] = used ? paletteBlock[3 * k + 1] : 0;
      table[4 * k + 2] = used ? paletteBlock[3 * k + 2] : 0;
      table[4 * k + 3] = 0;
    }
  } else {
    PadRows(pixelArea, static_cast<size_t>(width) * 3, height);
  }
}

// The checks of the file image that come before its header is read.
bool CheckFileImage(DecoderState& state, size_t size) {
  if (size == 0) {
    state.Fail(Error::kEmpty, "the file is empty");
    return false;
  }
  if (size >= kMaxFileSize) {
    state.Fail(Error::kFileTooLarge, "file of " + std::to_string(size) + " bytes; KDZ files are below 80000 bytes");
    return false;
  }
  return true;
}

}  // namespace

int DecodeKdzBytes(DecoderState& state, const uint8_t* data, size_t size, uint8_t* bitmapBlock,
                   size_t bitmapBlockSize, uint8_t* paletteBlock, int* colorsUsed) {
  state.ClearError();
  if (bitmapBlock == nullptr || bitmapBlockSize < static_cast<size_t>(kPixelAreaOffset)) {
    state.Fail(Error::kInvalidArgument, "no bitmap block to decode into");
    return 0;
  }
  // The header's fixed fields are written even when the decode then fails.
  StartBitmapHeader(bitmapBlock, paletteBlock != nullptr);
  return DecodeKdzBytesTaking(state, data, size, [bitmapBlock] { return bitmapBlock; }, bitmapBlockSize, paletteBlock,
                              colorsUsed);
}

int DecodeKdzBytesTaking(DecoderState& state, const uint8_t* data, size_t size, const AreaSource& takeBlock,
                         size_t bitmapBlockSize, uint8_t* paletteBlock, int* colorsUsed) {
  state.ClearError();
  if (bitmapBlockSize < static_cast<size_t>(kPixelAreaOffset)) {
    state.Fail(Error::kInvalidArgument, "no bitmap block to decode into");
    return 0;
  }
  if (!CheckFileImage(state, size)) return 0;
  uint8_t* block = nullptr;
  const bool eightBit = paletteBlock != nullptr;
  auto area = [&]() -> uint8_t* {
    block = takeBlock();
    if (block == nullptr) return nullptr;
    StartBitmapHeader(block, eightBit);
    return block + kPixelAreaOffset;
  };
  int32_t width = 0, height = 0;
  int colors = 0;
  if (DecodeAllPlanes(state, data, size, AreaSource(area), bitmapBlockSize - kPixelAreaOffset, &width, &height,
                      paletteBlock, &colors, PixelLayout::kBitmapRows) == 0) {
    return 0;
  }
  if (colorsUsed != nullptr) *colorsUsed = colors;
  FinishBitmap(block, width, height, paletteBlock, colors);
  return 1;
}

int DecodeKdzBytesToRgb(DecoderState& state, const uint8_t* data, size_t size, const AreaSource& takeRgb,
                        size_t rgbSize, int32_t* width, int32_t* height) {
  state.ClearError();
  if (!CheckFileImage(state, size)) return 0;
  return DecodeAllPlanes(state, data, size, takeRgb, rgbSize, width, height, nullptr, nullptr,
                         PixelLayout::kRgbTopDown);
}

int DecodeKdzFile(DecoderState& state, const char* fileName, uint8_t* fileBlock, size_t fileBlockSize,
                  uint8_t* bitmapBlock, size_t bitmapBlockSize, uint8_t* paletteBlock) {
  state.ClearError();
  if (bitmapBlock == nullptr) {
    state.Fail(Error::kInvalidArgument, "no bitmap block to decode into");
    return 0;
  }
  std::FILE* f = std::fopen(fileName, "rb");
  if (f == nullptr) {
    state.Fail(Error::kIo, "cannot open the file");
    return 0;
  }
  long size = -1;
  if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
  if (size < 0 || std::fseek(f, 0, SEEK_SET) != 0) {
    std::fclose(f);
    state.Fail(Error::kIo, "cannot take the file's size");
    return 0;
  }
  const size_t fileSize = static_cast<size_t>(size);
  if (fileSize >= kMaxFileSize) {
    std::fclose(f);
    state.Fail(Error::kFileTooLarge, "file of " + std::to_string(fileSize) + " bytes; KDZ files are below 80000 bytes");
    return 0;
  }
  if (fileBlock == nullptr || fileSize > fileBlockSize) {
    std::fclose(f);
    state.Fail(Error::kBufferTooSmall, "the file does not fit its block");
    return 0;
  }
  if (fileSize == 0 || std::fread(fileBlock, fileSize, 1, f) != 1) {
    std::fclose(f);
    state.Fail(fileSize == 0 ? Error::kEmpty : Error::kIo, fileSize == 0 ? "the file is empty" : "cannot read the file");
    return 0;
  }
  std::fclose(f);
  return DecodeKdzBytes(state, fileBlock, fileSize, bitmapBlock, bitmapBlockSize, paletteBlock);
}

}  // namespace kdz
