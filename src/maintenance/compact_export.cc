// IRCompactLibrary's core: the mode test comes before the cursor is touched; the walk is
// one journalled change.
#include "library/busy_cursor.h"
#include "journal/journal.h"
#include "maintenance/compact.h"
#include "maintenance/maintenance.h"

namespace varnel32::maintenance {

int32_t CompactLibrary(LibraryHandle* handle) {
    if (!library::CanWrite(handle)) return 0;
    library::BusyCursorScope busy;
    journal::Change change(handle);
    const uint32_t rebuilds = handle->rebuilds;
    if (CompactLibraryFile(handle) != 0 && change.Commit()) return 1;
    // Undone, the extents are back where they were: a tree the walk rebuilt names other
    // places, and the handle stops changing the file until a compaction succeeds.
    change.Undo();
    if (handle->journal.stuck || handle->rebuilds != rebuilds) handle->indexIncomplete = true;
    return 0;
}

}  // namespace varnel32::maintenance
