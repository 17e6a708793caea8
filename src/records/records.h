// The record exports behind the C layer: writing a caller's RemoteRecord into the file,
// fetching one back whole and verified, and deleting one.
#pragma once

#include <cstdint>

#include "library/handle.h"

namespace varnel32::records {

int32_t WriteRemoteRecord(LibraryHandle* handle, const uint8_t* record);
void* FetchRemoteRecord(LibraryHandle* handle, const char* manufacturer, const char* type,
                        const char* model);
int32_t DeleteRemoteRecord(LibraryHandle* handle, const char* manufacturer, const char* type,
                           const char* model);

// Caller-side RemoteRecord layout.
inline constexpr size_t kRemoteHeadSize = 67;
inline constexpr size_t kRemoteManufacturerOffset = 4;
inline constexpr size_t kRemoteTypeOffset = 25;
inline constexpr size_t kRemoteModelOffset = 46;
inline constexpr size_t kEntryDataLengthInHead = 3;

}  // namespace varnel32::records
