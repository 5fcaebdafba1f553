// kdz_web_reference: what the native library says, for the web tests to hold the
// WebAssembly module to. Built natively from the public API and the portable viewer.
//
//   kdz_web_reference decode MAX_PIXELS FILE...
//       one JSON line per file and depth (24, then 8): the error code and message,
//       or the picture's size and colours
//   kdz_web_reference view < SCRIPT
//       runs the view operations of SCRIPT, one per line, on one view state and prints
//       one JSON line per operation with its result and the state after it:
//         reset                                   a fresh state
//         set AUTO USER PANX PANY DW DH            scales, pan offset, display extents
//         paint WINDOW_W WINDOW_H IMAGE_W IMAGE_H
//         pan WINDOW_W WINDOW_H IMAGE_W IMAGE_H X Y
//         enlarge | reduce
//         info SECONDS RATIO IMAGE_W IMAGE_H
//         ratio FILE_SIZE IMAGE_W IMAGE_H
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "kdz/kdz.h"
#include "viewer/compression_ratio.h"
#include "viewer/image_info.h"
#include "viewer/view_state.h"

namespace {

std::string Json(const std::string& text) {
  std::string s = "\"";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      s += '\\';
      s += ch;
    } else if (c < 0x20 || c >= 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      s += buf;
    } else {
      s += ch;
    }
  }
  return s + "\"";
}

// Doubles exactly (17 significant digits read back to the same value); the values
// JSON has no number for as strings.
std::string Json(double v) {
  if (std::isnan(v)) return "\"NaN\"";
  if (std::isinf(v)) return v > 0 ? "\"Infinity\"" : "\"-Infinity\"";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

std::string Json(const kdz::ViewRect& r) {
  return "[" + std::to_string(r.left) + "," + std::to_string(r.top) + "," +
         std::to_string(r.right) + "," + std::to_string(r.bottom) + "]";
}

std::string Json(const kdz::ViewState& s) {
  return "{\"autoScale\":" + Json(s.autoScale) + ",\"userScale\":" + Json(s.userScale) +
         ",\"panX\":" + Json(s.panX) + ",\"panY\":" + Json(s.panY) +
         ",\"displayWidth\":" + std::to_string(s.displayWidth) +
         ",\"displayHeight\":" + std::to_string(s.displayHeight) +
         ",\"exposedRight\":" + Json(s.exposedRight) + ",\"exposedBelow\":" + Json(s.exposedBelow) +
         "}";
}

bool ReadFile(const std::string& path, std::vector<uint8_t>* bytes) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  uint8_t chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes->insert(bytes->end(), chunk, chunk + n);
  const bool ok = std::ferror(f) == 0;
  std::fclose(f);
  return ok;
}

int RunDecode(int argc, char** argv) {
  if (argc < 3) return 2;
  kdz::Limits limits;
  limits.maxPixels = std::strtoull(argv[2], nullptr, 10);
  for (int i = 3; i < argc; ++i) {
    std::vector<uint8_t> bytes;
    if (!ReadFile(argv[i], &bytes)) {
      std::fprintf(stderr, "kdz_web_reference: cannot read %s\n", argv[i]);
      return 1;
    }
    for (const bool eightBit : {false, true}) {
      kdz::Bitmap bitmap;
      const kdz::Result r = kdz::DecodeToBitmap(bytes.data(), bytes.size(), eightBit, &bitmap, limits);
      std::printf("{\"file\":%s,\"bits\":%d,\"error\":%d,\"message\":%s,\"width\":%d,"
                  "\"height\":%d,\"colorsUsed\":%d}\n",
                  Json(argv[i]).c_str(), eightBit ? 8 : 24, static_cast<int>(r.error),
                  Json(r.message).c_str(), bitmap.width, bitmap.height, bitmap.colorsUsed);
    }
  }
  return 0;
}

kdz::ViewRect Window(int32_t w, int32_t h) { return kdz::ViewRect{0, 0, w, h}; }

int RunView() {
  kdz::ViewState state;
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string op;
    if (!(in >> op)) continue;
    std::string result = "null";
    if (op == "reset") {
      state = kdz::ViewState{};
    } else if (op == "set") {
      int dw = 0, dh = 0;
      in >> state.autoScale >> state.userScale >> state.panX >> state.panY >> dw >> dh;
      state.displayWidth = static_cast<int16_t>(dw);
      state.displayHeight = static_cast<int16_t>(dh);
    } else if (op == "paint") {
      int32_t ww = 0, wh = 0, iw = 0, ih = 0;
      in >> ww >> wh >> iw >> ih;
      const kdz::PaintPlan p = kdz::PlanPaint(state, Window(ww, wh), iw, ih);
      result = "{\"erase\":[";
      for (int k = 0; k < p.eraseCount; ++k) result += (k ? "," : "") + Json(p.erase[k]);
      result += "],\"draw\":" + std::string(p.draw ? "true" : "false") +
                ",\"originX\":" + std::to_string(p.originX) + ",\"originY\":" + std::to_string(p.originY) +
                ",\"destWidth\":" + std::to_string(p.destWidth) +
                ",\"destHeight\":" + std::to_string(p.destHeight) +
                ",\"srcWidth\":" + std::to_string(p.srcWidth) +
                ",\"srcHeight\":" + std::to_string(p.srcHeight) + "}";
    } else if (op == "pan") {
      int32_t ww = 0, wh = 0, iw = 0, ih = 0, x = 0, y = 0;
      in >> ww >> wh >> iw >> ih >> x >> y;
      kdz::Pan(state, Window(ww, wh), iw, ih, x, y);
    } else if (op == "enlarge") {
      kdz::Enlarge(state);
    } else if (op == "reduce") {
      kdz::Reduce(state);
    } else if (op == "info") {
      double seconds = 0, ratio = 0;
      int32_t iw = 0, ih = 0;
      in >> seconds >> ratio >> iw >> ih;
      result = Json(kdz::ImageInfoText(seconds, ratio, iw, ih, state));
    } else if (op == "ratio") {
      double fileSize = 0;
      int32_t iw = 0, ih = 0;
      in >> fileSize >> iw >> ih;
      result = Json(kdz::PictureCompressionRatio(static_cast<size_t>(fileSize), iw, ih));
    } else {
      std::fprintf(stderr, "kdz_web_reference: unknown operation: %s\n", line.c_str());
      return 2;
    }
    std::printf("{\"op\":%s,\"result\":%s,\"state\":%s}\n", Json(line).c_str(), result.c_str(),
                Json(state).c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "decode") return RunDecode(argc, argv);
  if (command == "view") return RunView();
  std::fprintf(stderr, "usage: kdz_web_reference decode MAX_PIXELS FILE... | view < SCRIPT\n");
  return 2;
}
