// CMenu on the plain Win32 menu calls.
#include "winlib/menu.h"

#include "winlib/wnd.h"

CMenu::~CMenu() { DestroyMenu(); }

bool CMenu::CreatePopupMenu() {
  if (menu_ != nullptr) return false;
  menu_ = ::CreatePopupMenu();
  return menu_ != nullptr;
}

bool CMenu::AppendMenu(UINT flags, UINT_PTR id, const char* text) {
  return ::AppendMenuA(menu_, flags, id, text) != 0;
}

bool CMenu::TrackPopupMenu(UINT flags, int x, int y, CWnd* owner, const RECT* rect) {
  return ::TrackPopupMenu(menu_, flags, x, y, 0, owner != nullptr ? owner->hwnd() : nullptr,
                          rect) != 0;
}

bool CMenu::DestroyMenu() {
  if (menu_ == nullptr) return false;
  bool ok = ::DestroyMenu(menu_) != 0;
  menu_ = nullptr;
  return ok;
}
