// The C interface of kdz.wasm over the public API and the portable viewer.
#include "web/wasm/kdz_wasm.h"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>

#include "kdz/kdz.h"
#include "viewer/compression_ratio.h"
#include "viewer/image_info.h"
#include "viewer/view_state.h"

#define KDZ_EXPORT(name) __attribute__((export_name(#name)))

// The layouts that kdz.mjs reads and writes by byte offset.
static_assert(sizeof(kdz_view) == 72 && offsetof(kdz_view, displayWidth) == 32 &&
                  offsetof(kdz_view, exposedRight) == 40 && offsetof(kdz_view, exposedBelow) == 56,
              "kdz_view as kdz.mjs has it");
static_assert(sizeof(kdz_paint_plan) == 64 && offsetof(kdz_paint_plan, erase) == 4 &&
                  offsetof(kdz_paint_plan, draw) == 36 && offsetof(kdz_paint_plan, srcHeight) == 60,
              "kdz_paint_plan as kdz.mjs has it");
static_assert(KDZ_HEADER_FIELD_COUNT == 21, "kdz_header_fields as kdz.mjs has it");

struct kdz_picture {
  kdz::Result result;
  kdz::Bitmap bitmap;
};

struct kdz_header {
  int32_t fields[KDZ_HEADER_FIELD_COUNT] = {};
  char signature[9] = {};
  std::string message;
};

namespace {

kdz::ViewState Load(const kdz_view& v) {
  kdz::ViewState s;
  s.autoScale = v.autoScale;
  s.userScale = v.userScale;
  s.panX = v.panX;
  s.panY = v.panY;
  s.displayWidth = static_cast<int16_t>(v.displayWidth);
  s.displayHeight = static_cast<int16_t>(v.displayHeight);
  s.exposedRight = {v.exposedRight[0], v.exposedRight[1], v.exposedRight[2], v.exposedRight[3]};
  s.exposedBelow = {v.exposedBelow[0], v.exposedBelow[1], v.exposedBelow[2], v.exposedBelow[3]};
  return s;
}

void PutRect(const kdz::ViewRect& r, int32_t out[4]) {
  out[0] = r.left;
  out[1] = r.top;
  out[2] = r.right;
  out[3] = r.bottom;
}

void Store(const kdz::ViewState& s, kdz_view* v) {
  v->autoScale = s.autoScale;
  v->userScale = s.userScale;
  v->panX = s.panX;
  v->panY = s.panY;
  v->displayWidth = s.displayWidth;
  v->displayHeight = s.displayHeight;
  PutRect(s.exposedRight, v->exposedRight);
  PutRect(s.exposedBelow, v->exposedBelow);
}

kdz::ViewRect Window(int32_t width, int32_t height) { return kdz::ViewRect{0, 0, width, height}; }

// A pixel limit from JavaScript: a whole number; anything else (NaN, negative) is 0,
// which refuses every picture, and values beyond 2^64 saturate.
uint64_t PixelLimit(double value) {
  if (!(value >= 0.0)) return 0;
  if (value >= 18446744073709551615.0) return UINT64_MAX;
  return static_cast<uint64_t>(value);
}

}  // namespace

extern "C" {

KDZ_EXPORT(kdz_decode)
kdz_picture* kdz_decode(const uint8_t* data, size_t size, int eight_bit, double max_pixels) {
  auto* picture = new (std::nothrow) kdz_picture();
  if (picture == nullptr) return nullptr;
  kdz::Limits limits;
  limits.maxPixels = PixelLimit(max_pixels);
  picture->result = kdz::DecodeToBitmap(data, size, eight_bit != 0, &picture->bitmap, limits);
  return picture;
}

KDZ_EXPORT(kdz_picture_free) void kdz_picture_free(kdz_picture* picture) { delete picture; }
KDZ_EXPORT(kdz_picture_error) int kdz_picture_error(const kdz_picture* picture) {
  return static_cast<int>(picture->result.error);
}
KDZ_EXPORT(kdz_picture_message) const char* kdz_picture_message(const kdz_picture* picture) {
  return picture->result.message.c_str();
}
KDZ_EXPORT(kdz_picture_width) int kdz_picture_width(const kdz_picture* picture) {
  return picture->bitmap.width;
}
KDZ_EXPORT(kdz_picture_height) int kdz_picture_height(const kdz_picture* picture) {
  return picture->bitmap.height;
}
KDZ_EXPORT(kdz_picture_bits_per_pixel) int kdz_picture_bits_per_pixel(const kdz_picture* picture) {
  return picture->bitmap.bitsPerPixel;
}
KDZ_EXPORT(kdz_picture_colors_used) int kdz_picture_colors_used(const kdz_picture* picture) {
  return picture->bitmap.colorsUsed;
}
KDZ_EXPORT(kdz_picture_block) const uint8_t* kdz_picture_block(const kdz_picture* picture) {
  return picture->bitmap.block.data();
}
KDZ_EXPORT(kdz_picture_block_size) size_t kdz_picture_block_size(const kdz_picture* picture) {
  return picture->bitmap.block.size();
}

KDZ_EXPORT(kdz_read_header) kdz_header* kdz_read_header(const uint8_t* data, size_t size) {
  auto* header = new (std::nothrow) kdz_header();
  if (header == nullptr) return nullptr;
  kdz::HeaderInfo h;
  const kdz::Result r = kdz::ReadHeader(data, size, &h);
  int32_t* f = header->fields;
  f[KDZ_HEADER_ERROR] = static_cast<int32_t>(r.error);
  if (!r.ok()) {
    header->message = r.message.empty() ? kdz::ErrorMessage(r.error) : r.message;
    return header;
  }
  std::memcpy(header->signature, h.signature, sizeof header->signature);
  f[KDZ_HEADER_WIDTH] = h.width;
  f[KDZ_HEADER_HEIGHT] = h.height;
  f[KDZ_HEADER_LEVELS] = h.levels;
  for (int k = 0; k < 3; ++k) {
    f[KDZ_HEADER_UNCODED_Y + k] = h.uncodedLevels[k];
    f[KDZ_HEADER_PLANE_OFFSET_Y + k] = static_cast<int32_t>(h.planeOffset[k]);
    f[KDZ_HEADER_SEGMENT_OFFSET_Y + k] = static_cast<int32_t>(h.segmentOffset[k]);
    f[KDZ_HEADER_VALUE_COUNT_Y + k] = h.valueCount[k];
  }
  f[KDZ_HEADER_HEADER_LENGTH] = h.headerLength;
  f[KDZ_HEADER_TRANSFORM_MODE] = h.transformMode;
  f[KDZ_HEADER_LUMA_BIAS] = h.lumaBias;
  f[KDZ_HEADER_FILE_SIZE] = static_cast<int32_t>(h.fileSize);
  f[KDZ_HEADER_DECODABLE] = h.decodable ? 1 : 0;
  header->message = h.problem;
  return header;
}

KDZ_EXPORT(kdz_header_free) void kdz_header_free(kdz_header* header) { delete header; }
KDZ_EXPORT(kdz_header_fields) const int32_t* kdz_header_fields(const kdz_header* header) {
  return header->fields;
}
KDZ_EXPORT(kdz_header_signature) const char* kdz_header_signature(const kdz_header* header) {
  return header->signature;
}
KDZ_EXPORT(kdz_header_message) const char* kdz_header_message(const kdz_header* header) {
  return header->message.c_str();
}

KDZ_EXPORT(kdz_plan_paint)
void kdz_plan_paint(kdz_view* view, int32_t window_width, int32_t window_height,
                    int32_t image_width, int32_t image_height, kdz_paint_plan* plan) {
  kdz::ViewState state = Load(*view);
  const kdz::PaintPlan p = kdz::PlanPaint(state, Window(window_width, window_height),
                                          image_width, image_height);
  Store(state, view);
  plan->eraseCount = p.eraseCount;
  PutRect(p.erase[0], plan->erase[0]);
  PutRect(p.erase[1], plan->erase[1]);
  plan->draw = p.draw ? 1 : 0;
  plan->originX = p.originX;
  plan->originY = p.originY;
  plan->destWidth = p.destWidth;
  plan->destHeight = p.destHeight;
  plan->srcWidth = p.srcWidth;
  plan->srcHeight = p.srcHeight;
}

KDZ_EXPORT(kdz_pan)
void kdz_pan(kdz_view* view, int32_t window_width, int32_t window_height, int32_t image_width,
             int32_t image_height, int32_t x, int32_t y) {
  kdz::ViewState state = Load(*view);
  kdz::Pan(state, Window(window_width, window_height), image_width, image_height, x, y);
  Store(state, view);
}

KDZ_EXPORT(kdz_enlarge) void kdz_enlarge(kdz_view* view) {
  kdz::ViewState state = Load(*view);
  kdz::Enlarge(state);
  Store(state, view);
}

KDZ_EXPORT(kdz_reduce) void kdz_reduce(kdz_view* view) {
  kdz::ViewState state = Load(*view);
  kdz::Reduce(state);
  Store(state, view);
}

KDZ_EXPORT(kdz_image_info)
const char* kdz_image_info(double decode_seconds, double compression_ratio, int32_t image_width,
                           int32_t image_height, const kdz_view* view) {
  static char text[kdz::kImageInfoTextSize];
  kdz::FormatImageInfo(decode_seconds, compression_ratio, image_width, image_height, Load(*view),
                       text);
  return text;
}

KDZ_EXPORT(kdz_compression_ratio)
double kdz_compression_ratio(double file_size, int32_t image_width, int32_t image_height) {
  // Sizes beyond 32 bits cannot come from a KDZ file; they keep their low 32 bits, as
  // the plug-in's unsigned 32-bit sizes would.
  const double whole = std::isfinite(file_size) && file_size > 0.0 ? std::floor(file_size) : 0.0;
  const auto size = static_cast<uint32_t>(std::fmod(whole, 4294967296.0));
  return kdz::PictureCompressionRatio(size, image_width, image_height);
}

}  // extern "C"
