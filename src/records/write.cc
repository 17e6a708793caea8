// Writing a record: the caller's RemoteRecord becomes the on-disk image (RecordHeader,
// sealed EntryHeaders with their data, zero spare bytes), space management picks its
// place, the header is marked dirty, and the image goes out in one write. The whole call
// is one journalled change: a failure puts the file and the tree back as they were.
#include <algorithm>

#include "format/endian.h"
#include "format/names.h"
#include "handle/block_io.h"
#include "journal/journal.h"
#include "platform/owned_block.h"
#include "platform/platform.h"
#include "records/records.h"
#include "records/space.h"

namespace varnel32::records {
namespace {

// The used size of the stored record, 79 + sum(48 + dataLength), or 0 when it would not
// fit the 16-bit field. Counted in 32 bits so that no sum wraps.
uint32_t UsedSizeOf(const uint8_t* record, uint16_t entryCount) {
    uint32_t used = format::kRecordHeaderSize;
    const uint8_t* entry = record + format::kRemoteHeadSize;
    for (uint16_t i = 0; i < entryCount; ++i) {
        const uint16_t length = format::Load16(entry + format::kHeadDataLengthOffset);
        used += static_cast<uint32_t>(format::kEntryHeaderSize) + length;
        if (used > format::kMaxRecordSize) return 0;
        entry += format::kEntryHeadSize + length;
    }
    return used;
}

}  // namespace

int32_t WriteRemoteRecord(LibraryHandle* handle, const uint8_t* record, Compactor compact) {
    if (handle->indexIncomplete) return 0;
    format::RecordHeader header;
    const auto name = [record](size_t offset) { return reinterpret_cast<const char*>(record + offset); };
    if (!format::CopyNameField(name(format::kRemoteManufacturerOffset), header.manufacturer) ||
        !format::CopyNameField(name(format::kRemoteTypeOffset), header.type) ||
        !format::CopyNameField(name(format::kRemoteModelOffset), header.model)) {
        return 0;
    }
    header.entryCount = format::Load16(record + format::kRemoteEntryCountOffset);
    const uint32_t used = UsedSizeOf(record, header.entryCount);
    // Refused before anything is touched: the extent's 16-bit capacity must hold the
    // record and its extra space, or the capacity would wrap below the record's size.
    if (used == 0 || used + handle->extraSpace > format::kMaxRecordSize) return 0;
    const auto capacity = static_cast<uint16_t>(used + handle->extraSpace);
    header.usedSize = static_cast<uint16_t>(used);
    header.capacity = capacity;

    platform::OwnedBlock image(capacity);
    if (image.failed()) return 0;
    journal::Change change(handle);
    const uint32_t existing = index::FindRecordOffset(handle->index, header.manufacturer.data(),
                                                      header.type.data(), header.model.data());
    const uint32_t rebuilds = handle->rebuilds;
    // Undone, the file holds the record where it was (or not at all), and so must the tree,
    // under the names as the record stores them, unless a compaction replaced the tree.
    const auto fail = [&] {
        change.Undo();
        if (handle->journal.stuck || handle->rebuilds != rebuilds) {
            handle->indexIncomplete = true;
            return 0;
        }
        if (index::FindRecordOffset(handle->index, header.manufacturer.data(), header.type.data(),
                                    header.model.data()) == existing) {
            return 0;  // the tree was not touched
        }
        index::RemoveIndexEntry(handle->index, index::MakeKey(header.manufacturer, header.type,
                                                              header.model, 0));
        format::RecordHeader stored;
        handle->indexIncomplete =
            existing != 0 && (!io::ReadRecordHeader(handle->descriptor, existing, stored) ||
                              index::AddIndexEntry(handle->index, index::MakeKey(stored.manufacturer, stored.type,
                                                                                 stored.model, existing)) == 0);
        return 0;
    };
    uint16_t placeCapacity = capacity;
    const uint32_t offset = FindRecordSpace(handle, header, placeCapacity, compact);
    if (offset == 0) return fail();
    const uint16_t writeLength = std::min(capacity, placeCapacity);

    // Sealed only now, so that the checksum covers the capacity of the chosen place.
    header.capacity = placeCapacity;
    const std::span<uint8_t, format::kRecordHeaderSize> head(image.get(), format::kRecordHeaderSize);
    format::Encode(header, head);
    format::Seal(format::BlockKind::Record, head);
    const uint8_t* source = record + format::kRemoteHeadSize;
    uint8_t* target = image.get() + format::kRecordHeaderSize;
    for (uint16_t i = 0; i < header.entryCount; ++i) {
        format::EntryHeader entry;
        std::copy(source, source + format::kEntryHeadSize, entry.head.begin());
        const std::span<uint8_t, format::kEntryHeaderSize> block(target, format::kEntryHeaderSize);
        format::Encode(entry, block);
        format::Seal(format::BlockKind::Entry, block);
        const uint16_t length = entry.dataLength();
        std::copy(source + format::kEntryHeadSize, source + format::kEntryHeadSize + length,
                  target + format::kEntryHeaderSize);
        source += format::kEntryHeadSize + length;
        target += format::kEntryHeaderSize + length;
    }

    // The dirty flag reaches the file before any byte of the record, on every path; a
    // header that carries it already is not written again. A placement anywhere but the
    // record's own extent has just written the header, dirty.
    if (offset == existing) {
        format::HeaderBytes bytes;
        format::LibraryHeader library;
        if (!journal::ReadHeader(handle, bytes, library)) return fail();
        handle->modified = 1;
        if (library.dirty == 0) {
            library.dirty = 1;
            if (!journal::WriteHeader(handle, library)) return fail();
        }
    }
    if (!journal::WriteAt(handle, offset, std::span<const uint8_t>(image.get(), writeLength))) return fail();
    return change.Commit() ? 1 : fail();
}

}  // namespace varnel32::records
