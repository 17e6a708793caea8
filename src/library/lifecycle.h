// The lifecycle operations behind the exports: create, open, close and the handle
// accessors. exports.cc is the thin C layer that calls them.
#pragma once

#include <cstdint>

#include "library/handle.h"

namespace varnel32::library {

int32_t CreateLibrary(int32_t level, const char* path, uint32_t kindFlags);
LibraryHandle* OpenLibrary(int32_t level, platform::Window ownerWindow, const char* path,
                           uint32_t mode, uint32_t options, uint32_t* status);
void CloseLibrary(LibraryHandle* handle);

int32_t IsCommandLibrary(const LibraryHandle* handle);
int32_t GetFilenameFromHandle(const LibraryHandle* handle, char* buffer);
int32_t SetExtraSpaceAmount(LibraryHandle* handle, uint32_t amount);
uint16_t GetExtraSpaceAmount(const LibraryHandle* handle);

// The kind word that kindFlags gives a new file.
uint32_t KindFromFlags(uint32_t kindFlags);

}  // namespace varnel32::library
