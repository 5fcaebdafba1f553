// CViewerWnd's message map and handlers: painting with palette, scale and pan, the
// popup menu, zoom and the image information box.
#include "viewer/win/viewer_wnd.h"

#include <cstring>
#include <iterator>
#include <new>

#include "viewer/image_info.h"
#include "viewer/view_state.h"
#include "viewer/win/viewer_instance.h"
#include "winlib/gdi.h"
#include "winlib/menu.h"

namespace {

const MessageMapEntry kViewerEntries[] = {
    {WM_PAINT, 0, &winlib::NoArgHandler<CViewerWnd, &CViewerWnd::OnPaint>},
    {WM_PALETTECHANGED, 0, &winlib::WindowArgHandler<CViewerWnd, &CViewerWnd::OnPaletteChanged>},
    {WM_RBUTTONDOWN, 0, &winlib::MouseHandler<CViewerWnd, &CViewerWnd::OnRButtonDown>},
    {WM_LBUTTONDOWN, 0, &winlib::MouseHandler<CViewerWnd, &CViewerWnd::OnLButtonDown>},
    {WM_COMMAND, IDM_IMAGE_INFO, &winlib::NoArgHandler<CViewerWnd, &CViewerWnd::OnImageInfo>},
    {WM_COMMAND, IDM_ENLARGE, &winlib::NoArgHandler<CViewerWnd, &CViewerWnd::OnEnlarge>},
    {WM_COMMAND, IDM_REDUCE, &winlib::NoArgHandler<CViewerWnd, &CViewerWnd::OnReduce>},
};

const char kInfoCaption[] = "Image Info";

uint32_t Read32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint16_t Read16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

bool IsCoreHeader(const uint8_t* bitmapBlock) { return Read32(bitmapBlock) == 12; }

int BitsPerPixel(const uint8_t* bitmapBlock) {
  return Read16(bitmapBlock + (IsCoreHeader(bitmapBlock) ? 10 : 14));
}

uint32_t ColorsByBits(int bits) {
  switch (bits) {
    case 1: return 2;
    case 4: return 16;
    case 8: return 256;
    default: return 0;
  }
}

int32_t BitmapWidth(const uint8_t* bitmapBlock) {
  return IsCoreHeader(bitmapBlock) ? Read16(bitmapBlock + 4)
                                   : static_cast<int32_t>(Read32(bitmapBlock + 4));
}
int32_t BitmapHeight(const uint8_t* bitmapBlock) {
  return IsCoreHeader(bitmapBlock) ? Read16(bitmapBlock + 6)
                                   : static_cast<int32_t>(Read32(bitmapBlock + 8));
}

kdz::ViewRect ToViewRect(const RECT& r) {
  kdz::ViewRect v;
  v.left = r.left;
  v.top = r.top;
  v.right = r.right;
  v.bottom = r.bottom;
  return v;
}

}  // namespace

CPalette* MakePalette(const uint8_t* bitmapBlock) {
  CPalette* palette = new (std::nothrow) CPalette();
  if (palette == nullptr) return nullptr;
  uint32_t count;
  if (IsCoreHeader(bitmapBlock)) {
    count = ColorsByBits(BitsPerPixel(bitmapBlock));
  } else {
    count = Read32(bitmapBlock + 32);
    if (count == 0) count = ColorsByBits(BitsPerPixel(bitmapBlock));
  }
  if (count == 0) return palette;
  if (count > 256) count = 256;  // a logical palette has room for no more

  const size_t bytes = sizeof(LOGPALETTE) + count * sizeof(PALETTEENTRY);
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes);
  if (block == nullptr) {
    delete palette;
    return nullptr;
  }
  LOGPALETTE* log = static_cast<LOGPALETTE*>(GlobalLock(block));
  if (log == nullptr) {
    GlobalFree(block);
    delete palette;
    return nullptr;
  }
  log->palVersion = 0x300;
  log->palNumEntries = static_cast<WORD>(count);
  const size_t headerSize = Read32(bitmapBlock);
  const size_t entrySize = IsCoreHeader(bitmapBlock) ? 3 : 4;
  const uint8_t* table = bitmapBlock + headerSize;
  for (uint32_t i = 0; i < count; ++i) {
    log->palPalEntry[i].peRed = table[i * entrySize + 2];
    log->palPalEntry[i].peGreen = table[i * entrySize + 1];
    log->palPalEntry[i].peBlue = table[i * entrySize + 0];
    log->palPalEntry[i].peFlags = 0;
  }
  const bool made = palette->CreatePalette(log);
  GlobalUnlock(block);
  GlobalFree(block);
  if (!made) {
    delete palette;
    return nullptr;
  }
  return palette;
}

const uint8_t* PixelAddress(const uint8_t* bitmapBlock) {
  const uint32_t headerSize = Read32(bitmapBlock);
  const int bits = BitsPerPixel(bitmapBlock);
  size_t tableSize;
  if (headerSize == 12) {
    tableSize = bits == 24 ? 0 : 3 * (size_t{1} << bits);
  } else {
    const uint32_t used = headerSize >= 36 ? Read32(bitmapBlock + 32) : 0;
    tableSize = used != 0 ? 4 * size_t{used} : bits == 24 ? 0 : 4 * (size_t{1} << bits);
  }
  return bitmapBlock + headerSize + tableSize;
}

CViewerWnd::CViewerWnd() = default;

CViewerWnd::~CViewerWnd() = default;

const MessageMap* CViewerWnd::GetMessageMap() const {
  static const MessageMap map = {CWnd::GetMessageMap(), kViewerEntries, std::size(kViewerEntries)};
  return &map;
}

WNDPROC* CViewerWnd::GetSuperWndProcAddr() { return CWnd::GetSuperWndProcAddr(); }

void CViewerWnd::OnPaint() {
  CPaintDC dc(this);
  if (instance == nullptr || instance->bitmap == nullptr) return;
  const uint8_t* bitmap = instance->bitmap;

  // Only a device that maps colours through a palette needs one realised; a device
  // with few bits per pixel but fixed colours would ignore it.
  const bool paletteDisplay =
      (dc.GetDeviceCaps(RASTERCAPS) & RC_PALETTE) != 0 && dc.GetDeviceCaps(BITSPIXEL) < 12;
  if (paletteDisplay && instance->palette == nullptr) instance->palette = MakePalette(bitmap);
  HPALETTE replaced = nullptr;
  const bool selected = paletteDisplay && instance->palette != nullptr;
  if (selected) {
    replaced = dc.SelectPalette(instance->palette, FALSE);
    dc.RealizePalette();
  }

  RECT windowRect;
  GetWindowRect(&windowRect);
  kdz::PaintPlan plan = kdz::PlanPaint(kdz::SharedViewState(), ToViewRect(windowRect),
                                       BitmapWidth(bitmap), BitmapHeight(bitmap));
  for (int i = 0; i < plan.eraseCount; ++i) {
    const kdz::ViewRect& strip = plan.erase[static_cast<size_t>(i)];
    RECT r = {strip.left, strip.top, strip.right, strip.bottom};
    InvalidateRect(&r, TRUE);
  }
  if (plan.draw) {
    dc.SetViewportOrg(plan.originX, plan.originY);
    dc.SetStretchBltMode(COLORONCOLOR);
    dc.StretchDIBits(0, 0, plan.destWidth, plan.destHeight, 0, 0, plan.srcWidth, plan.srcHeight,
                     PixelAddress(bitmap), reinterpret_cast<const BITMAPINFO*>(bitmap),
                     DIB_RGB_COLORS, SRCCOPY);
  }
  if (selected) dc.SelectPalette(replaced, FALSE);
}

// Another window's palette does not make this one realise its own again.
void CViewerWnd::OnPaletteChanged(HWND) {}

void CViewerWnd::OnRButtonDown(UINT, POINT point) {
  Default();
  if (instance == nullptr || instance->bitmap == nullptr) return;
  CMenu menu;
  if (!menu.CreatePopupMenu()) return;
  menu.AppendMenu(0, IDM_IMAGE_INFO, "Image Info ");
  menu.AppendMenu(0, IDM_ENLARGE, "Enlarge 50%");
  menu.AppendMenu(0, IDM_REDUCE, "Reduce  50%");
  ClientToScreen(&point);
  menu.TrackPopupMenu(TPM_RIGHTBUTTON, point.x, point.y, this, nullptr);
  menu.DestroyMenu();
}

void CViewerWnd::OnLButtonDown(UINT, POINT point) {
  Default();
  if (instance == nullptr || instance->bitmap == nullptr) return;
  RECT windowRect;
  GetWindowRect(&windowRect);
  kdz::Pan(kdz::SharedViewState(), ToViewRect(windowRect), BitmapWidth(instance->bitmap),
           BitmapHeight(instance->bitmap), point.x, point.y);
  InvalidateRect(nullptr, FALSE);
  UpdateWindow();
}

void CViewerWnd::OnImageInfo() {
  if (instance == nullptr) return;
  if (instance->bitmap == nullptr) {
    MessageBox("Image not finished loading", kInfoCaption, MB_OK);
    return;
  }
  char text[kdz::kImageInfoTextSize];
  kdz::FormatImageInfo(instance->decodeTime, instance->compressionRatio,
                       BitmapWidth(instance->bitmap), BitmapHeight(instance->bitmap),
                       kdz::SharedViewState(), text);
  MessageBox(text, kInfoCaption, MB_OK);
}

void CViewerWnd::OnEnlarge() {
  if (instance == nullptr || instance->bitmap == nullptr) return;
  kdz::Enlarge(kdz::SharedViewState());
  InvalidateRect(nullptr, TRUE);
  UpdateWindow();
}

void CViewerWnd::OnReduce() {
  if (instance == nullptr || instance->bitmap == nullptr) return;
  kdz::Reduce(kdz::SharedViewState());
  InvalidateRect(nullptr, TRUE);
  UpdateWindow();
}
