// The C layer: the nineteen exported functions, each a thin call into the core. Nothing
// but this file carries exported names; everything else is hidden (-fvisibility=hidden).
// The lifecycle is in library/, the catalogue in index/, records in records/, compaction in
// maintenance/.
#include "index/queries.h"
#include "library/lifecycle.h"
#include "maintenance/maintenance.h"
#include "records/records.h"
#include "varnel32.h"

using namespace varnel32;

extern "C" {

IRAPI int32_t IRCALL IRCreateLibrary(int32_t level, const char* path, uint32_t kindFlags) {
    return library::CreateLibrary(level, path, kindFlags);
}

IRAPI LibraryHandle* IRCALL IROpenLibrary(int32_t level, IRWindow ownerWindow, const char* path,
                                          uint32_t mode, uint32_t options, uint32_t* status) {
    return library::OpenLibrary(level, ownerWindow, path, mode, options, status);
}

IRAPI void IRCALL IRCloseLibrary(LibraryHandle* library) { library::CloseLibrary(library); }

IRAPI int32_t IRCALL IRIsCommandLibrary(LibraryHandle* library) {
    return library::IsCommandLibrary(library);
}

IRAPI int32_t IRCALL IRGetFilenameFromHandle(LibraryHandle* library, char* buffer) {
    return library::GetFilenameFromHandle(library, buffer);
}

IRAPI int32_t IRCALL IRSetExtraSpaceAmount(LibraryHandle* library, uint32_t amount) {
    return library::SetExtraSpaceAmount(library, amount);
}

IRAPI uint16_t IRCALL IRGetExtraSpaceAmount(LibraryHandle* library) {
    return library::GetExtraSpaceAmount(library);
}

IRAPI NameList* IRCALL IRFindAllManufacturers(LibraryHandle* library) {
    return static_cast<NameList*>(index::ListManufacturers(library));
}

IRAPI NameList* IRCALL IRFindAllTypes(LibraryHandle* library, const char* manufacturer) {
    return static_cast<NameList*>(index::ListTypes(library, manufacturer));
}

IRAPI NameList* IRCALL IRFindAllModels(LibraryHandle* library, const char* manufacturer,
                                       const char* type) {
    return static_cast<NameList*>(index::ListModels(library, manufacturer, type));
}

IRAPI int32_t IRCALL IRDoesRemoteRecordExist(LibraryHandle* library, const char* manufacturer,
                                             const char* type, const char* model) {
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

IRAPI int32_t IRCALL IRWriteRemoteRecord(LibraryHandle* library, const RemoteRecord* record) {
    return records::WriteRemoteRecord(library, reinterpret_cast<const uint8_t*>(record));
}

IRAPI RemoteRecord* IRCALL IRFetchRemoteRecord(LibraryHandle* library, const char* manufacturer,
                                               const char* type, const char* model) {
    return static_cast<RemoteRecord*>(records::FetchRemoteRecord(library, manufacturer, type, model));
}

IRAPI int32_t IRCALL IRDeleteRemoteRecord(LibraryHandle* library, const char* manufacturer,
                                          const char* type, const char* model) {
    return records::DeleteRemoteRecord(library, manufacturer, type, model);
}

IRAPI int32_t IRCALL IRCompactLibrary(LibraryHandle* library) {
    return maintenance::CompactLibrary(library);
}

}  // extern "C"
