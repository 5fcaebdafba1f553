// A program built against an installed libkdz: decodes a KDZ file and writes it as PPM.
// With KDZ_EXPECT_HELPERS=1 (Linux) it also fails when the decode left none of the
// library's helper threads behind: the archive was built without its threads.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#if defined(__linux__)
#include <dirent.h>
#endif

#include <kdz/encoder.h>
#include <kdz/kdz.h>

namespace {

// Threads of this process named as the decoder names its helpers.
int HelperThreads() {
  int count = 0;
#if defined(__linux__)
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return 0;
  while (const dirent* e = readdir(tasks)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
    std::string name;
    if (std::getline(comm, name) && name == "kdz-helper") ++count;
  }
  closedir(tasks);
#endif
  return count;
}

}  // namespace

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
  const char* expect = std::getenv("KDZ_EXPECT_HELPERS");
  if (expect != nullptr && std::strcmp(expect, "1") == 0 && HelperThreads() == 0) {
    std::fprintf(stderr, "decode: no helper thread after a decode on %u cores\n",
                 std::thread::hardware_concurrency());
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
