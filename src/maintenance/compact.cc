// CompactLibraryFile: one forward walk over the record area, bounded by the header's live
// and deleted counts. The area is mapped a large window at a time and the record headers
// are verified in it; each run of adjacent live extents slides down over the deleted ones
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
#include "format/endian.h"
#include "journal/journal.h"
#include "maintenance/check.h"
#include "platform/platform.h"

namespace varnel32::maintenance {
namespace {

// One mapping shows about a megabyte; the window must hold the largest extent (65,535
// bytes) whole.
constexpr uint32_t kWindowSize = 1u << 20;
// Below this distance a move goes out in one write per run, its overwritten bytes copied
// to the journal: pieces no longer than the distance would cost more in system calls.
constexpr uint32_t kPointedMoveMinimum = 4096;
// How many records ahead of the walk it asks for the nodes' slots, and for the nodes: far
// enough for the slot to be there when its nodes are asked for, and for the nodes to be
// there when the walk gets to them.
constexpr uint32_t kSlotsAhead = 24;
constexpr uint32_t kNodesAhead = 8;

// The part of the file the walk reads: `size` bytes from offset `start`, mapped rather than
// copied, so that the moved bytes cross from the page cache to the page cache once. The
// view is the file itself: a write shows in it at once. Writes only go below the walk's
// position, over bytes it has consumed, so what it reads later is as the call found it.
struct Window {
    platform::FileView view;
    const uint8_t* bytes = nullptr;
    uint32_t start = 0;
    uint32_t size = 0;
    uint32_t fileLength = 0;  // the library file's, at the last mapping
    uint8_t* copy = nullptr;  // a run that overlaps its own source goes out from here
    ~Window() {
        platform::UnmapView(view);
        platform::Release(copy);
    }
    Window() = default;
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    bool Holds(uint32_t at, uint32_t count) const {
        return bytes != nullptr && at >= start && at - start + uint64_t{count} <= size;
    }
    // Maps on from `at`, as far as the window or the file goes; false when the mapping
    // fails or the file holds fewer than `count` bytes there.
    bool MapFrom(LibraryHandle* handle, uint32_t at, uint32_t count) {
        platform::UnmapView(view);
        bytes = nullptr;
        size = 0;
        uint32_t length = 0;
        if (!journal::LibraryLength(handle, length) || at >= length) return false;
        fileLength = length;
        const uint32_t want = std::min(kWindowSize, length - at);
        start = at;
        if (want < count || !platform::MapView(handle->descriptor, at, want, view)) return false;
        bytes = view.bytes;
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

    bool Write(LibraryHandle* handle, Window& window) {
        const uint32_t shift = from - to;
        while (length != 0) {
            const bool pointed = shift >= kPointedMoveMinimum;
            const uint32_t n = pointed ? std::min(length, shift) : length;
            std::span<const uint8_t> bytes(window.At(from), n);
            if (!pointed) {
                // The one write overlaps its own source: written from the view, it would
                // read pages that it has already overwritten.
                if (window.copy == nullptr) window.copy = static_cast<uint8_t*>(platform::Allocate(kWindowSize));
                if (window.copy == nullptr) {
                    length = 0;
                    return false;
                }
                std::memcpy(window.copy, bytes.data(), n);
                bytes = std::span<const uint8_t>(window.copy, n);
            }
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
    uint32_t walkStart = format::kRecordAreaStart;  // the records before it count as met
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
                    if (k + 4 < type.modelCount) __builtin_prefetch(HomeSlot(type.models[k + 4].recordOffset));
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
    // Where the search for `offset` begins, for asking for it ahead of time.
    const Slot* HomeSlot(uint32_t offset) const { return &slots[Home(offset)]; }
    Slot* Find(uint32_t offset) const {
        const uint32_t mask = (1u << bits) - 1;
        for (uint32_t i = Home(offset);; i = (i + 1) & mask) {
            if (slots[i].offset == offset) return &slots[i];
            if (slots[i].offset == 0) return nullptr;
        }
    }
    // Where the walk starts in an area packed up to `packed`: at the last record that
    // starts there or before it. The records before that one count as met as they stand;
    // `live` counts them off. kRecordAreaStart when the tree does not fit.
    uint32_t SkipPacked(uint32_t packed, uint32_t& live) {
        uint32_t start = format::kRecordAreaStart;
        uint32_t upToPacked = 0;
        for (size_t i = 0; i < (size_t{1} << bits); ++i) {
            if (slots[i].offset != 0 && slots[i].offset <= packed) {
                ++upToPacked;
                start = std::max(start, slots[i].offset);
            }
        }
        // All of those but the one at `start` lie before it.
        const uint32_t before = upToPacked == 0 ? 0 : upToPacked - 1;
        if (before > live) return format::kRecordAreaStart;
        live -= before;
        walkStart = start;
        return start;
    }
    // The models whose records the walk did not meet (the one a deletion just blanked) get
    // offset 0, which the arrangement drops.
    void ClearUnmet() const {
        for (size_t i = 0; i < (size_t{1} << bits); ++i) {
            const Slot& slot = slots[i];
            if (slot.offset >= walkStart && !slot.met) slot.model->recordOffset = 0;
        }
    }
};

// A position some records ahead of the walk, read by capacity alone; it stops at the end of
// the window, and catches up with the walk after it. Only asks for memory ahead of time:
// what it reads is verified when the walk gets there. The prefetches themselves stay in
// the walk's body: in a function of their own, the compiler may take the function for one
// without effects and drop its calls.
struct Lookahead {
    uint32_t at = 0;
    uint32_t lead = 0;  // records between the walk and `at`

    // The walk moved on to `readPos`, one record on since the last call.
    void Follow(uint32_t readPos) {
        if (lead == 0 || at < readPos) {
            at = readPos;
            lead = 0;
        } else {
            --lead;
        }
    }
    // Moves one record further while fewer than `depth` records ahead; false when it stops.
    bool Next(const Window& window, uint32_t depth, uint32_t& next) {
        if (lead >= depth || !window.Holds(at, static_cast<uint32_t>(format::kRecordHeaderSize))) return false;
        const uint16_t capacity = format::Load16(window.At(at) + format::kRecordCapacityOffset);
        if (capacity < format::kRecordHeaderSize) return false;
        at += capacity;
        ++lead;
        next = at;
        return true;
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
        return run.Write(handle, window) && window.MapFrom(handle, readPos, count);
    };
    // A walk that stops early still writes the run it gathered, so that it leaves the file
    // as moving the extents one by one would have: the extents before the stop moved down.
    struct WriteOnExit {
        LibraryHandle* handle;
        Window& window;
        Run& run;
        bool done = false;
        ~WriteOnExit() {
            if (!done) run.Write(handle, window);
        }
    } writeOnExit{handle, window, run};
    bool markedDirty = header.dirty != 0;
    // Headers that this handle verified or wrote itself need not be checksummed again.
    const bool checksumsKnown = journal::HeadersVerified(handle);
    Lookahead slotsAhead;
    Lookahead nodesAhead;
    while (liveRemaining != 0 || deletedRemaining != 0) {
        if (!ensure(static_cast<uint32_t>(format::kRecordHeaderSize))) return 0;
        const std::span<const uint8_t, format::kRecordHeaderSize> recordBytes(window.At(readPos),
                                                                              format::kRecordHeaderSize);
        // The checker's reading of an extent: a header that does not verify, or a capacity
        // that would not advance the walk or runs past the file, ends the compaction.
        if (followTree) {
            // Slots and record headers some records ahead, then the nodes of the records
            // whose slots have arrived by now: both are cache misses at random places, longer
            // than the walk's work on one record.
            slotsAhead.Follow(readPos);
            for (uint32_t at = 0; slotsAhead.Next(window, kSlotsAhead, at);) {
                __builtin_prefetch(nodes.HomeSlot(at));
                if (window.Holds(at, static_cast<uint32_t>(format::kRecordHeaderSize))) {
                    __builtin_prefetch(window.At(at));
                    __builtin_prefetch(window.At(at) + format::kRecordHeaderSize - 1);
                }
            }
            nodesAhead.Follow(readPos);
            for (uint32_t at = 0; nodesAhead.Next(window, kNodesAhead, at);) {
                if (const NodeMap::Slot* slot = nodes.Find(at)) {
                    __builtin_prefetch(slot->model);
                    __builtin_prefetch(slot->type);
                    __builtin_prefetch(slot->manufacturer);
                }
            }
        }
        const check::Extent extent = check::ExtentAt(std::span<const uint8_t>(window.bytes, window.size),
                                                     window.start, readPos, window.fileLength, checksumsKnown);
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
