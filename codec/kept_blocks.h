// Large work buffers kept from one decode for the next.
//
// A process that decodes picture after picture (a viewer, an image library) would
// otherwise take the planes of every decode from pages fresh from the system: the
// allocator gives the memory of a freed plane back (helper threads' arenas do so at
// once), and each page then costs a fault when it is first touched again: about a
// microsecond here, 300 to 400 of them in a 512 x 512 decode, a tenth of its time or
// more. A kept block is cleared when it is taken again, which is far cheaper.
//
// At most kKeptBlocksMost blocks and kKeptBytesMost bytes in all are kept, the most
// recently given back first; blocks below kKeptBlockLeast are not worth keeping.
// The lists are safe to use from any thread and across fork (the child keeps the
// blocks, which are its memory too).
#pragma once

#include <cstddef>

namespace kdz {

constexpr size_t kKeptBlockLeast = size_t{64} << 10;
constexpr size_t kKeptBytesMost = size_t{8} << 20;
constexpr size_t kKeptBlocksMost = 6;

// A part of a block known to hold zero bytes: the first spanBytes of rows
// row0..row1-1, rows being rowBytes long. A plane's area that its decode never
// writes stays as the allocator gave it: zero, and untouched pages where it came
// from calloc. Kept with the block, it need not be cleared again, which
// would also fault in those pages.
struct ZeroRect {
  size_t rowBytes = 0, row0 = 0, row1 = 0, spanBytes = 0;
  bool empty() const { return row1 <= row0 || spanBytes == 0; }
  // Whether every byte of `part` lies within this rectangle.
  bool Covers(const ZeroRect& part) const {
    return part.empty() || (!empty() && rowBytes == part.rowBytes && row0 <= part.row0 && part.row1 <= row1 &&
                            part.spanBytes <= spanBytes);
  }
};

// A block of `bytes` fresh from the system, or null; to be freed with FreeBlock or
// given to KeepBlock. From kHugePageBytes on (where the system allows) it is mapped
// from a 2 MB boundary and its whole 2 MB pages are asked for as huge pages: a 4 KB
// page costs about 1.1 us to fault in on our virtual machines, and 2.3 MB took 700
// to 870 us to touch in small pages against 180 to 320 us mostly in a huge one.
constexpr size_t kHugePageBytes = size_t{2} << 20;
void* AllocateFreshBlock(size_t bytes);
// Frees a block from AllocateFreshBlock, TakeKeptBlock, TakeKeptBlockAtLeast or
// std::malloc (null does nothing).
void FreeBlock(void* block);

// A kept block of at least `bytes` and at most twice as many, or null: one whose zero
// rectangle covers `wanted` first, then one with no zero part beyond it, then the
// smallest. Its content is what the last user left, zero within *zeros; the block is
// the caller's now, to be given back with KeepBlock or freed with FreeBlock.
void* TakeKeptBlock(size_t bytes, const ZeroRect& wanted, ZeroRect* zeros);
// The smallest kept block of at least `bytes`, however much larger, or null; its size
// goes to *capacity. For short-lived buffers that borrow a plane's memory.
void* TakeKeptBlockAtLeast(size_t bytes, size_t* capacity);
// Keeps the block (from std::malloc, AllocateFreshBlock or TakeKeptBlock, at least
// `bytes` long; zero within `zeros`), or frees it when it is too small or too large
// to keep. Older blocks are freed to make room.
void KeepBlock(void* block, size_t bytes, const ZeroRect& zeros = ZeroRect{});
// Frees every kept block, for a host about to unload the library.
void FreeKeptBlocks();
// For the tests: the blocks and bytes kept now, and every kept byte outside the
// blocks' zero rectangles set to `value` (what a decode leaves in a plane must not
// matter to the next).
size_t KeptBlockCount();
size_t KeptBlockBytes();
void FillKeptBlocks(unsigned char value);

}  // namespace kdz
