// Fetching a record: one RecordHeader read, then per entry one EntryHeader read and one
// data read, in file order, into a block as long as the stored used size. Every block is
// verified, and nothing is copied beyond the result block whatever the file claims.
#include <algorithm>

#include "format/block_io.h"
#include "format/endian.h"
#include "index/queries.h"
#include "platform/owned_block.h"
#include "platform/platform.h"
#include "records/records.h"

namespace varnel32::records {

void* FetchRemoteRecord(LibraryHandle* handle, const char* manufacturer, const char* type,
                        const char* model) {
    if (handle == nullptr || manufacturer == nullptr || type == nullptr || model == nullptr) {
        return nullptr;
    }
    format::Name m, t, mo;
    if (!index::CopyNameField(manufacturer, m) || !index::CopyNameField(type, t) ||
        !index::CopyNameField(model, mo)) {
        return nullptr;
    }
    const uint32_t offset = index::FindRecordOffset(handle->index, m.data(), t.data(), mo.data());
    if (offset == 0) return nullptr;
    const int fd = handle->descriptor;
    format::RecordHeader header;
    if (!format::ReadRecordHeader(fd, offset, header)) return nullptr;
    // A live record is never shorter than its own header; a blank deleted one is (0).
    if (header.usedSize < format::kRecordHeaderSize) return nullptr;

    platform::OwnedBlock block(header.usedSize);
    if (block.failed()) return nullptr;
    format::Store16(block.get() + 0, header.usedSize);
    format::Store16(block.get() + 2, header.entryCount);
    std::copy(header.manufacturer.begin(), header.manufacturer.end(), block.get() + kRemoteManufacturerOffset);
    std::copy(header.type.begin(), header.type.end(), block.get() + kRemoteTypeOffset);
    std::copy(header.model.begin(), header.model.end(), block.get() + kRemoteModelOffset);

    // `position` runs through the result block, `stored` through the extent. The entries
    // must lie within the stored used size as the file lays them out (48-byte headers);
    // checking only the shorter result layout would accept a used size that is 8 bytes per
    // entry and 12 bytes short, and read entry bytes beyond it.
    size_t position = kRemoteHeadSize;
    size_t stored = format::kRecordHeaderSize;
    for (uint16_t i = 0; i < header.entryCount; ++i) {
        if (stored + format::kEntryHeaderSize > header.usedSize) return nullptr;
        format::EntryHeaderBytes entryBytes;
        const int32_t n = platform::ReadBytes(fd, entryBytes.data(), static_cast<uint32_t>(entryBytes.size()));
        if (n != static_cast<int32_t>(entryBytes.size())) return nullptr;
        if (!format::Verify(format::BlockKind::Entry, entryBytes)) return nullptr;
        const format::EntryHeader entry = format::DecodeEntryHeader(entryBytes);
        const size_t length = entry.dataLength();
        stored += format::kEntryHeaderSize + length;
        if (stored > header.usedSize) return nullptr;
        std::copy(entry.head.begin(), entry.head.end(), block.get() + position);
        position += format::kEntryHeadSize;
        if (length > 0) {
            const int32_t got = platform::ReadBytes(fd, block.get() + position, static_cast<uint32_t>(length));
            if (got != static_cast<int32_t>(length)) return nullptr;
        }
        position += length;
    }
    return block.Take();
}

}  // namespace varnel32::records
