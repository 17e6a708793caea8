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

#include "format/endian.h"
#include "handle/block_io.h"
#include "index/persistence.h"
#include "journal/journal.h"
#include "maintenance/check.h"
#include "platform/platform.h"

namespace varnel32::maintenance {
namespace {

// One mapping shows about a megabyte; the window must hold the largest extent (65,535
// bytes) whole.
constexpr uint32_t kWindowSize = 1u << 20;
// The most the walk maps at once: a larger file is mapped in spans of this size, from
// boundaries half a span apart, so that a 32-bit process finds room for the view.
constexpr uint32_t kViewSpan = 1u << 28;
// Below this distance a move goes out in one write per run, its overwritten bytes copied
// to the journal: pieces no longer than the distance would cost more in system calls.
constexpr uint32_t kPointedMoveMinimum = 4096;
// How many records ahead of the walk it asks for record headers and for nodes: far enough
// for them to be there when the walk gets to them.
constexpr uint32_t kHeadersAhead = 16;
constexpr uint32_t kNodesAhead = 8;

// The part of the file the walk reads: `size` bytes from offset `start`, mapped rather than
// copied, so that the moved bytes cross from the page cache to the page cache once. The
// view is the file itself: a write shows in it at once. Writes only go below the walk's
// position, over bytes it has consumed, so what it reads later is as the call found it.
// Up to kViewSpan bytes are mapped at once (all of a file below half that size), and the
// view stays in the handle for the next compaction where the system allows (its pages
// then need not be mapped in again).
struct Window {
    platform::FileView& view;  // the handle's
    const uint8_t* bytes = nullptr;
    uint32_t start = 0;
    uint32_t size = 0;
    uint32_t fileLength = 0;  // the library file's, at the last mapping
    uint8_t* copy = nullptr;  // a run that overlaps its own source goes out from here
    explicit Window(platform::FileView& handleView) : view(handleView) {}
    ~Window() {
        if (!platform::ViewsSurviveCuts()) platform::UnmapView(view);
        platform::Release(copy);
    }
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    bool Holds(uint32_t at, uint32_t count) const {
        return bytes != nullptr && at >= start && at - start + uint64_t{count} <= size;
    }
    // Shows on from `at`, as far as the window or the file goes; false when the mapping
    // fails or the file holds fewer than `count` bytes there.
    bool MapFrom(LibraryHandle* handle, uint32_t at, uint32_t count) {
        bytes = nullptr;
        size = 0;
        uint32_t length = 0;
        if (!journal::LibraryLength(handle, length) || at >= length) return false;
        fileLength = length;
        const uint32_t want = std::min(kWindowSize, length - at);
        start = at;
        if (want < count) return false;
        const bool mapped =
            view.bytes != nullptr && at >= view.offset && at - view.offset + uint64_t{want} <= view.count;
        if (!mapped) {
            platform::UnmapView(view);
            const uint32_t from = at - at % (kViewSpan / 2);
            if (!platform::MapView(handle->descriptor, from, std::min(kViewSpan, length - from), view)) return false;
        }
        bytes = view.bytes + (at - view.offset);
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

// The nodes of the handle's tree in record-offset order, so that the walk meets the node
// of each record it reaches as the next in line, without looking its names up, and can ask
// for the nodes some records ahead. The tree does not change during the walk.
struct NodeList {
    struct Node {
        uint32_t offset;
        index::ManufacturerNode* manufacturer;
        index::TypeNode* type;
        index::ModelNode* model;
    };
    Node* nodes = nullptr;
    uint32_t count = 0;
    uint32_t next = 0;  // the first node the walk has not reached
    ~NodeList() { platform::Release(nodes); }
    NodeList() = default;
    NodeList(const NodeList&) = delete;
    NodeList& operator=(const NodeList&) = delete;

    // False when memory ran out; `usable` false when the tree cannot stand for the file's
    // records (it is empty, or has a level without nodes, a model without a record in the
    // record area or two models on one record).
    bool Build(index::CatalogueIndex& tree, bool& usable) {
        usable = false;
        const uint32_t models = index::CountModels(tree);
        if (models == 0) return true;
        nodes = static_cast<Node*>(platform::Allocate(size_t{models} * sizeof(Node)));
        auto* spare = static_cast<Node*>(platform::Allocate(size_t{models} * sizeof(Node)));
        const struct ReleaseSpare {
            Node*& spare;
            ~ReleaseSpare() { platform::Release(spare); }
        } releaseSpare{spare};
        if (nodes == nullptr || spare == nullptr) return false;
        uint32_t highest = 0;
        for (uint16_t m = 0; m < tree.manufacturerCount; ++m) {
            index::ManufacturerNode& manufacturer = tree.manufacturers[m];
            if (manufacturer.typeCount == 0) return true;
            for (uint16_t t = 0; t < manufacturer.typeCount; ++t) {
                index::TypeNode& type = manufacturer.types[t];
                if (type.modelCount == 0) return true;
                for (uint16_t k = 0; k < type.modelCount; ++k) {
                    const uint32_t offset = type.models[k].recordOffset;
                    if (offset < format::kRecordAreaStart || count == models) return true;
                    nodes[count++] = Node{offset, &manufacturer, &type, &type.models[k]};
                    highest = std::max(highest, offset);
                }
            }
        }
        // Sorted by offset a digit at a time from the lowest (a radix sort: each pass is
        // stable), 14 bits per pass.
        constexpr uint32_t kDigitBits = 14;
        constexpr uint32_t kBuckets = 1u << kDigitBits;
        auto* starts = static_cast<uint32_t*>(platform::Allocate(kBuckets * sizeof(uint32_t)));
        if (starts == nullptr) return false;
        for (uint32_t shift = 0; shift < 32 && (highest >> shift) != 0; shift += kDigitBits) {
            std::memset(starts, 0, kBuckets * sizeof(uint32_t));
            for (uint32_t i = 0; i < count; ++i) ++starts[(nodes[i].offset >> shift) & (kBuckets - 1)];
            uint32_t sum = 0;
            for (uint32_t d = 0; d < kBuckets; ++d) {
                const uint32_t n = starts[d];
                starts[d] = sum;
                sum += n;
            }
            for (uint32_t i = 0; i < count; ++i) {
                spare[starts[(nodes[i].offset >> shift) & (kBuckets - 1)]++] = nodes[i];
            }
            std::swap(nodes, spare);
        }
        platform::Release(starts);
        for (uint32_t i = 1; i < count; ++i) {
            if (nodes[i].offset == nodes[i - 1].offset) return true;
        }
        usable = true;
        return true;
    }
    // Where the walk starts in an area packed up to `packed`: at the last record that
    // starts there or before it. The records before that one are met as they stand;
    // `live` counts them off. kRecordAreaStart when the tree does not fit.
    uint32_t SkipPacked(uint32_t packed, uint32_t& live) {
        const Node* after =
            std::partition_point(nodes, nodes + count, [packed](const Node& n) { return n.offset <= packed; });
        if (after == nodes) return format::kRecordAreaStart;
        const auto before = static_cast<uint32_t>(after - nodes) - 1;
        if (before > live) return format::kRecordAreaStart;
        live -= before;
        next = before;
        return nodes[before].offset;
    }
    // The node of the live record at `offset`, the next in line; null when there is none.
    // The nodes passed on the way, whose records the walk did not meet (the one a deletion
    // just blanked), get offset 0, which the arrangement drops.
    Node* Reach(uint32_t offset) {
        while (next < count && nodes[next].offset < offset) nodes[next++].model->recordOffset = 0;
        if (next == count || nodes[next].offset != offset) return nullptr;
        return &nodes[next++];
    }
    void ClearUnreached() {
        while (next < count) nodes[next++].model->recordOffset = 0;
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
    NodeList nodes;
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
    Window window(handle->journal.view);
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
    Lookahead headersAhead;
    while (liveRemaining != 0 || deletedRemaining != 0) {
        if (!ensure(static_cast<uint32_t>(format::kRecordHeaderSize))) return 0;
        const std::span<const uint8_t, format::kRecordHeaderSize> recordBytes(window.At(readPos),
                                                                              format::kRecordHeaderSize);
        if (followTree) {
            // Record headers and nodes some records ahead: the nodes are cache misses at
            // random places, longer than the walk's work on one record, and the headers
            // are met on a new page every few records.
            headersAhead.Follow(readPos);
            for (uint32_t at = 0; headersAhead.Next(window, kHeadersAhead, at);) {
                if (window.Holds(at, static_cast<uint32_t>(format::kRecordHeaderSize))) {
                    __builtin_prefetch(window.At(at));
                    __builtin_prefetch(window.At(at) + format::kRecordHeaderSize - 1);
                }
            }
            if (nodes.next + kNodesAhead < nodes.count) {
                const NodeList::Node& ahead = nodes.nodes[nodes.next + kNodesAhead];
                __builtin_prefetch(ahead.model);
                __builtin_prefetch(ahead.type);
                __builtin_prefetch(ahead.manufacturer);
            }
        }
        // The checker's reading of an extent: a header that does not verify, or a capacity
        // that would not advance the walk or runs past the file, ends the compaction.
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
            NodeList::Node* node = followTree ? nodes.Reach(readPos) : nullptr;
            if (node != nullptr && SameName(record.model, node->model->name) &&
                SameName(record.type, node->type->name) && SameName(record.manufacturer, node->manufacturer->name)) {
                node->model->recordOffset = writePos;
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
        nodes.ClearUnreached();
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
