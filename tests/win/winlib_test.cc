// Tests of the window-class layer under Wine: take-over and release, message map
// dispatch and default processing, and the menu, palette and bitmap helpers.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

#include "viewer/win/viewer_wnd.h"
#include "winlib/gdi.h"
#include "winlib/menu.h"
#include "winlib/wnd.h"

namespace {

int failures = 0;

void Check(bool ok, const char* what) {
  std::printf("%s  %s\n", ok ? "ok  " : "FAIL", what);
  if (!ok) ++failures;
}

// The "browser's" window procedure: records what reaches it.
struct Seen {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};
std::vector<Seen> seen;

LRESULT CALLBACK OwnProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  seen.push_back(Seen{message, wParam, lParam});
  if (message == WM_USER + 50) return 4242;
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

bool Saw(UINT message, WPARAM wParam, LPARAM lParam) {
  for (const Seen& s : seen) {
    if (s.message == message && s.wParam == wParam && s.lParam == lParam) return true;
  }
  return false;
}

HWND NewWindow() {
  return CreateWindowA("WinlibTestWindow", "", WS_OVERLAPPED, 0, 0, 50, 50, nullptr, nullptr,
                       GetModuleHandleA(nullptr), nullptr);
}

constexpr UINT kCommandA = 500;
constexpr UINT kCommandB = 501;
constexpr UINT kOuter = WM_USER + 1;
constexpr UINT kInner = WM_USER + 2;

class CTestWnd : public CWnd {
 public:
  const MessageMap* GetMessageMap() const override;
  void OnCommandA() { ++commandA; }
  void OnOuter() {
    ++outer;
    // A nested message while this one is handled must not change what Default passes on.
    SendMessageA(hwnd(), kInner, 7, 8);
    Default();
  }
  void OnInner() {
    ++inner;
    Default();
  }
  void OnLButtonDown(UINT flags, POINT point) {
    lastFlags = flags;
    lastPoint = point;
  }
  int commandA = 0, outer = 0, inner = 0;
  UINT lastFlags = 0;
  POINT lastPoint = {0, 0};
};

const MessageMapEntry kTestEntries[] = {
    {WM_COMMAND, kCommandA, &winlib::NoArgHandler<CTestWnd, &CTestWnd::OnCommandA>},
    {kOuter, 0, &winlib::NoArgHandler<CTestWnd, &CTestWnd::OnOuter>},
    {kInner, 0, &winlib::NoArgHandler<CTestWnd, &CTestWnd::OnInner>},
    {WM_LBUTTONDOWN, 0, &winlib::MouseHandler<CTestWnd, &CTestWnd::OnLButtonDown>},
};

const MessageMap* CTestWnd::GetMessageMap() const {
  static const MessageMap map = {CWnd::GetMessageMap(), kTestEntries, std::size(kTestEntries)};
  return &map;
}

// A class whose own map only adds an entry; the rest comes from its base's map.
class CDerivedWnd : public CTestWnd {
 public:
  const MessageMap* GetMessageMap() const override;
  void OnCommandB() { ++commandB; }
  int commandB = 0;
};

const MessageMapEntry kDerivedEntries[] = {
    {WM_COMMAND, kCommandB, &winlib::NoArgHandler<CDerivedWnd, &CDerivedWnd::OnCommandB>},
};

const MessageMap* CDerivedWnd::GetMessageMap() const {
  static const MessageMap map = {CTestWnd::GetMessageMap(), kDerivedEntries, std::size(kDerivedEntries)};
  return &map;
}

void TestTakeOverAndRelease() {
  HWND hwnd = NewWindow();
  CTestWnd wnd;
  Check(wnd.SubclassWindow(hwnd), "SubclassWindow takes over a window");
  Check(CWnd::FromHandlePermanent(hwnd) == &wnd, "the handle map finds the object");
  Check(*wnd.GetSuperWndProcAddr() == &OwnProc, "the saved slot holds the window's own procedure");
  Check(GetWindowLongPtrA(hwnd, GWLP_WNDPROC) != reinterpret_cast<LONG_PTR>(&OwnProc),
        "the window runs another procedure");

  CTestWnd other;
  Check(!other.SubclassWindow(hwnd), "a second object cannot take over the same window");
  Check(!other.SubclassWindow(reinterpret_cast<HWND>(static_cast<uintptr_t>(0x4242))),
        "a handle that is no window is refused");
  Check(!other.SubclassWindow(nullptr), "a null handle is refused");
  HWND second = NewWindow();
  Check(!wnd.SubclassWindow(second), "an attached object cannot take over a second window");

  seen.clear();
  LRESULT result = SendMessageA(hwnd, WM_USER + 50, 1, 2);
  Check(result == 4242 && Saw(WM_USER + 50, 1, 2),
        "a message outside the map reaches the own procedure unchanged, with its result");

  SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(*wnd.GetSuperWndProcAddr()));
  Check(wnd.Detach() == hwnd && wnd.hwnd() == nullptr, "Detach returns and clears the handle");
  Check(CWnd::FromHandlePermanent(hwnd) == nullptr, "Detach removes the handle from the map");
  seen.clear();
  SendMessageA(hwnd, kOuter, 3, 4);
  Check(wnd.outer == 0 && Saw(kOuter, 3, 4), "after release the own procedure gets every message");
  Check(other.SubclassWindow(hwnd), "a released window can be taken over again");
  SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(*other.GetSuperWndProcAddr()));
  other.Detach();
  DestroyWindow(hwnd);
  DestroyWindow(second);
}

void TestDispatch() {
  HWND hwnd = NewWindow();
  CDerivedWnd wnd;
  wnd.SubclassWindow(hwnd);

  seen.clear();
  SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(kCommandB, 0), 0);
  SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(kCommandA, 0), 0);
  Check(wnd.commandB == 1 && wnd.commandA == 1 && seen.empty(),
        "commands of the class and of its base class reach their handlers, not the own procedure");
  SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(kCommandA, 1), 0);
  SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(kCommandA + 7, 0), 0);
  Check(wnd.commandA == 1 && Saw(WM_COMMAND, MAKEWPARAM(kCommandA, 1), 0) &&
            Saw(WM_COMMAND, MAKEWPARAM(kCommandA + 7, 0), 0),
        "a command with another notification code or id goes to the own procedure");

  SendMessageA(hwnd, WM_LBUTTONDOWN, MK_LBUTTON | MK_SHIFT, MAKELPARAM(-3, 17));
  Check(wnd.lastFlags == (MK_LBUTTON | MK_SHIFT) && wnd.lastPoint.x == -3 && wnd.lastPoint.y == 17,
        "mouse handlers get the key flags and the signed client point");

  seen.clear();
  SendMessageA(hwnd, kOuter, 11, 12);
  Check(wnd.outer == 1 && wnd.inner == 1, "nested messages reach their handlers");
  Check(seen.size() == 2 && seen[0].message == kInner && seen[0].wParam == 7 && seen[0].lParam == 8 &&
            seen[1].message == kOuter && seen[1].wParam == 11 && seen[1].lParam == 12,
        "Default passes the message being handled, also after a nested one");

  // The window goes while taken over: the own procedure sees the end and the object
  // lets go of the handle.
  seen.clear();
  DestroyWindow(hwnd);
  Check(Saw(WM_NCDESTROY, 0, 0), "WM_NCDESTROY reaches the own procedure");
  Check(wnd.hwnd() == nullptr && CWnd::FromHandlePermanent(hwnd) == nullptr,
        "a destroyed window leaves the object and the handle map");
}

void TestDestructorDestroysAttachedWindow() {
  HWND hwnd = NewWindow();
  {
    CTestWnd wnd;
    wnd.SubclassWindow(hwnd);
  }
  Check(!IsWindow(hwnd) && CWnd::FromHandlePermanent(hwnd) == nullptr,
        "an object deleted while attached destroys its window");
}

void TestMenu() {
  HMENU handle;
  {
    CMenu menu;
    Check(menu.CreatePopupMenu(), "CreatePopupMenu");
    Check(!menu.CreatePopupMenu(), "a menu object holds one menu");
    menu.AppendMenu(0, 1000, "Image Info ");
    menu.AppendMenu(0, 1001, "Enlarge 50%");
    handle = menu.handle();
    char text[32] = {};
    GetMenuStringA(handle, 1001, text, sizeof text, MF_BYCOMMAND);
    Check(GetMenuItemCount(handle) == 2 && std::strcmp(text, "Enlarge 50%") == 0,
          "AppendMenu adds items with their ids and texts");
  }
  Check(!IsMenu(handle), "the menu is destroyed with its object");
}

void TestPalette() {
  struct {
    LOGPALETTE head;
    PALETTEENTRY more[3];
  } log = {};
  log.head.palVersion = 0x300;
  log.head.palNumEntries = 4;
  for (int i = 0; i < 4; ++i) {
    PALETTEENTRY& e = i == 0 ? log.head.palPalEntry[0] : log.more[i - 1];
    e.peRed = static_cast<BYTE>(10 * i);
    e.peGreen = static_cast<BYTE>(20 * i);
    e.peBlue = static_cast<BYTE>(30 * i);
  }
  CPalette palette;
  Check(palette.CreatePalette(&log.head), "CreatePalette");
  PALETTEENTRY entries[4] = {};
  Check(GetPaletteEntries(palette.handle(), 0, 4, entries) == 4 && entries[3].peRed == 30 &&
            entries[3].peGreen == 60 && entries[3].peBlue == 90,
        "the palette holds the given colours");
  Check(!palette.CreatePalette(&log.head), "a palette object holds one palette");
  Check(palette.DeleteObject() && palette.handle() == nullptr, "DeleteObject releases the palette");
}

// A bitmap block: header of headerSize bytes, then a colour table with colour i =
// (blue i, green 2i, red 3i).
std::vector<uint8_t> Block(uint32_t headerSize, int bits, uint32_t used, int entries, int entrySize) {
  std::vector<uint8_t> block(headerSize + static_cast<size_t>(entries) * entrySize + 64, 0);
  std::memcpy(block.data(), &headerSize, 4);
  if (headerSize == 12) {
    const uint16_t one = 1, count = static_cast<uint16_t>(bits), side = 8;
    std::memcpy(&block[4], &side, 2);
    std::memcpy(&block[6], &side, 2);
    std::memcpy(&block[8], &one, 2);
    std::memcpy(&block[10], &count, 2);
  } else {
    BITMAPINFOHEADER h = {};
    h.biSize = headerSize;
    h.biWidth = 8;
    h.biHeight = 8;
    h.biPlanes = 1;
    h.biBitCount = static_cast<WORD>(bits);
    h.biClrUsed = used;
    std::memcpy(block.data(), &h, sizeof h);
  }
  for (int i = 0; i < entries; ++i) {
    uint8_t* e = &block[headerSize + static_cast<size_t>(i) * entrySize];
    e[0] = static_cast<uint8_t>(i);
    e[1] = static_cast<uint8_t>(2 * i);
    e[2] = static_cast<uint8_t>(3 * i);
  }
  return block;
}

void TestBitmapHelpers() {
  std::vector<uint8_t> full = Block(40, 8, 0, 256, 4);
  CPalette* palette = MakePalette(full.data());
  PALETTEENTRY e = {};
  Check(palette != nullptr && palette->handle() != nullptr &&
            GetPaletteEntries(palette->handle(), 0, 0, nullptr) == 256 &&
            GetPaletteEntries(palette->handle(), 5, 1, &e) == 1 && e.peRed == 15 && e.peGreen == 10 &&
            e.peBlue == 5,
        "an 8-bit bitmap gives a 256-colour palette, red, green, blue from the table");
  delete palette;
  Check(PixelAddress(full.data()) == full.data() + 1064, "pixels of an 8-bit bitmap start at 1064");

  std::vector<uint8_t> used = Block(40, 8, 16, 16, 4);
  palette = MakePalette(used.data());
  Check(palette != nullptr && GetPaletteEntries(palette->handle(), 0, 0, nullptr) == 16,
        "the used-colours field sets the palette's size");
  delete palette;
  Check(PixelAddress(used.data()) == used.data() + 40 + 64, "and the colour table's size");

  std::vector<uint8_t> direct = Block(40, 24, 0, 0, 4);
  palette = MakePalette(direct.data());
  Check(palette != nullptr && palette->handle() == nullptr,
        "a 24-bit bitmap gives a palette object without a palette");
  delete palette;
  Check(PixelAddress(direct.data()) == direct.data() + 40, "a 24-bit bitmap has no colour table");

  std::vector<uint8_t> core = Block(12, 4, 0, 16, 3);
  palette = MakePalette(core.data());
  Check(palette != nullptr && GetPaletteEntries(palette->handle(), 0, 0, nullptr) == 16 &&
            GetPaletteEntries(palette->handle(), 15, 1, &e) == 1 && e.peRed == 45 && e.peBlue == 15,
        "a core header's 3-byte colour table");
  delete palette;
  Check(PixelAddress(core.data()) == core.data() + 12 + 48, "pixels after a core header's table");
}

}  // namespace

int main() {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = OwnProc;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = "WinlibTestWindow";
  RegisterClassA(&windowClass);

  TestTakeOverAndRelease();
  TestDispatch();
  TestDestructorDestroysAttachedWindow();
  TestMenu();
  TestPalette();
  TestBitmapHelpers();
  std::printf("%d failure(s)\n", failures);
  return failures == 0 ? 0 : 1;
}
