// The compaction calls behind the C layer: IRCompactLibrary, and the compaction that space
// management asks for when a deletion fills the free-slot table.
#pragma once

#include <cstdint>

#include "handle/handle.h"

namespace varnel32::maintenance {

// IRCompactLibrary on a handle opened with IRModeWrite: one journalled change under the
// busy cursor.
int32_t CompactLibrary(LibraryHandle* handle);

// The compaction of a write or delete that filled the free-slot table (records::Compactor):
// under the busy cursor, within the caller's change. 1 on success, 0 on failure.
int CompactUnderCursor(LibraryHandle* handle);

}  // namespace varnel32::maintenance
