// The compaction calls: IRCompactLibrary's walk is one journalled change under the busy
// cursor; the one that a full free-slot table calls for runs inside the caller's change.
#include "host/busy_cursor.h"
#include "journal/journal.h"
#include "maintenance/compact.h"
#include "maintenance/maintenance.h"

namespace varnel32::maintenance {

int32_t CompactLibrary(LibraryHandle* handle) {
    host::BusyCursorScope busy;
    journal::Change change(handle);
    const uint32_t rebuilds = handle->rebuilds;
    if (CompactLibraryFile(handle) != 0 && change.Commit()) return 1;
    // Undone, the extents are back where they were: a tree the walk rebuilt names other
    // places, and the handle stops changing the file until a compaction succeeds.
    change.Undo();
    if (handle->journal.stuck || handle->rebuilds != rebuilds) handle->indexIncomplete = true;
    return 0;
}

int CompactUnderCursor(LibraryHandle* handle) {
    host::BusyCursorScope busy;
    return CompactLibraryFile(handle);
}

}  // namespace varnel32::maintenance
