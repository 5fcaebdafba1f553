// Header peek, header parse and bounds checks of KDZ files.
#include "codec/file_format.h"

#include <cstdio>
#include <string>

#include "codec/pipeline.h"

namespace kdz {
namespace {

// Little-endian reads from the file image that report fields beyond its end.
struct FieldReader {
  const uint8_t* data;
  size_t size;
  size_t pos;
  bool overrun = false;
  size_t overrunAt = 0;

  int32_t Int16() {
    const uint32_t v = Uint16();
    return static_cast<int16_t>(static_cast<uint16_t>(v));
  }
  int32_t Uint16() {
    if (pos + 2 > size) {
      if (!overrun) overrunAt = pos;
      overrun = true;
      pos += 2;
      return 0;
    }
    const uint32_t v = data[pos] | (static_cast<uint32_t>(data[pos + 1]) << 8);
    pos += 2;
    return static_cast<int32_t>(v);
  }
};

std::string Str(const char* fmt, long long a, long long b = 0, long long c = 0) {
  char buf[160];
  std::snprintf(buf, sizeof buf, fmt, a, b, c);
  return buf;
}

int ParseFixedHeader(DecoderState& s) {
  // Signature: the first three bytes must match the template.
  for (int i = 0; i < 3; ++i) {
    if (s.readPos >= s.dataSize || s.dataBase[s.readPos] != static_cast<uint8_t>(s.signature[i])) {
      return s.Fail(Error::kNotKdz, "not a KDZ file (no \"QEM\" signature)");
    }
    s.fileSignature[i] = s.signature[i];
    ++s.readPos;
  }
  if (s.dataSize < 8) {
    return s.Fail(Error::kMalformed, Str("file of %lld bytes ends inside the signature", static_cast<long long>(s.dataSize)));
  }
  for (int i = 3; i < 8; ++i) s.fileSignature[i] = static_cast<char>(s.dataBase[s.readPos++]);

  // A new file: nothing of the previous header may survive.
  s.headerLength = s.width = s.height = s.planeSize = 0;
  s.planeOffsetI = s.planeOffsetQ = s.transformMode = s.levels = 0;
  for (int p = 0; p < 3; ++p) {
    s.uncodedLevels[p] = 0;
    s.segmentOffset[p] = 0;
    for (int n = 0; n < kSubbandRows; ++n) s.scalePos[p][n] = s.scaleNeg[p][n] = s.scaleDiv[p][n] = 0;
  }
  s.lumaBias = 0;
  s.chromaBias[0] = s.chromaBias[1] = 0;

  const char major = s.fileSignature[3];
  const char minor = s.fileSignature[5];
  const bool major2 = major == '2';
  FieldReader r{s.dataBase, s.dataSize, 8};

  if (major2 && minor != '0') {
    for (int p = 0; p < 3; ++p) s.uncodedLevels[p] = r.Int16();
  }
  s.headerLength = r.Int16();
  s.width = r.Int16();
  s.height = r.Int16();
  s.planeSize = s.width * s.height;  // both are 16-bit, so the product fits
  (void)r.Int16();
  if (major2 && minor < '3') {
    for (int i = 0; i < 6; ++i) (void)r.Int16();
  }
  s.planeOffsetI = r.Uint16();
  s.planeOffsetQ = r.Uint16();
  (void)r.Uint16();
  s.transformMode = r.Int16();
  s.levels = r.Int16();
  if (r.overrun) {
    return s.Fail(Error::kMalformed, Str("header field at offset %lld lies beyond the end of the file (%lld bytes)",
                                         static_cast<long long>(r.overrunAt), static_cast<long long>(s.dataSize)));
  }
  const bool oldLayout = major2 && minor < '3';
  const int32_t maxLevels = oldLayout ? kMaxLevels - 1 : kMaxLevels;
  if (s.levels < 0 || s.levels > maxLevels) {
    return s.Fail(Error::kMalformed, Str("levels %lld outside 0..%lld", s.levels, maxLevels));
  }
  const int32_t rows = oldLayout ? s.levels + 1 : 3 * s.levels + 1;
  for (int32_t n = 0; n < rows; ++n) {
    for (int p = 0; p < 3; ++p) {
      const int32_t pos = r.Int16();
      const int32_t neg = r.Int16();
      if (!oldLayout) {
        s.scalePos[p][n] = pos;
        s.scaleNeg[p][n] = neg;
      }
    }
  }
  if (major2 && minor > '1') {
    for (int p = 0; p < 3; ++p) s.segmentOffset[p] = r.Uint16();
    s.lumaBias = r.Int16();
    s.chromaBias[0] = r.Int16();
    s.chromaBias[1] = r.Int16();
  }
  if (major2 && minor > '2') {
    for (int32_t n = 0; n < rows; ++n) {
      for (int p = 0; p < 3; ++p) s.scaleDiv[p][n] = r.Int16();
    }
  }
  if (r.overrun) {
    return s.Fail(Error::kMalformed, Str("header field at offset %lld lies beyond the end of the file (%lld bytes)",
                                         static_cast<long long>(r.overrunAt), static_cast<long long>(s.dataSize)));
  }
  s.headerEnd = static_cast<int32_t>(r.pos);
  if (s.headerLength == 0) {
    s.readPos = r.pos;
  } else {
    // A start before byte 0 is outside the file; the bounds check refuses it.
    s.readPos = 8 + s.headerLength < 0 ? s.dataSize : static_cast<size_t>(8 + s.headerLength);
  }
  return 0;
}

// Checks that a value table (1 + N bytes) at `offset` lies wholly inside the file.
int CheckValueTable(DecoderState& s, const char* what, int64_t offset) {
  if (offset < 0 || static_cast<uint64_t>(offset) >= s.dataSize) {
    return s.Fail(Error::kMalformed, std::string(what) + Str(" data at offset %lld lies outside the file (%lld bytes)", offset,
                                                             static_cast<long long>(s.dataSize)));
  }
  const uint64_t n = s.dataBase[offset];
  if (static_cast<uint64_t>(offset) + 1 + n > s.dataSize) {
    return s.Fail(Error::kMalformed, std::string(what) + Str(" value table at offset %lld (%lld values) runs past the end of the file",
                                                             offset, static_cast<long long>(n)));
  }
  return 0;
}

// Every bound the plane decoder, the transform and the conversion rely on.
int CheckHeaderBounds(DecoderState& s) {
  if (!IsDecodableVersion(s)) {
    return s.Fail(Error::kUnsupported, std::string("version ") + std::string(s.fileSignature, 8) +
                                           " is not decodable (only minor version 3 with terminator 'Z')");
  }
  if (s.width <= 0 || s.height <= 0) {
    return s.Fail(Error::kMalformed, Str("picture size %lld x %lld is not positive", s.width, s.height));
  }
  for (int p = 0; p < 3; ++p) {
    if (s.uncodedLevels[p] < 0 || s.uncodedLevels[p] > s.levels) {
      return s.Fail(Error::kMalformed, Str("uncoded levels %lld of plane %lld outside 0..%lld", s.uncodedLevels[p], p,
                                           s.levels));
    }
  }
  if (s.levels >= 1 && ((s.height >> s.levels) < 2 || (s.width >> s.levels) < 2)) {
    return s.Fail(Error::kMalformed, Str("%lld levels need a picture of at least %lld pixels each way (got %lld)",
                                         s.levels, 2LL << s.levels, s.width < s.height ? s.width : s.height));
  }
  if (CheckValueTable(s, "'y' plane", static_cast<int64_t>(s.readPos))) return 1;
  if (CheckValueTable(s, "'i' plane", s.planeOffsetI)) return 1;
  if (CheckValueTable(s, "'q' plane", s.planeOffsetQ)) return 1;
  for (int p = 0; p < 3; ++p) {
    if (s.segmentOffset[p] != 0 && static_cast<uint32_t>(s.segmentOffset[p]) >= s.dataSize) {
      return s.Fail(Error::kMalformed, Str("second segment of plane %lld at offset %lld lies outside the file (%lld bytes)",
                                           p, s.segmentOffset[p], static_cast<long long>(s.dataSize)));
    }
  }
  const uint64_t pixels = static_cast<uint64_t>(s.width) * static_cast<uint64_t>(s.height);
  if (pixels > s.maxPixels) {
    return s.Fail(Error::kLimit, Str("picture of %lld x %lld exceeds the limit of %lld pixels", s.width, s.height,
                                     static_cast<long long>(s.maxPixels)));
  }
  const size_t need = BitmapBlockSize(s.width, s.height);
  if (need == 0 || need - kPixelAreaOffset > s.pixelAreaCapacity) {
    return s.Fail(Error::kBufferTooSmall, Str("picture of %lld x %lld does not fit the bitmap block", s.width, s.height));
  }
  return 0;
}

int ReadValueTable(DecoderState& s) {
  // The tables were bounds-checked with the header; this guards a direct caller.
  if (s.readPos >= s.dataSize) return s.Fail(Error::kMalformed, "value table lies outside the file");
  const int32_t n = s.dataBase[s.readPos++];
  if (s.readPos + static_cast<size_t>(n) > s.dataSize) {
    return s.Fail(Error::kMalformed, "value table runs past the end of the file");
  }
  s.valueCount = n;
  s.symbolCount = n + 1;
  s.endSymbol = n + 1;
  for (int32_t k = 0; k < n; ++k) s.symbolValue[k] = s.dataBase[s.readPos++];
  return 0;
}

uint32_t ReadFileField(const uint8_t* data, size_t size, size_t pos) {
  if (pos + 2 > size) return 0;
  return data[pos] | (static_cast<uint32_t>(data[pos + 1]) << 8);
}

}  // namespace

int PlaneIndexOf(int letter) {
  switch (letter) {
    case 'y':
    case 'Y':
      return kPlaneY;
    case 'i':
    case 'I':
      return kPlaneI;
    default:
      return kPlaneQ;
  }
}

bool IsDecodableVersion(const DecoderState& state) {
  return state.fileSignature[5] == '3' && state.fileSignature[7] == 'Z';
}

int ParsePlaneHeader(DecoderState& state, int letter) {
  if (PlaneIndexOf(letter) == kPlaneY) {
    if (ParseFixedHeader(state) != 0) return 1;
    if (CheckHeaderBounds(state) != 0) return 1;
  }
  return ReadValueTable(state);
}

PeekResult PeekHeaderBytes(const uint8_t* data, size_t size) {
  PeekResult out;
  out.fileSize = static_cast<uint32_t>(size);
  const char major = size > 3 ? static_cast<char>(data[3]) : 0;
  const char minor = size > 5 ? static_cast<char>(data[5]) : 0;
  const bool shortLayout = major != '2' || minor == '0';
  const size_t at = shortLayout ? 10 : 16;
  out.width = static_cast<int16_t>(static_cast<uint16_t>(ReadFileField(data, size, at)));
  out.height = static_cast<int16_t>(static_cast<uint16_t>(ReadFileField(data, size, at + 2)));
  out.imageSize = static_cast<int64_t>(out.width) * out.height * 3;
  return out;
}

bool PeekHeader(const char* path, PeekResult* out) {
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return false;
  uint8_t head[20] = {};
  const size_t got = std::fread(head, 1, sizeof head, f);
  long size = -1;
  if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
  std::fclose(f);
  *out = PeekHeaderBytes(head, got);
  out->fileSize = size < 0 ? 0 : static_cast<uint32_t>(size > 0x7FFFFFFF ? 0x7FFFFFFF : size);
  return true;
}

}  // namespace kdz
