// The catalogue queries: listings of one level of the tree as NameList blocks, the
// existence test, and the release of any block the library returned. They answer from
// the tree alone and never touch the file. The arguments are valid (the C layer tested
// them); names are zero-terminated, and those of RecordExists full 21-byte fields.
#pragma once

#include <cstdint>

#include "handle/handle.h"

namespace varnel32::index {

void* ListManufacturers(const LibraryHandle* handle);
void* ListTypes(const LibraryHandle* handle, const char* manufacturer);
void* ListModels(const LibraryHandle* handle, const char* manufacturer, const char* type);
int32_t RecordExists(const LibraryHandle* handle, const char* manufacturer, const char* type,
                     const char* model);
void FreeResultBlock(void* block);

}  // namespace varnel32::index
