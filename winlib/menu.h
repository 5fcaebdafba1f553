// CMenu: a popup menu that is destroyed with its object.
#pragma once

#include <windows.h>

class CWnd;

class CMenu {
 public:
  CMenu() = default;
  ~CMenu();
  CMenu(const CMenu&) = delete;
  CMenu& operator=(const CMenu&) = delete;

  bool CreatePopupMenu();
  bool AppendMenu(UINT flags, UINT_PTR id, const char* text);
  // Shows the menu at (x, y) in screen coordinates; the chosen item reaches owner as
  // WM_COMMAND after the tracking loop ends.
  bool TrackPopupMenu(UINT flags, int x, int y, CWnd* owner, const RECT* rect = nullptr);
  bool DestroyMenu();
  HMENU handle() const { return menu_; }

 private:
  HMENU menu_ = nullptr;
};
