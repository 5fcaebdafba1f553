// The browser plug-in interface as this plug-in and its test host use it: basic types,
// result codes, records and the callback table, in the browser's field order.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#define NP_EXPORT_CALL __stdcall
#define NP_CALLBACK __cdecl
#else
#define NP_EXPORT_CALL
#define NP_CALLBACK
#endif

typedef int16_t NPError;
typedef unsigned char NPBool;
typedef int16_t NPReason;
typedef char* NPMIMEType;

enum : NPError {
  NPERR_NO_ERROR = 0,
  NPERR_GENERIC_ERROR = 1,
  NPERR_INVALID_INSTANCE_ERROR = 2,
  NPERR_INVALID_FUNCTABLE_ERROR = 3,
  NPERR_MODULE_LOAD_FAILED_ERROR = 4,
  NPERR_OUT_OF_MEMORY_ERROR = 5,
};

// Why a stream ended, passed to NPP_DestroyStream.
enum : NPReason {
  NPRES_DONE = 0,
  NPRES_NETWORK_ERR = 1,
  NPRES_USER_BREAK = 2,
};

// Stream types, asked for through NPP_NewStream's out argument.
enum : uint16_t {
  NP_NORMAL = 1,
  NP_SEEK = 2,
  NP_ASFILE = 3,
  NP_ASFILEONLY = 4,
};

// Embedding modes passed to NPP_New.
enum : uint16_t {
  NP_EMBED = 1,
  NP_FULL = 2,
};

struct NPP_t {
  void* pdata;  // the plug-in's instance record
  void* ndata;  // the browser's
};
typedef NPP_t* NPP;

struct NPSavedData {
  int32_t len;
  void* buf;
};

struct NPRect {
  uint16_t top;
  uint16_t left;
  uint16_t bottom;
  uint16_t right;
};

enum NPWindowType {
  NPWindowTypeWindow = 1,
  NPWindowTypeDrawable = 2,
};

struct NPWindow {
  void* window;  // the HWND of the browser's child window
  int32_t x;
  int32_t y;
  uint32_t width;
  uint32_t height;
  NPRect clipRect;
  NPWindowType type;
};

struct NPStream {
  void* pdata;
  void* ndata;
  const char* url;
  uint32_t end;
  uint32_t lastmodified;
  void* notifyData;
  const char* headers;
};

struct NPPrint;  // never looked at

typedef NPError(NP_CALLBACK* NPP_NewProcPtr)(NPMIMEType pluginType, NPP instance, uint16_t mode,
                                             int16_t argc, char* argn[], char* argv[],
                                             NPSavedData* saved);
typedef NPError(NP_CALLBACK* NPP_DestroyProcPtr)(NPP instance, NPSavedData** save);
typedef NPError(NP_CALLBACK* NPP_SetWindowProcPtr)(NPP instance, NPWindow* window);
typedef NPError(NP_CALLBACK* NPP_NewStreamProcPtr)(NPP instance, NPMIMEType type,
                                                   NPStream* stream, NPBool seekable,
                                                   uint16_t* stype);
typedef NPError(NP_CALLBACK* NPP_DestroyStreamProcPtr)(NPP instance, NPStream* stream,
                                                       NPReason reason);
typedef void(NP_CALLBACK* NPP_StreamAsFileProcPtr)(NPP instance, NPStream* stream,
                                                   const char* fname);
typedef int32_t(NP_CALLBACK* NPP_WriteReadyProcPtr)(NPP instance, NPStream* stream);
typedef int32_t(NP_CALLBACK* NPP_WriteProcPtr)(NPP instance, NPStream* stream, int32_t offset,
                                               int32_t len, void* buffer);
typedef void(NP_CALLBACK* NPP_PrintProcPtr)(NPP instance, NPPrint* platformPrint);
// Slots this plug-in leaves as the browser set them; their exact types do not matter here.
typedef void* NPP_OpaqueProcPtr;

struct NPPluginFuncs {
  uint16_t size;
  uint16_t version;
  NPP_NewProcPtr newp;
  NPP_DestroyProcPtr destroy;
  NPP_SetWindowProcPtr setwindow;
  NPP_NewStreamProcPtr newstream;
  NPP_DestroyStreamProcPtr destroystream;
  NPP_StreamAsFileProcPtr asfile;
  NPP_WriteReadyProcPtr writeready;
  NPP_WriteProcPtr write;
  NPP_PrintProcPtr print;
  NPP_OpaqueProcPtr event;
  NPP_OpaqueProcPtr urlnotify;
  void* javaClass;
  NPP_OpaqueProcPtr getvalue;
  NPP_OpaqueProcPtr setvalue;
};

// Only its head is declared: the plug-in stores the browser's table and never calls it.
struct NPNetscapeFuncs {
  uint16_t size;
  uint16_t version;
};

#if defined(_WIN32)
// The records as every browser lays them out, pointers 4 bytes wide on 32-bit Windows
// and 8 on 64-bit. The plug-in and kdzhost share this header, so a field out of place
// would go unnoticed between them; here it stops the build.
constexpr size_t kNpPointer = sizeof(void*);
static_assert(sizeof(NPP_t) == 2 * kNpPointer, "NPP_t");
static_assert(offsetof(NPSavedData, buf) == kNpPointer && sizeof(NPSavedData) == 2 * kNpPointer, "NPSavedData");
static_assert(sizeof(NPRect) == 8, "NPRect");
static_assert(offsetof(NPWindow, x) == kNpPointer && offsetof(NPWindow, height) == kNpPointer + 12 &&
                  offsetof(NPWindow, clipRect) == kNpPointer + 16 &&
                  offsetof(NPWindow, type) == kNpPointer + 24 &&
                  sizeof(NPWindow) == (kNpPointer == 4 ? 32 : 40),
              "NPWindow");
static_assert(offsetof(NPStream, end) == 3 * kNpPointer &&
                  offsetof(NPStream, lastmodified) == 3 * kNpPointer + 4 &&
                  offsetof(NPStream, notifyData) == (kNpPointer == 4 ? 20 : 32) &&
                  offsetof(NPStream, headers) == (kNpPointer == 4 ? 24 : 40) &&
                  sizeof(NPStream) == (kNpPointer == 4 ? 28 : 48),
              "NPStream");
static_assert(offsetof(NPPluginFuncs, newp) == kNpPointer && offsetof(NPPluginFuncs, print) == 9 * kNpPointer &&
                  offsetof(NPPluginFuncs, javaClass) == 12 * kNpPointer &&
                  offsetof(NPPluginFuncs, setvalue) == 14 * kNpPointer &&
                  sizeof(NPPluginFuncs) == 15 * kNpPointer,
              "NPPluginFuncs");
#endif

// The exports' signatures, shared by the plug-in and the host that loads it.
typedef NPError(NP_EXPORT_CALL* NP_GetEntryPointsFunc)(NPPluginFuncs* pluginFuncs);
typedef NPError(NP_EXPORT_CALL* NP_PluginInitFunc)(NPNetscapeFuncs* browserFuncs);
typedef NPError(NP_EXPORT_CALL* NP_PluginShutdownFunc)();
