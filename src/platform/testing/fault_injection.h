// Test-only control of the platform layer: make the n-th call of a kind fail, transfer
// short or end the process, count calls, and read back the user-interface calls that the
// library made. Linked only into test binaries (the varnel32_platform_testing library).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/fault_point.h"
#include "platform/platform.h"

namespace varnel32::platform::testing {

// Arms one fault: the `nth` call of `call` from now (1 = the next one) has `effect`. With
// `sticky`, every later call of that kind fails too (a disk that went away).
void InjectFault(FaultCall call, uint32_t nth, FaultEffect effect = FaultEffect::Fail,
                 bool sticky = false);
// Disarms the fault and resets the call counters.
void ClearFaults();
// True once the armed fault has struck.
bool FaultFired();
// Calls of a kind since the last ClearFaults.
uint32_t CallCount(FaultCall call);

// The sizes of the zero-filled allocations that succeeded while the log was on, in order.
// ClearFaults turns the log off and empties it.
void LogAllocations(bool on);
std::vector<size_t> AllocationLog();

// What the library did to the user interface, in order.
struct UiEvent {
    enum class Kind { LoadCursor, SetCursor, Beep, MessageBox };
    Kind kind = Kind::LoadCursor;
    Cursor cursor = nullptr;  // LoadCursor: the cursor returned; SetCursor: the one set
    Window owner = nullptr;
    std::string text;
    std::string caption;
    uint32_t value = 0;  // Beep: the sound; MessageBox: the style; LoadCursor: the id
};
std::vector<UiEvent> UiEvents();
void ClearUiEvents();
// The calling thread's current cursor, as the library's SetCurrentCursor calls left it.
Cursor CurrentCursor();
void SetCurrentCursorForTest(Cursor cursor);
// The cursor that LoadWaitCursor hands out in test builds.
Cursor WaitCursor();

}  // namespace varnel32::platform::testing
