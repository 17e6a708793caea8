// Reading a journal back: whether it is hot (a sealed header; the library's header is the
// one the journal names or one it noted the call writing; and undoing would change a byte
// or the length), and rolling it back into the library, newest entry first, noting its
// progress past moved bytes so that an undo cut short can be begun again. Used by an
// open that finds a journal beside the file and by a call that undoes itself.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "format/endian.h"
#include "format/journal_blocks.h"
#include "handle/block_io.h"
#include "journal/journal.h"
#include "platform/owned_block.h"

namespace varnel32::journal {
namespace {

enum class Read { Whole, Short, Failed };

// Short only where the file ends (`fileLength`, taken before): bytes the file holds that
// did not come are a failed read, never the torn end of a journal.
Read ReadExactly(int fd, uint32_t offset, uint8_t* out, uint32_t size, uint32_t fileLength) {
    if (!platform::SeekTo(fd, offset)) return Read::Failed;
    const int32_t n = platform::ReadBytes(fd, out, size);
    if (n < 0) return Read::Failed;
    if (static_cast<uint32_t>(n) == size) return Read::Whole;
    return uint64_t{offset} + size <= fileLength ? Read::Failed : Read::Short;
}

// Reads the entry at `position` into `buffer` (head, then data). Whole only when it is
// complete and sealed.
Read ReadEntry(int fd, uint32_t fileLength, uint32_t position, uint32_t sequence, uint8_t* buffer,
               format::JournalEntry& entry) {
    const Read head = ReadExactly(fd, position, buffer, format::kJournalEntryHeadSize, fileLength);
    if (head != Read::Whole) return head;
    const std::span<const uint8_t, format::kJournalEntryHeadSize> headBytes(buffer, format::kJournalEntryHeadSize);
    if (!format::DecodeJournalEntryHead(headBytes, entry)) return Read::Short;
    const uint32_t stored = format::StoredDataLength(entry);
    uint8_t* data = buffer + format::kJournalEntryHeadSize;
    if (stored != 0) {
        const auto at = position + static_cast<uint32_t>(format::kJournalEntryHeadSize);
        const Read body = ReadExactly(fd, at, data, stored, fileLength);
        if (body != Read::Whole) return body;
    }
    return format::JournalEntrySealed(headBytes, sequence, std::span<const uint8_t>(data, stored)) ? Read::Whole
                                                                                                : Read::Short;
}

// Copies the `length` bytes at `from` to `to` (above them, not overlapping) through `buffer`
// of kJournalEntryMaxData bytes.
bool CopyDown(int fd, uint32_t from, uint32_t to, uint32_t length, uint8_t* buffer) {
    for (uint32_t done = 0; done < length;) {
        const uint32_t n = std::min(length - done, format::kJournalEntryMaxData);
        const std::span<uint8_t> piece(buffer, n);
        if (!io::ReadAt(fd, from + done, piece) || !io::WriteAt(fd, to + done, piece)) return false;
        done += n;
    }
    return true;
}

// Whether the `length` bytes at `a` and at `b` differ (or cannot all be read).
Read Differ(int fd, uint32_t fileLength, uint32_t a, uint32_t b, uint32_t length, uint8_t* one, uint8_t* other,
            bool& differ) {
    differ = false;
    for (uint32_t done = 0; done < length && !differ;) {
        const uint32_t n = std::min(length - done, format::kJournalEntryMaxData);
        const Read first = ReadExactly(fd, a + done, one, n, fileLength);
        const Read second = ReadExactly(fd, b + done, other, n, fileLength);
        if (first == Read::Failed || second == Read::Failed) return Read::Failed;
        differ = first == Read::Short || second == Read::Short || std::memcmp(one, other, n) != 0;
        done += n;
    }
    return Read::Whole;
}

}  // namespace

bool RollBack(int journalFd, int libraryFd, bool apply, bool syncFull, bool& hot) {
    hot = false;
    format::JournalHeaderBytes headerBytes;
    format::JournalHeader journal;
    uint32_t journalLength = 0, length = 0;
    if (!platform::FileLength(journalFd, journalLength) || !platform::FileLength(libraryFd, length)) return false;
    const Read head =
        ReadExactly(journalFd, 0, headerBytes.data(), static_cast<uint32_t>(headerBytes.size()), journalLength);
    if (head == Read::Failed) return false;
    // No sealed header: nothing of the library changed before this journal was torn.
    if (head == Read::Short || !format::DecodeJournalHeader(headerBytes, journal)) return true;

    // The library's header as it stands: the original, one the call wrote, or torn.
    format::HeaderBytes current;
    const Read r = ReadExactly(libraryFd, 0, current.data(), static_cast<uint32_t>(current.size()), length);
    if (r == Read::Failed) return false;
    const bool currentSealed = r == Read::Whole && format::Verify(format::BlockKind::Header, current);
    const uint32_t currentCrc = format::Load32(current.data() + format::kHeaderCrcOffset);

    platform::OwnedBlock buffer(format::kJournalEntryHeadSize + format::kJournalEntryMaxData);
    platform::OwnedBlock stands(format::kJournalEntryMaxData);
    if (buffer.failed() || stands.failed()) return false;
    uint8_t* data = buffer.get() + format::kJournalEntryHeadSize;
    const auto next = [](uint32_t position, const format::JournalEntry& entry) {
        return position + static_cast<uint32_t>(format::kJournalEntryHeadSize) + format::StoredDataLength(entry);
    };
    // First pass: the entries that arrived whole, whether they name the file's header, and
    // from which entry on an undo that was cut short had put everything back.
    bool named = currentSealed && currentCrc == journal.headerCrc;
    bool noted = false;
    uint32_t entries = 0;
    uint32_t undoneFrom = UINT32_MAX;
    uint32_t position = format::kJournalHeaderSize;
    for (;;) {
        format::JournalEntry entry;
        const Read e = ReadEntry(journalFd, journalLength, position, journal.sequence, buffer.get(), entry);
        if (e == Read::Failed) return false;
        if (e == Read::Short) break;
        if (entry.kind == format::EntryKind::HeaderNote) {
            noted = true;
            named = named || (currentSealed && format::Load32(data) == currentCrc);
        } else if (entry.kind == format::EntryKind::Undone) {
            undoneFrom = std::min(undoneFrom, entry.offset);
        }
        ++entries;
        position = next(position, entry);
    }
    // A journal of another library, or of another state of this one, is never applied;
    // one whose call changed nothing yet (torn in its first block) has nothing to undo.
    // A header that does not verify is one the call was writing when it stopped.
    if (!(named || (!currentSealed && noted))) return true;
    const uint32_t end = position;  // where a note of the undo's progress goes
    undoneFrom = std::min(undoneFrom, entries);

    // Second pass: where each entry is, and whether undoing would change a byte. A journal
    // torn after some of its entries, before the library changed, has nothing to undo.
    platform::OwnedBlock positions(size_t{entries} * sizeof(uint32_t) + 1, platform::OwnedBlock::Unfilled{});
    if (positions.failed()) return false;
    auto* at = reinterpret_cast<uint32_t*>(positions.get());
    bool changed = length != journal.originalLength;
    position = format::kJournalHeaderSize;
    for (uint32_t i = 0; i < entries; ++i) {
        format::JournalEntry entry;
        if (ReadEntry(journalFd, journalLength, position, journal.sequence, buffer.get(), entry) != Read::Whole) return false;
        at[i] = position;
        position = next(position, entry);
        if (changed || i >= undoneFrom) continue;
        const uint32_t entryEnd = entry.offset + entry.length;
        if (entry.kind == format::EntryKind::Moved) {
            bool differ = false;
            if (Differ(libraryFd, length, format::Load32(data), entry.offset, entry.length, data, stands.get(), differ) ==
                Read::Failed) {
                return false;
            }
            changed = differ;
        } else if (entry.kind == format::EntryKind::Bytes || entry.kind == format::EntryKind::Zeros) {
            if (entry.kind == format::EntryKind::Zeros) std::memset(data, 0, entry.length);
            if (entryEnd > length) {
                changed = true;
            } else {
                const Read now = ReadExactly(libraryFd, entry.offset, stands.get(), entry.length, length);
                if (now == Read::Failed) return false;
                changed = now == Read::Short || std::memcmp(stands.get(), data, entry.length) != 0;
            }
        }
    }
    if (!changed) return true;
    hot = true;
    if (!apply) return true;

    // Last pass, newest entry first: a moved entry points at bytes that an older entry
    // puts back. Once such bytes are back, the moved entry must not run again, so each
    // applied moved entry is noted before anything older is: an undo cut short and begun
    // again goes on where it stopped.
    uint32_t note = end;
    for (uint32_t i = undoneFrom; i-- > 0;) {
        format::JournalEntry entry;
        if (ReadEntry(journalFd, journalLength, at[i], journal.sequence, buffer.get(), entry) != Read::Whole) return false;
        if (entry.kind == format::EntryKind::Bytes || entry.kind == format::EntryKind::Zeros) {
            if (entry.kind == format::EntryKind::Zeros) std::memset(data, 0, entry.length);
            if (!io::WriteAt(libraryFd, entry.offset, std::span<const uint8_t>(data, entry.length))) return false;
        } else if (entry.kind == format::EntryKind::Moved) {
            const uint32_t from = format::Load32(data);
            if (from > entry.offset - entry.length || entry.length > entry.offset) return false;
            if (!CopyDown(libraryFd, from, entry.offset, entry.length, stands.get())) return false;
            if (syncFull && !platform::SyncFile(libraryFd)) return false;
            const format::JournalEntry undone{format::EntryKind::Undone, i, 0};
            uint8_t mark[format::kJournalEntryHeadSize];
            format::EncodeJournalEntry(undone, journal.sequence, {},
                                       std::span<uint8_t, format::kJournalEntryHeadSize>(mark, sizeof mark));
            if (!io::WriteAt(journalFd, note, std::span<const uint8_t>(mark, sizeof mark))) return false;
            if (syncFull && !platform::SyncFile(journalFd)) return false;
            note += static_cast<uint32_t>(sizeof mark);
        }
    }
    if (!platform::TruncateTo(libraryFd, journal.originalLength)) return false;
    return !syncFull || platform::SyncFile(libraryFd);
}

Found InspectBeside(const char* path, int libraryFd) {
    char journalPath[kJournalPathSize];
    if (!JournalPathOf(path, journalPath)) return Found::Nothing;
    if (!platform::FileExists(journalPath)) return Found::Nothing;
    const int fd = platform::OpenRead(journalPath);
    if (fd == platform::kNoFile) return Found::Unreadable;
    bool hot = false;
    const bool read = RollBack(fd, libraryFd, false, false, hot) && platform::SeekTo(libraryFd, 0);
    platform::CloseFile(fd);
    if (!read) return Found::Unreadable;
    return hot ? Found::Hot : Found::Nothing;
}

bool RecoverBeside(const char* path, int libraryFd, bool syncFull) {
    char journalPath[kJournalPathSize];
    if (!JournalPathOf(path, journalPath)) return true;
    if (!platform::FileExists(journalPath)) return true;
    const int fd = platform::OpenWrite(journalPath);
    if (fd == platform::kNoFile) return false;
    bool hot = false;
    bool done = RollBack(fd, libraryFd, true, syncFull, hot) && platform::TruncateTo(fd, 0) &&
                platform::SeekTo(libraryFd, 0);
    if (done && syncFull) done = platform::SyncFile(fd);
    platform::CloseFile(fd);
    if (done) platform::RemoveFile(journalPath);
    return done;
}

}  // namespace varnel32::journal
