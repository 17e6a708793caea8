// The catalogue queries: listings of one level of the tree as NameList blocks, the
// existence test, and the release of any block the library returned. They answer from
// the tree alone and never touch the file.
#pragma once

#include <cstdint>

#include "library/handle.h"

namespace varnel32::index {

void* ListManufacturers(const LibraryHandle* handle);
void* ListTypes(const LibraryHandle* handle, const char* manufacturer);
void* ListModels(const LibraryHandle* handle, const char* manufacturer, const char* type);
int32_t RecordExists(const LibraryHandle* handle, const char* manufacturer, const char* type,
                     const char* model);
void FreeResultBlock(void* block);

// Copies a caller's 21-byte name field; false when it holds no terminator.
bool CopyNameField(const char* field, format::Name& out);

}  // namespace varnel32::index
