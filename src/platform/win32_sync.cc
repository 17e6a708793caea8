// The registry lock and interlocked counters on Windows: one critical section, which is
// re-entrant for the thread that holds it, and the Interlocked functions.
#include <windows.h>

#include "platform/platform.h"

namespace varnel32::platform {
namespace {
CRITICAL_SECTION g_registryLock;
static_assert(sizeof(LONG) == sizeof(int32_t));
}  // namespace

void RegistryLockCreate() { InitializeCriticalSection(&g_registryLock); }
void RegistryLockDestroy() { DeleteCriticalSection(&g_registryLock); }
void RegistryLockEnter() { EnterCriticalSection(&g_registryLock); }
void RegistryLockLeave() { LeaveCriticalSection(&g_registryLock); }

// LONG and int32_t have one width on every Windows target; the counters are int32_t so
// that the handle's layout is the same on every platform.
int32_t AtomicIncrement(int32_t* value) {
    return InterlockedIncrement(reinterpret_cast<volatile LONG*>(value));
}
int32_t AtomicDecrement(int32_t* value) {
    return InterlockedDecrement(reinterpret_cast<volatile LONG*>(value));
}

}  // namespace varnel32::platform
