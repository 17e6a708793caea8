// The record calls behind the C layer: writing a caller's RemoteRecord into the file,
// fetching one back whole and verified, and deleting one. The arguments are valid (the C
// layer tested them); write and delete need a handle opened with IRModeWrite.
#pragma once

#include <cstdint>

#include "handle/handle.h"
#include "records/space.h"

namespace varnel32::records {

int32_t WriteRemoteRecord(LibraryHandle* handle, const uint8_t* record, Compactor compact);
void* FetchRemoteRecord(LibraryHandle* handle, const char* manufacturer, const char* type,
                        const char* model);
int32_t DeleteRemoteRecord(LibraryHandle* handle, const char* manufacturer, const char* type,
                           const char* model, Compactor compact);

}  // namespace varnel32::records
