// Loops that gain from 256-bit vectors (the inverse transform's and the colour
// conversion's) are compiled twice on x86-64: for the baseline the build targets,
// and with AVX2, which runs where the processor and the system have it. Both are the
// same integer code, so they give the same bytes; the tests run both.
#pragma once

// Not on Windows: there GCC keeps the stack aligned to 16 bytes only, and spills of
// 32-byte registers to it can fault.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(_WIN32)
#define KDZ_WIDE_VECTORS 1
// A function compiled with AVX2; what it calls through KDZ_BODY is compiled so too.
#define KDZ_WIDE __attribute__((target("avx2")))
#else
#define KDZ_WIDE_VECTORS 0  // the AVX2 forms are not compiled at all
#endif

#if defined(__GNUC__)
#define KDZ_OUT_OF_LINE __attribute__((noinline))
#else
#define KDZ_OUT_OF_LINE
#endif

#if KDZ_WIDE_VECTORS
// The body of a loop compiled twice: inlined into each form.
#define KDZ_BODY __attribute__((always_inline)) inline
#else
#define KDZ_BODY inline
#endif

namespace kdz {

// True when the wide forms are to run: the processor has AVX2 and they are allowed.
bool UseWideVectors();
// For the tests and benchmarks: false runs the baseline forms everywhere, true (the
// default) the wide ones where the processor has them.
void AllowWideVectors(bool allow);

}  // namespace kdz
