// What the C++ runtime needs in kdz.wasm beyond wasi-libc and libc++: heap accounting
// for the leak tests, and the two entry points of exception throwing.
//
// Debian's libc++ for wasm32-wasi is built without exceptions, and the module is
// compiled without them, so a failed allocation cannot be caught by the library: it
// aborts, the module traps, and the loader reports "out of memory" and starts a fresh
// instance. Inline library code still names the throw entry points; they abort too.
#include <cstddef>
#include <cstdlib>
#include <malloc.h>
#include <new>

#include "web/wasm/kdz_wasm.h"

namespace {

size_t inUse = 0;
size_t peak = 0;

void* Allocate(size_t size) {
  void* p = std::malloc(size != 0 ? size : 1);
  if (p != nullptr) {
    inUse += malloc_usable_size(p);
    if (inUse > peak) peak = inUse;
  }
  return p;
}

void Release(void* p) {
  if (p == nullptr) return;
  inUse -= malloc_usable_size(p);
  std::free(p);
}

void* AllocateOrAbort(size_t size) {
  void* p = Allocate(size);
  if (p == nullptr) std::abort();
  return p;
}

}  // namespace

void* operator new(size_t size) { return AllocateOrAbort(size); }
void* operator new[](size_t size) { return AllocateOrAbort(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, size_t) noexcept { Release(p); }
void operator delete[](void* p, size_t) noexcept { Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p); }

extern "C" {

__attribute__((export_name("kdz_alloc"))) void* kdz_alloc(size_t size) { return Allocate(size); }
__attribute__((export_name("kdz_free"))) void kdz_free(void* p) { Release(p); }
__attribute__((export_name("kdz_heap_in_use"))) size_t kdz_heap_in_use(void) { return inUse; }
__attribute__((export_name("kdz_heap_peak"))) size_t kdz_heap_peak(void) { return peak; }
__attribute__((export_name("kdz_heap_reset_peak"))) void kdz_heap_reset_peak(void) { peak = inUse; }

void* __cxa_allocate_exception(size_t) { std::abort(); }
void __cxa_throw(void*, void*, void (*)(void*)) { std::abort(); }

}  // extern "C"
