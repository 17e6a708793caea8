// Reading a journal back: whether it is hot (a sealed header; the library's header is the
// one the journal names or one it noted the call writing; and undoing would change a byte
// or the length), and rolling it back into the library. Used by an
// open that finds a journal beside the file and by a call that undoes itself.
#include <cstring>

#include "format/endian.h"
#include "format/journal_blocks.h"
#include "handle/block_io.h"
#include "journal/journal.h"
#include "platform/owned_block.h"

namespace varnel32::journal {
namespace {

enum class Read { Whole, Short, Failed };

Read ReadExactly(int fd, uint32_t offset, uint8_t* out, uint32_t size) {
    if (!platform::SeekTo(fd, offset)) return Read::Failed;
    const int32_t n = platform::ReadBytes(fd, out, size);
    if (n < 0) return Read::Failed;
    return static_cast<uint32_t>(n) == size ? Read::Whole : Read::Short;
}

// Reads the entry at `position` into `buffer` (head, then data). Whole only when it is
// complete and sealed.
Read ReadEntry(int fd, uint32_t position, uint32_t sequence, uint8_t* buffer, format::JournalEntry& entry) {
    const Read head = ReadExactly(fd, position, buffer, format::kJournalEntryHeadSize);
    if (head != Read::Whole) return head;
    const std::span<const uint8_t, format::kJournalEntryHeadSize> headBytes(buffer, format::kJournalEntryHeadSize);
    if (!format::DecodeJournalEntryHead(headBytes, entry)) return Read::Short;
    const uint32_t stored = format::StoredDataLength(entry);
    uint8_t* data = buffer + format::kJournalEntryHeadSize;
    if (stored != 0) {
        const auto at = position + static_cast<uint32_t>(format::kJournalEntryHeadSize);
        const Read body = ReadExactly(fd, at, data, stored);
        if (body != Read::Whole) return body;
    }
    return format::JournalEntrySealed(headBytes, sequence, std::span<const uint8_t>(data, stored)) ? Read::Whole
                                                                                                : Read::Short;
}

}  // namespace

bool RollBack(int journalFd, int libraryFd, bool apply, bool syncFull, bool& hot) {
    hot = false;
    format::JournalHeaderBytes headerBytes;
    format::JournalHeader journal;
    const Read head = ReadExactly(journalFd, 0, headerBytes.data(), static_cast<uint32_t>(headerBytes.size()));
    if (head == Read::Failed) return false;
    // No sealed header: nothing of the library changed before this journal was torn.
    if (head == Read::Short || !format::DecodeJournalHeader(headerBytes, journal)) return true;

    // The library's header as it stands: the original, one the call wrote, or torn.
    format::HeaderBytes current;
    const Read r = ReadExactly(libraryFd, 0, current.data(), static_cast<uint32_t>(current.size()));
    if (r == Read::Failed) return false;
    const bool currentSealed = r == Read::Whole && format::Verify(format::BlockKind::Header, current);
    const uint32_t currentCrc = format::Load32(current.data() + format::kHeaderCrcOffset);
    uint32_t length = 0;
    if (!platform::FileLength(libraryFd, length)) return false;

    platform::OwnedBlock buffer(format::kJournalEntryHeadSize + format::kJournalEntryMaxData);
    platform::OwnedBlock stands(format::kJournalEntryMaxData);
    if (buffer.failed() || stands.failed()) return false;
    uint8_t* data = buffer.get() + format::kJournalEntryHeadSize;
    // First pass: the entries that arrived whole, and whether they name the file's header.
    bool named = currentSealed && currentCrc == journal.headerCrc;
    bool noted = false;
    uint32_t entries = 0;
    bool changed = length != journal.originalLength;
    uint32_t position = format::kJournalHeaderSize;
    for (;;) {
        format::JournalEntry entry;
        const Read e = ReadEntry(journalFd, position, journal.sequence, buffer.get(), entry);
        if (e == Read::Failed) return false;
        if (e == Read::Short) break;
        if (entry.kind == format::EntryKind::HeaderNote) {
            noted = true;
            named = named || (currentSealed && format::Load32(data) == currentCrc);
        } else if (!changed) {
            // Whether the bytes differ from the copy: a journal torn after some of its
            // entries, before the library changed, has nothing to undo.
            if (entry.kind == format::EntryKind::Zeros) std::memset(data, 0, entry.length);
            const uint32_t end = entry.offset + entry.length;
            if (end > length) {
                changed = true;
            } else {
                const Read now = ReadExactly(libraryFd, entry.offset, stands.get(), entry.length);
                if (now == Read::Failed) return false;
                changed = now == Read::Short || std::memcmp(stands.get(), data, entry.length) != 0;
            }
        }
        ++entries;
        position += static_cast<uint32_t>(format::kJournalEntryHeadSize) + format::StoredDataLength(entry);
    }
    // A journal of another library, or of another state of this one, is never applied;
    // one whose call changed nothing yet (torn in its first block) has nothing to undo.
    // A header that does not verify is one the call was writing when it stopped.
    if (!(named || (!currentSealed && noted))) return true;
    if (!changed) return true;
    hot = true;
    if (!apply) return true;

    // Second pass: the ranges never overlap, so the order does not matter.
    position = format::kJournalHeaderSize;
    for (uint32_t i = 0; i < entries; ++i) {
        format::JournalEntry entry;
        if (ReadEntry(journalFd, position, journal.sequence, buffer.get(), entry) != Read::Whole) return false;
        position += static_cast<uint32_t>(format::kJournalEntryHeadSize) + format::StoredDataLength(entry);
        if (entry.kind == format::EntryKind::HeaderNote) continue;
        if (entry.kind == format::EntryKind::Zeros) std::memset(data, 0, entry.length);
        if (!io::WriteAt(libraryFd, entry.offset, std::span<const uint8_t>(data, entry.length))) return false;
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
