// kdz: inspect KDZ files, decode them to BMP, PNG or PPM, and encode PNG pictures.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kdz/encoder.h"
#include "kdz/kdz.h"
#include "tools/kdz/image_io.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Far beyond any file the decoder accepts, yet small enough to hold in memory: a
// bigger file is refused before it is read, anything smaller reaches the decoder,
// which says why it will not decode it.
constexpr uint64_t kMaxInputBytes = 64u << 20;

const char kUsage[] =
    "usage: kdz info FILE [--json]\n"
    "       kdz decode [--24bit|--8bit] [--max-pixels N] [--threads N] IN.kdz OUT.{bmp,png,ppm}\n"
    "       kdz encode [--size BYTES | --quality Q] [--levels L] IN.png OUT.kdz\n"
    "       kdz --help\n";

const char kHelp[] =
    "\n"
    "Commands:\n"
    "  info FILE        print what the header of FILE says: version, picture size,\n"
    "                   levels, uncoded levels, offsets, value-table sizes, luma bias,\n"
    "                   and whether the file can be decoded (and if not, why)\n"
    "      --json       print the same as one JSON object\n"
    "  decode IN OUT    decode IN and write the picture to OUT; OUT's extension\n"
    "                   (.bmp, .png or .ppm) chooses the format\n"
    "      --24bit      the full-colour picture (the default)\n"
    "      --8bit       the picture reduced to at most 256 colours, as the viewer\n"
    "                   shows it: an 8-bit BMP, an indexed PNG, or its colours in PPM\n"
    "      --max-pixels N\n"
    "                   refuse pictures of more than N pixels (default 8192 x 8192)\n"
    "      --threads N  decode on at most N threads (default: one per core)\n"
    "\n"
    "  encode IN OUT    encode the PNG picture IN (any colour type; alpha is dropped\n"
    "                   with a warning) into the KDZ file OUT\n"
    "      --size BYTES the best quality whose file fits BYTES bytes\n"
    "      --quality Q  quality 1 (smallest) .. 100 (best), default 75\n"
    "      --levels L   wavelet levels 0..10 (default: chosen from the picture size)\n"
    "\n"
    "A BMP holds the decoded bitmap as it is: rows bottom-up, padded to 4 bytes.\n"
    "PNG and PPM are written top row first.\n"
    "\n"
    "Exit status: 0 on success; 1 when a file cannot be read, decoded or written,\n"
    "with one line \"kdz: FILE: reason\" on stderr; 2 on a usage error.\n";

int UsageError(const std::string& problem) {
  std::fprintf(stderr, "kdz: %s\n%s", problem.c_str(), kUsage);
  return kExitUsage;
}

// The one line a failure prints; line breaks inside a reason would break it up.
int Fail(const std::string& file, std::string reason) {
  for (char& c : reason) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  std::fprintf(stderr, "kdz: %s: %s\n", file.c_str(), reason.c_str());
  return kExitFailure;
}

std::string Reason(const kdz::Result& r) {
  return r.message.empty() ? kdz::ErrorMessage(r.error) : r.message;
}

// Reads a whole file; on failure returns false with the reason.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* data, std::string* reason) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    *reason = std::strerror(errno);
    return false;
  }
  data->clear();
  uint8_t chunk[65536];
  bool ok = true;
  for (;;) {
    const size_t n = std::fread(chunk, 1, sizeof chunk, f);
    data->insert(data->end(), chunk, chunk + n);
    if (data->size() > kMaxInputBytes) {
      *reason = "file is larger than " + std::to_string(kMaxInputBytes) + " bytes";
      ok = false;
      break;
    }
    if (n < sizeof chunk) {
      if (std::ferror(f)) {
        *reason = errno ? std::strerror(errno) : "read error";
        ok = false;
      }
      break;
    }
  }
  std::fclose(f);
  return ok;
}

// Splits arguments into options (leading "-", up to a lone "--") and operands. An
// option that takes a value ("--max-pixels N") is kept as "--max-pixels=N".
struct Args {
  std::vector<std::string> options;
  std::vector<std::string> operands;
};

const char* const kValueOptions[] = {"--max-pixels", "--size", "--quality", "--levels", "--threads"};

Args SplitArgs(int argc, char** argv, int first) {
  Args a;
  bool optionsEnded = false;
  for (int i = first; i < argc; ++i) {
    std::string s = argv[i];
    if (!optionsEnded && s == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && s.size() > 1 && s[0] == '-') {
      for (const char* v : kValueOptions) {
        if (s == v && i + 1 < argc) s += std::string("=") + argv[++i];
      }
      a.options.push_back(s);
    } else {
      a.operands.push_back(s);
    }
  }
  return a;
}

// A signature byte as text: printable ASCII as is, anything else as \xNN.
std::string SignatureText(const char* sig, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(sig[i]);
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      s += static_cast<char>(c);
    } else {
      char buf[5];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      s += buf;
    }
  }
  return s;
}

std::string JsonString(const std::string& text) {
  std::string s = "\"";
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      s += '\\';
      s += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      char buf[7];
      std::snprintf(buf, sizeof buf, "\\u%04X", c);
      s += buf;
    } else if (c < 0x80) {
      s += static_cast<char>(c);
    } else {
      // Keep well-formed UTF-8 (file names); anything else becomes U+FFFD so that
      // the output stays valid JSON.
      const size_t len = c >= 0xF0 && c < 0xF5 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
      bool good = len != 0 && i + len <= text.size();
      for (size_t k = 1; good && k < len; ++k) good = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
      if (good) {
        s.append(text, i, len);
        i += len - 1;
      } else {
        s += "\\uFFFD";
      }
    }
  }
  return s + "\"";
}

std::string ValueCountText(int n) { return n < 0 ? "outside the file" : std::to_string(n); }

void PrintInfoText(const std::string& path, const kdz::HeaderInfo& h) {
  const char* p = "yiq";
  std::printf("file:             %s\n", path.c_str());
  std::printf("size:             %zu bytes\n", h.fileSize);
  std::printf("signature:        %s\n", SignatureText(h.signature, 8).c_str());
  std::printf("version:          %s.%s\n", SignatureText(h.signature + 3, 1).c_str(),
              SignatureText(h.signature + 5, 1).c_str());
  std::printf("picture:          %d x %d\n", h.width, h.height);
  std::printf("levels:           %d\n", h.levels);
  std::printf("uncoded levels:   y %d, i %d, q %d\n", h.uncodedLevels[0], h.uncodedLevels[1],
              h.uncodedLevels[2]);
  std::printf("header length:    %d\n", h.headerLength);
  std::printf("transform mode:   %d\n", h.transformMode);
  std::printf("plane offsets:    y %u, i %u, q %u\n", h.planeOffset[0], h.planeOffset[1],
              h.planeOffset[2]);
  std::printf("segment offsets:  y %u, i %u, q %u\n", h.segmentOffset[0], h.segmentOffset[1],
              h.segmentOffset[2]);
  std::printf("value tables:     ");
  for (int k = 0; k < 3; ++k) {
    std::printf("%s%c %s", k ? ", " : "", p[k], ValueCountText(h.valueCount[k]).c_str());
  }
  std::printf("\n");
  std::printf("luma bias:        %d\n", h.lumaBias);
  if (h.decodable) {
    std::printf("decodable:        yes\n");
  } else {
    std::printf("decodable:        no: %s\n", h.problem.c_str());
  }
}

void PrintInfoJson(const std::string& path, const kdz::HeaderInfo& h) {
  auto triple = [](const auto& v) {
    return "{\"y\": " + std::to_string(v[0]) + ", \"i\": " + std::to_string(v[1]) +
           ", \"q\": " + std::to_string(v[2]) + "}";
  };
  std::string tables = "{";
  for (int k = 0; k < 3; ++k) {
    tables += std::string(k ? ", " : "") + "\"" + "yiq"[k] + "\": " +
              (h.valueCount[k] < 0 ? "null" : std::to_string(h.valueCount[k]));
  }
  tables += "}";
  const std::string version = SignatureText(h.signature + 3, 1) + "." + SignatureText(h.signature + 5, 1);
  std::printf("{\n");
  std::printf("  \"file\": %s,\n", JsonString(path).c_str());
  std::printf("  \"size\": %zu,\n", h.fileSize);
  std::printf("  \"signature\": %s,\n", JsonString(SignatureText(h.signature, 8)).c_str());
  std::printf("  \"version\": %s,\n", JsonString(version).c_str());
  std::printf("  \"width\": %d,\n", h.width);
  std::printf("  \"height\": %d,\n", h.height);
  std::printf("  \"levels\": %d,\n", h.levels);
  std::printf("  \"uncodedLevels\": %s,\n", triple(h.uncodedLevels).c_str());
  std::printf("  \"headerLength\": %d,\n", h.headerLength);
  std::printf("  \"transformMode\": %d,\n", h.transformMode);
  std::printf("  \"planeOffsets\": %s,\n", triple(h.planeOffset).c_str());
  std::printf("  \"segmentOffsets\": %s,\n", triple(h.segmentOffset).c_str());
  std::printf("  \"valueTableSizes\": %s,\n", tables.c_str());
  std::printf("  \"lumaBias\": %d,\n", h.lumaBias);
  std::printf("  \"decodable\": %s,\n", h.decodable ? "true" : "false");
  std::printf("  \"problem\": %s\n", h.decodable ? "null" : JsonString(h.problem).c_str());
  std::printf("}\n");
}

int RunInfo(const Args& args) {
  bool json = false;
  for (const std::string& o : args.options) {
    if (o == "--json") json = true;
    else return UsageError("info: unknown option " + o);
  }
  if (args.operands.size() != 1) return UsageError("info takes one FILE");
  const std::string& path = args.operands[0];

  std::vector<uint8_t> data;
  std::string reason;
  if (!ReadWholeFile(path, &data, &reason)) return Fail(path, reason);
  kdz::HeaderInfo header;
  if (kdz::Result r = kdz::ReadHeader(data.data(), data.size(), &header); !r.ok()) {
    return Fail(path, Reason(r));
  }
  if (json) PrintInfoJson(path, header);
  else PrintInfoText(path, header);
  return std::fflush(stdout) == 0 ? 0 : Fail("stdout", std::strerror(errno));
}

// A positive decimal number that fits 64 bits.
bool ParseCount(const std::string& text, uint64_t* value) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const auto digit = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *value = v;
  return v > 0;
}

// A whole number in min..max, written in decimal digits only.
bool ParseInt(const std::string& text, int min, int max, int* value) {
  uint64_t v = 0;
  if (text == "0") {
    v = 0;
  } else if (!ParseCount(text, &v)) {
    return false;
  }
  if (v < static_cast<uint64_t>(min) || v > static_cast<uint64_t>(max)) return false;
  *value = static_cast<int>(v);
  return true;
}

// The value of an option kept as "--name=value"; false for another option.
bool OptionValue(const std::string& option, const char* name, std::string* value) {
  const std::string prefix = std::string(name) + "=";
  if (option != name && option.rfind(prefix, 0) != 0) return false;
  *value = option.size() > prefix.size() ? option.substr(prefix.size()) : "";
  return true;
}

int RunDecode(const Args& args) {
  int depth = 0;  // 0 = not given
  kdz::Limits limits;
  for (size_t i = 0; i < args.options.size(); ++i) {
    const std::string& o = args.options[i];
    if (o == "--24bit" || o == "--8bit") {
      const int d = o == "--8bit" ? 8 : 24;
      if (depth != 0 && depth != d) return UsageError("decode: --24bit and --8bit exclude each other");
      depth = d;
    } else if (std::string value; OptionValue(o, "--max-pixels", &value)) {
      if (!ParseCount(value, &limits.maxPixels)) {
        return UsageError("decode: --max-pixels needs a positive whole number");
      }
    } else if (OptionValue(o, "--threads", &value)) {
      if (!ParseInt(value, 1, 64, &limits.threads)) {
        return UsageError("decode: --threads needs a whole number from 1 to 64");
      }
    } else {
      return UsageError("decode: unknown option " + o);
    }
  }
  if (args.operands.size() != 2) return UsageError("decode takes IN.kdz and OUT");
  const std::string& in = args.operands[0];
  const std::string& out = args.operands[1];
  kdz::imageio::Format format;
  if (!kdz::imageio::FormatFromPath(out, &format)) {
    return UsageError("decode: " + out + ": output must end in .bmp, .png or .ppm");
  }

  std::vector<uint8_t> data;
  std::string reason;
  if (!ReadWholeFile(in, &data, &reason)) return Fail(in, reason);
  kdz::Bitmap bitmap;
  if (kdz::Result r = kdz::DecodeToBitmap(data.data(), data.size(), depth == 8, &bitmap, limits);
      !r.ok()) {
    return Fail(in, Reason(r));
  }
  if (kdz::imageio::Status s = kdz::imageio::WriteImage(bitmap, format, out); !s.ok()) {
    return Fail(out, s.error);
  }
  return 0;
}

int RunEncode(const Args& args) {
  kdz::EncodeOptions options;
  bool haveSize = false, haveQuality = false;
  for (const std::string& o : args.options) {
    std::string value;
    if (OptionValue(o, "--size", &value)) {
      if (!ParseInt(value, 1, INT32_MAX, &options.targetSize)) {
        return UsageError("encode: --size needs a positive number of bytes");
      }
      haveSize = true;
    } else if (OptionValue(o, "--quality", &value)) {
      if (!ParseInt(value, 1, 100, &options.quality)) {
        return UsageError("encode: --quality needs a whole number from 1 to 100");
      }
      haveQuality = true;
    } else if (OptionValue(o, "--levels", &value)) {
      if (!ParseInt(value, 0, 10, &options.levels)) {
        return UsageError("encode: --levels needs a whole number from 0 to 10");
      }
    } else {
      return UsageError("encode: unknown option " + o);
    }
  }
  // With a size target the encoder chooses the quality itself.
  if (haveSize && haveQuality) return UsageError("encode: --size and --quality exclude each other");
  if (args.operands.size() != 2) return UsageError("encode takes IN.png and OUT.kdz");
  const std::string& in = args.operands[0];
  const std::string& out = args.operands[1];

  kdz::RgbImage picture;
  bool alphaDropped = false;
  if (kdz::imageio::Status s = kdz::imageio::ReadPng(in, &picture, &alphaDropped); !s.ok()) {
    return Fail(in, s.error);
  }
  std::vector<uint8_t> bytes;
  kdz::EncodeReport report;
  if (kdz::Result r = kdz::Encode(picture, options, &bytes, &report); !r.ok()) {
    return Fail(in, Reason(r));
  }
  if (kdz::imageio::Status s = kdz::imageio::WriteBytes(bytes, out); !s.ok()) {
    return Fail(out, s.error);
  }
  // Only once the file is written, so that a failure stays a single line.
  if (alphaDropped) {
    std::fprintf(stderr, "kdz: %s: warning: transparency dropped (KDZ holds no alpha)\n", in.c_str());
  }
  std::printf("%s: %d x %d, %zu bytes, quality %.1f, %d levels, PSNR %.2f dB\n", out.c_str(),
              report.width, report.height, bytes.size(), report.quality, report.levels, report.psnr);
  return std::fflush(stdout) == 0 ? 0 : Fail("stdout", std::strerror(errno));
}

struct Command {
  const char* name;
  int (*run)(const Args& args);
};

const Command kCommands[] = {
    {"info", RunInfo},
    {"decode", RunDecode},
    {"encode", RunEncode},
};

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--") break;
    if (a == "--help" || a == "-h") {
      std::printf("%s%s", kUsage, kHelp);
      return 0;
    }
  }
  if (argc < 2) return UsageError("no command given");
  const std::string name = argv[1];
  for (const Command& c : kCommands) {
    if (name == c.name) return c.run(SplitArgs(argc, argv, 2));
  }
  return UsageError("unknown command '" + name + "'");
}
