// The library handle: everything one open of a library file owns (descriptor, path copy,
// catalogue tree, mode, kind, flags, journal) and its link in the process-wide registry.
// Every part of the core works on it; library/ creates, registers and releases handles.
#pragma once

#include <cstdint>

#include "format/blocks.h"
#include "handle/catalogue.h"
#include "handle/journal_state.h"
#include "platform/platform.h"
#include "varnel32.h"

inline constexpr uint32_t kHandlePathSize = static_cast<uint32_t>(varnel32::format::kPathSize);
inline constexpr uint16_t kDefaultExtraSpace = 1024;

// Defined at global scope: varnel32.h declares it there as an opaque struct.
struct LibraryHandle {
    char path[kHandlePathSize];
    int descriptor;
    varnel32::platform::Window ownerWindow;
    int32_t referenceCount;
    uint32_t mode;
    uint32_t modified;  // set by the first change through this handle, never reset
    uint16_t extraSpace;
    varnel32::index::CatalogueIndex index;
    uint32_t kind;
    LibraryHandle* next;
    // Set when a compaction failed after it had released the tree: the tree then lacks
    // records that the file holds, so the handle may not save it (the file stays dirty
    // and is rebuilt at the next open for writing) nor change the file through it.
    bool indexIncomplete;
    // Counts the compactions that replaced the tree: a call that is undone after one ran
    // can no longer trust the tree it leaves.
    uint32_t rebuilds;
    // The rollback journal beside the file: opened by the first change, removed at close.
    varnel32::journal::JournalState journal;
};
