// The C layer: the nineteen exported functions. Each tests its arguments (null pointers,
// levels, mode words, handles that may not write) and answers a bad one with the failure
// value that varnel32.h documents, then forwards to the core, which takes valid arguments
// only. Nothing but this file carries exported names; everything else is hidden
// (-fvisibility=hidden). The lifecycle is in library/, the catalogue in index/, records in
// records/, compaction in maintenance/.
#include <cstring>
#include <initializer_list>

#include "handle/handle.h"
#include "host/busy_cursor.h"
#include "index/queries.h"
#include "library/lifecycle.h"
#include "maintenance/maintenance.h"
#include "records/records.h"
#include "varnel32.h"

using namespace varnel32;

namespace {

// The calls that change the file need a handle opened with IRModeWrite; they refuse any
// other before the file or the cursor is touched.
bool MayWrite(const LibraryHandle* handle) {
    return handle != nullptr && (handle->mode & IRModeWrite) != 0;
}

bool AnyNull(std::initializer_list<const void*> pointers) {
    for (const void* p : pointers) {
        if (p == nullptr) return true;
    }
    return false;
}

}  // namespace

extern "C" {

// Open and create show the busy cursor from their entry, before the argument tests.
IRAPI int32_t IRCALL IRCreateLibrary(int32_t level, const char* path, uint32_t kindFlags) {
    host::BusyCursorScope busy;
    if (level > 1 || path == nullptr) return 0;
    return library::CreateLibrary(path, kindFlags);
}

IRAPI LibraryHandle* IRCALL IROpenLibrary(int32_t level, IRWindow ownerWindow, const char* path,
                                          uint32_t mode, uint32_t options, uint32_t* status) {
    // Without somewhere to put the status there is no way to report anything.
    if (status == nullptr) return nullptr;
    uint32_t result = IROpenBadArgument;
    LibraryHandle* handle = nullptr;
    {
        host::BusyCursorScope busy;
        // The handle keeps a 256-byte copy of the path; a longer one is refused untouched.
        const bool valid = level <= 1 && (mode & (IRModeReadOnly | IRModeWrite)) != 0 &&
                           path != nullptr && ::strnlen(path, kHandlePathSize) < kHandlePathSize;
        if (valid) handle = library::OpenLibrary(ownerWindow, path, mode, options, result);
    }
    // The status is written last, after the cursor was restored.
    *status = result;
    return handle;
}

IRAPI void IRCALL IRCloseLibrary(LibraryHandle* library) {
    if (library != nullptr) library::CloseLibrary(library);
}

IRAPI int32_t IRCALL IRIsCommandLibrary(LibraryHandle* library) {
    return library == nullptr ? 0 : library::IsCommandLibrary(library);
}

IRAPI int32_t IRCALL IRGetFilenameFromHandle(LibraryHandle* library, char* buffer) {
    if (library == nullptr) {
        if (buffer != nullptr) buffer[0] = '\0';
        return 0;
    }
    if (buffer == nullptr) return 0;
    library::GetFilenameFromHandle(library, buffer);
    return 1;
}

IRAPI int32_t IRCALL IRSetExtraSpaceAmount(LibraryHandle* library, uint32_t amount) {
    if (library == nullptr) return 0;
    library::SetExtraSpaceAmount(library, amount);
    return 1;
}

IRAPI uint16_t IRCALL IRGetExtraSpaceAmount(LibraryHandle* library) {
    return library == nullptr ? 0xFFFF : library::GetExtraSpaceAmount(library);
}

IRAPI NameList* IRCALL IRFindAllManufacturers(LibraryHandle* library) {
    if (library == nullptr) return nullptr;
    return static_cast<NameList*>(index::ListManufacturers(library));
}

IRAPI NameList* IRCALL IRFindAllTypes(LibraryHandle* library, const char* manufacturer) {
    if (AnyNull({library, manufacturer})) return nullptr;
    return static_cast<NameList*>(index::ListTypes(library, manufacturer));
}

IRAPI NameList* IRCALL IRFindAllModels(LibraryHandle* library, const char* manufacturer,
                                       const char* type) {
    if (AnyNull({library, manufacturer, type})) return nullptr;
    return static_cast<NameList*>(index::ListModels(library, manufacturer, type));
}

IRAPI int32_t IRCALL IRDoesRemoteRecordExist(LibraryHandle* library, const char* manufacturer,
                                             const char* type, const char* model) {
    if (AnyNull({library, manufacturer, type, model})) return 0;
    return index::RecordExists(library, manufacturer, type, model);
}

// One routine, exported under four names.
IRAPI void IRCALL IRFreeManufacturers(void* block) { index::FreeResultBlock(block); }
#if defined(_WIN32)
// The Windows DLL maps the other three names onto IRFreeManufacturers in its .def file;
// these forwarders serve programs that link the library statically.
IRAPI void IRCALL IRFreeTypes(void* block) { index::FreeResultBlock(block); }
IRAPI void IRCALL IRFreeModels(void* block) { index::FreeResultBlock(block); }
IRAPI void IRCALL IRFreeRemoteRecord(void* block) { index::FreeResultBlock(block); }
#else
IRAPI void IRFreeTypes(void* block) __attribute__((alias("IRFreeManufacturers")));
IRAPI void IRFreeModels(void* block) __attribute__((alias("IRFreeManufacturers")));
IRAPI void IRFreeRemoteRecord(void* block) __attribute__((alias("IRFreeManufacturers")));
#endif

// A write or delete that fills the free-slot table compacts the file there and then.
IRAPI int32_t IRCALL IRWriteRemoteRecord(LibraryHandle* library, const RemoteRecord* record) {
    if (!MayWrite(library) || record == nullptr) return 0;
    return records::WriteRemoteRecord(library, reinterpret_cast<const uint8_t*>(record),
                                      maintenance::CompactUnderCursor);
}

IRAPI RemoteRecord* IRCALL IRFetchRemoteRecord(LibraryHandle* library, const char* manufacturer,
                                               const char* type, const char* model) {
    if (AnyNull({library, manufacturer, type, model})) return nullptr;
    return static_cast<RemoteRecord*>(records::FetchRemoteRecord(library, manufacturer, type, model));
}

IRAPI int32_t IRCALL IRDeleteRemoteRecord(LibraryHandle* library, const char* manufacturer,
                                          const char* type, const char* model) {
    if (!MayWrite(library) || AnyNull({manufacturer, type, model})) return 0;
    return records::DeleteRemoteRecord(library, manufacturer, type, model,
                                       maintenance::CompactUnderCursor);
}

IRAPI int32_t IRCALL IRCompactLibrary(LibraryHandle* library) {
    if (!MayWrite(library)) return 0;
    return maintenance::CompactLibrary(library);
}

}  // extern "C"
