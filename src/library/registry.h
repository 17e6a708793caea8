// The handle registry: the process-wide list of open handles, guarded by one re-entrant
// lock that exists from load to unload (process_attach.cc). Only opening and closing use
// it; they hold the lock across their file work.
#pragma once

#include <cstdint>

#include "handle/handle.h"

namespace varnel32::library {

// Holds the registry lock for its lifetime; Leave() gives it up early (an open leaves the
// lock before it shows a message box), after which the destructor does nothing.
class RegistryLock {
public:
    RegistryLock() { platform::RegistryLockEnter(); }
    ~RegistryLock() { Leave(); }
    RegistryLock(const RegistryLock&) = delete;
    RegistryLock& operator=(const RegistryLock&) = delete;
    void Leave() {
        if (held_) platform::RegistryLockLeave();
        held_ = false;
    }

private:
    bool held_ = true;
};

// All with the lock held.
LibraryHandle* FindShareableHandle(const char* path, uint32_t mode);
void AppendHandle(LibraryHandle* handle);
void UnlinkHandle(LibraryHandle* handle);
LibraryHandle* FirstHandle();

}  // namespace varnel32::library
