// Loading and saving the stored catalogue: both move the run of IndexEntry blocks in large
// chunks, encoded or verified entry by entry in memory.
#include "index/persistence.h"

#include <algorithm>

#include "handle/block_io.h"
#include "journal/journal.h"
#include "platform/owned_block.h"
#include "platform/platform.h"

namespace varnel32::index {
namespace {

using format::BlockKind;

// 1024 entries (71 KiB) per read or write: a catalogue of 100,000 records loads or saves
// in 98 transfers.
constexpr uint32_t kLoadChunkEntries = 1024;

// Writes the tree's entries from dataEnd on, a chunk per write.
bool WriteEntries(LibraryHandle* handle, const format::LibraryHeader& header) {
    const uint32_t chunkEntries = std::min<uint32_t>(header.recordCount, kLoadChunkEntries);
    platform::OwnedBlock chunk(size_t{chunkEntries} * format::kIndexEntrySize,
                               platform::OwnedBlock::Unfilled{});
    if (chunk.failed()) return false;
    uint32_t position = header.dataEnd;
    uint32_t filled = 0;
    const auto flush = [&] {
        const uint32_t bytes = filled * static_cast<uint32_t>(format::kIndexEntrySize);
        const std::span<const uint8_t> run(chunk.get(), bytes);
        if (!io::WriteAt(handle->descriptor, position, run)) return false;
        position += bytes;
        filled = 0;
        return true;
    };
    const CatalogueIndex& tree = handle->index;
    for (uint16_t i = 0; i < tree.manufacturerCount; ++i) {
        const ManufacturerNode& m = tree.manufacturers[i];
        for (uint16_t j = 0; j < m.typeCount; ++j) {
            const TypeNode& t = m.types[j];
            for (uint16_t k = 0; k < t.modelCount; ++k) {
                if (filled == chunkEntries && !flush()) return false;
                const std::span<uint8_t, format::kIndexEntrySize> entry(
                    chunk.get() + size_t{filled} * format::kIndexEntrySize, format::kIndexEntrySize);
                format::Encode(MakeKey(m.name, t.name, t.models[k].name, t.models[k].recordOffset), entry);
                format::Seal(BlockKind::Index, entry);
                ++filled;
            }
        }
    }
    return filled == 0 || flush();
}

// A file filled in catalogue order (an import walks its folders so) holds each record
// right before the next one in the saved index, which is the tree's order just after a
// load: the distance between their offsets is then the record's extent, which a fetch
// reads whole in one go. Where the order differs, the guess is only left out when it is
// implausible; a wrong one costs a second read or a few copied bytes, never a result.
void GuessFirstReads(CatalogueIndex& tree, uint32_t dataEnd) {
    ModelNode* previous = nullptr;
    const auto guess = [&previous](uint32_t nextOffset) {
        if (previous == nullptr) return;
        const uint32_t offset = previous->recordOffset;
        if (nextOffset > offset + format::kRecordHeaderSize && nextOffset - offset <= kLongestFirstRead) {
            previous->firstRead = static_cast<uint16_t>(nextOffset - offset);
        }
    };
    for (uint16_t i = 0; i < tree.manufacturerCount; ++i) {
        const ManufacturerNode& m = tree.manufacturers[i];
        for (uint16_t j = 0; j < m.typeCount; ++j) {
            const TypeNode& t = m.types[j];
            for (uint16_t k = 0; k < t.modelCount; ++k) {
                guess(t.models[k].recordOffset);
                previous = &t.models[k];
            }
        }
    }
    guess(dataEnd);
}

}  // namespace

int LoadCatalogueIndex(LibraryHandle* handle) {
    format::HeaderBytes bytes;
    format::LibraryHeader header;
    if (!io::ReadHeader(handle->descriptor, bytes, header)) return 0;
    if (header.recordCount == 0) return 1;
    // The run is read a large chunk at a time and verified entry by entry in memory; a
    // read that comes back short still adds the entries it holds whole, as reading them
    // one by one would have.
    const uint32_t chunkEntries = std::min<uint32_t>(header.recordCount, kLoadChunkEntries);
    platform::OwnedBlock chunk(size_t{chunkEntries} * format::kIndexEntrySize);
    if (chunk.failed()) return 0;
    uint32_t position = header.dataEnd;
    for (uint32_t done = 0; done < header.recordCount;) {
        const uint32_t want = std::min(header.recordCount - done, chunkEntries);
        const uint32_t wantBytes = want * static_cast<uint32_t>(format::kIndexEntrySize);
        const int32_t n = platform::ReadBytesAt(handle->descriptor, position, chunk.get(), wantBytes);
        if (n < 0) return 0;
        const uint32_t whole = static_cast<uint32_t>(n) / static_cast<uint32_t>(format::kIndexEntrySize);
        for (uint32_t i = 0; i < whole; ++i) {
            const std::span<const uint8_t, format::kIndexEntrySize> entry(
                chunk.get() + size_t{i} * format::kIndexEntrySize, format::kIndexEntrySize);
            if (!format::Verify(BlockKind::Index, entry)) return 0;
            if (AddIndexEntry(handle->index, format::DecodeIndexEntry(entry)) == 0) return 0;
        }
        if (static_cast<uint32_t>(n) != wantBytes) return 0;
        done += want;
        position += wantBytes;
    }
    GuessFirstReads(handle->index, header.dataEnd);
    return 1;
}

int SaveCatalogueIndex(LibraryHandle* handle) {
    if ((handle->mode & IRModeWrite) == 0) return 0;
    format::HeaderBytes bytes;
    format::LibraryHeader header;
    if (!journal::ReadHeader(handle, bytes, header)) return 0;
    // The next load reads exactly recordCount entries. A tree that lost a key (an insert
    // that ran out of memory) would make the clean file lie about its records, so it is
    // not saved: the file stays dirty and the next open for writing rebuilds the index.
    if (CountModels(handle->index) != header.recordCount) return 0;
    const uint32_t indexEnd =
        header.dataEnd + header.recordCount * static_cast<uint32_t>(format::kIndexEntrySize);
    if (!journal::Protect(handle, header.dataEnd, indexEnd - header.dataEnd)) return 0;
    if (header.recordCount != 0 && !WriteEntries(handle, header)) return 0;
    journal::NoteWritten(handle, indexEnd);
    header.dirty = 0;
    return journal::WriteHeader(handle, header) ? 1 : 0;
}

}  // namespace varnel32::index
