// The points at which test builds can make a platform call fail. In the shipped library
// TakeFault is a constant that the compiler folds away; test builds (VARNEL32_TESTING)
// define it in testing/fault_injection.cc.
#pragma once

#include <cstddef>
#include <cstdint>

namespace varnel32::platform {

// The exit status of a process ended by FaultEffect::Crash.
inline constexpr int kCrashExitStatus = 86;

enum class FaultCall { Open, Read, Write, Seek, Truncate, Allocate, Resize, kCount };

enum class FaultEffect {
    None,   // the call goes through
    Fail,   // the call fails as the operating system would report it
    Short,  // a read or write transfers only part of what was asked (others: Fail)
    Crash,  // the process ends: a write first reaches the file, other calls do not happen
    Torn,   // the process ends: half of a write reaches the file (others: as Crash)
};

#ifdef VARNEL32_TESTING
FaultEffect TakeFault(FaultCall call);
// Called with the size of every zero-filled allocation, so that tests can see how large the
// blocks were that the library asked for.
void NoteAllocation(size_t size);
#else
inline constexpr FaultEffect TakeFault(FaultCall) { return FaultEffect::None; }
inline constexpr void NoteAllocation(size_t) {}
#endif

}  // namespace varnel32::platform
