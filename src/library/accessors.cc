// The small handle accessors: kind, path and the extra space that writes give a record.
#include <cstring>

#include "library/lifecycle.h"

namespace varnel32::library {

int32_t IsCommandLibrary(const LibraryHandle* handle) {
    return (handle->kind & format::kKindInfrared) ? 0 : 1;
}

void GetFilenameFromHandle(const LibraryHandle* handle, char* buffer) {
    std::memcpy(buffer, handle->path, std::strlen(handle->path) + 1);
}

void SetExtraSpaceAmount(LibraryHandle* handle, uint32_t amount) {
    handle->extraSpace = static_cast<uint16_t>(amount & 0xFFFFu);
}

uint16_t GetExtraSpaceAmount(const LibraryHandle* handle) { return handle->extraSpace; }

}  // namespace varnel32::library
