// CViewerWnd: the window object of one plug-in instance. It takes over the browser's
// child window and paints, pans, zooms and describes the instance's picture.
#pragma once

#include <windows.h>

#include <cstdint>

#include "winlib/wnd.h"

struct ViewerInstance;
class CPalette;

// Popup menu command ids.
constexpr UINT IDM_IMAGE_INFO = 1000;
constexpr UINT IDM_ENLARGE = 1001;
constexpr UINT IDM_REDUCE = 1002;

class CViewerWnd : public CWnd {
 public:
  CViewerWnd();
  ~CViewerWnd() override;

  const MessageMap* GetMessageMap() const override;
  WNDPROC* GetSuperWndProcAddr() override;

  // Set once after a successful take-over.
  void SetInstance(ViewerInstance* record) { instance = record; }
  // Whether a take-over succeeded (the object has its record), even if the window has
  // gone since.
  bool Attached() const { return instance != nullptr; }

  void OnPaint();
  void OnPaletteChanged(HWND focusWindow);
  void OnRButtonDown(UINT flags, POINT point);
  void OnLButtonDown(UINT flags, POINT point);
  void OnImageInfo();
  void OnEnlarge();
  void OnReduce();

 private:
  ViewerInstance* instance = nullptr;
};

// A logical palette from the colour table of a bitmap block (40-byte or 12-byte
// header); an object without a platform palette when the bitmap has no colour table,
// null when the palette cannot be made.
CPalette* MakePalette(const uint8_t* bitmapBlock);

// The first pixel byte of a bitmap block: past the header and its colour table.
const uint8_t* PixelAddress(const uint8_t* bitmapBlock);
