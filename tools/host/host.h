// kdzhost, a substitute browser for the plug-in: shared declarations of the plug-in
// module, the embedded instances and their windows, and the capture helpers.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "plugin/npapi_types.h"

namespace kdzhost {

// The loaded plug-in library: what its version resource registers and its exports.
struct PluginModule {
  std::string path;
  std::string mimeType;
  std::string fileExtents;
  std::string fileOpenName;
  HMODULE module = nullptr;
  NP_GetEntryPointsFunc getEntryPoints = nullptr;
  NP_PluginInitFunc pluginInit = nullptr;
  NP_PluginShutdownFunc pluginShutdown = nullptr;
  NP_PluginInitFunc initialize = nullptr;  // NP_Initialize, the name browsers look up
  NP_PluginShutdownFunc shutdown = nullptr;  // NP_Shutdown
  bool browserNames = false;  // loaded through NP_Initialize, to end with NP_Shutdown
  std::vector<std::string> calls;  // the exports called by the last load, with results
  NPPluginFuncs funcs = {};
  NPNetscapeFuncs browserFuncs = {};
  bool initialized = false;
  int threadsBeforeLoad = 0;  // the process's threads just before the last load
};

// The threads this process has now.
int ThreadsInProcess();

// Reads the MIMEType, FileExtents and FileOpenName keys of the library's version
// resource (through its translation table), as a browser does to register it.
bool ReadRegistration(const std::string& path, PluginModule* module, std::string* error);
// The orders in which browsers started a plug-in library.
enum class LoadOrder {
  kEntryPointsFirst,  // NP_GetEntryPoints, then NP_PluginInit (the library's own names)
  kEntryPointsThenInitialize,  // NP_GetEntryPoints, then NP_Initialize
  kInitializeFirst,  // NP_Initialize, then NP_GetEntryPoints
};
// Loads the library, fills the callback table and initialises it, in `order`.
bool LoadPlugin(const std::string& path, PluginModule* module, std::string* error,
                LoadOrder order = LoadOrder::kEntryPointsFirst);
// NP_PluginShutdown (or NP_Shutdown after NP_Initialize) and FreeLibrary; returns the
// shutdown's result.
NPError UnloadPlugin(PluginModule* module);

struct LoggedMessage {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};

// One embedded picture: the browser's instance handle and its child window, whose own
// window procedure records every message that reaches it.
struct Instance {
  std::string name;
  NPP_t npp = {};
  bool alive = false;  // between NPP_New and NPP_Destroy
  HWND child = nullptr;
  HWND former = nullptr;  // the window it had before `setwindow NAME new`
  int width = 0;
  int height = 0;
  std::vector<LoggedMessage> log;
};

// Registers the window classes and creates the frame that holds the child windows.
bool CreateFrame(const char* title);
HWND Frame();
// A child window of the frame for `instance`, laid out right of the others.
bool CreateChild(Instance* instance, int width, int height);
// Resizes an instance's window and the frame around all of them.
void ResizeChild(Instance* instance, int width, int height);
void LayoutChildren();
// True while the child window runs the host's own window procedure.
bool HasOwnProcedure(HWND child);
const std::vector<Instance*>& Instances();
void RegisterInstance(Instance* instance);
void ForgetInstance(Instance* instance);

// Handles pending messages until none is left and no child waits to be painted.
void PumpMessages();

// Watches for message boxes and popup menus that the plug-in opens inside its own
// modal loops: reports them through the output function and answers them.
void StartDialogWatch();
// The item index the next popup menu is answered with; -1 cancels it.
void SetMenuChoice(int index);
// Dialogs and menus are reported in the script form ("msgbox caption: ...") or raw
// (caption and text alone, one line each).
void SetRawDialogReport(bool raw);
// Runs once, inside the modal loop of the next message box, after the box is reported
// and before it is answered: what a browser might do while a box is open.
void SetDialogAction(void (*action)());
// Runs when the user closes the frame, before its windows are destroyed.
void SetCloseHandler(void (*handler)());

// Output: one line, written at once, with no carriage return added.
void Say(const std::string& line);
// A line with \n, \r, \t and backslashes written as C escapes.
std::string Escape(const std::string& text);

// The client area's pixels, top row first, 3 bytes per pixel (blue, green, red).
struct Capture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;
  const uint8_t* At(int x, int y) const {
    return pixels.data() + (static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 3;
  }
};
bool CaptureClient(HWND hwnd, Capture* capture);
bool WriteBmp(const std::string& path, const Capture& capture);

}  // namespace kdzhost
