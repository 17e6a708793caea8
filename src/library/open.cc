// Opening a library file: argument tests, sharing of read-only handles, the exclusive or
// shared open of the file, the header tests in their fixed order (length, magic, crc,
// kind, write protection, dirty), and loading or rebuilding the catalogue. A failed open
// leaves no handle, no registry change and no open descriptor behind.
#include <cstring>

#include "format/block_io.h"
#include "format/endian.h"
#include "host/open_messages.h"
#include "index/persistence.h"
#include "journal/journal.h"
#include "library/busy_cursor.h"
#include "library/lifecycle.h"
#include "library/registry.h"
#include "maintenance/compact.h"

namespace varnel32::library {
namespace {

constexpr uint32_t kOpenOk = 0;
constexpr uint32_t kOpenCannotOpenFile = 1;
constexpr uint32_t kOpenBadLibrary = 2;
constexpr uint32_t kOpenWrongKind = 3;
constexpr uint32_t kOpenBadArgument = 4;
constexpr uint32_t kOpenOutOfMemory = 5;
constexpr uint32_t kOpenWriteProtected = 6;
constexpr uint32_t kOverrideWriteProtection = 1;

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

OpenOutcome OpenUnderCursor(int32_t level, platform::Window ownerWindow, const char* path,
                            uint32_t mode, uint32_t options) {
    BusyCursorScope busy;
    if (level > 1) return {nullptr, kOpenBadArgument};
    if ((mode & (kModeReadOnly | kModeWrite)) == 0) return {nullptr, kOpenBadArgument};
    // The handle keeps a 256-byte copy of the path; a longer one is refused untouched.
    if (path == nullptr || ::strnlen(path, kHandlePathSize) >= kHandlePathSize) {
        return {nullptr, kOpenBadArgument};
    }
    const bool readOnly = (mode & kModeReadOnly) != 0;
    const bool write = (mode & kModeWrite) != 0;

    RegistryLock lock;
    if (readOnly) {
        if (LibraryHandle* shared = FindShareableHandle(path, mode)) {
            platform::AtomicIncrement(&shared->referenceCount);
            return {shared, kOpenOk};
        }
    }
    auto* handle = static_cast<LibraryHandle*>(platform::AllocateZeroed(sizeof(LibraryHandle)));
    if (handle == nullptr) return {nullptr, kOpenOutOfMemory};
    handle->descriptor = readOnly ? platform::OpenRead(path) : platform::OpenWrite(path);
    if (handle->descriptor == platform::kNoFile) {
        lock.Leave();
        platform::Release(handle);
        return {nullptr, kOpenCannotOpenFile};
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
        return {nullptr, kOpenBadLibrary};
    }
    if (!write && journal::InspectBeside(path, handle->descriptor) != journal::Found::Nothing) {
        lock.Leave();
        host::ShowOpenMessage(ownerWindow, host::OpenMessage::ReadOnlyRefusal);
        platform::CloseFile(handle->descriptor);
        ReleaseHandle(handle);
        return {nullptr, kOpenBadLibrary};
    }

    // The descriptor stands at the start of the file (the journal code leaves it there).
    format::HeaderBytes bytes;
    const int32_t n = platform::ReadBytes(handle->descriptor, bytes.data(),
                                          static_cast<uint32_t>(bytes.size()));
    if (n != static_cast<int32_t>(bytes.size())) return Refuse(lock, handle, kOpenBadLibrary);
    if (format::Load32(bytes.data()) != format::kHeaderMagic) {
        return Refuse(lock, handle, kOpenBadLibrary);
    }
    if (!format::Verify(format::BlockKind::Header, bytes)) {
        return Refuse(lock, handle, kOpenBadLibrary);
    }
    const format::LibraryHeader header = format::DecodeLibraryHeader(bytes);
    if (((mode & kModeRequireInfrared) && !(header.kind & kKindInfrared)) ||
        ((mode & kModeRequireKind8) && !(header.kind & kKind8))) {
        return Refuse(lock, handle, kOpenWrongKind);
    }
    if ((header.kind & kKindWriteProtected) && write &&
        !(options & kOverrideWriteProtection)) {
        return Refuse(lock, handle, kOpenWriteProtected);
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
        return {nullptr, kOpenBadLibrary};
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
            return {nullptr, kOpenBadLibrary};
        }
    }
    AppendHandle(handle);
    return {handle, kOpenOk};
}

}  // namespace

LibraryHandle* OpenLibrary(int32_t level, platform::Window ownerWindow, const char* path,
                           uint32_t mode, uint32_t options, uint32_t* status) {
    // Without somewhere to put the status there is no way to report anything.
    if (status == nullptr) return nullptr;
    const OpenOutcome outcome = OpenUnderCursor(level, ownerWindow, path, mode, options);
    // The status is written last, after the cursor was restored.
    *status = outcome.status;
    return outcome.handle;
}

}  // namespace varnel32::library
