// The instance's image buffer set: fixed, zero-filled, locked global-heap blocks.
#include "plugin/image_buffers.h"

namespace kdz {
namespace plugin {

bool AllocateBlock(size_t size, GlobalBlock* block) {
  *block = GlobalBlock();
  HGLOBAL handle = GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, size);
  if (handle == nullptr) return false;
  void* data = GlobalLock(handle);
  if (data == nullptr) {
    GlobalFree(handle);
    return false;
  }
  block->handle = handle;
  block->data = static_cast<uint8_t*>(data);
  block->size = size;
  return true;
}

void ReleaseBlock(GlobalBlock* block) {
  if (block->handle != nullptr) {
    GlobalUnlock(block->handle);
    GlobalFree(block->handle);
  }
  *block = GlobalBlock();
}

void ReleaseBuffers(ImageBufferSet* set) {
  ReleaseBlock(&set->bitmapBlock);
  ReleaseBlock(&set->fileBlock);
  ReleaseBlock(&set->paletteBlock);
}

}  // namespace plugin
}  // namespace kdz
