// pillow_kdz._kdz: the library's decode, encode and header calls for Python. Bytes
// in, bytes out; failures raise _kdz.Failure(code, message), which the package turns
// into KdzError.
#include <pybind11/pybind11.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "kdz/encoder.h"
#include "kdz/kdz.h"

namespace py = pybind11;

namespace {

// The error codes by name, for the package's ErrorCode enum.
const std::pair<const char*, kdz::Error> kErrorNames[] = {
    {"NONE", kdz::Error::kNone},
    {"IO", kdz::Error::kIo},
    {"FILE_TOO_LARGE", kdz::Error::kFileTooLarge},
    {"EMPTY", kdz::Error::kEmpty},
    {"NOT_KDZ", kdz::Error::kNotKdz},
    {"UNSUPPORTED", kdz::Error::kUnsupported},
    {"MALFORMED", kdz::Error::kMalformed},
    {"LIMIT", kdz::Error::kLimit},
    {"BUFFER_TOO_SMALL", kdz::Error::kBufferTooSmall},
    {"OUT_OF_MEMORY", kdz::Error::kOutOfMemory},
    {"QUANT_FAILED", kdz::Error::kQuantFailed},
    {"INVALID_ARGUMENT", kdz::Error::kInvalidArgument},
};

PyObject* g_failure = nullptr;  // _kdz.Failure, owned by the module

[[noreturn]] void Raise(kdz::Error error, const std::string& message) {
  py::tuple args = py::make_tuple(static_cast<int>(error), message);
  PyErr_SetObject(g_failure, args.ptr());
  throw py::error_already_set();
}

void Check(const kdz::Result& r) {
  if (!r.ok()) Raise(r.error, r.message.empty() ? kdz::ErrorMessage(r.error) : r.message);
}

// A read-only view of any bytes-like object (bytes, bytearray, memoryview, a
// contiguous uint8 array).
struct Bytes {
  py::buffer_info info;
  explicit Bytes(const py::buffer& b) : info(b.request()) {
    if (info.itemsize != 1) Raise(kdz::Error::kInvalidArgument, "expected bytes, not items of " + std::to_string(info.itemsize) + " bytes");
    ssize_t expect = 1;
    for (ssize_t k = info.ndim - 1; k >= 0; --k) {
      if (info.strides[k] != expect) Raise(kdz::Error::kInvalidArgument, "the pixel buffer is not contiguous");
      expect *= info.shape[k];
    }
  }
  const uint8_t* data() const { return static_cast<const uint8_t*>(info.ptr); }
  size_t size() const { return static_cast<size_t>(info.size); }
};

kdz::Limits MakeLimits(uint64_t maxPixels) {
  kdz::Limits limits;
  limits.maxPixels = maxPixels;
  return limits;
}

// (width, height, pixels, palette): pixels rows top first, RGB or palette indices;
// palette the colours in use as RGB triples (None for the 24-bit picture).
py::tuple Decode(const py::buffer& data, bool eightBit, uint64_t maxPixels) {
  Bytes in(data);
  kdz::Bitmap bitmap;
  kdz::Result r;
  {
    py::gil_scoped_release unlocked;
    r = kdz::DecodeToBitmap(in.data(), in.size(), eightBit, &bitmap, MakeLimits(maxPixels));
  }
  Check(r);
  const int bytesPerPixel = bitmap.bitsPerPixel / 8;
  const size_t rowBytes = static_cast<size_t>(bitmap.width) * bytesPerPixel;
  py::bytes pixels(nullptr, rowBytes * bitmap.height);
  char* out = PyBytes_AsString(pixels.ptr());
  for (int y = 0; y < bitmap.height; ++y) {
    const uint8_t* src = bitmap.Row(bitmap.height - 1 - y);  // the bitmap is bottom-up
    uint8_t* dst = reinterpret_cast<uint8_t*>(out) + rowBytes * y;
    if (bytesPerPixel == 1) {
      std::memcpy(dst, src, rowBytes);
    } else {
      for (int x = 0; x < bitmap.width; ++x) {  // blue, green, red to red, green, blue
        dst[3 * x] = src[3 * x + 2];
        dst[3 * x + 1] = src[3 * x + 1];
        dst[3 * x + 2] = src[3 * x];
      }
    }
  }
  py::object palette = py::none();
  if (eightBit) {
    std::string rgb(3 * static_cast<size_t>(bitmap.colorsUsed), '\0');
    const uint8_t* table = bitmap.block.data() + 40;  // after the BITMAPINFOHEADER
    for (int k = 0; k < bitmap.colorsUsed; ++k) {
      rgb[3 * k] = static_cast<char>(table[4 * k + 2]);
      rgb[3 * k + 1] = static_cast<char>(table[4 * k + 1]);
      rgb[3 * k + 2] = static_cast<char>(table[4 * k]);
    }
    palette = py::bytes(rgb);
  }
  return py::make_tuple(bitmap.width, bitmap.height, std::move(pixels), palette);
}

py::dict ReadHeader(const py::buffer& data) {
  Bytes in(data);
  kdz::HeaderInfo h;
  Check(kdz::ReadHeader(in.data(), in.size(), &h));
  py::dict d;
  d["signature"] = py::bytes(h.signature, 8);
  d["width"] = h.width;
  d["height"] = h.height;
  d["levels"] = h.levels;
  d["file_size"] = h.fileSize;
  d["decodable"] = h.decodable;
  d["problem"] = h.problem;
  return d;
}

py::tuple Encode(const py::buffer& pixels, int width, int height, int size, int quality, int levels) {
  Bytes in(pixels);
  if (width <= 0 || height <= 0) Raise(kdz::Error::kInvalidArgument, "picture of " + std::to_string(width) + " x " + std::to_string(height) + " pixels");
  if (in.size() != 3ull * static_cast<uint64_t>(width) * static_cast<uint64_t>(height)) {
    Raise(kdz::Error::kInvalidArgument, std::to_string(in.size()) + " bytes are not " + std::to_string(width) + " x " + std::to_string(height) + " RGB pixels");
  }
  kdz::RgbImage picture;
  picture.width = width;
  picture.height = height;
  picture.rgb.assign(in.data(), in.data() + in.size());
  kdz::EncodeOptions options;
  options.targetSize = size;
  options.quality = quality;
  options.levels = levels;
  std::vector<uint8_t> file;
  kdz::EncodeReport report;
  kdz::Result r;
  {
    py::gil_scoped_release unlocked;
    r = kdz::Encode(picture, options, &file, &report);
  }
  Check(r);
  py::dict d;
  d["levels"] = report.levels;
  d["quality"] = report.quality;
  d["file_size"] = report.fileSize;
  d["psnr"] = report.psnr;
  d["covered_width"] = report.coveredWidth;
  d["covered_height"] = report.coveredHeight;
  d["trials"] = report.trials;
  return py::make_tuple(py::bytes(reinterpret_cast<const char*>(file.data()), file.size()), d);
}

}  // namespace

PYBIND11_MODULE(_kdz, m) {
  m.doc() = "KDZ codec bindings (use the pillow_kdz package)";
  static py::exception<std::exception> failure(m, "Failure");
  g_failure = failure.ptr();
  py::dict codes;
  for (const auto& [name, code] : kErrorNames) codes[name] = static_cast<int>(code);
  m.attr("ERROR_CODES") = codes;
  m.attr("DEFAULT_MAX_PIXELS") = kdz::kDefaultMaxPixels;
  m.def("decode", &Decode, py::arg("data"), py::arg("eight_bit"), py::arg("max_pixels"));
  m.def("read_header", &ReadHeader, py::arg("data"));
  m.def("encode", &Encode, py::arg("pixels"), py::arg("width"), py::arg("height"), py::arg("size"),
        py::arg("quality"), py::arg("levels"));
}
