// BMP, PNG and PPM writers and the PNG reader of the kdz tool (PNG through libpng).
#include "tools/kdz/image_io.h"

#include <png.h>

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

// A file written under PATH.tmp and renamed to PATH by Commit(); destroyed before
// that, it removes the temporary file.
class TempFile {
 public:
  explicit TempFile(const std::string& path) : path_(path), tmp_(path + ".tmp") {}
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() { Discard(); }

  Status Open() {
    file_ = std::fopen(tmp_.c_str(), "wb");
    if (!file_) return {ErrnoText(errno)};
    return {};
  }
  FILE* file() const { return file_; }

  // Remembers the first failure; Commit() reports it.
  void Write(const void* data, size_t size) {
    if (error_ == 0 && size != 0 && std::fwrite(data, 1, size, file_) != size) error_ = errno ? errno : EIO;
  }

  Status Commit() {
    if (error_ == 0 && std::fflush(file_) != 0) error_ = errno ? errno : EIO;
    if (error_ == 0 && std::ferror(file_)) error_ = EIO;
    const int closed = std::fclose(file_);
    file_ = nullptr;
    if (error_ == 0 && closed != 0) error_ = errno ? errno : EIO;
    if (error_ == 0 && std::rename(tmp_.c_str(), path_.c_str()) != 0) error_ = errno ? errno : EIO;
    if (error_ != 0) {
      std::remove(tmp_.c_str());
      return {ErrnoText(error_)};
    }
    committed_ = true;
    return {};
  }

  void Discard() {
    if (file_) {
      std::fclose(file_);
      file_ = nullptr;
    }
    if (!committed_) std::remove(tmp_.c_str());
    committed_ = true;
  }

 private:
  std::string path_;
  std::string tmp_;
  FILE* file_ = nullptr;
  int error_ = 0;
  bool committed_ = false;
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

struct PngReader {
  PngErrorSink sink;
  png_structp png = nullptr;
  png_infop info = nullptr;
  png_uint_32 width = 0;
  png_uint_32 height = 0;
  size_t rowBytes = 0;
};

// Reads the header and asks libpng to deliver every picture as 8-bit R,G,B,A.
bool ReadPngHeader(FILE* file, PngReader* r) {
  if (setjmp(png_jmpbuf(r->png))) return false;
  png_init_io(r->png, file);
  png_set_sig_bytes(r->png, 8);
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

bool ReadPngRows(PngReader* r, png_bytepp rows) {
  if (setjmp(png_jmpbuf(r->png))) return false;
  png_read_image(r->png, rows);
  png_read_end(r->png, nullptr);
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

Status WriteBmp(const Bitmap& bitmap, const std::string& path) {
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

  TempFile out(path);
  if (Status s = out.Open(); !s.ok()) return s;
  out.Write(head, sizeof head);
  if (indexed) out.Write(bitmap.block.data() + kInfoHeaderSize, kColorTableBytes);
  out.Write(BottomRow(bitmap), static_cast<size_t>(rowBytes));
  return out.Commit();
}

Status WritePng(const Bitmap& bitmap, const std::string& path) {
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

  TempFile out(path);
  if (Status s = out.Open(); !s.ok()) return s;
  PngErrorSink sink;
  if (!WritePngRows(out.file(), bitmap.width, bitmap.height, indexed ? palette : nullptr,
                    paletteSize, rows.data(), &sink)) {
    out.Discard();
    return {sink.message};
  }
  return out.Commit();
}

Status WritePpm(const Bitmap& bitmap, const std::string& path) {
  if (Status s = CheckBitmap(bitmap); !s.ok()) return s;
  const bool indexed = bitmap.bitsPerPixel == 8;
  const uint8_t* table = bitmap.block.data() + kInfoHeaderSize;
  const std::string head =
      "P6\n" + std::to_string(bitmap.width) + " " + std::to_string(bitmap.height) + "\n255\n";
  std::vector<uint8_t> line(static_cast<size_t>(bitmap.width) * 3);

  TempFile out(path);
  if (Status s = out.Open(); !s.ok()) return s;
  out.Write(head.data(), head.size());
  for (int y = 0; y < bitmap.height; ++y) {
    const uint8_t* row = bitmap.Row(bitmap.height - 1 - y);
    uint8_t* o = line.data();
    for (int x = 0; x < bitmap.width; ++x, o += 3) {
      const uint8_t* bgr = indexed ? table + 4 * row[x] : row + 3 * x;
      o[0] = bgr[2];
      o[1] = bgr[1];
      o[2] = bgr[0];
    }
    out.Write(line.data(), line.size());
  }
  return out.Commit();
}

Status WriteImage(const Bitmap& bitmap, Format format, const std::string& path) {
  switch (format) {
    case Format::kBmp: return WriteBmp(bitmap, path);
    case Format::kPng: return WritePng(bitmap, path);
    case Format::kPpm: return WritePpm(bitmap, path);
  }
  return {"unknown output format"};
}

Status WriteBytes(const std::vector<uint8_t>& bytes, const std::string& path) {
  TempFile out(path);
  if (Status s = out.Open(); !s.ok()) return s;
  out.Write(bytes.data(), bytes.size());
  return out.Commit();
}

Status ReadPng(const std::string& path, RgbImage* out, bool* alphaDropped, uint64_t maxPixels) {
  *out = RgbImage{};
  *alphaDropped = false;
  FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return {ErrnoText(errno)};
  uint8_t signature[8] = {};
  const size_t got = std::fread(signature, 1, sizeof signature, file);
  if (got != sizeof signature || png_sig_cmp(signature, 0, sizeof signature) != 0) {
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    return {failed ? "read error" : "not a PNG file"};
  }

  PngReader r;
  r.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &r.sink, OnPngError, OnPngWarning);
  if (r.png) r.info = png_create_info_struct(r.png);
  Status status;
  if (!r.png || !r.info) {
    status = {"out of memory"};
  } else if (!ReadPngHeader(file, &r)) {
    status = {r.sink.message};
  } else if (r.width == 0 || r.height == 0 || r.rowBytes != static_cast<size_t>(r.width) * 4) {
    status = {"unexpected PNG row layout"};
  } else if (static_cast<uint64_t>(r.width) * r.height > maxPixels) {
    status = {"picture of " + std::to_string(r.width) + " x " + std::to_string(r.height) +
              " pixels exceeds the limit of " + std::to_string(maxPixels) + " pixels"};
  } else {
    const size_t w = r.width, h = r.height;
    std::vector<uint8_t> rgba(w * h * 4);
    std::vector<png_bytep> rows(h);
    for (size_t y = 0; y < h; ++y) rows[y] = rgba.data() + y * w * 4;
    if (!ReadPngRows(&r, rows.data())) {
      status = {r.sink.message};
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
  std::fclose(file);
  return status;
}

}  // namespace kdz::imageio
