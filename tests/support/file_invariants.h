// The promises a library file keeps after every completed operation, checked on its bytes:
// the extents tile the record area, the counters and free slots describe them, deleted
// extents are wholly blank, and a clean file's stored index names each live extent once.
// Also the images the library is expected to produce for a RemoteRecord (on disk, fetched).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "format/blocks.h"
#include "support/test_support.h"

namespace varnel32::test {

struct ExtentView {
    uint32_t offset = 0;
    format::RecordHeader header;  // verified before it was decoded
};

// A library file taken apart. `index` is read only from a clean file.
struct FileView {
    format::LibraryHeader header;
    std::vector<ExtentView> extents;  // file order, live and deleted
    std::vector<format::IndexEntry> index;
    const ExtentView* LiveAt(uint32_t offset) const;
};

// Checks every invariant of `file` and fills `view` as far as it could take the file apart.
// On failure the message names the first broken promise.
::testing::AssertionResult CheckFileInvariants(const Bytes& file, FileView* view = nullptr);
::testing::AssertionResult CheckFileInvariantsAt(const std::string& path, FileView* view = nullptr);

// Names compared the way the library compares them: ASCII letters of either case are equal.
bool SameName(const char* a, const char* b);

// 79 + sum(48 + dataLength): the used size the library stores for `remote`.
uint32_t UsedSizeOf(const Bytes& remote);
// What IRFetchRemoteRecord returns for a record written from `remote`: its bytes with the
// used size at offset 0, followed by 12 + 8 * entryCount zero bytes.
Bytes FetchedImageOf(const Bytes& remote);

// Fills the bytes after the terminator of the name field at `fieldOffset` of a
// RemoteRecord with `value`: the record header keeps them, the index never does.
void FillAfterTerminator(Bytes& remote, size_t fieldOffset, uint8_t value);

// The exact NameList block for these names (each stored as its 21-byte zero-filled field).
Bytes NameListOf(const std::vector<std::string>& names);
// The bytes of a returned block, `size` long.
Bytes BlockBytes(const void* block, size_t size);
// The size of a heap block as the allocator was asked for it, where the build can tell
// (sanitizer builds); otherwise nothing.
std::optional<size_t> RequestedSize(const void* block);

// Copies a returned NameList (2 + 21 * count bytes) or RemoteRecord (usedSize bytes) and
// releases it; nothing for null. Where the build can tell, the block must have been
// allocated exactly that long.
std::optional<Bytes> TakeList(NameList* list);
std::optional<Bytes> TakeRecord(RemoteRecord* record);

// The calls by name, each name passed as its own 21-byte field as callers pass them.
std::optional<Bytes> FetchNamed(LibraryHandle* h, const std::string& manufacturer,
                                const std::string& type, const std::string& model);
int32_t DeleteNamed(LibraryHandle* h, const std::string& manufacturer, const std::string& type,
                    const std::string& model);
int32_t WriteBytes(LibraryHandle* h, const Bytes& record);

}  // namespace varnel32::test
