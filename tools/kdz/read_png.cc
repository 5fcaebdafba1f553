// The PNG reader of the kdz tool (libpng), from a file held in memory.
#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tools/kdz/image_io.h"

namespace kdz::imageio {
namespace {

// libpng reports errors through a callback that must not return. It jumps back to
// the setjmp of the function that made the call; those functions hold only
// trivially destructible locals, so the jump skips no destructor.
struct PngSource {
  const uint8_t* data = nullptr;
  size_t size = 0;
  size_t at = 0;
  char message[256] = {};
};

[[noreturn]] void OnError(png_structp png, png_const_charp message) {
  auto* source = static_cast<PngSource*>(png_get_error_ptr(png));
  std::snprintf(source->message, sizeof source->message, "%s", message ? message : "libpng error");
  png_longjmp(png, 1);
}

// Warnings (unknown chunks, odd gamma) say nothing about the pixels; the tool
// keeps stderr to one line per failure.
void OnWarning(png_structp, png_const_charp) {}

void ReadFromMemory(png_structp png, png_bytep out, png_size_t length) {
  auto* source = static_cast<PngSource*>(png_get_io_ptr(png));
  if (length > source->size - source->at) png_error(png, "truncated PNG file");
  std::memcpy(out, source->data + source->at, length);
  source->at += length;
}

struct PngReader {
  png_structp png = nullptr;
  png_infop info = nullptr;
  png_uint_32 width = 0;
  png_uint_32 height = 0;
  size_t rowBytes = 0;
};

// Reads the header and asks libpng to deliver every picture as 8-bit R,G,B,A.
bool ReadHeader(PngSource* source, PngReader* r) {
  if (setjmp(png_jmpbuf(r->png))) return false;
  png_set_read_fn(r->png, source, ReadFromMemory);
  png_read_info(r->png, r->info);
  const int colorType = png_get_color_type(r->png, r->info);
  const int bitDepth = png_get_bit_depth(r->png, r->info);
  const bool transparency = png_get_valid(r->png, r->info, PNG_INFO_tRNS) != 0;
  if (colorType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(r->png);
  if (colorType == PNG_COLOR_TYPE_GRAY && bitDepth < 8) png_set_expand_gray_1_2_4_to_8(r->png);
  if (transparency) png_set_tRNS_to_alpha(r->png);
  if (bitDepth == 16) png_set_scale_16(r->png);
  if (!(colorType & PNG_COLOR_MASK_COLOR)) png_set_gray_to_rgb(r->png);
  if (!(colorType & PNG_COLOR_MASK_ALPHA) && !transparency) {
    png_set_filler(r->png, 0xFF, PNG_FILLER_AFTER);
  }
  png_set_interlace_handling(r->png);
  png_read_update_info(r->png, r->info);
  r->width = png_get_image_width(r->png, r->info);
  r->height = png_get_image_height(r->png, r->info);
  r->rowBytes = png_get_rowbytes(r->png, r->info);
  return true;
}

bool ReadRows(PngReader* r, png_bytepp rows) {
  if (setjmp(png_jmpbuf(r->png))) return false;
  png_read_image(r->png, rows);
  png_read_end(r->png, nullptr);
  return true;
}

}  // namespace

Status ReadPng(const uint8_t* data, size_t size, RgbImage* out, bool* alphaDropped, uint64_t maxPixels) {
  *out = RgbImage{};
  *alphaDropped = false;
  PngSource source;
  source.data = data;
  source.size = size;
  PngReader r;
  r.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &source, OnError, OnWarning);
  if (r.png) r.info = png_create_info_struct(r.png);
  Status status;
  if (!r.png || !r.info) {
    status = {"out of memory"};
  } else if (!ReadHeader(&source, &r)) {
    status = {source.message};
  } else if (r.width == 0 || r.height == 0 || r.rowBytes != static_cast<size_t>(r.width) * 4) {
    status = {"unexpected PNG row layout"};
  } else if (static_cast<uint64_t>(r.width) * r.height > maxPixels) {
    status = {PixelLimitReason(r.width, r.height, maxPixels)};
  } else {
    const size_t w = r.width, h = r.height;
    std::vector<uint8_t> rgba(w * h * 4);
    std::vector<png_bytep> rows(h);
    for (size_t y = 0; y < h; ++y) rows[y] = rgba.data() + y * w * 4;
    if (!ReadRows(&r, rows.data())) {
      status = {source.message};
    } else {
      out->width = static_cast<int>(w);
      out->height = static_cast<int>(h);
      out->rgb.resize(w * h * 3);
      const uint8_t* in = rgba.data();
      uint8_t* o = out->rgb.data();
      bool translucent = false;
      for (size_t i = 0; i < w * h; ++i, in += 4, o += 3) {
        o[0] = in[0];
        o[1] = in[1];
        o[2] = in[2];
        translucent |= in[3] != 0xFF;
      }
      *alphaDropped = translucent;
    }
  }
  png_destroy_read_struct(r.png ? &r.png : nullptr, r.info ? &r.info : nullptr, nullptr);
  return status;
}

}  // namespace kdz::imageio
