// CompactLibraryFile: one forward walk over the record area, bounded by the header's live
// and deleted counts. The area is read a large window at a time and the record headers are
// verified in it; each live extent slides down over the deleted ones before it, gathered
// with the extents after it into one large write; extents already in place are not
// rewritten. Moves only go down, over extents the walk has passed, so the journal gets each
// passed extent's bytes from the window (a deleted one's blank body as zeros) and never
// reads for a copy.
#include "maintenance/compact.h"

#include <algorithm>
#include <cstring>

#include "handle/block_io.h"
#include "journal/journal.h"
#include "index/persistence.h"
#include "platform/platform.h"

namespace varnel32::maintenance {
namespace {

// Both buffers hold many extents: one read and one write move about a megabyte. The window
// must hold the largest extent (65,535 bytes) whole.
constexpr uint32_t kWindowSize = 1u << 20;
constexpr uint32_t kOutputSize = 1u << 20;

// The part of the file the walk reads in: `size` bytes from offset `start`.
struct Window {
    uint8_t* bytes = nullptr;
    uint32_t start = 0;
    uint32_t size = 0;
    ~Window() { platform::Release(bytes); }
    Window() = default;
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    bool Holds(uint32_t at, uint32_t count) const {
        return bytes != nullptr && at >= start && at - start + uint64_t{count} <= size;
    }
    // Reads on from `at`, as far as the window or the file goes; false when the read comes
    // back short or the file holds fewer than `count` bytes there.
    bool ReadFrom(LibraryHandle* handle, uint32_t at, uint32_t count) {
        uint32_t length = 0;
        if (!journal::LibraryLength(handle, length) || at >= length) return false;
        if (bytes == nullptr) bytes = static_cast<uint8_t*>(platform::Allocate(kWindowSize));
        if (bytes == nullptr) return false;
        const uint32_t want = std::min(kWindowSize, length - at);
        start = at;
        size = 0;
        if (want < count) return false;
        if (!io::ReadAt(handle->descriptor, at, std::span<uint8_t>(bytes, want))) return false;
        size = want;
        return true;
    }
    const uint8_t* At(uint32_t at) const { return bytes + (at - start); }
};

// Moved extents gathered for one write at `start`, the write position of the first.
struct Output {
    uint8_t* bytes = nullptr;
    uint32_t start = 0;
    uint32_t size = 0;
    ~Output() { platform::Release(bytes); }
    Output() = default;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    bool Flush(LibraryHandle* handle) {
        if (size == 0) return true;
        const bool written = journal::WriteAt(handle, start, std::span<const uint8_t>(bytes, size));
        start += size;
        size = 0;
        return written;
    }
};

// The live extents the walk passed since the last copy to the journal: [start, end), all
// within the window. Copied before the window moves on and before any write.
struct Passed {
    uint32_t start = 0;
    uint32_t end = 0;
    bool Protect(LibraryHandle* handle, const Window& window) {
        if (start == end) return true;
        const std::span<const uint8_t> bytes(window.At(start), end - start);
        const bool copied = journal::ProtectRead(handle, start, bytes);
        start = end;
        return copied;
    }
};

}  // namespace

int CompactLibraryFile(LibraryHandle* handle) {
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
    Window window;
    Output output;
    Passed passed;
    // Makes [readPos, readPos + count) readable in the window, copying the passed extents
    // to the journal before their bytes leave it.
    const auto ensure = [&](uint32_t count) {
        if (window.Holds(readPos, count)) return true;
        return passed.Protect(handle, window) && window.ReadFrom(handle, readPos, count);
    };
    // A walk that stops early still writes the extents it gathered, so that it leaves the
    // file as moving them one by one would have: the extents before the stop moved down.
    struct FlushOnExit {
        LibraryHandle* handle;
        const Window& window;
        Passed& passed;
        Output& output;
        bool done = false;
        ~FlushOnExit() {
            if (!done && passed.Protect(handle, window)) output.Flush(handle);
        }
    } flushOnExit{handle, window, passed, output};
    bool markedDirty = header.dirty != 0;
    while (liveRemaining != 0 || deletedRemaining != 0) {
        if (!ensure(static_cast<uint32_t>(format::kRecordHeaderSize))) return 0;
        const std::span<const uint8_t, format::kRecordHeaderSize> recordBytes(window.At(readPos),
                                                                              format::kRecordHeaderSize);
        if (!format::Verify(format::BlockKind::Record, recordBytes)) return 0;
        const format::RecordHeader record = format::DecodeRecordHeader(recordBytes);
        // A zero capacity would never advance the walk; no valid extent has one.
        if (record.capacity < format::kRecordHeaderSize) return 0;
        if (record.deleted != 0) {
            if (deletedRemaining == 0) return 0;
            --deletedRemaining;
            // Later moves overwrite this extent: its header must come back on an undo.
            if (!passed.Protect(handle, window) || !journal::ProtectRead(handle, readPos, recordBytes) ||
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
                if (output.bytes == nullptr) {
                    output.bytes = static_cast<uint8_t*>(platform::Allocate(kOutputSize));
                    if (output.bytes == nullptr) return 0;
                    output.start = writePos;
                }
                if (!ensure(record.capacity)) return 0;
                if (passed.start == passed.end) passed.start = readPos;
                passed.end = readPos + record.capacity;
                if (output.size + record.capacity > kOutputSize &&
                    !(passed.Protect(handle, window) && output.Flush(handle))) {
                    return 0;
                }
                std::memcpy(output.bytes + output.size, window.At(readPos), record.capacity);
                output.size += record.capacity;
            }
            writePos += record.capacity;
        }
        readPos += record.capacity;
    }
    flushOnExit.done = true;
    if (!passed.Protect(handle, window) || !output.Flush(handle)) return 0;

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
