// Test helper: KDZ file assembly from explicit fields and symbol lists.
#include "kdz_builder_util.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include <unistd.h>

#include "encoder/arith_encoder.h"

namespace kdz::test {
namespace {

void Put16(std::vector<uint8_t>& out, int v) {
  out.push_back(static_cast<uint8_t>(v & 0xFF));
  out.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
}
void Set16(std::vector<uint8_t>& out, size_t at, int v) {
  out[at] = static_cast<uint8_t>(v & 0xFF);
  out[at + 1] = static_cast<uint8_t>((v >> 8) & 0xFF);
}

std::vector<uint8_t> Code(const std::vector<int>& values, const std::vector<int>& symbols) {
  ArithEncoder enc(static_cast<int>(values.size()));
  for (int s : symbols) {
    if (s == kEnd) {
      enc.EncodeEnd();
    } else {
      enc.EncodeValue(s);
    }
  }
  return enc.Finish();
}

}  // namespace

KdzLayout::KdzLayout() {
  for (int p = 0; p < 3; ++p) {
    for (int n = 0; n < 31; ++n) {
      scalePos[p][n] = 1;
      scaleNeg[p][n] = -1;
      scaleDiv[p][n] = 1;
    }
  }
}

int EntryOf(const std::vector<int>& values, int value) {
  for (size_t k = 0; k < values.size(); ++k) {
    if (values[k] == value) return static_cast<int>(k);
  }
  throw std::invalid_argument("value not in table: " + std::to_string(value));
}

std::vector<int> EntriesOf(const std::vector<int>& values, const std::vector<int>& sequence) {
  std::vector<int> out;
  for (int v : sequence) out.push_back(EntryOf(values, v));
  return out;
}

std::vector<uint8_t> BuildKdz(const KdzLayout& layout) {
  std::vector<uint8_t> out(layout.signature.begin(), layout.signature.end());
  out.resize(8, 0);
  const int L = layout.levels;
  for (int p = 0; p < 3; ++p) Put16(out, layout.uncodedLevels[p]);
  const size_t headerLengthAt = out.size();
  Put16(out, 0);
  Put16(out, layout.width);
  Put16(out, layout.height);
  Put16(out, 0);
  const size_t offsetsAt = out.size();
  Put16(out, 0);  // planeOffsetI
  Put16(out, 0);  // planeOffsetQ
  Put16(out, 0);
  Put16(out, layout.transformMode);
  Put16(out, L);
  for (int n = 0; n <= 3 * L; ++n) {
    for (int p = 0; p < 3; ++p) {
      Put16(out, layout.scalePos[p][n]);
      Put16(out, layout.scaleNeg[p][n]);
    }
  }
  const size_t segmentsAt = out.size();
  for (int p = 0; p < 3; ++p) Put16(out, 0);
  Put16(out, layout.lumaBias);
  Put16(out, layout.chromaBias[0]);
  Put16(out, layout.chromaBias[1]);
  for (int n = 0; n <= 3 * L; ++n) {
    for (int p = 0; p < 3; ++p) Put16(out, layout.scaleDiv[p][n]);
  }
  if (layout.headerGap > 0) {
    Set16(out, headerLengthAt, static_cast<int>(out.size()) + layout.headerGap - 8);
    out.resize(out.size() + static_cast<size_t>(layout.headerGap), 0xAB);
  }
  for (int p = 0; p < 3; ++p) {
    const PlaneData& plane = layout.planes[p];
    if (p > 0) Set16(out, offsetsAt + 2 * static_cast<size_t>(p - 1), static_cast<int>(out.size()));
    out.push_back(static_cast<uint8_t>(plane.values.size()));
    for (int v : plane.values) out.push_back(static_cast<uint8_t>(v + 128));
    const std::vector<uint8_t> coded = Code(plane.values, plane.symbols);
    out.insert(out.end(), coded.begin(), coded.end());
  }
  for (int p = 0; p < 3; ++p) {
    const PlaneData& plane = layout.planes[p];
    if (plane.second.empty()) continue;
    Set16(out, segmentsAt + 2 * static_cast<size_t>(p), static_cast<int>(out.size()));
    const std::vector<uint8_t> coded = Code(plane.values, plane.second);
    out.insert(out.end(), coded.begin(), coded.end());
  }
  return out;
}

std::string WriteTempFile(const std::vector<uint8_t>& bytes, const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  std::string path = std::string(dir ? dir : "/tmp") + "/kdz_test_" + std::to_string(::getpid()) + "_" + name;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) throw std::runtime_error("cannot write " + path);
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  return path;
}

}  // namespace kdz::test
