// Calls into the plug-in as a browser makes them, with a check of the calling
// convention on 32-bit x86, where two conventions meet: the exports are __stdcall (the
// callee removes its arguments from the stack), the callbacks in the table __cdecl (the
// caller does). A function built with the other convention than the browser expects
// leaves the stack pointer off by its arguments' size after every call, which a real
// browser notices only by crashing some time later. Here every call goes through a small
// assembly thunk that measures the stack pointer before and after the call and checks
// the registers the callee must keep (ebx, esi, edi, ebp); a mismatch ends the host at
// once with a message naming the call. The thunk also leaves the stack aligned to only
// 4 bytes at the call, as callers built by other compilers may. On 64-bit Windows there
// is one convention, and the calls are made directly.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>

namespace kdzhost {

enum class Convention { kCdecl, kStdcall };

// What one call did, as the thunk measured it.
struct CallRecord {
  int32_t popped = 0;         // bytes the callee removed from the stack (arguments)
  int32_t registersKept = 0;  // 1 when ebx, esi, edi and ebp came back unchanged
};

// Calls `function` with `count` argument words (first argument first) and returns the
// value it left in eax. 32-bit x86 only.
uint32_t CallWithRecord(const void* function, const uint32_t* args, uint32_t count,
                        CallRecord* record);

// Empty when `record` fits a call of `count` argument words under `convention`; else
// a sentence saying what went wrong.
std::string CheckCall(const char* name, Convention convention, uint32_t count,
                      const CallRecord& record);

// Number of calls into the plug-in checked so far (0 where no check is needed).
long long CheckedCalls();

// Reports a failed check on standard output and standard error and ends the process
// with exit status 4.
[[noreturn]] void StackFault(const std::string& message);

template <class T, bool = std::is_enum_v<T>>
struct IntegerOf {
  using type = T;
};
template <class T>
struct IntegerOf<T, true> {
  using type = std::underlying_type_t<T>;
};

template <class T>
uint32_t ArgumentWord(T value) {
  if constexpr (std::is_pointer_v<T>) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(value));
  } else {
    static_assert(std::is_integral_v<T> || std::is_enum_v<T>, "argument words are integers or pointers");
    static_assert(sizeof(T) <= 4, "every argument of the interface fits one 32-bit word");
    // Widened as a caller widens it: signed types with their sign.
    using Wide = std::conditional_t<std::is_signed_v<typename IntegerOf<T>::type>, int32_t, uint32_t>;
    return static_cast<uint32_t>(static_cast<Wide>(value));
  }
}

void CountCheckedCall();

template <class F>
struct Signature;

template <class R, class... P>
struct Signature<R (*)(P...)> {
  template <class F>
  static R Invoke(const char* name, Convention convention, F function, P... args) {
#if defined(__i386__)
    const uint32_t words[sizeof...(P) + 1] = {ArgumentWord(args)..., 0};
    CallRecord record;
    const uint32_t eax = CallWithRecord(reinterpret_cast<const void*>(function), words,
                                        sizeof...(P), &record);
    const std::string fault = CheckCall(name, convention, sizeof...(P), record);
    if (!fault.empty()) StackFault(fault);
    CountCheckedCall();
    if constexpr (!std::is_void_v<R>) return static_cast<R>(eax);
#else
    (void)name;
    (void)convention;
    return function(args...);
#endif
  }
};
#if defined(__i386__)
template <class R, class... P>
struct Signature<R(__stdcall*)(P...)> : Signature<R (*)(P...)> {};
#endif

// Calls `function` (a plug-in export or callback) with `args` converted to its
// parameter types; on 32-bit x86 the call is checked against `convention`, the
// convention of the interface, which the host states itself rather than taking it from
// the function's declared type.
template <class F, class... A>
auto CallPlugin(const char* name, Convention convention, F function, A... args) {
  return Signature<F>::Invoke(name, convention, function, args...);
}

// The interface's two conventions: the callbacks in the table and the exports.
template <class F, class... A>
auto CallCallback(const char* name, F function, A... args) {
  return CallPlugin(name, Convention::kCdecl, function, args...);
}
template <class F, class... A>
auto CallExport(const char* name, F function, A... args) {
  return CallPlugin(name, Convention::kStdcall, function, args...);
}

}  // namespace kdzhost
