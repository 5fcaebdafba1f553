// Whether the wide forms of the per-sample loops run.
#include "codec/wide_vectors.h"

#include <atomic>

// The C library's header is C with _Bool, which GCC takes in C++ and Clang does not.
#if defined(__GLIBC__) && !defined(__clang__)
#include <features.h>
#if __GLIBC_PREREQ(2, 33) && KDZ_WIDE_VECTORS
#include <sys/platform/x86.h>
#define KDZ_LIBC_CPU_FEATURES 1
#endif
#endif

namespace kdz {
namespace {

std::atomic<bool> allowed{true};

bool ProcessorHasAvx2() {
#if defined(KDZ_LIBC_CPU_FEATURES)
  // The C library asked the processor at start-up already (and whether the system
  // saves the registers). Asking again costs every process the compiler runtime's
  // own round of CPUID, each a trap to the hypervisor on a virtual machine: about
  // 70 us of a 3 ms decode there.
  return CPU_FEATURE_ACTIVE(AVX2);
#elif KDZ_WIDE_VECTORS
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
