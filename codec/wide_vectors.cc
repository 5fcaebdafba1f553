// Whether the wide forms of the per-sample loops run.
#include "codec/wide_vectors.h"

#include <atomic>

namespace kdz {
namespace {

std::atomic<bool> allowed{true};

bool ProcessorHasAvx2() {
#if KDZ_WIDE_VECTORS
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;  // also asks whether the system saves the registers
#else
  return false;
#endif
}

}  // namespace

bool UseWideVectors() {
  static const bool has = ProcessorHasAvx2();
  return has && allowed.load(std::memory_order_relaxed);
}

void AllowWideVectors(bool allow) { allowed.store(allow, std::memory_order_relaxed); }

}  // namespace kdz
