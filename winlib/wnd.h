// CWnd: a window object that takes over an existing window (subclassing) and hands its
// messages to member functions through a message map, on plain Win32.
#pragma once

#include <windows.h>

#include <cstddef>

class CWnd;

// One entry of a message map. For WM_COMMAND the entry matches notification code 0
// (menu commands) with the one id in commandId; for other messages commandId is 0 and
// not compared. The handler gets the window object and the message's parameters and
// returns the message's result.
struct MessageMapEntry {
  UINT message;
  UINT commandId;
  LRESULT (*handler)(CWnd* wnd, WPARAM wParam, LPARAM lParam);
};

// A class's entries and the map of its base class, searched when no entry matches.
struct MessageMap {
  const MessageMap* base;
  const MessageMapEntry* entries;
  size_t count;
};

class CWnd {
 public:
  CWnd();
  // Destroys the window if a handle is still attached (owners detach first when the
  // window is not theirs).
  virtual ~CWnd();
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;

  virtual const MessageMap* GetMessageMap() const;
  // The slot that keeps the window procedure that SubclassWindow replaced; whoever
  // gives the window back installs it again.
  virtual WNDPROC* GetSuperWndProcAddr();

  // Takes over hwnd: enters it in the handle map, keeps its current procedure in the
  // slot above and installs this library's procedure. False when hwnd is no window,
  // belongs to another object already, or this object already has a window.
  bool SubclassWindow(HWND hwnd);
  // Removes the handle from the handle map and clears it; the window procedure is left
  // as it is. Returns the former handle.
  HWND Detach();
  // The object that has taken over hwnd, or null.
  static CWnd* FromHandlePermanent(HWND hwnd);

  HWND hwnd() const { return hwnd_; }

  int MessageBox(const char* text, const char* caption, UINT type = MB_OK);
  BOOL InvalidateRect(const RECT* rect, BOOL erase = TRUE);
  BOOL UpdateWindow();
  BOOL GetWindowRect(RECT* rect) const;
  BOOL ClientToScreen(POINT* point) const;

 protected:
  // Hands the message now being handled, with its parameters as received, to the
  // default procedure.
  LRESULT Default();
  // The default procedure: the saved window procedure, or DefWindowProcA without one.
  virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);

 private:
  static LRESULT CALLBACK WindowProcedure(HWND hwnd, UINT message, WPARAM wParam,
                                          LPARAM lParam);
  // Sets *deleted when the object was deleted while the message was handled.
  LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam, bool* deleted);
  static const MessageMapEntry* FindEntry(const MessageMap* map, UINT message,
                                          WPARAM wParam);

  // One per dispatch in progress on this object, innermost first. The destructor marks
  // them, so that a handler whose message loop (a message box, a menu) let the owner
  // delete the object returns without touching it again.
  struct DispatchFrame {
    bool objectDeleted;
    DispatchFrame* outer;
  };

  HWND hwnd_ = nullptr;
  WNDPROC superWndProc_ = nullptr;
  DispatchFrame* dispatchFrames_ = nullptr;
  // The message being dispatched, for Default.
  UINT currentMessage_ = 0;
  WPARAM currentWParam_ = 0;
  LPARAM currentLParam_ = 0;
};

// Adapters from the uniform entry signature to member functions with the message's
// parameters taken apart.
namespace winlib {

template <class T, void (T::*F)()>
LRESULT NoArgHandler(CWnd* wnd, WPARAM, LPARAM) {
  (static_cast<T*>(wnd)->*F)();
  return 0;
}

// Handlers whose parameter is another window (WM_PALETTECHANGED and the like).
template <class T, void (T::*F)(HWND)>
LRESULT WindowArgHandler(CWnd* wnd, WPARAM wParam, LPARAM) {
  (static_cast<T*>(wnd)->*F)(reinterpret_cast<HWND>(wParam));
  return 0;
}

// Mouse button handlers: key flags and the point in client coordinates.
template <class T, void (T::*F)(UINT, POINT)>
LRESULT MouseHandler(CWnd* wnd, WPARAM wParam, LPARAM lParam) {
  POINT point;
  point.x = static_cast<short>(LOWORD(lParam));
  point.y = static_cast<short>(HIWORD(lParam));
  (static_cast<T*>(wnd)->*F)(static_cast<UINT>(wParam), point);
  return 0;
}

}  // namespace winlib
