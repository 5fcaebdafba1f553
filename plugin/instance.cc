// Instance records, the window take-over and the completed stream: header peek, buffer
// allocation, decode under a wait cursor, timing, and teardown.
#include <windows.h>
#include <sys/timeb.h>

#include <new>
#include <vector>

#include "codec/color.h"
#include "codec/decoder_state.h"
#include "codec/file_format.h"
#include "codec/pipeline.h"
#include "plugin/callbacks.h"
#include "plugin/image_buffers.h"
#include "plugin/stream_check.h"
#include "plugin/stream_math.h"
#include "viewer/win/viewer_instance.h"
#include "viewer/win/viewer_wnd.h"
#include "winlib/gdi.h"

namespace {

using kdz::ImageBufferSet;

const char kMessageCaption[] = "Plug-in-test";
const char kSubclassFailed[] = "SubclassWindow Failed";
const char kCannotAllocate[] = "Couldn't Allocate Image Buffer";
const char kDecodeFailed[] = "File not found or format incorrect, Error in decoding image";
const char kQuantFailed[] = "Color quant 2 encountered an error!";
const char kImageSizeZero[] = "Can't allocate image buffers size of 0!";
const char kFileSizeZero[] = "Can't allocate file buffers size of 0!";

// The decoder's one working state, shared by every instance: one decode runs at a time
// on the browser's user-interface thread.
kdz::DecoderState decoderState;

// Sizes from the last successful header peek. A file that cannot be opened leaves them
// as they were, so they start at the sizes assumed before any image.
uint32_t imageBufferSize = kdz::plugin::kInitialImageBufferSize;
uint32_t fileBufferSize = kdz::plugin::kInitialFileBufferSize;

struct TimeStamp {
  int64_t seconds;
  int32_t millis;
};

TimeStamp Now() {
  struct __timeb64 now;
  _ftime64(&now);
  return TimeStamp{static_cast<int64_t>(now.time), static_cast<int32_t>(now.millitm)};
}

HWND WindowOf(const ViewerInstance* record) {
  return record->wnd != nullptr ? record->wnd->hwnd() : nullptr;
}

void Refresh(ViewerInstance* record) {
  if (WindowOf(record) == nullptr) return;
  record->wnd->InvalidateRect(nullptr, TRUE);
  record->wnd->UpdateWindow();
}

// Drops the instance's picture: the bitmap pointer first, so that nothing paints from
// the blocks while they go, then the palette made from it and the blocks.
void ReleaseImage(ViewerInstance* record) {
  record->bitmap = nullptr;
  if (record->palette != nullptr) {
    delete record->palette;
    record->palette = nullptr;
  }
  kdz::plugin::ReleaseBuffers(&record->buffers);
}

// Where a failure leaves nothing to show, the instance goes on without an image and
// the browser keeps running; the user is told in a message box. The box runs a message
// loop in which the browser may destroy the instance, so the record is not touched
// after it.
void StopWithoutImage(ViewerInstance* record, const char* message) {
  ReleaseImage(record);
  Refresh(record);
  MessageBoxA(WindowOf(record), message, kMessageCaption, MB_OK);
}

// Gives the browser's window its own procedure back and lets the window object go.
void ReleaseWindow(ViewerInstance* record) {
  if (record->wnd != nullptr) {
    CViewerWnd* wnd = record->wnd;
    WNDPROC saved = *wnd->GetSuperWndProcAddr();
    if (saved != nullptr && wnd->hwnd() != nullptr) {
      SetWindowLongPtrA(wnd->hwnd(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(saved));
    }
    wnd->Detach();
    delete wnd;
    record->wnd = nullptr;
  }
}

void Teardown(ViewerInstance* record) {
  ReleaseImage(record);
  ReleaseWindow(record);
}

// Allocates the three blocks into `set` for a picture of width x height that has passed
// the header check. Returns 1 on success, 0 when a block cannot be had; a size of 0
// stops with its own message (returned in *zeroSizeMessage).
int AllocateBuffers(ImageBufferSet* set, int32_t width, int32_t height, const char** zeroSizeMessage) {
  using kdz::plugin::AllocateBlock;
  if (imageBufferSize == 0) {
    *zeroSizeMessage = kImageSizeZero;
    return 0;
  }
  // Sized by the checked picture, not by the peek alone: the two agree for every file
  // that passes, and only the check's size is known to be within the limit.
  const size_t bitmapSize = kdz::plugin::BitmapAllocationSize(
      kdz::plugin::ImageBufferSize(kdz::plugin::PeekedImageSize(width, height)), width, height);
  if (!AllocateBlock(bitmapSize, &set->bitmapBlock)) return 0;
  if (fileBufferSize == 0) {
    *zeroSizeMessage = kFileSizeZero;
    return 0;
  }
  if (!AllocateBlock(fileBufferSize, &set->fileBlock)) return 0;
  if (!AllocateBlock(kdz::kPaletteBlockSize, &set->paletteBlock)) return 0;
  return 1;
}

int DecodeWithWaitCursor(const char* fileName, ImageBufferSet* set) {
  HCURSOR previous = SetCursor(LoadCursorA(nullptr, MAKEINTRESOURCEA(32514)));  // IDC_WAIT
  // The planes are decoded on one thread per core; the decode joins them all before
  // it returns, so this callback still ends with the picture complete.
  decoderState.threads = 0;
  int result = kdz::DecodeKdzFile(decoderState, fileName, set->fileBlock.data,
                                  set->fileBlock.size, set->bitmapBlock.data,
                                  set->bitmapBlock.size, set->paletteBlock.data);
  SetCursor(previous);
  return result;
}

void StreamAsFile(ViewerInstance* record, const char* fileName) {
  const TimeStamp start = Now();
  // A new stream replaces this instance's picture, and only this instance's.
  ReleaseImage(record);

  kdz::PeekResult peek;
  if (kdz::PeekHeader(fileName, &peek)) {
    fileBufferSize = peek.fileSize;
    imageBufferSize = kdz::plugin::PeekedImageSize(peek.width, peek.height);
  }
  imageBufferSize = kdz::plugin::ImageBufferSize(imageBufferSize);
  if (fileBufferSize == 0) {
    StopWithoutImage(record, kFileSizeZero);
    return;
  }

  // No block is allocated for a picture until its header has passed every check: a
  // file of a few bytes may declare 32767 x 32767 pixels.
  kdz::plugin::StreamCheck check;
  {
    std::vector<uint8_t> image;
    if (kdz::plugin::ReadStreamFile(fileName, &image) == kdz::Error::kNone) {
      check = kdz::plugin::CheckStreamHeader(decoderState, image.data(), image.size(),
                                             kdz::plugin::kPluginMaxPixels);
    }
  }
  if (!check.ok) {
    StopWithoutImage(record, kDecodeFailed);
    return;
  }

  const char* zeroSizeMessage = nullptr;
  if (AllocateBuffers(&record->buffers, check.width, check.height, &zeroSizeMessage) == 0) {
    StopWithoutImage(record, zeroSizeMessage != nullptr ? zeroSizeMessage : kCannotAllocate);
    return;
  }
  record->compressionRatio = kdz::plugin::CompressionRatio(imageBufferSize, fileBufferSize);
  record->bitmap = record->buffers.bitmapBlock.data;

  if (DecodeWithWaitCursor(fileName, &record->buffers) == 0) {
    StopWithoutImage(record, decoderState.error == kdz::Error::kQuantFailed ? kQuantFailed
                                                                             : kDecodeFailed);
    return;
  }
  const TimeStamp end = Now();
  record->decodeTime = kdz::plugin::DecodeTime(start.seconds, start.millis, end.seconds, end.millis);
  Refresh(record);
}

}  // namespace

NPError NP_CALLBACK NPP_New(NPMIMEType, NPP instance, uint16_t mode, int16_t, char*[], char*[],
                            NPSavedData*) {
  kdz::BuildClampTable(decoderState);
  if (instance == nullptr) return NPERR_INVALID_INSTANCE_ERROR;
  ViewerInstance* record = new (std::nothrow) ViewerInstance();
  if (record == nullptr) return NPERR_OUT_OF_MEMORY_ERROR;
  record->mode = mode;
  instance->pdata = record;
  return NPERR_NO_ERROR;
}

NPError NP_CALLBACK NPP_Destroy(NPP instance, NPSavedData**) {
  if (instance == nullptr) return NPERR_INVALID_INSTANCE_ERROR;
  ViewerInstance* record = static_cast<ViewerInstance*>(instance->pdata);
  if (record != nullptr) {
    Teardown(record);
    delete record;
    instance->pdata = nullptr;
  }
  return NPERR_NO_ERROR;
}

NPError NP_CALLBACK NPP_SetWindow(NPP instance, NPWindow* window) {
  if (window == nullptr) return NPERR_GENERIC_ERROR;
  if (instance == nullptr) return NPERR_INVALID_INSTANCE_ERROR;
  ViewerInstance* record = static_cast<ViewerInstance*>(instance->pdata);
  if (record == nullptr) return NPERR_GENERIC_ERROR;

  HWND hwnd = static_cast<HWND>(window->window);
  if (hwnd == nullptr) {
    if (record->wnd != nullptr) Teardown(record);
    return NPERR_NO_ERROR;
  }
  if (record->wnd != nullptr && record->wnd->Attached() && record->wnd->hwnd() != hwnd) {
    // The browser has moved the instance to another window (it may have destroyed the
    // old one): the old window gets its own procedure back, the new one is taken over,
    // and the picture stays. A take-over that failed is not tried again.
    ReleaseWindow(record);
  }
  if (record->wnd == nullptr) {
    record->wnd = new (std::nothrow) CViewerWnd();
    if (record->wnd == nullptr) return NPERR_OUT_OF_MEMORY_ERROR;
    if (!record->wnd->SubclassWindow(hwnd)) {
      // The unattached object stays, so later calls do not try again.
      MessageBoxA(nullptr, kSubclassFailed, kMessageCaption, MB_OK);
      return NPERR_GENERIC_ERROR;
    }
    record->wnd->SetInstance(record);
  }
  Refresh(record);
  return NPERR_NO_ERROR;
}

void NP_CALLBACK NPP_StreamAsFile(NPP instance, NPStream*, const char* fname) {
  if (instance == nullptr || instance->pdata == nullptr) return;
  ViewerInstance* record = static_cast<ViewerInstance*>(instance->pdata);
  // No exception may reach the browser; a decode that runs out of memory is a failed one.
  try {
    StreamAsFile(record, fname != nullptr ? fname : "");
  } catch (...) {
    StopWithoutImage(record, kDecodeFailed);
  }
}
