// The small handle accessors: kind, path and the extra space that writes give a record.
#include <cstring>

#include "library/lifecycle.h"

namespace varnel32::library {

int32_t IsCommandLibrary(const LibraryHandle* handle) {
    if (handle == nullptr) return 0;
    return (handle->kind & kKindInfrared) ? 0 : 1;
}

int32_t GetFilenameFromHandle(const LibraryHandle* handle, char* buffer) {
    if (handle == nullptr) {
        if (buffer != nullptr) buffer[0] = '\0';
        return 0;
    }
    if (buffer == nullptr) return 0;
    std::memcpy(buffer, handle->path, std::strlen(handle->path) + 1);
    return 1;
}

int32_t SetExtraSpaceAmount(LibraryHandle* handle, uint32_t amount) {
    if (handle == nullptr) return 0;
    handle->extraSpace = static_cast<uint16_t>(amount & 0xFFFFu);
    return 1;
}

uint16_t GetExtraSpaceAmount(const LibraryHandle* handle) {
    return handle == nullptr ? 0xFFFF : handle->extraSpace;
}

}  // namespace varnel32::library
