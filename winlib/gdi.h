// Device contexts and palettes: CDC, CPaintDC (painting between BeginPaint and
// EndPaint) and CPalette (a logical palette deleted with its object).
#pragma once

#include <windows.h>

class CWnd;

class CPalette {
 public:
  CPalette() = default;
  ~CPalette();
  CPalette(const CPalette&) = delete;
  CPalette& operator=(const CPalette&) = delete;

  // Makes a logical palette from logPalette and attaches it. False when the object
  // already has one or the platform refuses.
  bool CreatePalette(const LOGPALETTE* logPalette);
  bool Attach(HPALETTE palette);
  HPALETTE Detach();
  bool DeleteObject();
  HPALETTE handle() const { return palette_; }

 private:
  HPALETTE palette_ = nullptr;
};

class CDC {
 public:
  HDC hdc() const { return hdc_; }

  int GetDeviceCaps(int index) const;
  // Selects palette and returns the palette it replaced.
  HPALETTE SelectPalette(HPALETTE palette, BOOL forceBackground);
  HPALETTE SelectPalette(CPalette* palette, BOOL forceBackground);
  UINT RealizePalette();
  POINT SetViewportOrg(int x, int y);
  int SetStretchBltMode(int mode);
  int StretchDIBits(int xDest, int yDest, int destWidth, int destHeight, int xSrc, int ySrc,
                    int srcWidth, int srcHeight, const void* bits, const BITMAPINFO* info,
                    UINT usage, DWORD rop);

 protected:
  CDC() = default;
  ~CDC() = default;
  HDC hdc_ = nullptr;
};

// BeginPaint in the constructor, EndPaint in the destructor.
class CPaintDC : public CDC {
 public:
  explicit CPaintDC(CWnd* wnd);
  ~CPaintDC();
  CPaintDC(const CPaintDC&) = delete;
  CPaintDC& operator=(const CPaintDC&) = delete;

  const PAINTSTRUCT& paintStruct() const { return paint_; }

 private:
  HWND hwnd_;
  PAINTSTRUCT paint_;
};
