// Deleting a record: found through the index, blanked and listed by the space manager,
// then its names leave the index.
#include "index/queries.h"
#include "records/records.h"
#include "records/space.h"

namespace varnel32::records {

int32_t DeleteRemoteRecord(LibraryHandle* handle, const char* manufacturer, const char* type,
                           const char* model) {
    if (!library::CanWrite(handle)) return 0;
    if (manufacturer == nullptr || type == nullptr || model == nullptr) return 0;
    if (handle->indexIncomplete) return 0;
    format::Name m, t, mo;
    if (!index::CopyNameField(manufacturer, m) || !index::CopyNameField(type, t) ||
        !index::CopyNameField(model, mo)) {
        return 0;
    }
    const uint32_t offset = index::FindRecordOffset(handle->index, m.data(), t.data(), mo.data());
    if (offset == 0) return 0;
    const DeleteResult result = DeleteRecordAtOffset(handle, offset);
    if (result == DeleteResult::NotListed) return 0;
    // Once the extent is listed as free its names leave the index, even when a later step
    // failed and 0 is reported: a later write under these names must not reuse it in place.
    index::RemoveIndexEntry(handle->index, index::MakeKey(m, t, mo, 0));
    return result == DeleteResult::Deleted ? 1 : 0;
}

}  // namespace varnel32::records
