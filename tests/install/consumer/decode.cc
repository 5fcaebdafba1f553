// A program built against an installed libkdz: decodes a KDZ file and writes it as PPM.
#include <cstdio>

#include <kdz/encoder.h>
#include <kdz/kdz.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: decode IN.kdz OUT.ppm\n");
    return 2;
  }
  kdz::RgbImage picture;
  kdz::Result r = kdz::DecodeFile(argv[1], &picture);
  if (!r.ok()) {
    std::fprintf(stderr, "decode: %s\n", r.message.c_str());
    return 1;
  }
  std::vector<uint8_t> again;  // the encoder links too
  if (!kdz::Encode(picture, kdz::EncodeOptions{}, &again).ok() || again.empty()) return 1;
  std::FILE* f = std::fopen(argv[2], "wb");
  if (f == nullptr) return 1;
  std::fprintf(f, "P6\n%d %d\n255\n", picture.width, picture.height);
  std::fwrite(picture.rgb.data(), 1, picture.rgb.size(), f);
  return std::fclose(f) == 0 ? 0 : 1;
}
