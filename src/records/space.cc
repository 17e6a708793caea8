// FindRecordSpace and DeleteRecordAtOffset. Every placement outside the in-place case and
// every deletion changes the header; the journal keeps it in memory for the writing handle.
#include "records/space.h"

#include <algorithm>

#include "handle/block_io.h"
#include "journal/journal.h"
#include "platform/owned_block.h"
#include "platform/platform.h"

namespace varnel32::records {
namespace {

int FirstEmptySlot(const format::LibraryHeader& header) {
    for (size_t i = 0; i < format::kFreeSlotCount; ++i) {
        if (header.freeSlots[i].offset == 0) return static_cast<int>(i);
    }
    return -1;
}

}  // namespace

uint32_t FindRecordSpace(LibraryHandle* handle, const format::RecordHeader& image,
                         uint16_t& capacity, Compactor compact) {
    const int fd = handle->descriptor;
    const uint32_t existing = index::FindRecordOffset(handle->index, image.manufacturer.data(),
                                                      image.type.data(), image.model.data());
    if (existing != 0) {
        // One read takes the stored record header and the original bytes that the new
        // image overwrites when it fits in place, which go to the journal from here, so
        // that the write needs no read of its own.
        uint32_t length = 0;
        if (!journal::LibraryLength(handle, length) || existing >= length) return 0;
        const uint32_t want = std::min<uint32_t>(capacity, length - existing);
        if (want < format::kRecordHeaderSize) return 0;
        platform::OwnedBlock original(want, platform::OwnedBlock::Unfilled{});
        if (original.failed() || !io::ReadAt(fd, existing, std::span<uint8_t>(original.get(), want))) return 0;
        const std::span<const uint8_t, format::kRecordHeaderSize> storedBytes(original.get(),
                                                                              format::kRecordHeaderSize);
        if (!format::Verify(format::BlockKind::Record, storedBytes)) return 0;
        const format::RecordHeader stored = format::DecodeRecordHeader(storedBytes);
        if (stored.capacity >= image.usedSize) {
            const uint32_t overwritten = std::min<uint32_t>(want, stored.capacity);
            if (!journal::ProtectRead(handle, existing, std::span<const uint8_t>(original.get(), overwritten))) {
                return 0;
            }
            capacity = stored.capacity;
            return existing;
        }
        // The record has to move. Its old extent is released first; when that release did
        // not happen, the record stays where it is and nothing is placed anew, so that no
        // two live extents ever carry the same names.
        const DeleteResult deleted =
            DeleteRecordAtOffset(handle, existing, compact, std::span<const uint8_t>(original.get(), want));
        if (deleted == DeleteResult::NotListed) return 0;
        index::RemoveIndexEntry(handle->index, index::MakeKey(image.manufacturer, image.type,
                                                              image.model, 0));
        if (deleted == DeleteResult::ListedButFailed) return 0;
    }

    format::HeaderBytes bytes;
    format::LibraryHeader header;
    if (!journal::ReadHeader(handle, bytes, header)) return 0;
    uint32_t place = 0;
    if (header.freeSlotCount != 0) {
        for (format::FreeSlot& slot : header.freeSlots) {
            // A slot outside the record area could only come from a damaged header whose
            // checksum happens to hold; writing there would destroy the header itself.
            if (slot.offset != 0 && slot.size >= image.usedSize &&
                slot.offset >= format::kRecordAreaStart && slot.offset < header.dataEnd) {
                place = slot.offset;
                capacity = slot.size;
                header.freeSlotCount -= 1;
                header.freeBytes -= slot.size;
                slot = format::FreeSlot{};
                break;
            }
        }
    }
    if (place == 0) {
        // The file format positions with a signed 32-bit seek: the file stays below 2 GiB.
        if (header.dataEnd < format::kRecordAreaStart ||
            static_cast<uint64_t>(header.dataEnd) + capacity > 0x7FFFFFFFu) {
            return 0;
        }
        place = header.dataEnd;
        header.dataEnd += capacity;
    }
    header.recordCount += 1;
    handle->modified = 1;
    header.dirty = 1;
    if (!journal::WriteHeader(handle, header)) return 0;
    // A refused insert (memory ran out) leaves the tree one key short of recordCount. The
    // record is placed all the same, but the handle can no longer find it: a later write
    // under its names would place it a second time, and no rebuild accepts two live records
    // with one set of names. So the handle stops changing the file and saving its tree; the
    // file stays dirty and the next open for writing rebuilds the index from the records.
    if (index::AddIndexEntry(handle->index, index::MakeKey(image.manufacturer, image.type,
                                                           image.model, place)) == 0) {
        handle->indexIncomplete = true;
    }
    return place;
}

DeleteResult DeleteRecordAtOffset(LibraryHandle* handle, uint32_t offset, Compactor compact,
                                  std::span<const uint8_t> stored) {
    // One read takes the record header and, for most records, the whole extent, whose
    // bytes the journal needs before the extent is blanked.
    // Less than asked is right only where the file ends.
    uint8_t buffer[4096];
    if (stored.empty()) {
        uint32_t length = 0;
        if (!journal::LibraryLength(handle, length) || offset >= length) return DeleteResult::NotListed;
        const auto want = static_cast<int32_t>(std::min<uint32_t>(sizeof buffer, length - offset));
        if (platform::ReadBytesAt(handle->descriptor, offset, buffer, static_cast<uint32_t>(want)) != want) {
            return DeleteResult::NotListed;
        }
        stored = std::span<const uint8_t>(buffer, static_cast<size_t>(want));
    }
    const uint8_t* probe = stored.data();
    const auto got = static_cast<uint32_t>(stored.size());
    if (got < format::kRecordHeaderSize) return DeleteResult::NotListed;
    const std::span<const uint8_t, format::kRecordHeaderSize> storedBytes(probe, format::kRecordHeaderSize);
    if (!format::Verify(format::BlockKind::Record, storedBytes)) return DeleteResult::NotListed;
    const format::RecordHeader record = format::DecodeRecordHeader(storedBytes);
    // An extent too short for its own header cannot hold a blank record.
    if (record.capacity < format::kRecordHeaderSize) return DeleteResult::NotListed;
    format::HeaderBytes bytes;
    format::LibraryHeader header;
    if (!journal::ReadHeader(handle, bytes, header)) return DeleteResult::NotListed;
    // The empty slot is found before the extent is blanked: with none left, the record
    // stays live and counted rather than becoming a blank extent that nothing lists.
    const int slot = FirstEmptySlot(header);
    if (slot < 0) return DeleteResult::NotListed;

    platform::OwnedBlock blank(record.capacity);
    if (blank.failed()) return DeleteResult::NotListed;
    format::RecordHeader blankHeader;
    blankHeader.capacity = record.capacity;
    blankHeader.deleted = 1;
    const std::span<uint8_t, format::kRecordHeaderSize> head(blank.get(), format::kRecordHeaderSize);
    format::Encode(blankHeader, head);
    format::Seal(format::BlockKind::Record, head);
    const std::span<const uint8_t> extent(blank.get(), record.capacity);

    // The record's bytes go to the journal with the header's, in one write: the journal
    // makes the order of the two library writes free, so the extent is blanked once.
    const bool whole = record.capacity <= got;
    if (!(whole ? journal::ProtectRead(handle, offset, std::span<const uint8_t>(probe, record.capacity))
                : journal::Protect(handle, offset, record.capacity, false))) {
        return DeleteResult::NotListed;
    }
    header.freeSlots[static_cast<size_t>(slot)] = format::FreeSlot{offset, record.capacity};
    header.freeSlotCount += 1;
    header.freeBytes += record.capacity;
    header.recordCount -= 1;
    handle->modified = 1;
    header.dirty = 1;
    if (!journal::WriteHeader(handle, header)) return DeleteResult::NotListed;
    if (!journal::WriteAt(handle, offset, extent)) return DeleteResult::ListedButFailed;

    if (header.freeSlotCount >= format::kCompactionSlotThreshold && compact(handle) == 0) {
        return DeleteResult::ListedButFailed;
    }
    return DeleteResult::Deleted;
}

}  // namespace varnel32::records
