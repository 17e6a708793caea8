// CompactLibraryFile: one forward walk over the record area, bounded by the header's live
// and deleted counts. Each live extent slides down over the deleted ones before it through
// one reusable move buffer; extents already in place are not rewritten. Moves only go
// down, over extents the walk has passed, so the journal gets each passed extent's bytes
// from the walk itself (a deleted one's blank body as zeros) and never reads for a copy.
#include "maintenance/compact.h"

#include "format/block_io.h"
#include "journal/journal.h"
#include "index/persistence.h"
#include "platform/platform.h"

namespace varnel32::maintenance {
namespace {

// The move buffer: grows to exactly the largest extent moved so far; released on every
// path out of the walk.
struct MoveBuffer {
    uint8_t* bytes = nullptr;
    uint16_t capacity = 0;
    ~MoveBuffer() { platform::Release(bytes); }
    bool Reserve(uint16_t size) {
        if (size <= capacity) return true;
        void* grown = platform::AllocateZeroed(size);
        if (grown == nullptr) return false;
        platform::Release(bytes);
        bytes = static_cast<uint8_t*>(grown);
        capacity = size;
        return true;
    }
};

}  // namespace

int CompactLibraryFile(LibraryHandle* handle) {
    const int fd = handle->descriptor;
    format::HeaderBytes headerBytes;
    format::LibraryHeader header;
    if (!journal::ReadHeader(handle, headerBytes, header)) return 0;
    if (header.recordCount == 0 && header.freeSlotCount == 0) return 1;

    uint32_t liveRemaining = header.recordCount;
    uint32_t deletedRemaining = header.freeSlotCount;
    index::FreeCatalogueIndex(handle->index);
    ++handle->rebuilds;
    // From here on the tree holds only what the walk adds; until the walk completes the
    // handle must neither save it nor build on it.
    handle->indexIncomplete = true;

    uint32_t readPos = format::kRecordAreaStart;
    uint32_t writePos = format::kRecordAreaStart;
    MoveBuffer buffer;
    bool markedDirty = header.dirty != 0;
    while (liveRemaining != 0 || deletedRemaining != 0) {
        format::RecordHeaderBytes recordBytes;
        if (!format::ReadAt(fd, readPos, recordBytes) ||
            !format::Verify(format::BlockKind::Record, recordBytes)) {
            return 0;
        }
        const format::RecordHeader record = format::DecodeRecordHeader(recordBytes);
        // A zero capacity would never advance the walk; no valid extent has one.
        if (record.capacity < format::kRecordHeaderSize) return 0;
        if (record.deleted != 0) {
            if (deletedRemaining == 0) return 0;
            --deletedRemaining;
            // Later moves overwrite this extent: its header must come back on an undo.
            if (!journal::ProtectRead(handle, readPos, recordBytes) ||
                !journal::ProtectZeros(handle, readPos + static_cast<uint32_t>(format::kRecordHeaderSize),
                                       record.capacity - static_cast<uint32_t>(format::kRecordHeaderSize))) {
                return 0;
            }
        } else {
            if (liveRemaining == 0) return 0;
            --liveRemaining;
            const auto key = index::MakeKey(record.manufacturer, record.type, record.model, writePos);
            if (index::AddIndexEntry(handle->index, key) == 0) return 0;
            if (writePos != readPos) {
                // Before the first extent moves, the header is marked dirty: a walk that
                // fails half-way leaves extents rearranged under the old counters, and a
                // clean header would let the next open trust the stale stored index.
                if (!markedDirty) {
                    header.dirty = 1;
                    if (!journal::WriteHeader(handle, header)) return 0;
                    markedDirty = true;
                }
                if (!buffer.Reserve(record.capacity)) return 0;
                const std::span<uint8_t> extent(buffer.bytes, record.capacity);
                if (!format::ReadAt(fd, readPos, extent)) return 0;
                if (!journal::ProtectRead(handle, readPos, extent)) return 0;
                if (!journal::WriteAt(handle, writePos, extent)) return 0;
            }
            writePos += record.capacity;
        }
        readPos += record.capacity;
    }

    // The header is written with dirty 1: the file counts as clean only once the save
    // below has written the whole index and rewritten the header.
    header.freeSlotCount = 0;
    header.freeBytes = 0;
    header.freeSlots = {};
    header.dataEnd = writePos;
    header.dirty = 1;
    if (!journal::WriteHeader(handle, header)) return 0;
    // The stale bytes beyond the saved index are cut once the call is committed.
    const auto indexLength = header.recordCount * static_cast<uint32_t>(format::kIndexEntrySize);
    journal::CutAfterCommit(handle, writePos + indexLength);
    handle->indexIncomplete = false;
    return index::SaveCatalogueIndex(handle);
}

}  // namespace varnel32::maintenance
