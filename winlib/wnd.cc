// CWnd: the handle map, the take-over of a window, and message dispatch.
#include "winlib/wnd.h"

#include <map>

namespace {

// Windows taken over by this library and their objects. Only the user-interface thread
// touches it.
std::map<HWND, CWnd*>& HandleMap() {
  static std::map<HWND, CWnd*> map;
  return map;
}

const MessageMap kCWndMessageMap = {nullptr, nullptr, 0};

}  // namespace

CWnd::CWnd() = default;

CWnd::~CWnd() {
  for (DispatchFrame* frame = dispatchFrames_; frame != nullptr; frame = frame->outer) {
    frame->objectDeleted = true;
  }
  if (hwnd_ != nullptr) {
    HWND hwnd = hwnd_;
    WNDPROC saved = *GetSuperWndProcAddr();
    if (saved != nullptr && IsWindow(hwnd)) {
      SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(saved));
    }
    Detach();
    DestroyWindow(hwnd);
  }
}

const MessageMap* CWnd::GetMessageMap() const { return &kCWndMessageMap; }

WNDPROC* CWnd::GetSuperWndProcAddr() { return &superWndProc_; }

bool CWnd::SubclassWindow(HWND hwnd) {
  if (hwnd_ != nullptr || hwnd == nullptr || !IsWindow(hwnd)) return false;
  // A window of another process cannot run this library's procedure.
  DWORD processId = 0;
  GetWindowThreadProcessId(hwnd, &processId);
  if (processId != GetCurrentProcessId()) return false;
  auto& map = HandleMap();
  if (map.count(hwnd) != 0) return false;
  map[hwnd] = this;
  hwnd_ = hwnd;
  SetLastError(0);
  LONG_PTR previous =
      SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CWnd::WindowProcedure));
  if (previous == 0 && GetLastError() != 0) {
    map.erase(hwnd);
    hwnd_ = nullptr;
    return false;
  }
  *GetSuperWndProcAddr() = reinterpret_cast<WNDPROC>(previous);
  return true;
}

HWND CWnd::Detach() {
  HWND hwnd = hwnd_;
  if (hwnd != nullptr) {
    auto& map = HandleMap();
    auto it = map.find(hwnd);
    if (it != map.end() && it->second == this) map.erase(it);
  }
  hwnd_ = nullptr;
  return hwnd;
}

CWnd* CWnd::FromHandlePermanent(HWND hwnd) {
  auto& map = HandleMap();
  auto it = map.find(hwnd);
  return it == map.end() ? nullptr : it->second;
}

int CWnd::MessageBox(const char* text, const char* caption, UINT type) {
  return ::MessageBoxA(hwnd_, text, caption, type);
}

BOOL CWnd::InvalidateRect(const RECT* rect, BOOL erase) {
  return ::InvalidateRect(hwnd_, rect, erase);
}

BOOL CWnd::UpdateWindow() { return ::UpdateWindow(hwnd_); }

BOOL CWnd::GetWindowRect(RECT* rect) const { return ::GetWindowRect(hwnd_, rect); }

BOOL CWnd::ClientToScreen(POINT* point) const { return ::ClientToScreen(hwnd_, point); }

LRESULT CWnd::Default() { return DefWindowProc(currentMessage_, currentWParam_, currentLParam_); }

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  WNDPROC saved = *GetSuperWndProcAddr();
  if (saved != nullptr) return CallWindowProcA(saved, hwnd_, message, wParam, lParam);
  return ::DefWindowProcA(hwnd_, message, wParam, lParam);
}

const MessageMapEntry* CWnd::FindEntry(const MessageMap* map, UINT message, WPARAM wParam) {
  for (; map != nullptr; map = map->base) {
    for (size_t i = 0; i < map->count; ++i) {
      const MessageMapEntry& entry = map->entries[i];
      if (entry.message != message) continue;
      if (message == WM_COMMAND &&
          (HIWORD(wParam) != 0 || LOWORD(wParam) != entry.commandId)) {
        continue;
      }
      return &entry;
    }
  }
  return nullptr;
}

LRESULT CWnd::Dispatch(UINT message, WPARAM wParam, LPARAM lParam, bool* deleted) {
  // Handlers may run nested messages (a message box pumps them), so the current
  // message is saved around each dispatch.
  UINT savedMessage = currentMessage_;
  WPARAM savedWParam = currentWParam_;
  LPARAM savedLParam = currentLParam_;
  currentMessage_ = message;
  currentWParam_ = wParam;
  currentLParam_ = lParam;
  DispatchFrame frame = {false, dispatchFrames_};
  dispatchFrames_ = &frame;
  const MessageMapEntry* entry = FindEntry(GetMessageMap(), message, wParam);
  LRESULT result =
      entry != nullptr ? entry->handler(this, wParam, lParam) : DefWindowProc(message, wParam, lParam);
  *deleted = frame.objectDeleted;
  if (!frame.objectDeleted) {
    dispatchFrames_ = frame.outer;
    currentMessage_ = savedMessage;
    currentWParam_ = savedWParam;
    currentLParam_ = savedLParam;
  }
  return result;
}

LRESULT CALLBACK CWnd::WindowProcedure(HWND hwnd, UINT message, WPARAM wParam,
                                       LPARAM lParam) {
  CWnd* wnd = FromHandlePermanent(hwnd);
  if (wnd == nullptr) return ::DefWindowProcA(hwnd, message, wParam, lParam);
  bool deleted = false;
  if (message != WM_NCDESTROY) return wnd->Dispatch(message, wParam, lParam, &deleted);
  // The window is going away while taken over: let its own procedure see the last
  // message, then give it back and forget the handle. The object stays with its owner.
  WNDPROC saved = *wnd->GetSuperWndProcAddr();
  LRESULT result = wnd->Dispatch(message, wParam, lParam, &deleted);
  if (deleted) return result;
  if (saved != nullptr &&
      GetWindowLongPtrA(hwnd, GWLP_WNDPROC) == reinterpret_cast<LONG_PTR>(&CWnd::WindowProcedure)) {
    SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(saved));
  }
  wnd->Detach();
  return result;
}
