// The JPEG reader of the kdz tool (libjpeg-turbo), from a file held in memory.
#include <cstdio>  // before jpeglib.h, which uses FILE

#include <jerror.h>
#include <jpeglib.h>

#include <csetjmp>
#include <vector>

#include "tools/kdz/image_io.h"

namespace kdz::imageio {
namespace {

// libjpeg's error manager with a way back: errors longjmp to the setjmp of the
// function that called libjpeg, which holds only trivially destructible locals.
struct ErrorManager {
  jpeg_error_mgr base;
  jmp_buf back;
  char message[JMSG_LENGTH_MAX] = {};
  bool truncated = false;
};

[[noreturn]] void OnError(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->message);
  longjmp(err->back, 1);
}

// Warnings about damaged data are not errors to libjpeg, which fills what is missing
// with grey; a file that ends early is refused here rather than encoded half grey.
void OnMessage(j_common_ptr cinfo, int level) {
  auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
  if (level < 0 && cinfo->err->msg_code == JWRN_JPEG_EOF) err->truncated = true;
}

bool ReadHeader(jpeg_decompress_struct* cinfo, ErrorManager* err, const uint8_t* data, size_t size) {
  if (setjmp(err->back)) return false;
  jpeg_create_decompress(cinfo);
  jpeg_mem_src(cinfo, data, static_cast<unsigned long>(size));
  jpeg_read_header(cinfo, TRUE);
  const bool cmyk = cinfo->jpeg_color_space == JCS_CMYK || cinfo->jpeg_color_space == JCS_YCCK;
  cinfo->out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
  return true;
}

// Decodes into rows of output_components bytes per pixel, top first.
bool ReadRows(jpeg_decompress_struct* cinfo, ErrorManager* err, uint8_t* pixels, size_t stride) {
  if (setjmp(err->back)) return false;
  jpeg_start_decompress(cinfo);
  while (cinfo->output_scanline < cinfo->output_height) {
    JSAMPROW row = pixels + stride * cinfo->output_scanline;
    jpeg_read_scanlines(cinfo, &row, 1);
  }
  jpeg_finish_decompress(cinfo);
  return true;
}

}  // namespace

Status ReadJpeg(const uint8_t* data, size_t size, RgbImage* out, uint64_t maxPixels) {
  *out = RgbImage{};
  jpeg_decompress_struct cinfo = {};
  ErrorManager err;
  cinfo.err = jpeg_std_error(&err.base);
  err.base.error_exit = OnError;
  err.base.emit_message = OnMessage;
  Status status;
  if (!ReadHeader(&cinfo, &err, data, size)) {
    status = {err.message};
  } else if (static_cast<uint64_t>(cinfo.image_width) * cinfo.image_height > maxPixels) {
    status = {PixelLimitReason(cinfo.image_width, cinfo.image_height, maxPixels)};
  } else {
    const size_t w = cinfo.image_width, h = cinfo.image_height;
    const bool cmyk = cinfo.out_color_space == JCS_CMYK;
    const size_t channels = cmyk ? 4 : 3;
    std::vector<uint8_t> pixels(w * h * channels);
    if (!ReadRows(&cinfo, &err, pixels.data(), w * channels)) {
      status = {err.message};
    } else if (err.truncated) {
      status = {"truncated JPEG file"};
    } else if (cinfo.output_width != w || cinfo.output_height != h ||
               static_cast<size_t>(cinfo.output_components) != channels) {
      status = {"unexpected JPEG output layout"};
    } else {
      if (cmyk) {
        // Adobe's files store the inks inverted (255 = no ink), as most CMYK JPEG
        // files do; without that marker 0 means no ink.
        const bool inverted = cinfo.saw_Adobe_marker != 0;
        std::vector<uint8_t> rgb(w * h * 3);
        for (size_t i = 0; i < w * h; ++i) {
          const uint8_t* p = &pixels[4 * i];
          const unsigned k = inverted ? p[3] : 255u - p[3];
          for (int c = 0; c < 3; ++c) {
            const unsigned v = inverted ? p[c] : 255u - p[c];
            rgb[3 * i + c] = static_cast<uint8_t>((v * k + 127) / 255);
          }
        }
        pixels.swap(rgb);
      }
      out->width = static_cast<int>(w);
      out->height = static_cast<int>(h);
      out->rgb = std::move(pixels);
    }
  }
  jpeg_destroy_decompress(&cinfo);
  return status;
}

}  // namespace kdz::imageio
