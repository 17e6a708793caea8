// CompactLibraryFile: one forward walk over the record area, bounded by the header's live
// and deleted counts. The area is read a large window at a time and the record headers are
// verified in it; each run of adjacent live extents slides down over the deleted ones
// before it, written straight from the window; extents already in place are not
// rewritten. Moves only go down, over extents the walk has passed: the journal gets a
// deleted extent's header from the window (its blank body as zeros), and for a passed live
// extent it notes where the extent went, as long as each write stays clear of its own
// source (pieces no longer than the distance moved).
#include "maintenance/compact.h"

#include <algorithm>
#include <cstring>

#include "handle/block_io.h"
#include "index/persistence.h"
#include "journal/journal.h"
#include "maintenance/check.h"
#include "platform/platform.h"

namespace varnel32::maintenance {
namespace {

// One read moves about a megabyte; the window must hold the largest extent (65,535
// bytes) whole.
constexpr uint32_t kWindowSize = 1u << 20;
// Below this distance a move goes out in one write per run, its overwritten bytes copied
// to the journal: pieces no longer than the distance would cost more in system calls.
constexpr uint32_t kPointedMoveMinimum = 4096;

// The part of the file the walk reads in: `size` bytes from offset `start`.
struct Window {
    uint8_t* bytes = nullptr;
    uint32_t start = 0;
    uint32_t size = 0;
    uint32_t fileLength = 0;  // the library file's, at the last read
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
        fileLength = length;
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

// Adjacent live extents in the window that go `from - to` bytes down.
struct Run {
    uint32_t from = 0;
    uint32_t to = 0;
    uint32_t length = 0;

    bool Write(LibraryHandle* handle, const Window& window) {
        const uint32_t shift = from - to;
        while (length != 0) {
            const bool pointed = shift >= kPointedMoveMinimum;
            const uint32_t n = pointed ? std::min(length, shift) : length;
            const std::span<const uint8_t> bytes(window.At(from), n);
            if (!(pointed ? journal::MoveDown(handle, to, bytes, from) : journal::WriteAt(handle, to, bytes))) {
                length = 0;
                return false;
            }
            from += n;
            to += n;
            length -= n;
        }
        return true;
    }
};

// The nodes of the handle's tree by record offset, so that the walk finds the node of each
// record it meets without looking its names up. Open addressing; offset 0 marks a free slot.
struct NodeMap {
    // The nodes themselves, not positions: the three loads then go out at once. The tree
    // does not change during the walk.
    struct Slot {
        uint32_t offset;
        bool met;  // the walk met the record
        index::ManufacturerNode* manufacturer;
        index::TypeNode* type;
        index::ModelNode* model;
    };
    Slot* slots = nullptr;
    uint32_t bits = 0;
    ~NodeMap() { platform::Release(slots); }
    NodeMap() = default;
    NodeMap(const NodeMap&) = delete;
    NodeMap& operator=(const NodeMap&) = delete;

    uint32_t Home(uint32_t offset) const { return (offset * 0x9E3779B1u) >> (32 - bits); }
    // False when memory ran out; `usable` false when the tree cannot stand for the file's
    // records (it is empty, or has a level without nodes or a model without a record).
    bool Build(index::CatalogueIndex& tree, bool& usable) {
        usable = false;
        const uint32_t models = index::CountModels(tree);
        if (models == 0) return true;
        bits = 4;
        while ((1u << bits) < 2 * models) ++bits;
        const size_t capacity = size_t{1} << bits;
        slots = static_cast<Slot*>(platform::AllocateZeroed(capacity * sizeof(Slot)));
        if (slots == nullptr) return false;
        const uint32_t mask = static_cast<uint32_t>(capacity - 1);
        for (uint16_t m = 0; m < tree.manufacturerCount; ++m) {
            index::ManufacturerNode& manufacturer = tree.manufacturers[m];
            if (manufacturer.typeCount == 0) return true;
            for (uint16_t t = 0; t < manufacturer.typeCount; ++t) {
                index::TypeNode& type = manufacturer.types[t];
                if (type.modelCount == 0) return true;
                for (uint16_t k = 0; k < type.modelCount; ++k) {
                    const uint32_t offset = type.models[k].recordOffset;
                    if (offset == 0) return true;
                    uint32_t i = Home(offset);
                    while (slots[i].offset != 0) {
                        if (slots[i].offset == offset) return true;
                        i = (i + 1) & mask;
                    }
                    slots[i] = Slot{offset, false, &manufacturer, &type, &type.models[k]};
                }
            }
        }
        usable = true;
        return true;
    }
    // The walk asks for the slot of the record after next and the nodes of the next one
    // ahead of time: both are cache misses at random places otherwise.
    void PrefetchSlot(uint32_t offset) const { __builtin_prefetch(&slots[Home(offset)]); }
    void PrefetchNodes(uint32_t offset) const {
        const Slot* slot = Find(offset);
        if (slot == nullptr) return;
        __builtin_prefetch(slot->model);
        __builtin_prefetch(slot->type);
        __builtin_prefetch(slot->manufacturer);
    }
    Slot* Find(uint32_t offset) const {
        const uint32_t mask = (1u << bits) - 1;
        for (uint32_t i = Home(offset);; i = (i + 1) & mask) {
            if (slots[i].offset == offset) return &slots[i];
            if (slots[i].offset == 0) return nullptr;
        }
    }
    // Where the walk starts in an area packed up to `packed`: at the last record that
    // starts there or before it. The records before that one are met as they stand;
    // `live` counts them off. kRecordAreaStart when the tree does not fit.
    uint32_t SkipPacked(uint32_t packed, uint32_t& live) {
        const size_t capacity = size_t{1} << bits;
        uint32_t start = format::kRecordAreaStart;
        for (size_t i = 0; i < capacity; ++i) {
            if (slots[i].offset <= packed) start = std::max(start, slots[i].offset);
        }
        uint32_t before = 0;
        for (size_t i = 0; i < capacity; ++i) {
            if (slots[i].offset != 0 && slots[i].offset < start) ++before;
        }
        if (before > live) return format::kRecordAreaStart;
        for (size_t i = 0; i < capacity; ++i) {
            if (slots[i].offset != 0 && slots[i].offset < start) slots[i].met = true;
        }
        live -= before;
        return start;
    }
    // The models whose records the walk did not meet (the one a deletion just blanked) get
    // offset 0, which the arrangement drops.
    void ClearUnmet() const {
        for (size_t i = 0; i < (size_t{1} << bits); ++i) {
            if (slots[i].offset != 0 && !slots[i].met) slots[i].model->recordOffset = 0;
        }
    }
};

// Node names are zero-filled after their terminator, as this library writes record names;
// a record whose field differs in any byte is left to the rebuild.
bool SameName(const format::Name& field, const format::Name& node) {
    return std::memcmp(field.data(), node.data(), field.size()) == 0;
}

// Builds the tree afresh from the live extents that the walk has packed into
// [kRecordAreaStart, end), as adding them one by one during the walk would have.
bool RebuildUpTo(LibraryHandle* handle, uint32_t end) {
    index::FreeCatalogueIndex(handle->index);
    for (uint32_t at = format::kRecordAreaStart; at < end;) {
        format::RecordHeader record;
        if (!io::ReadRecordHeader(handle->descriptor, at, record)) return false;
        const auto key = index::MakeKey(record.manufacturer, record.type, record.model, at);
        if (index::AddIndexEntry(handle->index, key) == 0) return false;
        at += record.capacity;
    }
    return true;
}

}  // namespace

int CompactLibraryFile(LibraryHandle* handle) {
    format::HeaderBytes headerBytes;
    format::LibraryHeader header;
    if (!journal::ReadHeader(handle, headerBytes, header)) return 0;
    if (header.recordCount == 0 && header.freeSlotCount == 0) return 1;

    uint32_t liveRemaining = header.recordCount;
    uint32_t deletedRemaining = header.freeSlotCount;
    // A tree that holds exactly the file's records only needs their new offsets and then
    // the order of a rebuild; any record it does not know as the file spells it makes the
    // walk rebuild the tree from the records instead.
    NodeMap nodes;
    bool followTree = false;
    if (!handle->indexIncomplete && !nodes.Build(handle->index, followTree)) return 0;
    if (!followTree) index::FreeCatalogueIndex(handle->index);
    ++handle->rebuilds;
    // From here on the walk rearranges or rebuilds the tree; until it completes the handle
    // must neither save the tree nor build on it.
    handle->indexIncomplete = true;

    // What the last compaction packed and nothing wrote since is not read again: the
    // walk would find the same verified extents in place and the same nodes.
    uint32_t readPos = format::kRecordAreaStart;
    if (followTree) readPos = nodes.SkipPacked(journal::PackedEnd(handle), liveRemaining);
    uint32_t writePos = readPos;
    Window window;
    Run run;
    // Makes [readPos, readPos + count) readable in the window, writing the run gathered in
    // it before its bytes leave.
    const auto ensure = [&](uint32_t count) {
        if (window.Holds(readPos, count)) return true;
        return run.Write(handle, window) && window.ReadFrom(handle, readPos, count);
    };
    // A walk that stops early still writes the run it gathered, so that it leaves the file
    // as moving the extents one by one would have: the extents before the stop moved down.
    struct WriteOnExit {
        LibraryHandle* handle;
        const Window& window;
        Run& run;
        bool done = false;
        ~WriteOnExit() {
            if (!done) run.Write(handle, window);
        }
    } writeOnExit{handle, window, run};
    bool markedDirty = header.dirty != 0;
    while (liveRemaining != 0 || deletedRemaining != 0) {
        if (!ensure(static_cast<uint32_t>(format::kRecordHeaderSize))) return 0;
        const std::span<const uint8_t, format::kRecordHeaderSize> recordBytes(window.At(readPos),
                                                                              format::kRecordHeaderSize);
        // The checker's reading of an extent: a header that does not verify, or a capacity
        // that would not advance the walk or runs past the file, ends the compaction.
        const check::Extent extent = check::ExtentAt(std::span<const uint8_t>(window.bytes, window.size),
                                                     window.start, readPos, window.fileLength);
        if (!extent.verified) return 0;
        const format::RecordHeader& record = extent.header;
        if (record.deleted != 0) {
            if (deletedRemaining == 0) return 0;
            --deletedRemaining;
            // Later moves overwrite this extent: its header must come back on an undo.
            if (!run.Write(handle, window) || !journal::ProtectRead(handle, readPos, recordBytes) ||
                !journal::ProtectZeros(handle, readPos + static_cast<uint32_t>(format::kRecordHeaderSize),
                                       record.capacity - static_cast<uint32_t>(format::kRecordHeaderSize))) {
                return 0;
            }
        } else {
            if (liveRemaining == 0) return 0;
            --liveRemaining;
            const uint32_t next = readPos + record.capacity;
            if (followTree && window.Holds(next, static_cast<uint32_t>(format::kRecordHeaderSize))) {
                nodes.PrefetchNodes(next);
                const std::span<const uint8_t, format::kRecordHeaderSize> nextBytes(window.At(next),
                                                                                    format::kRecordHeaderSize);
                nodes.PrefetchSlot(next + format::DecodeRecordHeader(nextBytes).capacity);
            }
            NodeMap::Slot* slot = followTree ? nodes.Find(readPos) : nullptr;
            if (slot != nullptr && SameName(record.model, slot->model->name) &&
                SameName(record.type, slot->type->name) && SameName(record.manufacturer, slot->manufacturer->name)) {
                slot->model->recordOffset = writePos;
                slot->met = true;
            } else {
                if (followTree) {
                    followTree = false;
                    if (!run.Write(handle, window) || !RebuildUpTo(handle, writePos)) return 0;
                }
                const auto key = index::MakeKey(record.manufacturer, record.type, record.model, writePos);
                if (index::AddIndexEntry(handle->index, key) == 0) return 0;
            }
            if (writePos != readPos) {
                // Before the first extent moves, the header is marked dirty: a walk that
                // fails half-way leaves extents rearranged under the old counters, and a
                // clean header would let the next open trust the stale stored index.
                if (!markedDirty) {
                    header.dirty = 1;
                    if (!journal::WriteHeader(handle, header)) return 0;
                    markedDirty = true;
                }
                if (!ensure(record.capacity)) return 0;
                if (run.length == 0) {
                    run.from = readPos;
                    run.to = writePos;
                }
                run.length += record.capacity;
            }
            writePos += record.capacity;
        }
        readPos += record.capacity;
    }
    writeOnExit.done = true;
    if (!run.Write(handle, window)) return 0;
    if (followTree) {
        nodes.ClearUnmet();
        index::ArrangeInFileOrder(handle->index);
    }
    journal::NotePacked(handle, followTree ? writePos : 0);

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
