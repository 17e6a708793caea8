// Opening a library file: sharing of read-only handles, the exclusive or shared open of
// the file, the header tests in their fixed order (length, magic, crc,
// kind, write protection, dirty), and loading or rebuilding the catalogue. A failed open
// leaves no handle, no registry change and no open descriptor behind.
#include <cstring>

#include "format/endian.h"
#include "handle/block_io.h"
#include "host/open_messages.h"
#include "index/persistence.h"
#include "journal/journal.h"
#include "library/lifecycle.h"
#include "library/registry.h"
#include "maintenance/compact.h"

namespace varnel32::library {
namespace {

struct OpenOutcome {
    LibraryHandle* handle;
    uint32_t status;
};

// Gives up a handle that never got registered: leave the lock, then close and free.
OpenOutcome Refuse(RegistryLock& lock, LibraryHandle* handle, uint32_t status) {
    lock.Leave();
    platform::CloseFile(handle->descriptor);
    ReleaseHandle(handle);
    return {nullptr, status};
}

OpenOutcome OpenFile(platform::Window ownerWindow, const char* path, uint32_t mode,
                     uint32_t options) {
    const bool readOnly = (mode & IRModeReadOnly) != 0;
    const bool write = (mode & IRModeWrite) != 0;

    RegistryLock lock;
    if (readOnly) {
        if (LibraryHandle* shared = FindShareableHandle(path, mode)) {
            platform::AtomicIncrement(&shared->referenceCount);
            return {shared, IROpenOk};
        }
    }
    auto* handle = static_cast<LibraryHandle*>(platform::AllocateZeroed(sizeof(LibraryHandle)));
    if (handle == nullptr) return {nullptr, IROpenOutOfMemory};
    handle->descriptor = readOnly ? platform::OpenRead(path) : platform::OpenWrite(path);
    if (handle->descriptor == platform::kNoFile) {
        lock.Leave();
        platform::Release(handle);
        return {nullptr, IROpenCannotOpenFile};
    }

    // A journal beside the file is a call that a crash cut short. A writer undoes it first
    // and goes on with the file as that call found it; a reader, which never writes,
    // refuses the file the way it refuses a dirty one.
    handle->journal.syncFull = journal::SyncRequested();
    if (write && !journal::RecoverBeside(path, handle->descriptor, handle->journal.syncFull)) {
        lock.Leave();
        host::ShowOpenMessage(ownerWindow, host::OpenMessage::RecoveryFailed);
        platform::CloseFile(handle->descriptor);
        ReleaseHandle(handle);
        return {nullptr, IROpenBadLibrary};
    }
    if (!write && journal::InspectBeside(path, handle->descriptor) != journal::Found::Nothing) {
        lock.Leave();
        host::ShowOpenMessage(ownerWindow, host::OpenMessage::ReadOnlyRefusal);
        platform::CloseFile(handle->descriptor);
        ReleaseHandle(handle);
        return {nullptr, IROpenBadLibrary};
    }

    // The descriptor stands at the start of the file (the journal code leaves it there).
    format::HeaderBytes bytes;
    const int32_t n = platform::ReadBytes(handle->descriptor, bytes.data(),
                                          static_cast<uint32_t>(bytes.size()));
    if (n != static_cast<int32_t>(bytes.size())) return Refuse(lock, handle, IROpenBadLibrary);
    if (format::Load32(bytes.data() + format::kHeaderMagicOffset) != format::kHeaderMagic) {
        return Refuse(lock, handle, IROpenBadLibrary);
    }
    if (!format::Verify(format::BlockKind::Header, bytes)) {
        return Refuse(lock, handle, IROpenBadLibrary);
    }
    const format::LibraryHeader header = format::DecodeLibraryHeader(bytes);
    if (((mode & IRModeRequireInfrared) && !(header.kind & format::kKindInfrared)) ||
        ((mode & IRModeRequireKind8) && !(header.kind & format::kKind8))) {
        return Refuse(lock, handle, IROpenWrongKind);
    }
    if ((header.kind & format::kKindWriteProtected) && write &&
        !(options & IROpenOverrideWriteProtection)) {
        return Refuse(lock, handle, IROpenWriteProtected);
    }

    std::memcpy(handle->path, path, ::strlen(path) + 1);
    handle->ownerWindow = ownerWindow;
    handle->mode = mode;
    handle->modified = 0;
    handle->extraSpace = kDefaultExtraSpace;
    handle->kind = header.kind;
    handle->referenceCount = 1;

    if (header.dirty == 0) {
        // An index that cannot be read whole still opens; a compaction through a handle
        // that may write rebuilds it from the records. Until then such a handle must not
        // change the file: a record the tree misses would be written a second time under
        // the same names, and no repair could rebuild a file holding both.
        if (index::LoadCatalogueIndex(handle) == 0 && write) handle->indexIncomplete = true;
    } else if (!write) {
        lock.Leave();
        host::ShowOpenMessage(ownerWindow, host::OpenMessage::ReadOnlyRefusal);
        platform::CloseFile(handle->descriptor);
        ReleaseHandle(handle);
        return {nullptr, IROpenBadLibrary};
    } else {
        host::ShowOpenMessage(ownerWindow, host::OpenMessage::RecoveryPrompt);
        int repaired = 0;
        {
            journal::Change change(handle);
            repaired = maintenance::CompactLibraryFile(handle);
            // A file without records or deleted extents has nothing to compact, and
            // compaction leaves it as it is, dirty flag included; saving its empty index is
            // what makes it clean, or every later read-only open would refuse it.
            if (repaired != 0 && header.recordCount == 0 && header.freeSlotCount == 0) {
                repaired = index::SaveCatalogueIndex(handle);
            }
            // A failed repair is undone: the file stays as dirty as it came.
            if (repaired != 0 && !change.Commit()) repaired = 0;
        }
        if (repaired == 0) {
            journal::CloseJournal(handle);
            lock.Leave();
            host::ShowOpenMessage(ownerWindow, host::OpenMessage::RecoveryFailed);
            platform::CloseFile(handle->descriptor);
            ReleaseHandle(handle);
            return {nullptr, IROpenBadLibrary};
        }
    }
    AppendHandle(handle);
    return {handle, IROpenOk};
}

}  // namespace

LibraryHandle* OpenLibrary(platform::Window ownerWindow, const char* path, uint32_t mode,
                           uint32_t options, uint32_t& status) {
    const OpenOutcome outcome = OpenFile(ownerWindow, path, mode, options);
    status = outcome.status;
    return outcome.handle;
}

}  // namespace varnel32::library
