// Loading the plug-in the way a browser does: registration from the version resource,
// then the library, its callback table and its initialisation.
#include <cstdio>
#include <vector>

#include "tools/host/call_check.h"
#include "tools/host/host.h"

#include <tlhelp32.h>  // after windows.h, which host.h brings

namespace kdzhost {
namespace {

std::string QueryString(const std::vector<char>& info, const char* block, const char* key) {
  std::string path = std::string("\\StringFileInfo\\") + block + "\\" + key;
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(info.data(), path.c_str(), &value, &length) || value == nullptr) return {};
  std::string text(static_cast<const char*>(value), length);
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

// GetProcAddress's generic function type, turned into the export's own.
template <class Function>
Function Export(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

bool ReadRegistration(const std::string& path, PluginModule* module, std::string* error) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
  if (size == 0) {
    *error = "no version resource in " + path;
    return false;
  }
  std::vector<char> info(size);
  if (!GetFileVersionInfoA(path.c_str(), 0, size, info.data())) {
    *error = "cannot read the version resource of " + path;
    return false;
  }
  struct Translation {
    WORD language;
    WORD codePage;
  };
  Translation* translation = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(info.data(), "\\VarFileInfo\\Translation",
                      reinterpret_cast<void**>(&translation), &length) ||
      length < sizeof(Translation)) {
    *error = "no translation table in the version resource";
    return false;
  }
  char block[16];
  std::snprintf(block, sizeof block, "%04x%04x", translation->language, translation->codePage);
  module->mimeType = QueryString(info, block, "MIMEType");
  module->fileExtents = QueryString(info, block, "FileExtents");
  module->fileOpenName = QueryString(info, block, "FileOpenName");
  if (module->mimeType.empty()) {
    *error = std::string("no MIMEType in block ") + block;
    return false;
  }
  return true;
}

bool LoadPlugin(const std::string& path, PluginModule* module, std::string* error,
                LoadOrder order) {
  module->path = path;
  module->calls.clear();
  if (!ReadRegistration(path, module, error)) return false;
  module->threadsBeforeLoad = ThreadsInProcess();
  module->module = LoadLibraryA(path.c_str());
  if (module->module == nullptr) {
    *error = "LoadLibrary failed for " + path + " (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  module->getEntryPoints = Export<NP_GetEntryPointsFunc>(module->module, "NP_GetEntryPoints");
  module->pluginInit = Export<NP_PluginInitFunc>(module->module, "NP_PluginInit");
  module->pluginShutdown = Export<NP_PluginShutdownFunc>(module->module, "NP_PluginShutdown");
  module->initialize = Export<NP_PluginInitFunc>(module->module, "NP_Initialize");
  module->shutdown = Export<NP_PluginShutdownFunc>(module->module, "NP_Shutdown");
  module->browserNames = order != LoadOrder::kEntryPointsFirst;
  const bool missing = module->getEntryPoints == nullptr ||
                       (module->browserNames ? module->initialize == nullptr || module->shutdown == nullptr
                                             : module->pluginInit == nullptr || module->pluginShutdown == nullptr);
  if (missing) {
    *error = module->browserNames ? "the library lacks NP_GetEntryPoints, NP_Initialize or NP_Shutdown"
                                  : "the library lacks NP_GetEntryPoints, NP_PluginInit or NP_PluginShutdown";
    FreeLibrary(module->module);
    module->module = nullptr;
    return false;
  }
  auto entryPoints = [module]() {
    module->funcs = NPPluginFuncs();
    module->funcs.size = sizeof(NPPluginFuncs);
    module->funcs.version = 11;
    NPError result = CallExport("NP_GetEntryPoints", module->getEntryPoints, &module->funcs);
    module->calls.push_back("NP_GetEntryPoints -> " + std::to_string(result));
    return result;
  };
  auto initialize = [module]() {
    module->browserFuncs.size = sizeof(NPNetscapeFuncs);
    module->browserFuncs.version = 11;
    const char* name = module->browserNames ? "NP_Initialize" : "NP_PluginInit";
    NPError result = CallExport(name, module->browserNames ? module->initialize : module->pluginInit,
                                &module->browserFuncs);
    module->calls.push_back(std::string(name) + " -> " + std::to_string(result));
    if (result == NPERR_NO_ERROR) module->initialized = true;
    return result;
  };
  const bool initializeFirst = order == LoadOrder::kInitializeFirst;
  NPError result = initializeFirst ? initialize() : entryPoints();
  if (result == NPERR_NO_ERROR) result = initializeFirst ? entryPoints() : initialize();
  if (result != NPERR_NO_ERROR) {
    *error = module->calls.back();
    return false;
  }
  return true;
}

int ThreadsInProcess() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  int n = 0;
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    n += entry.th32OwnerProcessID == GetCurrentProcessId();
  }
  CloseHandle(snapshot);
  return n;
}

NPError UnloadPlugin(PluginModule* module) {
  NPError result = NPERR_NO_ERROR;
  if (module->initialized) {
    result = module->browserNames ? CallExport("NP_Shutdown", module->shutdown)
                                  : CallExport("NP_PluginShutdown", module->pluginShutdown);
  }
  module->initialized = false;
  if (module->module != nullptr) FreeLibrary(module->module);
  module->module = nullptr;
  return result;
}

}  // namespace kdzhost
