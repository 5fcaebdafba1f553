// kdzhost: a substitute browser that loads the plug-in, embeds pictures in child
// windows and streams files to it. Runs as a viewer, takes a screenshot, or follows a
// test script (see Usage).
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "kdz/kdz.h"
#include "tools/host/call_check.h"
#include "tools/host/host.h"
#include "viewer/win/viewer_instance.h"
#include "winlib/gdi.h"

namespace kdzhost {
namespace {

const char kUsage[] =
    "usage: kdzhost [--timeout SECONDS] PLUGIN.dll PICTURE.kdz\n"
    "       kdzhost --screenshot OUT.bmp [--timeout SECONDS] PLUGIN.dll PICTURE.kdz\n"
    "       kdzhost --script FILE [--timeout SECONDS] PLUGIN.dll\n"
    "\n"
    "The first form shows the picture in a window of its size until the window is\n"
    "closed. The second waits until the picture is painted, writes the window's client\n"
    "pixels to OUT.bmp (24-bit) and exits 0. In the second and third form, message\n"
    "boxes that the plug-in opens are answered with OK; their caption and text are\n"
    "printed on standard output, one line each, with newlines, carriage returns and\n"
    "tabs written as \\n, \\r and \\t.\n"
    "\n"
    "Script commands (one per line, # starts a comment; NAME names an instance):\n"
    "  registration | exports | entrypoints | display | pump | echo TEXT\n"
    "  new NAME [W H [ATTRIBUTE=VALUE...]] | new-null\n"
    "  setwindow NAME [null|nodesc|bogus|new|new-closing] | setwindow-noinstance\n"
    "  setwindow-norecord | abort NAME network-error|user-break [BYTES]\n"
    "  asfile NAME null|missing | load entrypoints-first|initialize-first | library\n"
    "  heap-mark | heap-check COUNT | stack-check | wndproc NAME [former]\n"
    "  newstream NAME [MIME] | newstream-null | writeready NAME | write NAME LEN\n"
    "  destroystream NAME | print NAME | stream NAME FILE [CHUNK [MIME]]\n"
    "  resize NAME W H | click NAME left|right X Y | menu INDEX|cancel\n"
    "  command NAME ID | send NAME MESSAGE [WPARAM [LPARAM]]\n"
    "  info NAME | screenshot NAME FILE | check-screen NAME [nearest] | pixel NAME X Y\n"
    "  check-drawn NAME W H [X Y] | palette NAME | system-palette NAME | repaint NAME\n"
    "  system-palette-room\n"
    "  destroy NAME | close NAME | shutdown\n"
    "  on-msgbox COMMAND...  (runs COMMAND while the next message box is open)\n";

PluginModule plugin;
std::map<std::string, Instance*> byName;
bool verbose = true;  // protocol lines; message boxes are always reported

void Report(const std::string& line) {
  if (verbose) Say(line);
}

std::string Str(long long value) { return std::to_string(value); }

// Splits a script line into words; "double quotes" keep blanks inside a word.
std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    if (i >= line.size() || line[i] == '#') break;
    std::string word;
    if (line[i] == '"') {
      for (++i; i < line.size() && line[i] != '"'; ++i) word += line[i];
      ++i;
    } else {
      for (; i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r'; ++i) word += line[i];
    }
    words.push_back(word);
  }
  return words;
}

struct ScriptError {
  std::string message;
};

long long Number(const std::string& text) {
  char* end = nullptr;
  long long value = std::strtoll(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0') throw ScriptError{"not a number: " + text};
  return value;
}

int Int(const std::string& text) { return static_cast<int>(Number(text)); }

UINT MessageNumber(const std::string& name) {
  static const std::map<std::string, UINT> names = {
      {"WM_PAINT", WM_PAINT},         {"WM_KEYDOWN", WM_KEYDOWN},
      {"WM_KEYUP", WM_KEYUP},         {"WM_CHAR", WM_CHAR},
      {"WM_TIMER", WM_TIMER},         {"WM_COMMAND", WM_COMMAND},
      {"WM_MOUSEMOVE", WM_MOUSEMOVE}, {"WM_PALETTECHANGED", WM_PALETTECHANGED},
      {"WM_QUERYNEWPALETTE", WM_QUERYNEWPALETTE}, {"WM_USER", WM_USER},
      {"WM_LBUTTONDOWN", WM_LBUTTONDOWN}, {"WM_RBUTTONDOWN", WM_RBUTTONDOWN},
  };
  auto it = names.find(name);
  return it != names.end() ? it->second : static_cast<UINT>(Number(name));
}

Instance* Find(const std::string& name) {
  auto it = byName.find(name);
  if (it == byName.end()) throw ScriptError{"no instance " + name};
  return it->second;
}

void Need(const std::vector<std::string>& w, size_t count) {
  if (w.size() < count) throw ScriptError{"too few words for " + w[0]};
}

void NeedPlugin() {
  if (plugin.module == nullptr) throw ScriptError{"the plug-in is unloaded"};
}

bool ReadFileBytes(const std::string& path, std::vector<uint8_t>* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// The picture size from the file's header, for the window a browser would give it.
void PictureSize(const std::string& path, int* width, int* height) {
  *width = 200;
  *height = 150;
  std::vector<uint8_t> bytes;
  kdz::HeaderInfo header;
  if (!ReadFileBytes(path, &bytes) || !kdz::ReadHeader(bytes.data(), bytes.size(), &header).ok()) return;
  if (header.width > 0 && header.width <= 4096 && header.height > 0 && header.height <= 4096) {
    *width = header.width;
    *height = header.height;
  }
}

// NPP_New as a browser calls it for <embed type=... width=... height=... more...>: the
// embed's attributes in argc, argn and argv, in blocks of the browser's that are
// overwritten and freed when the call returns (the plug-in may not keep them). Reports
// whether the plug-in wrote into them.
Instance* NewInstance(const std::string& name, int width, int height,
                      const std::vector<std::string>& more = {}) {
  NeedPlugin();
  if (byName.count(name) != 0) throw ScriptError{"instance " + name + " exists"};
  auto* instance = new Instance();
  instance->name = name;
  RegisterInstance(instance);
  byName[name] = instance;
  if (!CreateChild(instance, width, height)) throw ScriptError{"cannot create a window"};
  std::vector<std::string> names = {"type", "width", "height"};
  std::vector<std::string> values = {plugin.mimeType, Str(width), Str(height)};
  for (const std::string& attribute : more) {
    const size_t equals = attribute.find('=');
    names.push_back(attribute.substr(0, equals));
    values.push_back(equals == std::string::npos ? "" : attribute.substr(equals + 1));
  }
  std::vector<char*> argn, argv;
  for (size_t i = 0; i < names.size(); ++i) {
    argn.push_back(_strdup(names[i].c_str()));
    argv.push_back(_strdup(values[i].c_str()));
  }
  const std::vector<char*> argnBefore = argn, argvBefore = argv;
  std::string mime = plugin.mimeType;
  NPError result = CallCallback("NPP_New", plugin.funcs.newp, &mime[0], &instance->npp, NP_EMBED,
                                static_cast<int16_t>(names.size()), argn.data(), argv.data(),
                                static_cast<NPSavedData*>(nullptr));
  bool written = argn != argnBefore || argv != argvBefore;
  for (size_t i = 0; i < names.size(); ++i) {
    written = written || names[i] != argn[i] || values[i] != argv[i];
    std::memset(argn[i], 'X', names[i].size());
    std::memset(argv[i], 'X', values[i].size());
    std::free(argnBefore[i]);
    std::free(argvBefore[i]);
  }
  instance->alive = result == NPERR_NO_ERROR;
  Report("new " + name + " -> " + Str(result) + (written ? ", the embed's attributes written" : ""));
  return instance;
}

NPWindow WindowDescription(Instance* instance) {
  NPWindow window = {};
  window.window = instance->child;
  window.width = static_cast<uint32_t>(instance->width);
  window.height = static_cast<uint32_t>(instance->height);
  window.clipRect.right = static_cast<uint16_t>(instance->width);
  window.clipRect.bottom = static_cast<uint16_t>(instance->height);
  window.type = NPWindowTypeWindow;
  return window;
}

NPError SetWindow(Instance* instance) {
  NPWindow window = WindowDescription(instance);
  return CallCallback("NPP_SetWindow", plugin.funcs.setwindow, &instance->npp, &window);
}

// Delivers a file as a browser does: NPP_NewStream, NPP_WriteReady and NPP_Write in
// chunks while the bytes also go to a temporary file, NPP_StreamAsFile with that
// file, NPP_DestroyStream.
void StreamFile(Instance* instance, const std::string& path, int chunk, std::string mime) {
  NeedPlugin();
  std::vector<uint8_t> bytes;
  if (!ReadFileBytes(path, &bytes)) throw ScriptError{"cannot read " + path};
  const std::string prefix = "stream " + instance->name + ": ";
  std::string url = "file:///" + path;
  NPStream stream = {};
  stream.url = url.c_str();
  stream.end = static_cast<uint32_t>(bytes.size());
  uint16_t type = NP_NORMAL;
  NPError result = CallCallback("NPP_NewStream", plugin.funcs.newstream, &instance->npp, &mime[0], &stream,
                                NPBool{0}, &type);
  Report(prefix + "newstream -> " + Str(result) + " stype " + Str(type));

  char directory[MAX_PATH] = {};
  char cacheFile[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, directory);
  if (GetTempFileNameA(directory, "kdz", 0, cacheFile) == 0) throw ScriptError{"no temporary file"};
  FILE* cache = std::fopen(cacheFile, "wb");
  if (cache == nullptr) throw ScriptError{"cannot write the temporary file"};
  size_t offset = 0;
  long long accepted = 0;
  int writes = 0;
  while (offset < bytes.size()) {
    int32_t ready = CallCallback("NPP_WriteReady", plugin.funcs.writeready, &instance->npp, &stream);
    size_t count = std::min<size_t>(static_cast<size_t>(chunk), bytes.size() - offset);
    if (ready <= 0) break;
    count = std::min<size_t>(count, static_cast<size_t>(ready));
    std::fwrite(bytes.data() + offset, 1, count, cache);
    accepted += CallCallback("NPP_Write", plugin.funcs.write, &instance->npp, &stream, static_cast<int32_t>(offset),
                                   static_cast<int32_t>(count), bytes.data() + offset);
    offset += count;
    ++writes;
  }
  std::fclose(cache);
  Report(prefix + "wrote " + Str(static_cast<long long>(offset)) + " bytes in " + Str(writes) +
         " writes, accepted " + Str(accepted));
  if (type == NP_ASFILE || type == NP_ASFILEONLY) {
    CallCallback("NPP_StreamAsFile", plugin.funcs.asfile, &instance->npp, &stream, cacheFile);
    Report(prefix + "asfile done");
  }
  result = CallCallback("NPP_DestroyStream", plugin.funcs.destroystream, &instance->npp, &stream,
                        NPReason{NPRES_DONE});
  Report(prefix + "destroystream -> " + Str(result));
  DeleteFileA(cacheFile);
}

bool BrowserSaw(const Instance* instance, UINT message, WPARAM wParam, LPARAM lParam) {
  for (const LoggedMessage& m : instance->log) {
    if (m.message == message && m.wParam == wParam && m.lParam == lParam) return true;
  }
  return false;
}

void DestroyInstance(Instance* instance) {
  NPSavedData sentinel = {};
  NPSavedData* saved = &sentinel;
  NPError result = CallCallback("NPP_Destroy", plugin.funcs.destroy, &instance->npp, &saved);
  instance->alive = false;
  Report("destroy " + instance->name + " -> " + Str(result) +
         (saved == &sentinel ? " saved untouched" : " saved written"));
}

const BITMAPINFOHEADER* BitmapOf(const Instance* instance) {
  const auto* record = static_cast<const ViewerInstance*>(instance->npp.pdata);
  if (record == nullptr || record->bitmap == nullptr) return nullptr;
  return reinterpret_cast<const BITMAPINFOHEADER*>(record->bitmap);
}

void Info(Instance* instance) {
  const std::string prefix = "info " + instance->name + ": ";
  const auto* record = static_cast<const ViewerInstance*>(instance->npp.pdata);
  if (record == nullptr) return Report(prefix + "no record");
  const BITMAPINFOHEADER* header = BitmapOf(instance);
  if (header == nullptr) return Report(prefix + "no image");
  // The block must still belong to the heap and hold the whole picture.
  const size_t stride = (static_cast<size_t>(header->biWidth) * header->biBitCount / 8 + 3) & ~size_t{3};
  const size_t needed = 1064 + stride * static_cast<size_t>(header->biHeight);
  HGLOBAL handle = GlobalHandle(record->bitmap);
  const bool live = handle != nullptr && GlobalSize(handle) >= needed;
  char ratio[64];
  std::snprintf(ratio, sizeof ratio, "%.6f", record->compressionRatio);
  const bool timeOk = record->decodeTime >= 0.0 && record->decodeTime < 60.0;
  Report(prefix + "image " + Str(header->biWidth) + "x" + Str(header->biHeight) + " " +
         Str(header->biBitCount) + "-bit, ratio " + ratio + ", decode time " +
         (timeOk ? "ok" : "out of range") + ", bitmap block " + (live ? "live" : "released"));
}

const uint8_t* ColourTable(const BITMAPINFOHEADER* header) {
  return reinterpret_cast<const uint8_t*>(header) + header->biSize;
}

// Palette index of picture pixel (x, y), top row first.
uint8_t IndexAt(const BITMAPINFOHEADER* header, int x, int y) {
  const uint8_t* pixels = ColourTable(header) + 1024;
  const size_t stride = (static_cast<size_t>(header->biWidth) + 3) & ~size_t{3};
  return pixels[static_cast<size_t>(header->biHeight - 1 - y) * stride + static_cast<size_t>(x)];
}

HPALETTE PaletteOf(const Instance* instance) {
  const auto* record = static_cast<const ViewerInstance*>(instance->npp.pdata);
  return record != nullptr && record->palette != nullptr ? record->palette->handle() : nullptr;
}

std::string Rgb(const uint8_t* bgr) {
  return Str(bgr[2]) + " " + Str(bgr[1]) + " " + Str(bgr[0]);
}

// Compares the window's pixels with the instance's 8-bit bitmap drawn at its own size:
// with the colour table's colours, or (nearest) with the colours the device shows for
// them, as GetNearestColor reports them with the instance's palette selected.
void CheckScreen(Instance* instance, bool nearest) {
  const std::string prefix = "screen " + instance->name + ": ";
  PumpMessages();
  const BITMAPINFOHEADER* header = BitmapOf(instance);
  Capture capture;
  if (!CaptureClient(instance->child, &capture)) return Report(prefix + "capture failed");
  if (header == nullptr) return Report(prefix + "no image to compare");
  if (header->biBitCount != 8 || capture.width != header->biWidth ||
      capture.height != header->biHeight) {
    return Report(prefix + "window and bitmap differ in size");
  }
  uint8_t want[256][3];
  const uint8_t* table = ColourTable(header);
  for (int i = 0; i < 256; ++i) std::memcpy(want[i], table + 4 * i, 3);
  if (nearest) {
    HDC dc = GetDC(instance->child);
    HPALETTE palette = PaletteOf(instance);
    HPALETTE previous = palette != nullptr ? SelectPalette(dc, palette, TRUE) : nullptr;
    for (int i = 0; i < 256; ++i) {
      const COLORREF c = GetNearestColor(dc, RGB(want[i][2], want[i][1], want[i][0]));
      want[i][0] = GetBValue(c);
      want[i][1] = GetGValue(c);
      want[i][2] = GetRValue(c);
    }
    if (palette != nullptr) SelectPalette(dc, previous, TRUE);
    ReleaseDC(instance->child, dc);
  }
  long long differing = 0;
  std::string first;
  for (int y = 0; y < capture.height; ++y) {
    for (int x = 0; x < capture.width; ++x) {
      const uint8_t* expected = want[IndexAt(header, x, y)];
      const uint8_t* got = capture.At(x, y);
      if (got[0] != expected[0] || got[1] != expected[1] || got[2] != expected[2]) {
        if (differing++ == 0) {
          first = " (first at " + Str(x) + "," + Str(y) + ": " + Rgb(got) + " instead of " + Rgb(expected) + ")";
        }
      }
    }
  }
  if (differing == 0) return Report(prefix + (nearest ? "matches the nearest device colours" : "matches bitmap"));
  Report(prefix + Str(differing) + " pixels differ" + first);
}

// Compares the window's pixels with the instance's bitmap stretched by the host itself
// to width x height at (x, y) over the white background of the window class, the way
// a paint at those extents and that pan offset leaves the window.
void CheckDrawn(Instance* instance, int width, int height, int x, int y) {
  const std::string prefix = "drawn " + instance->name + ": ";
  PumpMessages();
  const BITMAPINFOHEADER* header = BitmapOf(instance);
  Capture capture;
  if (!CaptureClient(instance->child, &capture)) return Report(prefix + "capture failed");
  if (header == nullptr) return Report(prefix + "no image to compare");

  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  ReleaseDC(nullptr, screen);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = capture.width;
  info.bmiHeader.biHeight = -capture.height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  void* bits = nullptr;
  HBITMAP section = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (section == nullptr) {
    DeleteDC(memory);
    return Report(prefix + "no reference bitmap");
  }
  HGDIOBJ previous = SelectObject(memory, section);
  RECT all = {0, 0, capture.width, capture.height};
  FillRect(memory, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  SetStretchBltMode(memory, COLORONCOLOR);
  StretchDIBits(memory, x, y, width, height, 0, 0, header->biWidth, header->biHeight,
                ColourTable(header) + 1024, reinterpret_cast<const BITMAPINFO*>(header),
                DIB_RGB_COLORS, SRCCOPY);
  GdiFlush();
  const size_t stride = (static_cast<size_t>(capture.width) * 3 + 3) & ~size_t{3};
  long long differing = 0;
  std::string first;
  for (int row = 0; row < capture.height; ++row) {
    for (int column = 0; column < capture.width; ++column) {
      const uint8_t* want = static_cast<const uint8_t*>(bits) + stride * static_cast<size_t>(row) +
                            static_cast<size_t>(column) * 3;
      const uint8_t* got = capture.At(column, row);
      if (got[0] != want[0] || got[1] != want[1] || got[2] != want[2]) {
        if (differing++ == 0) {
          first = " (first at " + Str(column) + "," + Str(row) + ": " + Rgb(got) + " instead of " + Rgb(want) + ")";
        }
      }
    }
  }
  SelectObject(memory, previous);
  DeleteObject(section);
  DeleteDC(memory);
  const std::string what = Str(width) + "x" + Str(height) + " at " + Str(x) + "," + Str(y);
  if (differing == 0) return Report(prefix + "matches " + what);
  Report(prefix + Str(differing) + " pixels differ from " + what + first);
}

// Palette objects seen so far, numbered in the order the host met them.
std::vector<HPALETTE> seenPalettes;

// The instance's logical palette: whether there is one, which one, and whether its
// entries are the bitmap's colour table.
void PaletteReport(Instance* instance) {
  const std::string prefix = "palette " + instance->name + ": ";
  const auto* record = static_cast<const ViewerInstance*>(instance->npp.pdata);
  if (record == nullptr) return Report(prefix + "no record");
  if (record->palette == nullptr) return Report(prefix + "none");
  HPALETTE palette = record->palette->handle();
  if (palette == nullptr) return Report(prefix + "an object without a palette");
  size_t number = std::find(seenPalettes.begin(), seenPalettes.end(), palette) - seenPalettes.begin();
  if (number == seenPalettes.size()) seenPalettes.push_back(palette);
  std::string text = prefix + "object " + Str(static_cast<long long>(number + 1));
  PALETTEENTRY entries[256] = {};
  const UINT count = GetPaletteEntries(palette, 0, 256, entries);
  const BITMAPINFOHEADER* header = BitmapOf(instance);
  if (header == nullptr) return Report(text + ", " + Str(count) + " entries, no image");
  const uint8_t* table = ColourTable(header);
  int differing = 0;
  for (UINT i = 0; i < count; ++i) {
    const uint8_t* c = table + 4 * i;
    if (entries[i].peRed != c[2] || entries[i].peGreen != c[1] || entries[i].peBlue != c[0] ||
        entries[i].peFlags != 0) {
      ++differing;
    }
  }
  Report(text + ", " + Str(count) + " entries" +
         (differing == 0 ? " from the colour table" : ", " + Str(differing) + " differ from the colour table"));
}

// How many of the colours the picture uses the system palette holds: a palette
// realised in the foreground puts them there, as far as there is room.
void SystemPaletteReport(Instance* instance) {
  const std::string prefix = "system palette " + instance->name + ": ";
  const BITMAPINFOHEADER* header = BitmapOf(instance);
  if (header == nullptr) return Report(prefix + "no image");
  std::vector<bool> used(256, false);
  for (int y = 0; y < header->biHeight; ++y) {
    for (int x = 0; x < header->biWidth; ++x) used[IndexAt(header, x, y)] = true;
  }
  const uint8_t* table = ColourTable(header);
  std::vector<COLORREF> colours;
  for (int i = 0; i < 256; ++i) {
    if (!used[static_cast<size_t>(i)]) continue;
    const uint8_t* c = table + 4 * i;
    const COLORREF colour = RGB(c[2], c[1], c[0]);
    if (std::find(colours.begin(), colours.end(), colour) == colours.end()) colours.push_back(colour);
  }
  HDC dc = GetDC(nullptr);
  PALETTEENTRY system[256] = {};
  const UINT count = GetSystemPaletteEntries(dc, 0, 256, system);
  ReleaseDC(nullptr, dc);
  size_t held = 0;
  for (COLORREF colour : colours) {
    for (UINT i = 0; i < count; ++i) {
      if (RGB(system[i].peRed, system[i].peGreen, system[i].peBlue) == colour) {
        ++held;
        break;
      }
    }
  }
  Report(prefix + Str(count) + " entries, holding " + Str(static_cast<long long>(held)) + " of the " +
         Str(static_cast<long long>(colours.size())) + " colours the picture uses");
}

// The room a foreground palette finds in the system palette: the host realises a
// palette of 256 colours that no system palette starts with, in the foreground, from
// its frame window, and counts how many of them the system palette then holds.
void SystemPaletteRoom() {
  struct {
    WORD version;
    WORD count;
    PALETTEENTRY entries[256];
  } log = {0x300, 256, {}};
  for (int i = 0; i < 256; ++i) {
    log.entries[i] = PALETTEENTRY{static_cast<BYTE>(i), static_cast<BYTE>(255 - i), 7, 0};
  }
  HPALETTE palette = CreatePalette(reinterpret_cast<const LOGPALETTE*>(&log));
  if (palette == nullptr) return Report("system palette room: no palette");
  HDC dc = GetDC(Frame());
  HPALETTE previous = SelectPalette(dc, palette, FALSE);
  RealizePalette(dc);
  PALETTEENTRY system[256] = {};
  const UINT count = GetSystemPaletteEntries(dc, 0, 256, system);
  int held = 0;
  for (UINT i = 0; i < count; ++i) {
    if (system[i].peBlue == 7 && system[i].peRed + system[i].peGreen == 255) ++held;
  }
  SelectPalette(dc, previous, FALSE);
  ReleaseDC(Frame(), dc);
  DeleteObject(palette);
  Report("system palette room: " + Str(held));
}

void Entrypoints() {
  NeedPlugin();
  // Every field holds a marker, so that what the library writes shows.
  NPPluginFuncs table;
  std::memset(&table, 0x5A, sizeof table);
  const NPPluginFuncs before = table;
  NPError result = CallExport("NP_GetEntryPoints", plugin.getEntryPoints, &table);
  Report("entrypoints -> " + Str(result));
  Report(std::string("entrypoints: size ") + (table.size == before.size ? "kept" : "changed") +
         ", version " + (table.version == before.version ? "kept" : "changed"));
  struct Slot {
    const char* name;
    const void* after;
    const void* marker;
  };
  auto slot = [](const char* name, const void* after, const void* marker) { return Slot{name, after, marker}; };
  const Slot slots[] = {
      slot("newp", reinterpret_cast<const void*>(table.newp), reinterpret_cast<const void*>(before.newp)),
      slot("destroy", reinterpret_cast<const void*>(table.destroy), reinterpret_cast<const void*>(before.destroy)),
      slot("setwindow", reinterpret_cast<const void*>(table.setwindow), reinterpret_cast<const void*>(before.setwindow)),
      slot("newstream", reinterpret_cast<const void*>(table.newstream), reinterpret_cast<const void*>(before.newstream)),
      slot("destroystream", reinterpret_cast<const void*>(table.destroystream), reinterpret_cast<const void*>(before.destroystream)),
      slot("asfile", reinterpret_cast<const void*>(table.asfile), reinterpret_cast<const void*>(before.asfile)),
      slot("writeready", reinterpret_cast<const void*>(table.writeready), reinterpret_cast<const void*>(before.writeready)),
      slot("write", reinterpret_cast<const void*>(table.write), reinterpret_cast<const void*>(before.write)),
      slot("print", reinterpret_cast<const void*>(table.print), reinterpret_cast<const void*>(before.print)),
      slot("event", table.event, before.event),
      slot("urlnotify", table.urlnotify, before.urlnotify),
      slot("javaClass", table.javaClass, before.javaClass),
      slot("getvalue", table.getvalue, before.getvalue),
      slot("setvalue", table.setvalue, before.setvalue),
  };
  std::string filled, untouched;
  for (const Slot& s : slots) {
    std::string& list = s.after != s.marker ? filled : untouched;
    list += std::string(list.empty() ? "" : " ") + s.name;
  }
  Report("entrypoints: filled " + filled);
  Report("entrypoints: untouched " + untouched);
  Report(std::string("entrypoints -> ") +
         Str(CallExport("NP_GetEntryPoints", plugin.getEntryPoints, static_cast<NPPluginFuncs*>(nullptr))) +
         " for no table");
}

// Busy blocks in every heap of the process (the C runtime's and the global heap).
long long BusyHeapBlocks() {
  HANDLE heaps[256];
  const DWORD count = GetProcessHeaps(256, heaps);
  long long blocks = 0;
  for (DWORD i = 0; i < count && i < 256; ++i) {
    if (!HeapLock(heaps[i])) continue;
    PROCESS_HEAP_ENTRY entry = {};
    while (HeapWalk(heaps[i], &entry)) {
      if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0) ++blocks;
    }
    HeapUnlock(heaps[i]);
  }
  return blocks;
}
long long heapMark = 0;

// A stream that the browser ends before any file exists: NPP_NewStream, BYTES bytes
// through NPP_WriteReady and NPP_Write, then NPP_DestroyStream with `reason`.
void AbortStream(Instance* instance, NPReason reason, const std::string& reasonName, int bytes) {
  NeedPlugin();
  const std::string prefix = "abort " + instance->name + " " + reasonName + ": ";
  std::string mime = plugin.mimeType;
  std::string url = "http://example.invalid/picture.kdz";
  NPStream stream = {};
  stream.url = url.c_str();
  stream.end = static_cast<uint32_t>(bytes) * 2;
  uint16_t type = NP_NORMAL;
  NPError result = CallCallback("NPP_NewStream", plugin.funcs.newstream, &instance->npp, &mime[0], &stream,
                                NPBool{0}, &type);
  std::vector<uint8_t> data(static_cast<size_t>(std::max(bytes, 1)), 0x51);
  int32_t accepted = 0;
  if (bytes > 0 && CallCallback("NPP_WriteReady", plugin.funcs.writeready, &instance->npp, &stream) > 0) {
    accepted = CallCallback("NPP_Write", plugin.funcs.write, &instance->npp, &stream, int32_t{0},
                            static_cast<int32_t>(bytes), static_cast<void*>(data.data()));
  }
  NPError ended = CallCallback("NPP_DestroyStream", plugin.funcs.destroystream, &instance->npp, &stream, reason);
  Report(prefix + "newstream -> " + Str(result) + " stype " + Str(type) + ", accepted " + Str(accepted) +
         " of " + Str(bytes) + " bytes, destroystream -> " + Str(ended));
}

// NPP_StreamAsFile with no file name (what browsers pass when saving the stream failed)
// or with the name of a file that does not exist, between NPP_NewStream and
// NPP_DestroyStream.
void AsFileWithout(Instance* instance, bool null) {
  NeedPlugin();
  const std::string prefix = "asfile " + instance->name + (null ? " null" : " missing") + ": ";
  std::string mime = plugin.mimeType;
  NPStream stream = {};
  uint16_t type = NP_NORMAL;
  NPError result = CallCallback("NPP_NewStream", plugin.funcs.newstream, &instance->npp, &mime[0], &stream,
                                NPBool{0}, &type);
  char directory[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, directory);
  const std::string missing = std::string(directory) + "kdzhost-no-such-file.kdz";
  DeleteFileA(missing.c_str());
  CallCallback("NPP_StreamAsFile", plugin.funcs.asfile, &instance->npp, &stream,
               null ? static_cast<const char*>(nullptr) : missing.c_str());
  NPError ended = CallCallback("NPP_DestroyStream", plugin.funcs.destroystream, &instance->npp, &stream,
                               NPReason{null ? NPRES_NETWORK_ERR : NPRES_DONE});
  Report(prefix + "newstream -> " + Str(result) + ", asfile done, destroystream -> " + Str(ended));
}

void RunCommand(const std::vector<std::string>& w);

std::vector<std::string> pendingDialogCommand;

void RunPendingDialogCommand() {
  std::vector<std::string> words;
  words.swap(pendingDialogCommand);
  try {
    RunCommand(words);
  } catch (const ScriptError& e) {
    Say("on-msgbox failed: " + e.message);
  }
}

void RunCommand(const std::vector<std::string>& w) {
  const std::string& c = w[0];
  if (c == "echo") {
    std::string text;
    for (size_t i = 1; i < w.size(); ++i) text += (i > 1 ? " " : "") + w[i];
    Report(text);
  } else if (c == "registration") {
    Report("MIMEType " + plugin.mimeType);
    Report("FileExtents " + plugin.fileExtents);
    Report("FileOpenName " + plugin.fileOpenName);
  } else if (c == "exports") {
    NeedPlugin();
    std::string found;
    for (const char* name : {"NP_GetEntryPoints", "NP_PluginInit", "NP_PluginShutdown",
                             "NP_Initialize", "NP_Shutdown"}) {
      found += std::string(" ") + name + (GetProcAddress(plugin.module, name) ? " yes" : " no");
    }
    Report("exports:" + found);
  } else if (c == "entrypoints") {
    Entrypoints();
  } else if (c == "display") {
    HDC dc = GetDC(nullptr);
    Report("display: " + Str(GetDeviceCaps(dc, BITSPIXEL)) + " bits" +
           ((GetDeviceCaps(dc, RASTERCAPS) & RC_PALETTE) ? ", palette" : ", no palette"));
    ReleaseDC(nullptr, dc);
  } else if (c == "pump") {
    PumpMessages();
  } else if (c == "new") {
    Need(w, 2);
    NewInstance(w[1], w.size() >= 4 ? Int(w[2]) : 200, w.size() >= 4 ? Int(w[3]) : 150,
                std::vector<std::string>(w.begin() + std::min<size_t>(w.size(), 4), w.end()));
  } else if (c == "load") {
    Need(w, 2);
    if (plugin.module != nullptr) throw ScriptError{"the plug-in is loaded"};
    LoadOrder order = w[1] == "initialize-first" ? LoadOrder::kInitializeFirst
                      : w[1] == "entrypoints-first" ? LoadOrder::kEntryPointsThenInitialize
                                                    : throw ScriptError{"no load order " + w[1]};
    std::string error;
    const bool loaded = LoadPlugin(plugin.path, &plugin, &error, order);
    std::string calls;
    for (const std::string& call : plugin.calls) calls += (calls.empty() ? "" : ", ") + call;
    Report("load " + w[1] + ": " + calls + (loaded ? "" : " (" + error + ")"));
  } else if (c == "library") {
    HMODULE module = GetModuleHandleA(plugin.path.c_str());
    // Once unloaded, the library has left no thread of its own running.
    const int more = ThreadsInProcess() - plugin.threadsBeforeLoad;
    Report(module != nullptr ? std::string("library: loaded")
           : more == 0       ? std::string("library: unloaded, threads as before the load")
                             : "library: unloaded, " + Str(more) + (more == 1 ? " thread" : " threads") +
                                   " more than before the load");
  } else if (c == "abort") {
    Need(w, 3);
    const bool user = w[2] == "user-break";
    if (!user && w[2] != "network-error") throw ScriptError{"no reason " + w[2]};
    AbortStream(Find(w[1]), user ? NPRES_USER_BREAK : NPRES_NETWORK_ERR, w[2], w.size() > 3 ? Int(w[3]) : 0);
  } else if (c == "asfile") {
    Need(w, 3);
    if (w[2] != "null" && w[2] != "missing") throw ScriptError{"asfile NAME null|missing"};
    AsFileWithout(Find(w[1]), w[2] == "null");
  } else if (c == "heap-mark") {
    heapMark = BusyHeapBlocks();
  } else if (c == "heap-check") {
    // After COUNT repetitions of the same calls: a block left by each would show as
    // COUNT more; the heaps' own bookkeeping (Wine's message boxes among it) moves
    // the count by a few at most.
    Need(w, 2);
    const long long count = Number(w[1]);
    const long long more = BusyHeapBlocks() - heapMark;
    Report(more < count ? "heap: less than a block per repetition (" + w[1] + ")"
                        : "heap: " + Str(more) + " blocks more after " + w[1] + " repetitions");
  } else if (c == "stack-check") {
#if defined(__i386__)
    Report("stack check: " + Str(CheckedCalls()) + " calls into the plug-in, each as its convention requires");
#else
    Report("stack check: not needed on 64-bit Windows");
#endif
  } else if (c == "new-null") {
    NeedPlugin();
    std::string mime = plugin.mimeType;
    Report("new-null -> " + Str(CallCallback("NPP_New", plugin.funcs.newp, &mime[0], nullptr, NP_EMBED,
                                             int16_t{0}, nullptr, nullptr, nullptr)));
  } else if (c == "setwindow") {
    Need(w, 2);
    NeedPlugin();
    Instance* instance = Find(w[1]);
    const std::string variant = w.size() > 2 ? w[2] : "";
    NPWindow window = WindowDescription(instance);
    NPError result;
    if (variant == "nodesc") {
      result = CallCallback("NPP_SetWindow", plugin.funcs.setwindow, &instance->npp, nullptr);
    } else {
      if (variant == "new" || variant == "new-closing") {
        // The browser gives the instance another window, as when it rebuilds the
        // part of the page that holds it; the old one is hidden or destroyed.
        HWND former = instance->child;
        if (variant == "new-closing") {
          DestroyWindow(former);
        } else {
          ShowWindow(former, SW_HIDE);
          instance->former = former;
        }
        if (!CreateChild(instance, instance->width, instance->height)) {
          throw ScriptError{"cannot create a window"};
        }
        window = WindowDescription(instance);
      }
      if (variant == "null") window.window = nullptr;
      if (variant == "bogus") window.window = reinterpret_cast<void*>(static_cast<uintptr_t>(0x4242));
      result = CallCallback("NPP_SetWindow", plugin.funcs.setwindow, &instance->npp, &window);
    }
    Report("setwindow " + w[1] + (variant.empty() ? "" : " " + variant) + " -> " + Str(result));
  } else if (c == "setwindow-noinstance" || c == "setwindow-norecord") {
    NeedPlugin();
    NPWindow window = {};
    window.window = Frame();
    NPP_t empty = {};
    Report(c + " -> " + Str(CallCallback("NPP_SetWindow", plugin.funcs.setwindow,
                                         c == "setwindow-norecord" ? &empty : nullptr, &window)));
  } else if (c == "newstream" || c == "newstream-null") {
    NeedPlugin();
    Instance* instance = c == "newstream" ? (Need(w, 2), Find(w[1])) : nullptr;
    std::string mime = c == "newstream" && w.size() > 2 ? w[2] : plugin.mimeType;
    void* marker = reinterpret_cast<void*>(static_cast<uintptr_t>(0x5A5A));
    NPStream stream = {};
    stream.pdata = marker;
    uint16_t type = 0x5A5A;
    NPError result = CallCallback("NPP_NewStream", plugin.funcs.newstream, instance ? &instance->npp : nullptr,
                                  &mime[0], &stream, NPBool{0}, &type);
    std::string pdata = stream.pdata == marker ? "untouched"
                        : instance && stream.pdata == instance->npp.pdata ? "record" : "other";
    Report(c + (instance ? " " + instance->name : "") + (w.size() > 2 ? " " + w[2] : "") + " -> " +
           Str(result) + " stype " +
           (type == 0x5A5A ? "untouched" : Str(type)) + " pdata " + pdata);
  } else if (c == "writeready") {
    Need(w, 2);
    NeedPlugin();
    NPStream stream = {};
    Report("writeready " + w[1] + " -> " +
           Str(CallCallback("NPP_WriteReady", plugin.funcs.writeready, &Find(w[1])->npp, &stream)));
  } else if (c == "write") {
    Need(w, 3);
    NeedPlugin();
    NPStream stream = {};
    std::vector<uint8_t> data(static_cast<size_t>(std::max(Int(w[2]), 1)), 0x33);
    Report("write " + w[1] + " " + w[2] + " -> " +
           Str(CallCallback("NPP_Write", plugin.funcs.write, &Find(w[1])->npp, &stream, int32_t{0},
                            static_cast<int32_t>(Int(w[2])), static_cast<void*>(data.data()))));
  } else if (c == "destroystream") {
    Need(w, 2);
    NeedPlugin();
    NPStream stream = {};
    Report("destroystream " + w[1] + " -> " +
           Str(CallCallback("NPP_DestroyStream", plugin.funcs.destroystream, &Find(w[1])->npp, &stream,
                            NPReason{NPRES_DONE})));
  } else if (c == "print") {
    Need(w, 2);
    NeedPlugin();
    CallCallback("NPP_Print", plugin.funcs.print, &Find(w[1])->npp, nullptr);
    Report("print " + w[1] + " done");
  } else if (c == "stream") {
    Need(w, 3);
    StreamFile(Find(w[1]), w[2], w.size() > 3 ? Int(w[3]) : 4096, w.size() > 4 ? w[4] : plugin.mimeType);
  } else if (c == "resize") {
    Need(w, 4);
    NeedPlugin();
    Instance* instance = Find(w[1]);
    ResizeChild(instance, Int(w[2]), Int(w[3]));
    Report("resize " + w[1] + " -> " + Str(SetWindow(instance)));
  } else if (c == "click") {
    Need(w, 5);
    Instance* instance = Find(w[1]);
    const bool right = w[2] == "right";
    const LPARAM point = MAKELPARAM(Int(w[3]), Int(w[4]));
    const UINT down = right ? WM_RBUTTONDOWN : WM_LBUTTONDOWN;
    const WPARAM keys = right ? MK_RBUTTON : MK_LBUTTON;
    instance->log.clear();
    SendMessageA(instance->child, down, keys, point);
    SendMessageA(instance->child, right ? WM_RBUTTONUP : WM_LBUTTONUP, 0, point);
    // The menu's modal loop announces itself to the window that owns the menu.
    const bool menuOpened = std::any_of(instance->log.begin(), instance->log.end(),
                                        [](const LoggedMessage& m) { return m.message == WM_ENTERMENULOOP; });
    Report("click " + w[1] + " " + w[2] + " " + w[3] + " " + w[4] + ": browser " +
           (BrowserSaw(instance, down, keys, point) ? "saw" : "did not see") + " the button" +
           (right ? (menuOpened ? ", menu opened" : ", no menu") : ""));
  } else if (c == "on-msgbox") {
    Need(w, 2);
    pendingDialogCommand.assign(w.begin() + 1, w.end());
    SetDialogAction(RunPendingDialogCommand);
  } else if (c == "menu") {
    Need(w, 2);
    SetMenuChoice(w[1] == "cancel" ? -1 : Int(w[1]));
  } else if (c == "command" || c == "send") {
    Need(w, 3);
    Instance* instance = Find(w[1]);
    const UINT message = c == "command" ? WM_COMMAND : MessageNumber(w[2]);
    const WPARAM wParam = c == "command" ? MAKEWPARAM(Int(w[2]), 0)
                          : w.size() > 3 ? static_cast<WPARAM>(Number(w[3])) : 0;
    const LPARAM lParam = c == "send" && w.size() > 4 ? static_cast<LPARAM>(Number(w[4])) : 0;
    instance->log.clear();
    SendMessageA(instance->child, message, wParam, lParam);
    Report(c + " " + w[1] + " " + w[2] + ": browser " +
           (BrowserSaw(instance, message, wParam, lParam) ? "saw it" : "did not see it"));
  } else if (c == "wndproc") {
    Need(w, 2);
    Instance* instance = Find(w[1]);
    const bool former = w.size() > 2 && w[2] == "former";
    HWND hwnd = former ? instance->former : instance->child;
    const std::string prefix = "wndproc " + w[1] + (former ? " former" : "") + ": ";
    if (hwnd == nullptr || !IsWindow(hwnd)) return Report(prefix + "window gone");
    Report(prefix + (HasOwnProcedure(hwnd) ? "browser's own" : "taken over") + ", window alive");
  } else if (c == "info") {
    Need(w, 2);
    Info(Find(w[1]));
  } else if (c == "screenshot") {
    Need(w, 3);
    Instance* instance = Find(w[1]);
    PumpMessages();
    Capture capture;
    bool ok = CaptureClient(instance->child, &capture) && WriteBmp(w[2], capture);
    Report("screenshot " + w[1] + ": " + (ok ? Str(capture.width) + "x" + Str(capture.height) + " written" : "failed"));
  } else if (c == "check-screen") {
    Need(w, 2);
    CheckScreen(Find(w[1]), w.size() > 2 && w[2] == "nearest");
  } else if (c == "check-drawn") {
    Need(w, 4);
    CheckDrawn(Find(w[1]), Int(w[2]), Int(w[3]), w.size() > 5 ? Int(w[4]) : 0, w.size() > 5 ? Int(w[5]) : 0);
  } else if (c == "palette") {
    Need(w, 2);
    PaletteReport(Find(w[1]));
  } else if (c == "system-palette") {
    Need(w, 2);
    SystemPaletteReport(Find(w[1]));
  } else if (c == "system-palette-room") {
    SystemPaletteRoom();
  } else if (c == "repaint") {
    Need(w, 2);
    Instance* instance = Find(w[1]);
    InvalidateRect(instance->child, nullptr, TRUE);
    UpdateWindow(instance->child);
    Report("repaint " + w[1] + " done");
  } else if (c == "pixel") {
    Need(w, 4);
    Instance* instance = Find(w[1]);
    PumpMessages();
    Capture capture;
    const int x = Int(w[2]), y = Int(w[3]);
    if (!CaptureClient(instance->child, &capture) || x < 0 || y < 0 || x >= capture.width || y >= capture.height) {
      return Report("pixel " + w[1] + ": outside the window");
    }
    const uint8_t* p = capture.At(x, y);
    Report("pixel " + w[1] + " " + w[2] + " " + w[3] + ": " + Str(p[2]) + " " + Str(p[1]) + " " + Str(p[0]));
  } else if (c == "destroy") {
    Need(w, 2);
    NeedPlugin();
    DestroyInstance(Find(w[1]));
  } else if (c == "close") {
    Need(w, 2);
    Instance* instance = Find(w[1]);
    if (instance->child != nullptr) DestroyWindow(instance->child);
    Report("close " + w[1] + " done");
  } else if (c == "shutdown") {
    NeedPlugin();
    Report("shutdown -> " + Str(UnloadPlugin(&plugin)));
  } else {
    throw ScriptError{"unknown command " + c};
  }
}

void EndAll() {
  for (Instance* instance : std::vector<Instance*>(Instances())) {
    if (instance->alive && plugin.module != nullptr) {
      NPSavedData* saved = nullptr;
      CallCallback("NPP_Destroy", plugin.funcs.destroy, &instance->npp, &saved);
      instance->alive = false;
    }
  }
}

void CloseFrame() { EndAll(); }

// Ends the process when a run takes far too long, so that a test never hangs.
DWORD WINAPI Watchdog(LPVOID parameter) {
  Sleep(static_cast<DWORD>(reinterpret_cast<uintptr_t>(parameter)));
  std::fputs("kdzhost: timed out\n", stderr);
  std::fflush(stdout);
  ExitProcess(3);
}

int RunScript(const std::string& scriptPath) {
  std::ifstream in(scriptPath);
  if (!in) {
    std::fprintf(stderr, "kdzhost: cannot read %s\n", scriptPath.c_str());
    return 2;
  }
  std::string line;
  int lineNumber = 0;
  while (std::getline(in, line)) {
    ++lineNumber;
    std::vector<std::string> words = Words(line);
    if (words.empty()) continue;
    try {
      RunCommand(words);
      PumpMessages();
    } catch (const ScriptError& e) {
      std::fprintf(stderr, "kdzhost: %s:%d: %s\n", scriptPath.c_str(), lineNumber, e.message.c_str());
      return 2;
    }
  }
  return 0;
}

int Main(int argc, char** argv) {
  std::string screenshot, script;
  int timeoutSeconds = 0;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if ((arg == "--screenshot" || arg == "--script" || arg == "--timeout") && i + 1 < argc) {
      std::string value = argv[++i];
      if (arg == "--screenshot") screenshot = value;
      if (arg == "--script") script = value;
      if (arg == "--timeout") timeoutSeconds = std::atoi(value.c_str());
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != (script.empty() ? 2u : 1u)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (timeoutSeconds == 0 && (!script.empty() || !screenshot.empty())) timeoutSeconds = 120;
  if (timeoutSeconds > 0) {
    CreateThread(nullptr, 0, Watchdog,
                 reinterpret_cast<LPVOID>(static_cast<uintptr_t>(timeoutSeconds) * 1000u), 0, nullptr);
  }

  verbose = !script.empty();
  SetRawDialogReport(script.empty());
  const bool interactive = script.empty() && screenshot.empty();
  if (!CreateFrame(interactive ? ("kdzhost - " + positional[1]).c_str() : "kdzhost")) {
    std::fputs("kdzhost: cannot create the frame window\n", stderr);
    return 1;
  }
  // As a viewer, message boxes wait for the user; otherwise they are answered.
  if (!interactive) StartDialogWatch();
  std::string error;
  if (!LoadPlugin(positional[0], &plugin, &error)) {
    std::fprintf(stderr, "kdzhost: %s\n", error.c_str());
    return 1;
  }

  int status = 0;
  if (!script.empty()) {
    status = RunScript(script);
  } else {
    int width, height;
    PictureSize(positional[1], &width, &height);
    try {
      Instance* instance = NewInstance("picture", width, height);
      SetWindow(instance);
      StreamFile(instance, positional[1], 4096, plugin.mimeType);
      PumpMessages();
      if (!screenshot.empty()) {
        Capture capture;
        if (!CaptureClient(instance->child, &capture) || !WriteBmp(screenshot, capture)) {
          std::fprintf(stderr, "kdzhost: cannot write %s\n", screenshot.c_str());
          status = 1;
        }
      } else {
        SetCloseHandler(CloseFrame);
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
          TranslateMessage(&msg);
          DispatchMessageA(&msg);
        }
      }
    } catch (const ScriptError& e) {
      std::fprintf(stderr, "kdzhost: %s\n", e.message.c_str());
      status = 1;
    }
  }
  EndAll();
  if (plugin.module != nullptr) UnloadPlugin(&plugin);
  if (Frame() != nullptr) DestroyWindow(Frame());
  return status;
}

}  // namespace
}  // namespace kdzhost

int main(int argc, char** argv) {
  // Output lines end in a bare newline, also on Windows.
  _setmode(_fileno(stdout), _O_BINARY);
  return kdzhost::Main(argc, argv);
}
