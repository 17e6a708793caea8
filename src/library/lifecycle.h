// The lifecycle operations behind the C layer: create, open, close and the handle
// accessors. The arguments are valid (exports.cc tested them): a level of at most 1, a
// path of at most 255 characters, a mode with an access bit, a handle that is open. Open
// and create run under the busy cursor that the C layer shows; close shows its own.
#pragma once

#include <cstdint>

#include "handle/handle.h"

namespace varnel32::library {

int32_t CreateLibrary(const char* path, uint32_t kindFlags);
// Returns the handle, or null; `status` receives the IROpenStatus either way.
LibraryHandle* OpenLibrary(platform::Window ownerWindow, const char* path, uint32_t mode,
                           uint32_t options, uint32_t& status);
void CloseLibrary(LibraryHandle* handle);

int32_t IsCommandLibrary(const LibraryHandle* handle);
void GetFilenameFromHandle(const LibraryHandle* handle, char* buffer);
void SetExtraSpaceAmount(LibraryHandle* handle, uint32_t amount);
uint16_t GetExtraSpaceAmount(const LibraryHandle* handle);

// The kind word that kindFlags gives a new file.
uint32_t KindFromFlags(uint32_t kindFlags);

// Releases the tree and the handle's memory (not its descriptor, not its registration).
void ReleaseHandle(LibraryHandle* handle);

}  // namespace varnel32::library
