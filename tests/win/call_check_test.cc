// Tests of kdzhost's calling-convention check: functions of either convention called
// as the other, a callee that breaks a register it must keep, argument widening, and
// the 4-byte stack alignment at the call.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "tools/host/call_check.h"

namespace {

using kdzhost::CallPlugin;
using kdzhost::CallRecord;
using kdzhost::CallWithRecord;
using kdzhost::CheckCall;
using kdzhost::Convention;

int failures = 0;

void Check(bool ok, const std::string& what) {
  std::printf("%s  %s\n", ok ? "ok  " : "FAIL", what.c_str());
  if (!ok) ++failures;
}

__attribute__((noinline)) int32_t __cdecl AddCdecl(int32_t a, int32_t b) { return a + b; }
__attribute__((noinline)) int32_t __stdcall AddStdcall(int32_t a, int32_t b) { return a + b; }
__attribute__((noinline)) int16_t __cdecl Negate(int16_t value, uint16_t, unsigned char) {
  return static_cast<int16_t>(-value);
}

}  // namespace

#if defined(__i386__)
// A callee that zeroes ebx, and one that answers with its stack pointer at entry.
extern "C" void ClobberEbx() __asm__("kdz_test_clobber_ebx");
extern "C" uint32_t StackAtEntry() __asm__("kdz_test_stack_at_entry");
asm(R"(
  .text
kdz_test_clobber_ebx:
  movl $0, %ebx
  ret
kdz_test_stack_at_entry:
  movl %esp, %eax
  ret
)");
#endif

int main() {
  Check(CallPlugin("AddCdecl", Convention::kCdecl, &AddCdecl, 40, 2) == 42, "a __cdecl call through the check");
  Check(CallPlugin("AddStdcall", Convention::kStdcall, &AddStdcall, 40, 2) == 42,
        "a __stdcall call through the check");
  Check(CallPlugin("Negate", Convention::kCdecl, &Negate, int16_t{-300}, uint16_t{7},
                   static_cast<unsigned char>(1)) == 300,
        "16-bit and 8-bit arguments and a 16-bit result");
#if defined(__i386__)
  const uint32_t args[2] = {40, 2};
  CallRecord record;
  uint32_t result = CallWithRecord(reinterpret_cast<const void*>(&AddStdcall), args, 2, &record);
  Check(result == 42 && record.popped == 8 && record.registersKept == 1, "a __stdcall callee removes 8 bytes");
  const std::string wrong = CheckCall("AddStdcall", Convention::kCdecl, 2, record);
  Check(wrong.find("removed 8 bytes") != std::string::npos && wrong.find("__cdecl") != std::string::npos,
        "a __stdcall function called as __cdecl is caught: " + wrong);
  result = CallWithRecord(reinterpret_cast<const void*>(&AddCdecl), args, 2, &record);
  Check(result == 42 && record.popped == 0 && CheckCall("AddCdecl", Convention::kCdecl, 2, record).empty(),
        "a __cdecl callee leaves the stack to its caller");
  Check(!CheckCall("AddCdecl", Convention::kStdcall, 2, record).empty(),
        "a __cdecl function called as __stdcall is caught");
  CallWithRecord(reinterpret_cast<const void*>(&ClobberEbx), nullptr, 0, &record);
  const std::string clobbered = CheckCall("ClobberEbx", Convention::kCdecl, 0, record);
  Check(record.registersKept == 0 && clobbered.find("did not keep") != std::string::npos,
        "a callee that breaks ebx is caught");
  for (uint32_t count = 0; count < 4; ++count) {
    const uint32_t none[4] = {};
    const uint32_t entry = CallWithRecord(reinterpret_cast<const void*>(&StackAtEntry), none, count, &record);
    Check((entry + 4) % 16 == 8, "the stack is aligned to 4 bytes only at a call of " +
                                     std::to_string(count) + " arguments");
  }
  Check(kdzhost::CheckedCalls() == 3, "checked calls are counted");
#else
  Check(kdzhost::CheckedCalls() == 0, "64-bit Windows: one convention, calls made directly");
#endif
  std::printf("%d failure(s)\n", failures);
  return failures == 0 ? 0 : 1;
}
