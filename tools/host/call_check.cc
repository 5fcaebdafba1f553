// The 32-bit call thunk and the check of what it measured.
#include "tools/host/call_check.h"

#include <windows.h>

#include <cstdio>

namespace kdzhost {
namespace {

long long checkedCalls = 0;

}  // namespace

#if defined(__i386__)
extern "C" uint32_t kdzhost_call_with_record(const void* function, const uint32_t* args,
                                             uint32_t count, CallRecord* record)
    __asm__("kdzhost_call_with_record");

// cdecl itself. The arguments are pushed last first below a stack pointer chosen so
// that it is 8 bytes past a 16-byte boundary at the call: a callee that relies on more
// than the 4-byte alignment Windows promises on 32-bit x86 faults here. Just above the
// arguments lie a copy of ebp and the arguments' size, found through esi, which points
// there; ebx and edi carry markers through the call.
asm(R"(
  .text
  .globl kdzhost_call_with_record
kdzhost_call_with_record:
  pushl %ebp
  movl %esp, %ebp
  pushl %ebx
  pushl %esi
  pushl %edi
  movl 16(%ebp), %ecx
  movl 12(%ebp), %edx
  leal 0(,%ecx,4), %eax
  movl %esp, %esi
  subl $8, %esi
  subl %eax, %esi
  andl $-16, %esi
  subl $8, %esi
  addl %eax, %esi
  movl %ebp, (%esi)
  movl %eax, 4(%esi)
  movl %esi, %esp
1:
  testl %ecx, %ecx
  jz 2f
  decl %ecx
  pushl (%edx,%ecx,4)
  jmp 1b
2:
  movl $0x5EB05EB0, %ebx
  movl $0x0D1D0D1D, %edi
  call *8(%ebp)
  movl %esp, %edx
  subl %esi, %edx
  addl 4(%esi), %edx
  movl $1, %ecx
  cmpl (%esi), %ebp
  jne 3f
  cmpl $0x5EB05EB0, %ebx
  jne 3f
  cmpl $0x0D1D0D1D, %edi
  je 4f
3:
  movl $0, %ecx
  movl (%esi), %ebp
4:
  movl 20(%ebp), %ebx
  movl %edx, (%ebx)
  movl %ecx, 4(%ebx)
  leal -12(%ebp), %esp
  popl %edi
  popl %esi
  popl %ebx
  popl %ebp
  ret
)");

uint32_t CallWithRecord(const void* function, const uint32_t* args, uint32_t count,
                        CallRecord* record) {
  return kdzhost_call_with_record(function, args, count, record);
}
#else
uint32_t CallWithRecord(const void*, const uint32_t*, uint32_t, CallRecord* record) {
  *record = CallRecord();
  return 0;
}
#endif

std::string CheckCall(const char* name, Convention convention, uint32_t count,
                      const CallRecord& record) {
  const int32_t expected = convention == Convention::kStdcall ? static_cast<int32_t>(4 * count) : 0;
  const char* conventionName = convention == Convention::kStdcall ? "__stdcall" : "__cdecl";
  std::string fault;
  if (record.popped != expected) {
    fault = std::string(name) + " removed " + std::to_string(record.popped) +
            " bytes from the stack; a " + conventionName + " function of " + std::to_string(count) +
            " arguments removes " + std::to_string(expected) + " (wrong calling convention)";
  }
  if (record.registersKept == 0) {
    fault += std::string(fault.empty() ? "" : "; ") + name +
             " did not keep the registers ebx, esi, edi and ebp";
  }
  return fault;
}

void CountCheckedCall() { ++checkedCalls; }

long long CheckedCalls() { return checkedCalls; }

void StackFault(const std::string& message) {
  const std::string line = "stack check failed: " + message + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
  std::fputs(("kdzhost: " + line).c_str(), stderr);
  std::fflush(stderr);
  ExitProcess(4);
}

}  // namespace kdzhost
