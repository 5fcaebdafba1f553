// The public decode API: bitmaps, RGB pictures and header inspection on top of the
// pipeline, each with its own DecoderState.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "codec/color.h"
#include "codec/file_format.h"
#include "codec/kept_blocks.h"
#include "codec/parallel.h"
#include "codec/pipeline.h"
#include "kdz/kdz.h"

namespace kdz {
namespace {

Result MakeResult(const DecoderState& s) {
  Result r;
  r.error = s.error;
  r.message = s.errorDetail.empty() ? ErrorMessage(s.error) : s.errorDetail;
  return r;
}

Result Failure(Error e, std::string message) {
  Result r;
  r.error = e;
  r.message = std::move(message);
  return r;
}

Result ReadWholeFile(const std::string& path, std::vector<uint8_t>* out) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return Failure(Error::kIo, std::string("cannot open: ") + std::strerror(errno));
  out->clear();
  uint8_t buf[16384];
  size_t got;
  // Anything at or above the decoder's file limit is refused without reading it all.
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) {
    out->insert(out->end(), buf, buf + got);
    if (out->size() >= kMaxFileSize) break;
  }
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) return Failure(Error::kIo, "cannot read the file");
  return Result{};
}

// A decoder state for `limits` with the file image's header read and checked, in
// the order every decode entry point reports failures. Null with *failure set when
// the file fails before its planes are decoded.
std::unique_ptr<DecoderState> StateWithHeader(const uint8_t* data, size_t size, const Limits& limits,
                                              Result* failure) {
  if (data == nullptr && size != 0) {
    *failure = Failure(Error::kInvalidArgument, "no data");
    return nullptr;
  }
  auto state = std::make_unique<DecoderState>();
  state->maxPixels = limits.maxPixels;
  state->threads = limits.threads;
  BuildClampTable(*state);
  if (size == 0) {
    *failure = Failure(Error::kEmpty, "the file is empty");
    return nullptr;
  }
  if (size >= kMaxFileSize) {
    *failure = Failure(Error::kFileTooLarge, "file of " + std::to_string(size) + " bytes; KDZ files are below 80000 bytes");
    return nullptr;
  }
  state->dataBase = data;
  state->dataSize = size;
  state->readPos = 0;
  if (ParsePlaneHeader(*state, 'y') != 0) {
    *failure = MakeResult(*state);
    return nullptr;
  }
  return state;
}

// Takes `bytes` bytes into `buffer` when the decode asks for its output (see
// AreaSource); null when they cannot be had.
AreaSource TakeInto(std::vector<uint8_t>& buffer, size_t bytes) {
  return [&buffer, bytes]() -> uint8_t* {
    try {
      buffer.assign(bytes, 0);
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
    return buffer.data();
  };
}

}  // namespace

const char* ErrorMessage(Error e) {
  switch (e) {
    case Error::kNone: return "no error";
    case Error::kIo: return "cannot read the file";
    case Error::kFileTooLarge: return "file too large (KDZ files are below 80000 bytes)";
    case Error::kEmpty: return "the file is empty";
    case Error::kNotKdz: return "not a KDZ file";
    case Error::kUnsupported: return "unsupported KDZ version";
    case Error::kMalformed: return "malformed KDZ file";
    case Error::kLimit: return "picture exceeds the pixel limit";
    case Error::kBufferTooSmall: return "picture does not fit the buffer";
    case Error::kOutOfMemory: return "out of memory";
    case Error::kQuantFailed: return "Color quant 2 encountered an error!";
    case Error::kInvalidArgument: return "invalid argument";
  }
  return "unknown error";
}

Result DecodeToBitmap(const uint8_t* data, size_t size, bool eightBit, Bitmap* out, const Limits& limits) {
  *out = Bitmap{};
  // The header is checked first, so the block is sized by a picture that has
  // passed every bound; the block is taken while the planes decode.
  Result failure;
  const std::unique_ptr<DecoderState> state = StateWithHeader(data, size, limits, &failure);
  if (state == nullptr) return failure;
  const size_t blockSize = BitmapBlockSize(state->width, state->height);
  std::vector<uint8_t> block;
  uint8_t palette[kPaletteBlockSize] = {};
  int colors = 0;
  if (DecodeKdzBytesTaking(*state, data, size, TakeInto(block, blockSize), blockSize, eightBit ? palette : nullptr,
                           &colors) == 0) {
    return MakeResult(*state);
  }
  out->width = state->width;
  out->height = state->height;
  out->bitsPerPixel = eightBit ? 8 : 24;
  // The quantiser's count: every entry in use is the mean of cell centres (never all
  // zero) and every index is below it, so it is also the last non-zero entry and
  // one more than the largest index.
  out->colorsUsed = eightBit ? colors : 0;
  out->block = std::move(block);
  return Result{};
}

Result DecodeFileToBitmap(const std::string& path, bool eightBit, Bitmap* out, const Limits& limits) {
  *out = Bitmap{};
  std::vector<uint8_t> bytes;
  Result r = ReadWholeFile(path, &bytes);
  if (!r.ok()) return r;
  return DecodeToBitmap(bytes.data(), bytes.size(), eightBit, out, limits);
}

Result Decode(const uint8_t* data, size_t size, RgbImage* out, const Limits& limits) {
  *out = RgbImage{};
  // The checks of DecodeToBitmap, so that a file fails the same way whichever
  // picture is asked for; the pixels go straight into RGB rows.
  Result failure;
  const std::unique_ptr<DecoderState> state = StateWithHeader(data, size, limits, &failure);
  if (state == nullptr) return failure;
  // Room for the padded rows a bitmap would take, as the decoder's size check
  // expects; the few padding bytes are cut off at the end.
  const size_t area = BitmapBlockSize(state->width, state->height) - kPixelAreaOffset;
  RgbImage img;
  const AreaSource take = TakeInto(img.rgb, area);
  if (DecodeKdzBytesToRgb(*state, data, size, take, area, &img.width, &img.height) == 0) return MakeResult(*state);
  img.rgb.resize(static_cast<size_t>(img.width) * static_cast<size_t>(img.height) * 3);
  *out = std::move(img);
  return Result{};
}

Result DecodeFile(const std::string& path, RgbImage* out, const Limits& limits) {
  *out = RgbImage{};
  std::vector<uint8_t> bytes;
  Result r = ReadWholeFile(path, &bytes);
  if (!r.ok()) return r;
  return Decode(bytes.data(), bytes.size(), out, limits);
}

Result ReadHeader(const uint8_t* data, size_t size, HeaderInfo* out) {
  *out = HeaderInfo{};
  out->fileSize = size;
  if (size == 0) return Failure(Error::kEmpty, "the file is empty");
  auto state = std::make_unique<DecoderState>();
  state->dataBase = data;
  state->dataSize = size;
  const int failed = ParsePlaneHeader(*state, 'y');
  if (state->error == Error::kNotKdz) return MakeResult(*state);
  std::memcpy(out->signature, state->fileSignature, 8);
  out->width = state->width;
  out->height = state->height;
  out->levels = state->levels;
  for (int p = 0; p < 3; ++p) {
    out->uncodedLevels[p] = state->uncodedLevels[p];
    out->segmentOffset[p] = static_cast<uint32_t>(state->segmentOffset[p]);
  }
  out->headerLength = state->headerLength;
  out->transformMode = state->transformMode;
  out->lumaBias = state->lumaBias;
  const int64_t yStart = state->headerLength != 0 ? 8 + state->headerLength : state->headerEnd;
  out->planeOffset[0] = yStart < 0 ? 0 : static_cast<uint32_t>(yStart);
  out->planeOffset[1] = static_cast<uint32_t>(state->planeOffsetI);
  out->planeOffset[2] = static_cast<uint32_t>(state->planeOffsetQ);
  for (int p = 0; p < 3; ++p) {
    const int64_t at = p == 0 ? yStart : out->planeOffset[p];
    if (at >= 0 && static_cast<uint64_t>(at) < size) out->valueCount[p] = data[at];
  }
  out->decodable = failed == 0 && size < kMaxFileSize;
  if (failed) {
    out->problem = state->errorDetail;
  } else if (size >= kMaxFileSize) {
    out->problem = "file of " + std::to_string(size) + " bytes; KDZ files are below 80000 bytes";
  }
  return Result{};
}

void EndDecodeThreads() {
  EndKeptCrews();
  FreeKeptBlocks();
}

}  // namespace kdz
