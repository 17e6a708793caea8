// Deleting a record: found through the index, blanked and listed by the space manager,
// then its names leave the index. One journalled change: a failure puts the record back.
#include "format/names.h"
#include "journal/journal.h"
#include "records/records.h"
#include "records/space.h"

namespace varnel32::records {

int32_t DeleteRemoteRecord(LibraryHandle* handle, const char* manufacturer, const char* type,
                           const char* model, Compactor compact) {
    if (handle->indexIncomplete) return 0;
    format::Name m, t, mo;
    if (!format::CopyNameField(manufacturer, m) || !format::CopyNameField(type, t) ||
        !format::CopyNameField(model, mo)) {
        return 0;
    }
    const uint32_t offset = index::FindRecordOffset(handle->index, m.data(), t.data(), mo.data());
    if (offset == 0) return 0;
    journal::Change change(handle);
    const uint32_t rebuilds = handle->rebuilds;
    if (DeleteRecordAtOffset(handle, offset, compact) == DeleteResult::Deleted && change.Commit()) {
        index::RemoveIndexEntry(handle->index, index::MakeKey(m, t, mo, 0));
        return 1;
    }
    // Undone, the record is back and keeps its key, unless a compaction replaced the tree.
    change.Undo();
    if (handle->journal.stuck || handle->rebuilds != rebuilds) handle->indexIncomplete = true;
    return 0;
}

}  // namespace varnel32::records
