// BMP, PNG and PPM writers of the kdz tool (PNG through libpng).
#include "tools/kdz/image_io.h"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

namespace kdz::imageio {
namespace {

constexpr size_t kInfoHeaderSize = 40;
constexpr size_t kColorTableBytes = 256 * 4;
constexpr size_t kPixelOffset = kInfoHeaderSize + kColorTableBytes;  // 1064
constexpr size_t kFileHeaderSize = 14;

std::string ErrnoText(int err) { return std::strerror(err); }

uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void Put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  Put16(p, v);
  Put16(p + 2, v >> 16);
}

// A bitmap block that this file can walk without reading past its end, and whose
// header says what its fields say. Returns the reason when not.
Status CheckBitmap(const Bitmap& b) {
  if (b.width <= 0 || b.height <= 0) return {"bitmap has no pixels"};
  if (b.bitsPerPixel != 24 && b.bitsPerPixel != 8) return {"bitmap is neither 8 nor 24 bits per pixel"};
  const size_t stride = b.RowStride();
  const size_t h = static_cast<size_t>(b.height);
  if (h > (std::numeric_limits<size_t>::max() - kPixelOffset) / stride ||
      b.block.size() < kPixelOffset + stride * h) {
    return {"bitmap block is smaller than its rows"};
  }
  const uint8_t* head = b.block.data();
  const int32_t biWidth = static_cast<int32_t>(Get32(head + 4));
  const int32_t biHeight = static_cast<int32_t>(Get32(head + 8));
  const int biBitCount = head[14] | head[15] << 8;
  if (Get32(head) != kInfoHeaderSize || biWidth != b.width || biHeight != b.height ||
      biBitCount != b.bitsPerPixel) {
    return {"bitmap header disagrees with the bitmap"};
  }
  return {};
}

const uint8_t* BottomRow(const Bitmap& b) { return b.block.data() + kPixelOffset; }

// Palette entries an 8-bit bitmap needs: those in use, and at least enough for
// the highest index in its rows, so that every index names a colour.
int PaletteEntries(const Bitmap& b) {
  int highest = -1;
  for (int r = 0; r < b.height; ++r) {
    const uint8_t* row = b.Row(r);
    for (int x = 0; x < b.width; ++x) highest = row[x] > highest ? row[x] : highest;
  }
  int entries = b.colorsUsed < 1 ? 1 : (b.colorsUsed > 256 ? 256 : b.colorsUsed);
  return highest + 1 > entries ? highest + 1 : entries;
}

// Writes to an open file, remembering the first failure; Finish() flushes and
// reports it.
class Sink {
 public:
  explicit Sink(FILE* file) : file_(file) {}
  void Write(const void* data, size_t size) {
    if (error_ == 0 && size != 0 && std::fwrite(data, 1, size, file_) != size) error_ = errno ? errno : EIO;
  }
  Status Finish() {
    if (error_ == 0 && (std::fflush(file_) != 0 || std::ferror(file_))) error_ = errno ? errno : EIO;
    return error_ == 0 ? Status{} : Status{ErrnoText(error_)};
  }

 private:
  FILE* file_;
  int error_ = 0;
};

// libpng reports errors through a callback that must not return. It jumps back to
// the setjmp of the function that made the call; those functions hold only
// trivially destructible locals, so the jump skips no destructor.
struct PngErrorSink {
  char message[256] = {};
};

[[noreturn]] void OnPngError(png_structp png, png_const_charp message) {
  auto* sink = static_cast<PngErrorSink*>(png_get_error_ptr(png));
  std::snprintf(sink->message, sizeof sink->message, "%s", message ? message : "libpng error");
  png_longjmp(png, 1);
}

// Warnings (unknown chunks, odd gamma) say nothing about the pixels; the tool
// keeps stderr to one line per failure.
void OnPngWarning(png_structp, png_const_charp) {}

// Writes rows (top first) of an 8-bit indexed or a 24-bit B,G,R picture.
bool WritePngRows(FILE* file, int width, int height, const png_color* palette,
                  int paletteSize, png_bytepp rows, PngErrorSink* sink) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, sink, OnPngError, OnPngWarning);
  if (!png) {
    std::snprintf(sink->message, sizeof sink->message, "out of memory");
    return false;
  }
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    std::snprintf(sink->message, sizeof sink->message, "out of memory");
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
               palette ? PNG_COLOR_TYPE_PALETTE : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (palette) png_set_PLTE(png, info, palette, paletteSize);
  png_write_info(png, info);
  if (!palette) png_set_bgr(png);
  png_write_image(png, rows);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace

bool FormatFromPath(const std::string& path, Format* format) {
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return false;
  std::string ext = path.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (ext == "bmp") *format = Format::kBmp;
  else if (ext == "png") *format = Format::kPng;
  else if (ext == "ppm") *format = Format::kPpm;
  else return false;
  return true;
}

bool FormatFromName(const std::string& name, Format* format) {
  return FormatFromPath("." + name, format) && name == FormatExtension(*format);
}

const char* FormatExtension(Format format) {
  switch (format) {
    case Format::kBmp: return "bmp";
    case Format::kPng: return "png";
    case Format::kPpm: return "ppm";
  }
  return "";
}

Status WriteBmp(const Bitmap& bitmap, FILE* file) {
  if (Status s = CheckBitmap(bitmap); !s.ok()) return s;
  const bool indexed = bitmap.bitsPerPixel == 8;
  const uint64_t rowBytes = static_cast<uint64_t>(bitmap.RowStride()) * static_cast<uint64_t>(bitmap.height);
  const uint64_t offBits = kFileHeaderSize + kInfoHeaderSize + (indexed ? kColorTableBytes : 0);
  if (offBits + rowBytes > std::numeric_limits<uint32_t>::max()) return {"picture too large for a BMP file"};

  uint8_t head[kFileHeaderSize + kInfoHeaderSize] = {'B', 'M'};
  Put32(head + 2, static_cast<uint32_t>(offBits + rowBytes));
  Put32(head + 10, static_cast<uint32_t>(offBits));
  std::memcpy(head + kFileHeaderSize, bitmap.block.data(), kInfoHeaderSize);
  // The decoder's header states width x height x 3 here in both depths; a file
  // states the bytes of its own rows.
  Put32(head + kFileHeaderSize + 20, static_cast<uint32_t>(rowBytes));

  Sink out(file);
  out.Write(head, sizeof head);
  if (indexed) out.Write(bitmap.block.data() + kInfoHeaderSize, kColorTableBytes);
  out.Write(BottomRow(bitmap), static_cast<size_t>(rowBytes));
  return out.Finish();
}

Status WritePng(const Bitmap& bitmap, FILE* file) {
  if (Status s = CheckBitmap(bitmap); !s.ok()) return s;
  const bool indexed = bitmap.bitsPerPixel == 8;
  png_color palette[256] = {};
  int paletteSize = 0;
  if (indexed) {
    paletteSize = PaletteEntries(bitmap);
    const uint8_t* table = bitmap.block.data() + kInfoHeaderSize;
    for (int k = 0; k < paletteSize; ++k) {
      palette[k].red = table[4 * k + 2];
      palette[k].green = table[4 * k + 1];
      palette[k].blue = table[4 * k];
    }
  }
  // libpng copies each row before transforming it, so the rows are read in place.
  std::vector<png_bytep> rows(static_cast<size_t>(bitmap.height));
  for (int y = 0; y < bitmap.height; ++y) {
    rows[static_cast<size_t>(y)] = const_cast<png_bytep>(bitmap.Row(bitmap.height - 1 - y));
  }

  PngErrorSink sink;
  if (!WritePngRows(file, bitmap.width, bitmap.height, indexed ? palette : nullptr,
                    paletteSize, rows.data(), &sink)) {
    // libpng says "Write Error" for any failed write; the system says which.
    const int err = errno;
    return {std::ferror(file) && err != 0 ? ErrnoText(err) : sink.message};
  }
  return Sink(file).Finish();
}

Status WritePpm(const Bitmap& bitmap, FILE* file) {
  if (Status s = CheckBitmap(bitmap); !s.ok()) return s;
  const bool indexed = bitmap.bitsPerPixel == 8;
  const uint8_t* table = bitmap.block.data() + kInfoHeaderSize;
  const std::string head =
      "P6\n" + std::to_string(bitmap.width) + " " + std::to_string(bitmap.height) + "\n255\n";
  // Rows are turned into RGB a chunk of about 128 KB at a time and each chunk goes
  // out in one write: a row at a time through the stream's small buffer would cost
  // a system call every few kilobytes.
  const size_t lineBytes = static_cast<size_t>(bitmap.width) * 3;
  const int chunkRows = static_cast<int>(std::max<size_t>(1, std::min<size_t>(bitmap.height, (size_t{128} << 10) / lineBytes)));
  std::vector<uint8_t> chunk(lineBytes * static_cast<size_t>(chunkRows));

  Sink out(file);
  out.Write(head.data(), head.size());
  for (int y0 = 0; y0 < bitmap.height; y0 += chunkRows) {
    const int rows = std::min(chunkRows, bitmap.height - y0);
    uint8_t* o = chunk.data();
    for (int y = y0; y < y0 + rows; ++y) {
      const uint8_t* row = bitmap.Row(bitmap.height - 1 - y);
      uint8_t* const end = o + lineBytes;
      // One loop per depth, each with nothing but the copy in it.
      if (indexed) {
        for (; o != end; o += 3, ++row) {
          const uint8_t* bgr = table + 4 * static_cast<size_t>(*row);
          o[0] = bgr[2];
          o[1] = bgr[1];
          o[2] = bgr[0];
        }
      } else {
        for (; o != end; o += 3, row += 3) {
          o[0] = row[2];
          o[1] = row[1];
          o[2] = row[0];
        }
      }
    }
    out.Write(chunk.data(), lineBytes * static_cast<size_t>(rows));
  }
  return out.Finish();
}

Status WritePpm(const RgbImage& image, FILE* file) {
  const size_t bytes = static_cast<size_t>(image.width) * static_cast<size_t>(image.height) * 3;
  if (image.width <= 0 || image.height <= 0 || image.rgb.size() < bytes) return {"no picture to write"};
  const std::string head = "P6\n" + std::to_string(image.width) + " " + std::to_string(image.height) + "\n255\n";
  Sink out(file);
  out.Write(head.data(), head.size());
  out.Write(image.rgb.data(), bytes);
  return out.Finish();
}

Status WriteImage(const Bitmap& bitmap, Format format, FILE* file) {
  switch (format) {
    case Format::kBmp: return WriteBmp(bitmap, file);
    case Format::kPng: return WritePng(bitmap, file);
    case Format::kPpm: return WritePpm(bitmap, file);
  }
  return {"unknown output format"};
}

}  // namespace kdz::imageio
