// The registry lock and interlocked counters on POSIX: a recursive pthread mutex (re-entrant
// for the thread that holds it, like a Windows critical section) and GCC atomics.
#include <pthread.h>

#include "platform/platform.h"

namespace varnel32::platform {
namespace {
pthread_mutex_t g_registryLock;
}

void RegistryLockCreate() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&g_registryLock, &attr);
    pthread_mutexattr_destroy(&attr);
}

void RegistryLockDestroy() { pthread_mutex_destroy(&g_registryLock); }
void RegistryLockEnter() { pthread_mutex_lock(&g_registryLock); }
void RegistryLockLeave() { pthread_mutex_unlock(&g_registryLock); }

int32_t AtomicIncrement(int32_t* value) { return __atomic_add_fetch(value, 1, __ATOMIC_SEQ_CST); }
int32_t AtomicDecrement(int32_t* value) { return __atomic_sub_fetch(value, 1, __ATOMIC_SEQ_CST); }

}  // namespace varnel32::platform
