// gdk-pixbuf loader for KDZ pictures, built on the library's public API: the file is
// gathered in memory as it arrives (KDZ files are below 80000 bytes) and decoded
// whole, to the 24-bit picture, when it is complete.
#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gmodule.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "kdz/kdz.h"

namespace {

constexpr size_t kMaxFileBytes = 80000;

struct LoadContext {
  GdkPixbufModuleSizeFunc sizeFunc;
  GdkPixbufModulePreparedFunc preparedFunc;
  GdkPixbufModuleUpdatedFunc updatedFunc;
  gpointer userData;
  std::vector<uint8_t> data;
};

void SetError(GError** error, GdkPixbufError code, const std::string& message) {
  g_set_error(error, GDK_PIXBUF_ERROR, code, "KDZ: %s", message.c_str());
}

GdkPixbufError PixbufErrorFor(kdz::Error e) {
  switch (e) {
    case kdz::Error::kNotKdz:
    case kdz::Error::kUnsupported: return GDK_PIXBUF_ERROR_UNKNOWN_TYPE;
    case kdz::Error::kOutOfMemory: return GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY;
    case kdz::Error::kLimit: return GDK_PIXBUF_ERROR_FAILED;
    default: return GDK_PIXBUF_ERROR_CORRUPT_IMAGE;
  }
}

gpointer BeginLoad(GdkPixbufModuleSizeFunc sizeFunc, GdkPixbufModulePreparedFunc preparedFunc,
                   GdkPixbufModuleUpdatedFunc updatedFunc, gpointer userData, GError** error) {
  auto* c = new (std::nothrow) LoadContext{sizeFunc, preparedFunc, updatedFunc, userData, {}};
  if (c == nullptr) SetError(error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "out of memory");
  return c;
}

gboolean LoadIncrement(gpointer context, const guchar* buf, guint size, GError** error) {
  auto* c = static_cast<LoadContext*>(context);
  if (size >= kMaxFileBytes - c->data.size()) {
    SetError(error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, "file too large (KDZ files are below 80000 bytes)");
    return FALSE;
  }
  try {
    c->data.insert(c->data.end(), buf, buf + size);
  } catch (const std::bad_alloc&) {
    SetError(error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "out of memory");
    return FALSE;
  }
  return TRUE;
}

// Decodes the gathered file and hands the picture over. Owns (and frees) the context.
gboolean StopLoad(gpointer context, GError** error) {
  std::unique_ptr<LoadContext> c(static_cast<LoadContext*>(context));
  kdz::HeaderInfo header;
  kdz::Result r = kdz::ReadHeader(c->data.data(), c->data.size(), &header);
  if (r.ok() && header.decodable && c->sizeFunc != nullptr) {
    // The caller may want only the size (it then sets 0 x 0); scaling is its own work.
    int w = header.width, h = header.height;
    c->sizeFunc(&w, &h, c->userData);
    if (w == 0 || h == 0) return TRUE;
  }
  kdz::Bitmap bitmap;  // decoded straight into the bitmap, so one copy less at the peak
  try {
    if (r.ok()) r = kdz::DecodeToBitmap(c->data.data(), c->data.size(), false, &bitmap);
  } catch (const std::bad_alloc&) {
    r = kdz::Result{kdz::Error::kOutOfMemory, "out of memory"};
  }
  if (!r.ok()) {
    SetError(error, PixbufErrorFor(r.error), r.message.empty() ? kdz::ErrorMessage(r.error) : r.message);
    return FALSE;
  }
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, bitmap.width, bitmap.height);
  if (pixbuf == nullptr) {
    SetError(error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "cannot allocate the picture");
    return FALSE;
  }
  const size_t stride = static_cast<size_t>(gdk_pixbuf_get_rowstride(pixbuf));
  guchar* pixels = gdk_pixbuf_get_pixels(pixbuf);
  for (int y = 0; y < bitmap.height; ++y) {
    const uint8_t* src = bitmap.Row(bitmap.height - 1 - y);  // the bitmap is bottom-up
    guchar* dst = pixels + stride * static_cast<size_t>(y);
    for (int x = 0; x < bitmap.width; ++x) {  // blue, green, red to red, green, blue
      dst[3 * x] = src[3 * x + 2];
      dst[3 * x + 1] = src[3 * x + 1];
      dst[3 * x + 2] = src[3 * x];
    }
  }
  if (c->preparedFunc != nullptr) c->preparedFunc(pixbuf, nullptr, c->userData);
  if (c->updatedFunc != nullptr) c->updatedFunc(pixbuf, 0, 0, bitmap.width, bitmap.height, c->userData);
  g_object_unref(pixbuf);
  return TRUE;
}

char kName[] = "kdz";
char kDescription[] = "QEM, Inc. Graphic";
char kMimeType[] = "image/qem-kdz";
char kExtension[] = "kdz";
char kMagic[] = "QEM2";

}  // namespace

extern "C" {

// The decoder keeps its helper threads, asleep, between pictures: the module they
// run in must stay loaded for as long as the process runs.
G_MODULE_EXPORT const gchar* g_module_check_init(GModule* module) {
  g_module_make_resident(module);
  return nullptr;
}

G_MODULE_EXPORT void fill_vtable(GdkPixbufModule* module) {
  module->begin_load = BeginLoad;
  module->stop_load = StopLoad;
  module->load_increment = LoadIncrement;
}

G_MODULE_EXPORT void fill_info(GdkPixbufFormat* info) {
  static GdkPixbufModulePattern signature[] = {{kMagic, nullptr, 100}, {nullptr, nullptr, 0}};
  static gchar* mimeTypes[] = {kMimeType, nullptr};
  static gchar* extensions[] = {kExtension, nullptr};
  info->name = kName;
  info->signature = signature;
  info->description = kDescription;
  info->mime_types = mimeTypes;
  info->extensions = extensions;
  info->flags = GDK_PIXBUF_FORMAT_THREADSAFE;
  info->license = nullptr;
}

}  // extern "C"
