// kdzhost's windows: the frame, the instances' child windows with their recording
// window procedure, the watch over message boxes and popup menus, and pixel capture.
#include <algorithm>
#include <cstdio>
#include <set>

#include "tools/host/host.h"

namespace kdzhost {
namespace {

const char kFrameClass[] = "KdzHostFrame";
const char kChildClass[] = "KdzHostPluginWindow";

HWND frame = nullptr;
std::vector<Instance*> instances;
std::set<HWND> answeredDialogs;
int menuChoice = -1;
bool menuAnswered = false;
HMENU trackedMenu = nullptr;
bool rawDialogReport = false;
void (*closeHandler)() = nullptr;
void (*dialogAction)() = nullptr;

Instance* InstanceOf(HWND hwnd) {
  return reinterpret_cast<Instance*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
}

std::string MenuItemText(HMENU menu, int index) {
  char text[256] = {};
  GetMenuStringA(menu, static_cast<UINT>(index), text, sizeof text, MF_BYPOSITION);
  return text;
}

// The popup menu's tracking loop tells its owner that it is idle; by then the menu is
// on screen. Its items are reported, and the chosen one is selected with the keyboard
// (or the menu is closed), so that the plug-in's own TrackPopupMenu delivers the command.
void AnswerMenu(HWND owner) {
  if (menuAnswered || trackedMenu == nullptr) return;
  menuAnswered = true;
  const int count = GetMenuItemCount(trackedMenu);
  std::string items;
  for (int i = 0; i < count; ++i) items += (i ? " \"" : "\"") + MenuItemText(trackedMenu, i) + "\"";
  Say("menu: " + items);
  if (menuChoice < 0 || menuChoice >= count) {
    Say("menu: cancelled");
    EndMenu();
  } else {
    Say("menu: chose \"" + MenuItemText(trackedMenu, menuChoice) + "\"");
    for (int i = 0; i <= menuChoice; ++i) PostMessageA(owner, WM_KEYDOWN, VK_DOWN, 0);
    PostMessageA(owner, WM_KEYDOWN, VK_RETURN, 0);
  }
  menuChoice = -1;
}

LRESULT CALLBACK ChildProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  Instance* instance = InstanceOf(hwnd);
  if (instance != nullptr) instance->log.push_back(LoggedMessage{message, wParam, lParam});
  switch (message) {
    case WM_INITMENUPOPUP:
      trackedMenu = reinterpret_cast<HMENU>(wParam);
      menuAnswered = false;
      break;
    case WM_ENTERIDLE:
      if (wParam == MSGF_MENU) AnswerMenu(hwnd);
      break;
    case WM_NCDESTROY:
      if (instance != nullptr && instance->child == hwnd) instance->child = nullptr;
      if (instance != nullptr && instance->former == hwnd) instance->former = nullptr;
      break;
    default:
      break;
  }
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

LRESULT CALLBACK FrameProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CLOSE:
      // The browser ends its instances before their windows go.
      if (closeHandler != nullptr) closeHandler();
      DestroyWindow(hwnd);
      return 0;
    case WM_DESTROY:
      frame = nullptr;
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcA(hwnd, message, wParam, lParam);
  }
}

BOOL CALLBACK FindStaticText(HWND child, LPARAM lParam) {
  char className[32] = {};
  GetClassNameA(child, className, sizeof className);
  if (lstrcmpiA(className, "Static") != 0) return TRUE;
  char text[1024] = {};
  GetWindowTextA(child, text, sizeof text);
  if (text[0] == '\0') return TRUE;
  *reinterpret_cast<std::string*>(lParam) = text;
  return FALSE;
}

BOOL CALLBACK AnswerDialog(HWND hwnd, LPARAM) {
  char className[32] = {};
  GetClassNameA(hwnd, className, sizeof className);
  if (lstrcmpA(className, "#32770") != 0 || !IsWindowVisible(hwnd)) return TRUE;
  if (answeredDialogs.count(hwnd) != 0) return TRUE;
  answeredDialogs.insert(hwnd);
  char caption[256] = {};
  GetWindowTextA(hwnd, caption, sizeof caption);
  std::string text;
  HWND textControl = GetDlgItem(hwnd, 0xFFFF);
  if (textControl != nullptr) {
    char buffer[1024] = {};
    GetWindowTextA(textControl, buffer, sizeof buffer);
    text = buffer;
  }
  if (text.empty()) EnumChildWindows(hwnd, FindStaticText, reinterpret_cast<LPARAM>(&text));
  if (rawDialogReport) {
    Say(Escape(caption));
    Say(Escape(text));
  } else {
    Say("msgbox caption: " + Escape(caption));
    Say("msgbox text: " + Escape(text));
  }
  if (dialogAction != nullptr) {
    void (*action)() = dialogAction;
    dialogAction = nullptr;
    action();
  }
  PostMessageA(hwnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(hwnd, IDOK)));
  return TRUE;
}

// Thread timers run inside every modal loop of this thread, the message box's too.
void CALLBACK DialogWatch(HWND, UINT, UINT_PTR, DWORD) {
  for (auto it = answeredDialogs.begin(); it != answeredDialogs.end();) {
    it = IsWindow(*it) ? std::next(it) : answeredDialogs.erase(it);
  }
  EnumThreadWindows(GetCurrentThreadId(), AnswerDialog, 0);
}

void AdjustFrame() {
  if (frame == nullptr) return;
  int width = 0, height = 0;
  for (Instance* instance : instances) {
    if (instance->child == nullptr) continue;
    width += instance->width;
    height = std::max(height, instance->height);
  }
  RECT r = {0, 0, std::max(width, 120), std::max(height, 1)};
  AdjustWindowRect(&r, WS_OVERLAPPEDWINDOW, FALSE);
  SetWindowPos(frame, nullptr, 0, 0, r.right - r.left, r.bottom - r.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

void Say(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\\': out += "\\\\"; break;
      default: out += c; break;
    }
  }
  return out;
}

bool CreateFrame(const char* title) {
  HINSTANCE module = GetModuleHandleA(nullptr);
  WNDCLASSA frameClass = {};
  frameClass.lpfnWndProc = FrameProc;
  frameClass.hInstance = module;
  frameClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
  frameClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  frameClass.lpszClassName = kFrameClass;
  WNDCLASSA childClass = frameClass;
  childClass.lpfnWndProc = ChildProc;
  childClass.style = CS_HREDRAW | CS_VREDRAW;
  childClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  childClass.lpszClassName = kChildClass;
  if (!RegisterClassA(&frameClass) || !RegisterClassA(&childClass)) return false;
  frame = CreateWindowA(kFrameClass, title, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 0, 0, 320,
                        240, nullptr, nullptr, module, nullptr);
  if (frame == nullptr) return false;
  ShowWindow(frame, SW_SHOWNORMAL);
  UpdateWindow(frame);
  return true;
}

HWND Frame() { return frame; }

bool CreateChild(Instance* instance, int width, int height) {
  instance->width = width;
  instance->height = height;
  instance->child = CreateWindowA(kChildClass, instance->name.c_str(),
                                  WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, 0, 0, width, height,
                                  frame, nullptr, GetModuleHandleA(nullptr), instance);
  if (instance->child == nullptr) return false;
  LayoutChildren();
  return true;
}

void ResizeChild(Instance* instance, int width, int height) {
  instance->width = width;
  instance->height = height;
  LayoutChildren();
}

void LayoutChildren() {
  AdjustFrame();
  int x = 0;
  for (Instance* instance : instances) {
    if (instance->child == nullptr) continue;
    MoveWindow(instance->child, x, 0, instance->width, instance->height, TRUE);
    x += instance->width;
  }
}

bool HasOwnProcedure(HWND child) {
  return GetWindowLongPtrA(child, GWLP_WNDPROC) == reinterpret_cast<LONG_PTR>(&ChildProc);
}

const std::vector<Instance*>& Instances() { return instances; }

void RegisterInstance(Instance* instance) { instances.push_back(instance); }

void ForgetInstance(Instance* instance) {
  instances.erase(std::remove(instances.begin(), instances.end(), instance), instances.end());
}

void PumpMessages() {
  for (int round = 0; round < 50; ++round) {
    MSG msg;
    bool any = false;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      any = true;
      if (msg.message == WM_QUIT) {
        PostQuitMessage(static_cast<int>(msg.wParam));
        return;
      }
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    bool waiting = false;
    for (Instance* instance : instances) {
      if (instance->child != nullptr && GetUpdateRect(instance->child, nullptr, FALSE)) {
        UpdateWindow(instance->child);
        waiting = true;
      }
    }
    if (!any && !waiting) return;
  }
}

void StartDialogWatch() { SetTimer(nullptr, 0, 25, DialogWatch); }

void SetMenuChoice(int index) { menuChoice = index; }

void SetRawDialogReport(bool raw) { rawDialogReport = raw; }

void SetCloseHandler(void (*handler)()) { closeHandler = handler; }

void SetDialogAction(void (*action)()) { dialogAction = action; }

bool CaptureClient(HWND hwnd, Capture* capture) {
  RECT client;
  if (hwnd == nullptr || !GetClientRect(hwnd, &client)) return false;
  const int width = client.right - client.left;
  const int height = client.bottom - client.top;
  if (width <= 0 || height <= 0) return false;
  HDC windowDc = GetDC(hwnd);
  HDC memoryDc = CreateCompatibleDC(windowDc);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top row first
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP section = CreateDIBSection(windowDc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  bool ok = false;
  if (section != nullptr) {
    HGDIOBJ previous = SelectObject(memoryDc, section);
    ok = BitBlt(memoryDc, 0, 0, width, height, windowDc, 0, 0, SRCCOPY) != 0;
    GdiFlush();
    if (ok) {
      const size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~size_t{3};
      capture->width = width;
      capture->height = height;
      capture->pixels.resize(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
      for (int y = 0; y < height; ++y) {
        std::copy_n(static_cast<const uint8_t*>(bits) + stride * static_cast<size_t>(y),
                    static_cast<size_t>(width) * 3,
                    capture->pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(width) * 3);
      }
    }
    SelectObject(memoryDc, previous);
    DeleteObject(section);
  }
  DeleteDC(memoryDc);
  ReleaseDC(hwnd, windowDc);
  return ok;
}

bool WriteBmp(const std::string& path, const Capture& capture) {
  const uint32_t stride = (static_cast<uint32_t>(capture.width) * 3 + 3) & ~3u;
  const uint32_t imageSize = stride * static_cast<uint32_t>(capture.height);
  BITMAPFILEHEADER file = {};
  file.bfType = 0x4D42;  // "BM"
  file.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
  file.bfSize = file.bfOffBits + imageSize;
  BITMAPINFOHEADER header = {};
  header.biSize = sizeof header;
  header.biWidth = capture.width;
  header.biHeight = capture.height;  // bottom row first
  header.biPlanes = 1;
  header.biBitCount = 24;
  header.biCompression = BI_RGB;
  header.biSizeImage = imageSize;
  FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) return false;
  bool ok = std::fwrite(&file, sizeof file, 1, out) == 1 &&
            std::fwrite(&header, sizeof header, 1, out) == 1;
  std::vector<uint8_t> row(stride, 0);
  for (int y = capture.height - 1; ok && y >= 0; --y) {
    std::copy_n(capture.At(0, y), static_cast<size_t>(capture.width) * 3, row.begin());
    ok = std::fwrite(row.data(), 1, row.size(), out) == row.size();
  }
  return std::fclose(out) == 0 && ok;
}

}  // namespace kdzhost
