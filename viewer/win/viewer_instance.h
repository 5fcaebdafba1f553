// ViewerInstance, the record of one embedded image, and the set of global-heap blocks
// that holds its picture. The plug-in creates and fills the record; the viewer window
// paints and describes the picture it holds.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

class CViewerWnd;
class CPalette;

namespace kdz {

// A fixed, zero-filled global-heap block, locked once for its whole life.
struct GlobalBlock {
  HGLOBAL handle = nullptr;
  uint8_t* data = nullptr;
  size_t size = 0;
};

// The bitmap block (bitmap header, colour table, pixels from byte 1064), the file block
// (the whole compressed file) and the palette block (256 colours of 3 bytes).
struct ImageBufferSet {
  GlobalBlock bitmapBlock;
  GlobalBlock fileBlock;
  GlobalBlock paletteBlock;
};

}  // namespace kdz

// The instance handle's pdata and every stream's pdata point here.
struct ViewerInstance {
  CViewerWnd* wnd = nullptr;       // the object that has taken over the browser's window
  double compressionRatio = 0.0;   // bitmap block size over file size
  double decodeTime = 0.0;         // seconds spent in NPP_StreamAsFile
  uint8_t* bitmap = nullptr;       // the bitmap block; null while there is no image
  CPalette* palette = nullptr;     // made at the first paint on a palette display
  uint16_t mode = 0;               // embedding mode given to NPP_New; not used
  // The blocks that this instance's last stream allocated. Each instance owns its own
  // set, so that no window paints from blocks another instance released or replaced.
  kdz::ImageBufferSet buffers;
};
