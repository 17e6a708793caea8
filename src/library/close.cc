// Closing a handle: one reference given up; the last one saves the catalogue when the
// handle changed the file, then releases the tree, the registration, the descriptor and
// the handle, all under the registry lock.
#include "host/busy_cursor.h"
#include "index/persistence.h"
#include "journal/journal.h"
#include "library/lifecycle.h"
#include "library/registry.h"

namespace varnel32::library {

void CloseLibrary(LibraryHandle* handle) {
    host::BusyCursorScope busy;
    RegistryLock lock;
    if (platform::AtomicDecrement(&handle->referenceCount) != 0) return;
    // A failed save is not reported: it is undone, the header keeps its dirty flag and the
    // next open for writing repairs the file. A tree that a failed compaction left incomplete is never
    // saved, for the same reason.
    if ((handle->mode & IRModeWrite) && handle->modified && !handle->indexIncomplete) {
        journal::Change change(handle);
        if (index::SaveCatalogueIndex(handle)) change.Commit();
    }
    journal::CloseJournal(handle);
    index::FreeCatalogueIndex(handle->index);
    UnlinkHandle(handle);
    platform::CloseFile(handle->descriptor);
    busy.End();
    platform::Release(handle);
    lock.Leave();
}

}  // namespace varnel32::library
