// Allocation and release of an instance's image buffer set on the global heap.
#pragma once

#include <cstddef>

#include "viewer/win/viewer_instance.h"

namespace kdz {
namespace plugin {

// A fixed, zero-filled block of `size` bytes, locked. False (block left empty) when
// the heap refuses.
bool AllocateBlock(size_t size, GlobalBlock* block);
// Unlocks and frees the block if it has one, and clears it.
void ReleaseBlock(GlobalBlock* block);
void ReleaseBuffers(ImageBufferSet* set);

}  // namespace plugin
}  // namespace kdz
