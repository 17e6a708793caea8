// The write side of the journal: collecting the original bytes of a changing call, writing
// them ahead of the library writes that need them (one journal write before each library
// write at most), the commit that makes the journal cold, and the undo of a failed call.
// Bytes that a move put lower in the file are not copied: the journal says where they are.
#include "journal/journal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "format/endian.h"
#include "format/journal_blocks.h"
#include "handle/block_io.h"

namespace varnel32::journal {
namespace {

// Pending blocks go out early once they reach this size, so that a large index save does
// not hold all of its copy in memory.
constexpr uint32_t kPendingFlushSize = 256 * 1024;

bool Grow(uint8_t*& block, uint32_t& capacity, uint32_t used, uint32_t needed, size_t unit) {
    if (needed <= capacity) return true;
    const uint32_t grown = std::max({needed, capacity * 2, uint32_t{64}});
    auto* bigger = static_cast<uint8_t*>(platform::AllocateZeroed(size_t{grown} * unit));
    if (bigger == nullptr) return false;
    if (used != 0) std::memcpy(bigger, block, size_t{used} * unit);
    platform::Release(block);
    block = bigger;
    capacity = grown;
    return true;
}

// Reserves room for `size` more pending bytes and returns where they go.
uint8_t* Reserve(JournalState& s, uint32_t size) {
    if (!Grow(s.pending, s.pendingCapacity, s.pendingSize, s.pendingSize + size, 1)) return nullptr;
    uint8_t* at = s.pending + s.pendingSize;
    s.pendingSize += size;
    return at;
}

bool Flush(JournalState& s) {
    if (s.pendingSize == 0) return true;
    const int32_t n = platform::WriteBytesAt(s.descriptor, s.position, s.pending, s.pendingSize);
    if (n != static_cast<int32_t>(s.pendingSize)) return false;
    s.position += s.pendingSize;
    s.pendingSize = 0;
    return !s.syncFull || platform::SyncFile(s.descriptor);
}

// Makes the journal cold: its header no longer verifies. Cheaper than cutting the file,
// whose pages the next call reuses; the sequence keeps old entries from passing.
bool Invalidate(JournalState& s) {
    static constexpr uint8_t kZeros[format::kJournalHeaderSize] = {};
    const int32_t n = platform::WriteBytesAt(s.descriptor, 0, kZeros, sizeof kZeros);
    return n == static_cast<int32_t>(sizeof kZeros);
}

// Appends an entry head for `entry` and room for its data; returns the data's place.
uint8_t* AppendEntry(JournalState& s, const format::JournalEntry& entry) {
    const auto size = static_cast<uint32_t>(format::kJournalEntryHeadSize) + format::StoredDataLength(entry);
    uint8_t* head = Reserve(s, size);
    return head == nullptr ? nullptr : head + format::kJournalEntryHeadSize;
}

void SealEntry(JournalState& s, const format::JournalEntry& entry, uint8_t* data) {
    uint8_t* head = data - format::kJournalEntryHeadSize;
    const std::span<const uint8_t> bytes(data, format::StoredDataLength(entry));
    format::EncodeJournalEntry(entry, s.sequence, bytes,
                               std::span<uint8_t, format::kJournalEntryHeadSize>(head, format::kJournalEntryHeadSize));
}

void MarkCovered(JournalState& s, uint32_t begin, uint32_t end, bool& ok) {
    if (begin >= end) return;
    // Merge with every range it touches, then insert in order.
    uint32_t first = 0;
    while (first < s.coveredCount && s.covered[first].end < begin) ++first;
    uint32_t last = first;
    while (last < s.coveredCount && s.covered[last].begin <= end) {
        begin = std::min(begin, s.covered[last].begin);
        end = std::max(end, s.covered[last].end);
        ++last;
    }
    if (last == first) {
        auto* bytes = reinterpret_cast<uint8_t*>(s.covered);
        if (!Grow(bytes, s.coveredCapacity, s.coveredCount, s.coveredCount + 1, sizeof(Range))) {
            ok = false;
            return;
        }
        s.covered = reinterpret_cast<Range*>(bytes);
        std::memmove(s.covered + first + 1, s.covered + first, (s.coveredCount - first) * sizeof(Range));
        ++s.coveredCount;
    } else if (last > first + 1) {
        std::memmove(s.covered + first + 1, s.covered + last, (s.coveredCount - last) * sizeof(Range));
        s.coveredCount -= last - first - 1;
    }
    s.covered[first] = Range{begin, end};
}

bool Start(LibraryHandle* handle) {
    JournalState& s = handle->journal;
    // A read-only descriptor (both mode bits) takes no writes, and makes no journal either.
    if ((handle->mode & IRModeReadOnly) != 0) return false;
    if (!s.open) {
        char path[kJournalPathSize];
        if (!JournalPathOf(handle->path, path)) return false;
        bool created = false;
        const int fd = platform::OpenJournal(path, created);
        if (fd == platform::kNoFile) return false;
        s.descriptor = fd;
        s.open = true;
        // A journal left from before was rolled back at open or holds nothing hot.
        if (!created && !platform::TruncateTo(fd, 0)) return false;
        if (s.syncFull && created && !platform::SyncFolderOf(path)) return false;
    }
    if (!s.headerKnown) {
        format::LibraryHeader header;
        if (!ReadHeader(handle, s.originalHeader, header)) return false;
        s.headerKnown = true;
    }
    if (!LibraryLength(handle, s.originalLength)) return false;
    s.position = 0;
    ++s.sequence;
    // Three fields of the verified header: decoding all of it would cost more than the call.
    const uint8_t* raw = s.originalHeader.data();
    const uint32_t dataEnd = format::Load32(raw + format::kHeaderDataEndOffset);
    s.staleFrom = s.length;
    // A dirty file's index is stale: the repair after an undo rebuilds it from the records.
    if (format::Load16(raw + format::kHeaderDirtyOffset) != 0) {
        s.staleFrom = std::min(s.length, std::max(dataEnd, format::kRecordAreaStart));
    }
    uint8_t* at = Reserve(s, format::kJournalHeaderSize);
    if (at == nullptr) return false;
    format::JournalHeader jh;
    jh.sequence = s.sequence;
    jh.originalLength = s.length;
    jh.headerCrc = format::Load32(s.originalHeader.data() + format::kHeaderCrcOffset);
    jh.kind = format::Load32(raw + format::kHeaderKindOffset);
    format::EncodeJournalHeader(jh, s.journalHeader);
    std::memcpy(at, s.journalHeader.data(), s.journalHeader.size());
    s.started = true;
    return true;
}

// Bytes from `offset` on are about to change: the packed area ends there at the latest.
void Touching(JournalState& s, uint32_t offset) {
    s.packedEnd = std::min(s.packedEnd, std::max(offset, format::kRecordAreaStart));
}

// Where the original bytes of a gap come from.
enum class Source { File, Given, Zeros };

// The first of `count` sorted, disjoint ranges that ends after `at` (`count` when none does).
template <typename Range>
uint32_t FirstEndingAfter(const Range* ranges, uint32_t count, uint32_t at) {
    const auto* first =
        std::partition_point(ranges, ranges + count, [at](const Range& r) { return r.end <= at; });
    return static_cast<uint32_t>(first - ranges);
}

// The first relocation that ends after `at` (movedCount when none does).
uint32_t RelocationAfter(const JournalState& s, uint32_t at) { return FirstEndingAfter(s.moved, s.movedCount, at); }

// Whether any byte of [begin, end) is covered: the call may have written it.
bool IsCovered(const JournalState& s, uint32_t begin, uint32_t end) {
    const uint32_t i = FirstEndingAfter(s.covered, s.coveredCount, begin);
    return i < s.coveredCount && s.covered[i].begin < end;
}

// Copies the original bytes of [begin, end) that the journal does not hold yet. `given`
// holds the bytes from `givenAt` on when the source is Given.
bool Cover(LibraryHandle* handle, uint32_t begin, uint32_t end, Source source,
           const uint8_t* given = nullptr, uint32_t givenAt = 0) {
    JournalState& s = handle->journal;
    if (!s.active || s.stuck) return false;
    if (!s.started && !Start(handle)) return false;
    if (end > format::kRecordAreaStart) Touching(s, begin);
    end = std::min(end, s.staleFrom);
    uint32_t at = begin;
    uint32_t i = 0;
    while (at < end) {
        while (i < s.coveredCount && s.covered[i].end <= at) ++i;
        if (i < s.coveredCount && s.covered[i].begin <= at) {
            at = s.covered[i].end;
            continue;
        }
        const uint32_t gapEnd = i < s.coveredCount ? std::min(end, s.covered[i].begin) : end;
        uint32_t r = RelocationAfter(s, at);
        while (at < gapEnd) {
            while (r < s.movedCount && s.moved[r].end <= at) ++r;
            if (r < s.movedCount && s.moved[r].begin <= at) {
                // Moved lower by this call: the entry says where, the bytes stay there.
                const Relocation& moved = s.moved[r];
                const uint32_t length = std::min({gapEnd, moved.end, at + format::kJournalMovedMaxLength}) - at;
                const format::JournalEntry entry{format::EntryKind::Moved, at, length};
                uint8_t* data = AppendEntry(s, entry);
                if (data == nullptr) return false;
                format::Store32(data, at - moved.shift);
                SealEntry(s, entry, data);
                at += length;
                continue;
            }
            // Entries stop at the end of the header, whose original the handle holds, and
            // where moved bytes begin.
            const uint32_t limit = at < format::kHeaderSize
                                       ? static_cast<uint32_t>(format::kHeaderSize) - at
                                   : r < s.movedCount ? s.moved[r].begin - at
                                                      : format::kJournalEntryMaxData;
            const uint32_t length = std::min({gapEnd - at, format::kJournalEntryMaxData, limit});
            const format::JournalEntry entry{
                source == Source::Zeros ? format::EntryKind::Zeros : format::EntryKind::Bytes, at, length};
            uint8_t* data = AppendEntry(s, entry);
            if (data == nullptr) return false;
            if (at < format::kHeaderSize && source != Source::Zeros) {
                std::memcpy(data, s.originalHeader.data() + at, length);
            } else if (source == Source::Given) {
                std::memcpy(data, given + (at - givenAt), length);
            } else if (source == Source::File &&
                       !io::ReadAt(handle->descriptor, at, std::span<uint8_t>(data, length))) {
                return false;
            }
            SealEntry(s, entry, data);
            at += length;
            if (s.pendingSize >= kPendingFlushSize && !Flush(s)) return false;
        }
    }
    bool ok = true;
    MarkCovered(s, begin, end, ok);
    return ok;
}

void Finish(JournalState& s) {
    s.active = false;
    s.started = false;
    s.headerKnown = false;
    s.cutPending = false;
    s.coveredCount = 0;
    s.movedCount = 0;
    s.pinnedBegin = s.pinnedEnd = 0;
    s.pendingSize = 0;
}

// Records that the original bytes [from, from + length) now stand `shift` bytes lower.
bool NoteMoved(JournalState& s, uint32_t from, uint32_t length, uint32_t shift) {
    Relocation* last = s.movedCount != 0 ? &s.moved[s.movedCount - 1] : nullptr;
    if (last != nullptr && last->end == from && last->shift == shift) {
        last->end = from + length;
    } else {
        auto* bytes = reinterpret_cast<uint8_t*>(s.moved);
        if (!Grow(bytes, s.movedCapacity, s.movedCount, s.movedCount + 1, sizeof(Relocation))) return false;
        s.moved = reinterpret_cast<Relocation*>(bytes);
        s.moved[s.movedCount++] = Relocation{from, from + length, shift};
    }
    if (s.pinnedBegin == s.pinnedEnd) s.pinnedBegin = from - shift;
    s.pinnedEnd = from - shift + length;
    return true;
}

}  // namespace

bool JournalPathOf(const char* libraryPath, char (&out)[kJournalPathSize]) {
    static constexpr char kSuffix[] = "-journal";
    const size_t length = ::strnlen(libraryPath, kHandlePathSize);
    if (length >= kHandlePathSize) return false;
    std::memcpy(out, libraryPath, length);
    std::memcpy(out + length, kSuffix, sizeof kSuffix);
    return true;
}

bool SyncRequested() {
    const char* value = std::getenv("VARNEL32_SYNC");
    return value != nullptr && std::strcmp(value, "full") == 0;
}

Change::Change(LibraryHandle* handle) : handle_(handle) {
    JournalState& s = handle->journal;
    Finish(s);
    s.active = true;
    s.modifiedBefore = handle->modified;
}

Change::~Change() {
    if (handle_->journal.active) Undo();
}

bool Change::Commit() {
    JournalState& s = handle_->journal;
    if (!s.active) return false;
    if (s.started) {
        // Blocks still pending protect bytes that were never written: dropped.
        if ((s.syncFull && !platform::SyncFile(handle_->descriptor)) || !Invalidate(s)) {
            Undo();
            return false;
        }
        // The commit is made: a failed flush of the emptied journal cannot be undone.
        if (s.syncFull) platform::SyncFile(s.descriptor);
    }
    const bool cut = s.cutPending;
    Finish(s);
    if (cut) {
        s.lengthKnown = platform::TruncateTo(handle_->descriptor, s.cutLength);
        s.length = s.cutLength;
    }
    return true;
}

bool Change::Undo() {
    JournalState& s = handle_->journal;
    if (!s.active) return false;
    s.headerCached = false;
    s.packedEnd = 0;
    s.headersVerified = false;
    bool ok = true;
    if (s.started) {
        // A commit that failed may have destroyed the journal's header half-way: it is
        // written again first. Blocks never written protect bytes never changed.
        s.pendingSize = 0;
        bool hot = false;
        ok = platform::WriteBytesAt(s.descriptor, 0, s.journalHeader.data(),
                                       static_cast<uint32_t>(s.journalHeader.size())) ==
                 static_cast<int32_t>(s.journalHeader.size()) &&
             RollBack(s.descriptor, handle_->descriptor, true, s.syncFull, hot) && Invalidate(s) &&
             (!s.syncFull || platform::SyncFile(s.descriptor));
        s.length = s.originalLength;
        s.lengthKnown = ok;
    }
    if (ok) {
        handle_->modified = s.modifiedBefore;
    } else {
        s.stuck = true;
        handle_->indexIncomplete = true;
    }
    Finish(s);
    return ok;
}

bool ReadHeader(LibraryHandle* handle, format::HeaderBytes& bytes, format::LibraryHeader& header) {
    JournalState& s = handle->journal;
    if (s.headerCached) {
        bytes = s.cachedHeader;
        header = format::DecodeLibraryHeader(bytes);
    } else {
        if (!io::ReadHeader(handle->descriptor, bytes, header)) return false;
        s.cachedHeader = bytes;
        s.headerCached = true;
    }
    if (s.active && !s.started) {
        s.originalHeader = bytes;
        s.headerKnown = true;
    }
    return true;
}

bool WriteAt(LibraryHandle* handle, uint32_t offset, std::span<const uint8_t> bytes) {
    JournalState& s = handle->journal;
    if (offset < format::kHeaderSize) s.headerCached = false;
    if (offset + bytes.size() > format::kRecordAreaStart) Touching(s, offset);
    if (!s.active) {
        s.lengthKnown = false;
        return io::WriteAt(handle->descriptor, offset, bytes);
    }
    const auto length = static_cast<uint32_t>(bytes.size());
    // The journal points at the moved bytes: overwriting them would lose originals.
    if (offset < s.pinnedEnd && offset + length > s.pinnedBegin) return false;
    if (!Cover(handle, offset, offset + length, Source::File) || !Flush(s)) return false;
    if (!io::WriteAt(handle->descriptor, offset, bytes)) return false;
    NoteWritten(handle, offset + length);
    return true;
}

bool MoveDown(LibraryHandle* handle, uint32_t to, std::span<const uint8_t> bytes, uint32_t from) {
    JournalState& s = handle->journal;
    const auto length = static_cast<uint32_t>(bytes.size());
    // The journal may point at the moved bytes when the move leaves its own source whole,
    // the source holds what the call found there, and moves go up the file in order (what
    // lies between their places is then pinned as well: a compaction never goes back). Under VARNEL32_SYNC=full the journal is flushed
    // ahead of the library, and an entry could then point at bytes that a power loss
    // kept from the disk: there, and in every other case, the write is an ordinary one.
    const bool pointable = s.active && !s.syncFull && length != 0 && to + length <= from &&
                           to >= s.pinnedEnd &&
                           (s.movedCount == 0 || from >= s.moved[s.movedCount - 1].end) &&
                           !IsCovered(s, from, from + length);
    if (!WriteAt(handle, to, bytes)) return false;
    return !pointable || NoteMoved(s, from, length, from - to);
}

bool WriteHeader(LibraryHandle* handle, const format::LibraryHeader& header) {
    format::HeaderBytes bytes;
    format::Encode(header, bytes);
    format::Seal(format::BlockKind::Header, bytes);
    JournalState& s = handle->journal;
    if (s.active) {
        // Only the 32-byte blocks that differ from the header the call found need a copy:
        // a torn write leaves equal bytes equal.
        if (!s.started && !Start(handle)) return false;
        constexpr uint32_t kBlock = 32;
        const auto differs = [&](uint32_t at) {
            const size_t n = std::min<size_t>(kBlock, format::kHeaderSize - at);
            return std::memcmp(bytes.data() + at, s.originalHeader.data() + at, n) != 0;
        };
        for (uint32_t at = 0; at < format::kHeaderSize; at += kBlock) {
            if (!differs(at)) continue;
            uint32_t end = at + kBlock;
            while (end < format::kHeaderSize && differs(end)) end += kBlock;
            end = std::min(end, static_cast<uint32_t>(format::kHeaderSize));
            if (!Cover(handle, at, end, Source::File)) return false;
            at = end;
        }
        // The header this call writes is noted first: recovery knows the journal belongs
        // to the file when the file's header is the original or one of these.
        const format::JournalEntry note{format::EntryKind::HeaderNote, 0, 0};
        uint8_t* data = AppendEntry(s, note);
        if (data == nullptr) return false;
        std::memcpy(data, bytes.data() + format::kHeaderCrcOffset, 4);
        SealEntry(s, note, data);
        // The blocks equal to the original need no copy: written straight after the others.
        s.headerCached = false;
        if (!Flush(s) || !io::WriteAt(handle->descriptor, 0, bytes)) return false;
        NoteWritten(handle, static_cast<uint32_t>(format::kHeaderSize));
    } else if (!WriteAt(handle, 0, bytes)) {
        return false;
    }
    s.cachedHeader = bytes;
    s.headerCached = true;
    return true;
}

bool Protect(LibraryHandle* handle, uint32_t offset, uint32_t length, bool flush) {
    if (!handle->journal.active) return true;
    return Cover(handle, offset, offset + length, Source::File) && (!flush || Flush(handle->journal));
}

bool ProtectRead(LibraryHandle* handle, uint32_t offset, std::span<const uint8_t> original) {
    if (!handle->journal.active) return true;
    return Cover(handle, offset, offset + static_cast<uint32_t>(original.size()), Source::Given,
                 original.data(), offset);
}

bool ProtectZeros(LibraryHandle* handle, uint32_t offset, uint32_t length) {
    if (!handle->journal.active) return true;
    return Cover(handle, offset, offset + length, Source::Zeros);
}

bool LibraryLength(LibraryHandle* handle, uint32_t& length) {
    JournalState& s = handle->journal;
    if (!s.lengthKnown && !platform::FileLength(handle->descriptor, s.length)) return false;
    s.lengthKnown = true;
    length = s.length;
    return true;
}

void NoteWritten(LibraryHandle* handle, uint32_t end) {
    JournalState& s = handle->journal;
    if (!s.active) s.lengthKnown = false;
    s.length = std::max(s.length, end);
    // What the call wrote after a compaction (a record appended by the write that the
    // compaction made room for) is never cut.
    if (s.cutPending) s.cutLength = std::max(s.cutLength, end);
}

void CutAfterCommit(LibraryHandle* handle, uint32_t length) {
    if (!handle->journal.active) {
        handle->journal.lengthKnown = false;
        platform::TruncateTo(handle->descriptor, length);
        return;
    }
    handle->journal.cutPending = true;
    handle->journal.cutLength = length;
}

uint32_t PackedEnd(const LibraryHandle* handle) { return handle->journal.packedEnd; }

bool HeadersVerified(const LibraryHandle* handle) { return handle->journal.headersVerified; }

void NotePacked(LibraryHandle* handle, uint32_t end) {
    handle->journal.packedEnd = end;
    handle->journal.headersVerified = true;
}

void CloseJournal(LibraryHandle* handle) {
    JournalState& s = handle->journal;
    if (s.open) {
        platform::CloseFile(s.descriptor);
        s.open = false;
        char path[kJournalPathSize];
        if (!s.stuck && JournalPathOf(handle->path, path)) platform::RemoveFile(path);
    }
    ReleaseJournalMemory(s);
}

}  // namespace varnel32::journal
