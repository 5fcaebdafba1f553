// CDC, CPaintDC and CPalette on plain GDI.
#include "winlib/gdi.h"

#include "winlib/wnd.h"

CPalette::~CPalette() { DeleteObject(); }

bool CPalette::CreatePalette(const LOGPALETTE* logPalette) {
  if (palette_ != nullptr || logPalette == nullptr) return false;
  return Attach(::CreatePalette(logPalette));
}

bool CPalette::Attach(HPALETTE palette) {
  if (palette_ != nullptr || palette == nullptr) return false;
  palette_ = palette;
  return true;
}

HPALETTE CPalette::Detach() {
  HPALETTE palette = palette_;
  palette_ = nullptr;
  return palette;
}

bool CPalette::DeleteObject() {
  if (palette_ == nullptr) return false;
  bool ok = ::DeleteObject(palette_) != 0;
  palette_ = nullptr;
  return ok;
}

int CDC::GetDeviceCaps(int index) const { return ::GetDeviceCaps(hdc_, index); }

HPALETTE CDC::SelectPalette(HPALETTE palette, BOOL forceBackground) {
  return ::SelectPalette(hdc_, palette, forceBackground);
}

HPALETTE CDC::SelectPalette(CPalette* palette, BOOL forceBackground) {
  return SelectPalette(palette != nullptr ? palette->handle() : nullptr, forceBackground);
}

UINT CDC::RealizePalette() { return ::RealizePalette(hdc_); }

POINT CDC::SetViewportOrg(int x, int y) {
  POINT previous = {0, 0};
  ::SetViewportOrgEx(hdc_, x, y, &previous);
  return previous;
}

int CDC::SetStretchBltMode(int mode) { return ::SetStretchBltMode(hdc_, mode); }

int CDC::StretchDIBits(int xDest, int yDest, int destWidth, int destHeight, int xSrc, int ySrc,
                       int srcWidth, int srcHeight, const void* bits, const BITMAPINFO* info,
                       UINT usage, DWORD rop) {
  return ::StretchDIBits(hdc_, xDest, yDest, destWidth, destHeight, xSrc, ySrc, srcWidth,
                         srcHeight, bits, info, usage, rop);
}

CPaintDC::CPaintDC(CWnd* wnd) : hwnd_(wnd->hwnd()), paint_() {
  hdc_ = ::BeginPaint(hwnd_, &paint_);
}

CPaintDC::~CPaintDC() { ::EndPaint(hwnd_, &paint_); }
