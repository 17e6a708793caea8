// Creates the registry lock when the library is loaded into a process and deletes it when
// the library is unloaded. Handles still open at unload are left as they are: a file they
// changed keeps its dirty flag and is repaired at its next open for writing.
#include "platform/platform.h"

#if defined(_WIN32) && defined(VARNEL32_DLL)
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) varnel32::platform::RegistryLockCreate();
    if (reason == DLL_PROCESS_DETACH) varnel32::platform::RegistryLockDestroy();
    return TRUE;
}
#else
namespace {
// Priority 101 runs before the constructors of ordinary static objects, so that a program
// linking the library statically may open libraries from its own static constructors.
__attribute__((constructor(101))) void OnProcessAttach() {
    varnel32::platform::RegistryLockCreate();
}
__attribute__((destructor(101))) void OnProcessDetach() {
    varnel32::platform::RegistryLockDestroy();
}
}  // namespace
#endif
