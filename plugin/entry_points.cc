// The library's exports and the callbacks that need no instance state: the callback
// table, stream set-up and the write callbacks that drop the bytes.
#include <windows.h>

#include "kdz/kdz.h"
#include "plugin/callbacks.h"
#include "plugin/npapi_types.h"

namespace {

// The browser's function table; stored, never called.
NPNetscapeFuncs* browserFuncs = nullptr;
// What NPP_WriteReady answers for every stream.
const int32_t writeReadyLimit = 0x0FFFFFFF;

// The library's global initialisation has nothing to do. At shutdown the decoder's
// helper threads, kept asleep between decodes, end and its kept plane memory is
// freed: the browser unloads the library next, and the threads' code with it.
NPError GlobalInitialize() { return NPERR_NO_ERROR; }
NPError GlobalShutdown() {
  kdz::EndDecodeThreads();
  return NPERR_NO_ERROR;
}

}  // namespace

extern "C" {

// Fills the nine callback slots; size, version and every other slot stay as the
// browser set them.
NPError NP_EXPORT_CALL NP_GetEntryPoints(NPPluginFuncs* pluginFuncs) {
  if (pluginFuncs == nullptr) return NPERR_INVALID_FUNCTABLE_ERROR;
  pluginFuncs->newp = NPP_New;
  pluginFuncs->destroy = NPP_Destroy;
  pluginFuncs->setwindow = NPP_SetWindow;
  pluginFuncs->newstream = NPP_NewStream;
  pluginFuncs->destroystream = NPP_DestroyStream;
  pluginFuncs->asfile = NPP_StreamAsFile;
  pluginFuncs->writeready = NPP_WriteReady;
  pluginFuncs->write = NPP_Write;
  pluginFuncs->print = NPP_Print;
  return NPERR_NO_ERROR;
}

NPError NP_EXPORT_CALL NP_PluginInit(NPNetscapeFuncs* funcs) {
  browserFuncs = funcs;
  (void)GlobalInitialize();
  return NPERR_NO_ERROR;
}

NPError NP_EXPORT_CALL NP_PluginShutdown() {
  (void)GlobalShutdown();
  return NPERR_NO_ERROR;
}

// The names under which browsers look for the two calls above.
NPError NP_EXPORT_CALL NP_Initialize(NPNetscapeFuncs* funcs) { return NP_PluginInit(funcs); }
NPError NP_EXPORT_CALL NP_Shutdown() { return NP_PluginShutdown(); }

}  // extern "C"

NPError NP_CALLBACK NPP_NewStream(NPP instance, NPMIMEType, NPStream* stream, NPBool,
                                  uint16_t* stype) {
  if (instance == nullptr) return NPERR_INVALID_INSTANCE_ERROR;
  // Every stream is asked for as a file, whatever its type: the decoder reads the
  // whole file in one go once the browser has saved it.
  if (stream != nullptr) stream->pdata = instance->pdata;
  if (stype != nullptr) *stype = NP_ASFILE;
  return NPERR_NO_ERROR;
}

NPError NP_CALLBACK NPP_DestroyStream(NPP, NPStream*, NPReason) { return NPERR_NO_ERROR; }

int32_t NP_CALLBACK NPP_WriteReady(NPP, NPStream*) { return writeReadyLimit; }

// The bytes also go to the file that NPP_StreamAsFile reads; here they count as taken.
int32_t NP_CALLBACK NPP_Write(NPP, NPStream*, int32_t, int32_t len, void*) { return len; }

void NP_CALLBACK NPP_Print(NPP, NPPrint*) {}
