// kdz: inspect KDZ files, decode them to BMP, PNG or PPM, and encode PNG, JPEG, WebP,
// PNM and BMP pictures; one file at a time or many in one call.
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "kdz/encoder.h"
#include "kdz/kdz.h"
#include "tools/kdz/batch.h"
#include "tools/kdz/files.h"
#include "tools/kdz/image_io.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Far beyond any file the decoder accepts, yet small enough to hold in memory: a
// bigger file is refused before it is read, anything smaller reaches the decoder,
// which says why it will not decode it.
constexpr uint64_t kMaxInputBytes = 64u << 20;
// A picture to encode: an uncompressed 16-bit PNM of the encoder's largest picture
// (8192 x 8192) is 384 MiB.
constexpr uint64_t kMaxPictureBytes = 512u << 20;

const char kUsage[] =
    "usage: kdz info FILE [--json]\n"
    "       kdz decode [--24bit|--8bit] [--format F] [--max-pixels N] [--threads N] IN.kdz OUT.{bmp,png,ppm}\n"
    "       kdz decode [--24bit|--8bit] [--format F] [--max-pixels N] [--threads N] [BATCH] -o DIR FILE.kdz...\n"
    "       kdz encode [--size BYTES | --quality Q] [--levels L] IN OUT.kdz\n"
    "       kdz encode [--size BYTES | --quality Q] [--levels L] [BATCH] -o DIR FILE...\n"
    "       kdz --help | --version    (also after a command: kdz decode -h)\n";

const char kInfoHelp[] =
    "  info FILE        print what the header of FILE says: version, picture size,\n"
    "                   levels, uncoded levels, offsets, value-table sizes, luma bias,\n"
    "                   and whether the file can be decoded (and if not, why)\n"
    "      --json       print the same as one JSON object\n";

const char kDecodeHelp[] =
    "  decode IN OUT    decode IN and write the picture to OUT; OUT's extension\n"
    "                   (.bmp, .png or .ppm) chooses the format; \"-\" for IN reads\n"
    "                   standard input, \"-\" for OUT writes standard output (PNG\n"
    "                   unless --format says otherwise)\n"
    "  decode -o DIR FILE...\n"
    "                   decode every FILE into DIR, as NAME.png (or --format)\n"
    "      --24bit      the full-colour picture (the default)\n"
    "      --8bit       the picture reduced to at most 256 colours, as the viewer\n"
    "                   shows it: an 8-bit BMP, an indexed PNG, or its colours in PPM\n"
    "      --format F   write F: png, bmp or ppm\n"
    "      --max-pixels N\n"
    "                   refuse pictures of more than N pixels (default 8192 x 8192)\n"
    "      --threads N  decode each picture on at most N threads (default: one per\n"
    "                   core for one file, one per file in a batch)\n";

const char kEncodeHelp[] =
    "  encode IN OUT    encode the picture IN into the KDZ file OUT; IN may be PNG,\n"
    "                   JPEG, WebP, PNM (P1 to P6) or BMP, told apart by content, not\n"
    "                   name; alpha is dropped with a warning; \"-\" for IN reads\n"
    "                   standard input, \"-\" for OUT writes standard output\n"
    "  encode -o DIR FILE...\n"
    "                   encode every FILE into DIR, as NAME.kdz\n"
    "      --size BYTES the best quality whose file fits BYTES bytes\n"
    "      --quality Q  quality 1 (smallest) .. 100 (best), default 75\n"
    "      --levels L   wavelet levels 0..10 (default: chosen from the picture size)\n";

const char kBatchHelp[] =
    "BATCH options (with -o DIR):\n"
    "  -o, --output DIR write the outputs into DIR (made if missing)\n"
    "  -r, --recursive  walk folders among the FILEs for *.kdz (decode) or\n"
    "                   *.png, *.jpg, *.jpeg, *.webp, *.pnm, *.ppm, *.pgm, *.pbm,\n"
    "                   *.bmp (encode); outputs keep the path below the folder\n"
    "  -j, --jobs N     N files at a time (default: the number of processors)\n"
    "  -f, --force      replace outputs that exist (kept otherwise, and reported)\n"
    "  -q, --quiet      no progress bar, warnings or summary; failures still show\n"
    "  -v, --verbose    a line on standard output for each file made\n"
    "A progress bar shows on a terminal. A file that fails is reported on its own\n"
    "line and the others go on.\n";

const char kCommonHelp[] =
    "  -h, --help       this help (of one command when given after it)\n"
    "      --version    the tool's version\n"
    "\n"
    "A BMP holds the decoded bitmap as it is: rows bottom-up, padded to 4 bytes.\n"
    "PNG and PPM are written top row first. Every output is written under a\n"
    "temporary name in its folder and renamed when complete.\n"
    "\n"
    "Exit status: 0 on success; 1 when a file cannot be read, decoded or written,\n"
    "with one line \"kdz: FILE: reason\" on stderr (in a batch, one per file, then a\n"
    "summary); 2 on a usage error.\n";

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

// Splits arguments into options (leading "-", up to a lone "--") and operands; "-"
// alone is an operand. An option that takes a value ("--max-pixels N", "-o DIR",
// "-j4") is kept as "--max-pixels=N", "-o=DIR", "-j=4"; flags may be bundled ("-rf").
struct Args {
  std::vector<std::string> options;
  std::vector<std::string> operands;
};

const char* const kValueOptions[] = {"--max-pixels", "--size", "--quality", "--levels",
                                     "--format", "--output", "--jobs",
                                     "--threads"};
const char kValueLetters[] = "oj";

Args SplitArgs(int argc, char** argv, int first) {
  Args a;
  bool optionsEnded = false;
  for (int i = first; i < argc; ++i) {
    std::string s = argv[i];
    if (!optionsEnded && s == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && s.size() > 2 && s[0] == '-' && s[1] == '-') {
      for (const char* v : kValueOptions) {
        if (s == v && i + 1 < argc) s += std::string("=") + argv[++i];
      }
      a.options.push_back(s);
    } else if (!optionsEnded && s.size() > 1 && s[0] == '-') {
      for (size_t k = 1; k < s.size(); ++k) {
        const std::string letter = std::string("-") + s[k];
        if (std::strchr(kValueLetters, s[k]) == nullptr) {
          a.options.push_back(letter);
        } else if (k + 1 < s.size()) {
          a.options.push_back(letter + "=" + s.substr(k + 1 + (s[k + 1] == '=' ? 1 : 0)));
          break;
        } else {
          a.options.push_back(i + 1 < argc ? letter + "=" + argv[++i] : letter);
        }
      }
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
  if (kdz::imageio::Status s = kdz::files::ReadWhole(path, kMaxInputBytes, &data); !s.ok()) {
    return Fail(kdz::files::DisplayName(path, false), s.error);
  }
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

// The options of a batch run ("-o DIR" and what goes with it), shared by decode and
// encode.
struct BatchArgs {
  std::string outDir;
  bool haveOutDir = false;
  bool recursive = false, force = false, quiet = false, verbose = false;
  int jobs = 0;  // 0: the number of processors
};

// 1: taken, 0: not a batch option, -1: bad value (usage error printed).
int TakeBatchOption(const std::string& command, const std::string& o, BatchArgs* b, int* status) {
  std::string value;
  if (OptionValue(o, "-o", &value) || OptionValue(o, "--output", &value)) {
    if (value.empty()) {
      *status = UsageError(command + ": -o needs a folder");
      return -1;
    }
    b->outDir = value;
    b->haveOutDir = true;
  } else if (OptionValue(o, "-j", &value) || OptionValue(o, "--jobs", &value)) {
    if (!ParseInt(value, 1, 1024, &b->jobs)) {
      *status = UsageError(command + ": -j needs a whole number from 1 to 1024");
      return -1;
    }
  } else if (o == "-r" || o == "--recursive") {
    b->recursive = true;
  } else if (o == "-f" || o == "--force") {
    b->force = true;
  } else if (o == "-q" || o == "--quiet") {
    b->quiet = true;
  } else if (o == "-v" || o == "--verbose") {
    b->verbose = true;
  } else {
    return 0;
  }
  return 1;
}

// Options that mean something only with -o DIR.
bool BatchOnlyOptionsGiven(const BatchArgs& b) { return b.recursive || b.verbose || b.jobs != 0; }

kdz::batch::Options RunOptions(const BatchArgs& b, const char* verb) {
  kdz::batch::Options o;
  o.jobs = b.jobs != 0 ? b.jobs : kdz::batch::DefaultJobs();
  o.quiet = b.quiet;
  o.verbose = b.verbose;
  o.verb = verb;
  return o;
}

bool HasExtension(const std::string& name, std::initializer_list<const char*> extensions) {
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos) return false;
  std::string ext = name.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  for (const char* e : extensions) {
    if (ext == e) return true;
  }
  return false;
}

// Standard output may take a picture unless it is a terminal.
kdz::imageio::Status CheckStdoutTakesData() {
  if (isatty(STDOUT_FILENO)) return {"is a terminal; redirect it or name an output file"};
  return {};
}

// Writes bytes made by `write` to PATH (a temporary file renamed when complete) or,
// for "-", to standard output. Returns the reason on failure.
template <typename WriteFn>
kdz::imageio::Status WriteOutput(const std::string& path, bool overwrite, WriteFn write) {
  if (path == "-") {
    if (kdz::imageio::Status s = write(stdout); !s.ok()) return s;
    return kdz::files::FinishStdout();
  }
  kdz::files::OutputFile out;
  if (kdz::imageio::Status s = out.Open(path, overwrite); !s.ok()) return s;
  if (kdz::imageio::Status s = write(out.file()); !s.ok()) return s;
  return out.Commit();
}

// The parent folder of a batch output, made if missing.
kdz::imageio::Status PrepareBatchOutput(const std::string& output, bool force) {
  const size_t slash = output.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    if (kdz::imageio::Status s = kdz::files::MakeFolders(output.substr(0, slash)); !s.ok()) return s;
  }
  if (!force && access(output.c_str(), F_OK) == 0) return {kdz::files::kExistsReason};
  return {};
}

struct DecodeSettings {
  bool eightBit = false;
  kdz::Limits limits;
  kdz::imageio::Format format = kdz::imageio::Format::kPng;
};

// Decodes one file and hands out its size. On failure *failedFile names the input
// or the output. A 24-bit PPM is decoded straight into RGB rows, which the file
// holds as they are; every other output is written from the bitmap.
kdz::imageio::Status DecodeOne(const std::string& in, const std::string& out, bool overwrite,
                               const DecodeSettings& settings, std::string* failedFile, int* width,
                               int* height) {
  *failedFile = kdz::files::DisplayName(in, false);
  std::vector<uint8_t> data;
  if (kdz::imageio::Status s = kdz::files::ReadWhole(in, kMaxInputBytes, &data); !s.ok()) return s;
  if (!settings.eightBit && settings.format == kdz::imageio::Format::kPpm) {
    kdz::RgbImage image;
    if (kdz::Result r = kdz::Decode(data.data(), data.size(), &image, settings.limits); !r.ok()) return {Reason(r)};
    *width = image.width;
    *height = image.height;
    *failedFile = kdz::files::DisplayName(out, true);
    return WriteOutput(out, overwrite, [&](FILE* f) { return kdz::imageio::WritePpm(image, f); });
  }
  kdz::Bitmap bitmap;
  if (kdz::Result r = kdz::DecodeToBitmap(data.data(), data.size(), settings.eightBit, &bitmap, settings.limits);
      !r.ok()) {
    return {Reason(r)};
  }
  *width = bitmap.width;
  *height = bitmap.height;
  *failedFile = kdz::files::DisplayName(out, true);
  return WriteOutput(out, overwrite, [&](FILE* f) { return kdz::imageio::WriteImage(bitmap, settings.format, f); });
}

int RunDecode(const Args& args) {
  int depth = 0;  // 0 = not given
  DecodeSettings settings;
  bool haveFormat = false;
  BatchArgs batch;
  for (size_t i = 0; i < args.options.size(); ++i) {
    const std::string& o = args.options[i];
    int status = 0;
    const int taken = TakeBatchOption("decode", o, &batch, &status);
    if (taken < 0) return status;
    if (taken > 0) continue;
    if (o == "--24bit" || o == "--8bit") {
      const int d = o == "--8bit" ? 8 : 24;
      if (depth != 0 && depth != d) return UsageError("decode: --24bit and --8bit exclude each other");
      depth = d;
    } else if (std::string value; OptionValue(o, "--max-pixels", &value)) {
      if (!ParseCount(value, &settings.limits.maxPixels)) {
        return UsageError("decode: --max-pixels needs a positive whole number");
      }
    } else if (OptionValue(o, "--format", &value)) {
      if (!kdz::imageio::FormatFromName(value, &settings.format)) {
        return UsageError("decode: --format needs png, bmp or ppm");
      }
      haveFormat = true;
    } else if (OptionValue(o, "--threads", &value)) {
      if (!ParseInt(value, 1, 64, &settings.limits.threads)) {
        return UsageError("decode: --threads needs a whole number from 1 to 64");
      }
    } else {
      return UsageError("decode: unknown option " + o);
    }
  }
  settings.eightBit = depth == 8;

  if (batch.haveOutDir) {
    if (args.operands.empty()) return UsageError("decode -o DIR takes one or more FILE.kdz");
    // The batch already keeps every core busy with files of its own.
    if (settings.limits.threads == 0) settings.limits.threads = 1;
    if (kdz::imageio::Status s = kdz::files::MakeFolders(batch.outDir); !s.ok()) return Fail(batch.outDir, s.error);
    const auto jobs = kdz::batch::PlanJobs(
        args.operands, batch.recursive, [](const std::string& name) { return HasExtension(name, {"kdz"}); },
        batch.outDir, kdz::imageio::FormatExtension(settings.format));
    return kdz::batch::Run(jobs, RunOptions(batch, "decoded"), [&](const kdz::batch::Job& job) {
      kdz::batch::Outcome o;
      kdz::imageio::Status s = PrepareBatchOutput(job.output, batch.force);
      o.file = job.output;
      int width = 0, height = 0;
      if (s.ok()) s = DecodeOne(job.input, job.output, batch.force, settings, &o.file, &width, &height);
      o.ok = s.ok();
      o.reason = s.error;
      if (o.ok) o.note = job.output + ": " + std::to_string(width) + " x " + std::to_string(height);
      return o;
    });
  }

  if (BatchOnlyOptionsGiven(batch)) return UsageError("decode: -r, -j and -v need -o DIR");
  if (args.operands.size() != 2) return UsageError("decode takes IN.kdz and OUT");
  const std::string& in = args.operands[0];
  const std::string& out = args.operands[1];
  if (out != "-") {
    kdz::imageio::Format named;
    if (!kdz::imageio::FormatFromPath(out, &named)) {
      if (!haveFormat) return UsageError("decode: " + out + ": output must end in .bmp, .png or .ppm");
    } else if (haveFormat && named != settings.format) {
      return UsageError("decode: " + out + " names another format than --format " +
                        kdz::imageio::FormatExtension(settings.format));
    } else {
      settings.format = named;
    }
  } else if (kdz::imageio::Status s = CheckStdoutTakesData(); !s.ok()) {
    return Fail("stdout", s.error);
  }

  std::string failedFile;
  int width = 0, height = 0;
  if (kdz::imageio::Status s = DecodeOne(in, out, true, settings, &failedFile, &width, &height); !s.ok()) {
    return Fail(failedFile, s.error);
  }
  return 0;
}

struct EncodeResult {
  std::vector<uint8_t> bytes;
  kdz::EncodeReport report;
  bool alphaDropped = false;
};

// Reads and encodes one picture, then writes it. On failure *failedFile names the
// input or the output.
kdz::imageio::Status EncodeOne(const std::string& in, const std::string& out, bool overwrite,
                               const kdz::EncodeOptions& options, std::string* failedFile,
                               EncodeResult* result) {
  *failedFile = kdz::files::DisplayName(in, false);
  std::vector<uint8_t> data;
  if (kdz::imageio::Status s = kdz::files::ReadWhole(in, kMaxPictureBytes, &data); !s.ok()) return s;
  kdz::RgbImage picture;
  kdz::imageio::ReadInfo info;
  if (kdz::imageio::Status s = kdz::imageio::ReadImage(data.data(), data.size(), &picture, &info); !s.ok()) {
    return s;
  }
  data = {};
  result->alphaDropped = info.alphaDropped;
  if (kdz::Result r = kdz::Encode(picture, options, &result->bytes, &result->report); !r.ok()) {
    return {Reason(r)};
  }
  *failedFile = kdz::files::DisplayName(out, true);
  return WriteOutput(out, overwrite, [&](FILE* f) { return kdz::files::WriteAll(f, result->bytes); });
}

std::string EncodeNote(const std::string& out, const EncodeResult& r) {
  char line[160];
  std::snprintf(line, sizeof line, ": %d x %d, %zu bytes, quality %.1f, %d levels, PSNR %.2f dB",
                r.report.width, r.report.height, r.bytes.size(), r.report.quality, r.report.levels,
                r.report.psnr);
  return out + line;
}

const char kAlphaWarning[] = "transparency dropped (KDZ holds no alpha)";

int RunEncode(const Args& args) {
  kdz::EncodeOptions options;
  bool haveSize = false, haveQuality = false;
  BatchArgs batch;
  for (const std::string& o : args.options) {
    int status = 0;
    const int taken = TakeBatchOption("encode", o, &batch, &status);
    if (taken < 0) return status;
    if (taken > 0) continue;
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

  if (batch.haveOutDir) {
    if (args.operands.empty()) return UsageError("encode -o DIR takes one or more FILE");
    if (kdz::imageio::Status s = kdz::files::MakeFolders(batch.outDir); !s.ok()) return Fail(batch.outDir, s.error);
    const auto pictureName = [](const std::string& name) {
      return HasExtension(name, {"png", "jpg", "jpeg", "jpe", "webp", "pnm", "ppm", "pgm", "pbm", "bmp"});
    };
    const auto jobs = kdz::batch::PlanJobs(args.operands, batch.recursive, pictureName, batch.outDir, "kdz");
    return kdz::batch::Run(jobs, RunOptions(batch, "encoded"), [&](const kdz::batch::Job& job) {
      kdz::batch::Outcome o;
      kdz::imageio::Status s = PrepareBatchOutput(job.output, batch.force);
      o.file = job.output;
      EncodeResult result;
      if (s.ok()) s = EncodeOne(job.input, job.output, batch.force, options, &o.file, &result);
      o.ok = s.ok();
      o.reason = s.error;
      if (o.ok) {
        o.note = EncodeNote(job.output, result);
        if (result.alphaDropped) {
          o.file = job.input;
          o.warning = kAlphaWarning;
        }
      }
      return o;
    });
  }

  if (BatchOnlyOptionsGiven(batch)) return UsageError("encode: -r, -j and -v need -o DIR");
  if (args.operands.size() != 2) return UsageError("encode takes IN.png and OUT.kdz");
  const std::string& in = args.operands[0];
  const std::string& out = args.operands[1];
  if (out == "-") {
    if (kdz::imageio::Status s = CheckStdoutTakesData(); !s.ok()) return Fail("stdout", s.error);
  }

  std::string failedFile;
  EncodeResult result;
  if (kdz::imageio::Status s = EncodeOne(in, out, true, options, &failedFile, &result); !s.ok()) {
    return Fail(failedFile, s.error);
  }
  // Only once the file is written, so that a failure stays a single line.
  if (result.alphaDropped) {
    std::fprintf(stderr, "kdz: %s: warning: %s\n", kdz::files::DisplayName(in, false).c_str(), kAlphaWarning);
  }
  if (batch.quiet) return 0;
  // With the file on standard output, the report goes to standard error.
  FILE* report = out == "-" ? stderr : stdout;
  std::fprintf(report, "%s\n", EncodeNote(kdz::files::DisplayName(out, true), result).c_str());
  return std::fflush(report) == 0 ? 0 : Fail("stdout", std::strerror(errno));
}

struct Command {
  const char* name;
  int (*run)(const Args& args);
  const char* help;
};

const Command kCommands[] = {
    {"info", RunInfo, kInfoHelp},
    {"decode", RunDecode, kDecodeHelp},
    {"encode", RunEncode, kEncodeHelp},
};

// All of it, or the usage lines and options of one command.
int PrintHelp(const Command* command) {
  if (command == nullptr) {
    std::printf("%s\nCommands:\n", kUsage);
  } else {
    const std::string usage = kUsage, mark = std::string("kdz ") + command->name + " ";
    const char* lead = "usage: ";
    for (size_t at = 0, end; at < usage.size(); at = end + 1) {
      end = usage.find('\n', at);
      const std::string line = usage.substr(at, end - at);
      const size_t k = line.find(mark);
      if (k == std::string::npos) continue;
      std::printf("%s%s\n", lead, line.c_str() + k);
      lead = "       ";
    }
    std::printf("\n");
  }
  for (const Command& c : kCommands) {
    if (command == nullptr || command == &c) std::printf("%s\n", c.help);
  }
  if (command == nullptr || command->run != RunInfo) std::printf("%s\n", kBatchHelp);
  std::printf("%s", kCommonHelp);
  return std::fflush(stdout) == 0 ? 0 : Fail("stdout", std::strerror(errno));
}

}  // namespace

// A decode takes and frees buffers of a few hundred kilobytes stage after stage.
// glibc maps each one afresh and unmaps it when freed, so every stage would fault
// in and zero new pages; kept on the heap, the freed pages serve the next stage.
// Buffers of 32 MB and more are still mapped apart, and returned when freed.
void KeepMidSizedBuffers() {
#if defined(__GLIBC__)
  (void)mallopt(M_MMAP_THRESHOLD, 32 << 20);
  (void)mallopt(M_TRIM_THRESHOLD, 64 << 20);
#endif
}

int main(int argc, char** argv) {
  KeepMidSizedBuffers();
  const Command* command = nullptr;
  for (const Command& c : kCommands) {
    if (argc >= 2 && std::strcmp(argv[1], c.name) == 0) command = &c;
  }
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--") break;
    if (a == "--help" || a == "-h") return PrintHelp(command);
    if (a == "--version") {
      std::printf("kdz %s\n", KDZ_VERSION);
      return std::fflush(stdout) == 0 ? 0 : Fail("stdout", std::strerror(errno));
    }
  }
  if (argc < 2) return UsageError("no command given");
  if (command == nullptr) return UsageError("unknown command '" + std::string(argv[1]) + "'");
  // Before anything else, and so before the decoder's threads. On the virtual
  // machines we measured, the first thread a process starts often waits a
  // millisecond or two on its creator's core while the other core idles; the
  // threads after it go to the idle core at once. The signal thread, which has
  // nothing to do yet, takes that wait instead of a decoder thread: started only
  // when the first output is opened, whole-process decodes took 20 % longer.
  if (command->run != RunInfo) kdz::files::InstallInterruptCleanup();
  return command->run(SplitArgs(argc, argv, 2));
}
