// Reading a journal back: whether it is hot (sealed header, and the library header it
// would put back is the one it names), and rolling it back into the library. Used by an
// open that finds a journal beside the file and by a call that undoes itself.
#include <cstring>

#include "format/block_io.h"
#include "format/endian.h"
#include "format/journal_blocks.h"
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
Read ReadEntry(int fd, uint32_t position, uint8_t* buffer, format::JournalEntry& entry) {
    const Read head = ReadExactly(fd, position, buffer, format::kJournalEntryHeadSize);
    if (head != Read::Whole) return head;
    const std::span<const uint8_t, format::kJournalEntryHeadSize> headBytes(buffer, format::kJournalEntryHeadSize);
    if (!format::DecodeJournalEntryHead(headBytes, entry)) return Read::Short;
    const uint32_t stored = format::StoredDataLength(entry);
    uint8_t* data = buffer + format::kJournalEntryHeadSize;
    if (stored != 0) {
        const Read body = ReadExactly(fd, position + static_cast<uint32_t>(format::kJournalEntryHeadSize), data, stored);
        if (body != Read::Whole) return body;
    }
    return format::JournalEntrySealed(headBytes, std::span<const uint8_t>(data, stored)) ? Read::Whole : Read::Short;
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

    platform::OwnedBlock buffer(format::kJournalEntryHeadSize + format::kJournalEntryMaxData);
    if (buffer.failed()) return false;
    uint8_t* data = buffer.get() + format::kJournalEntryHeadSize;
    // First pass: the entries that arrived whole, and the library header they put back.
    format::HeaderBytes libraryHeader;
    bool headerInJournal = false;
    uint32_t entries = 0;
    uint32_t position = format::kJournalHeaderSize;
    for (;;) {
        format::JournalEntry entry;
        const Read r = ReadEntry(journalFd, position, buffer.get(), entry);
        if (r == Read::Failed) return false;
        if (r == Read::Short) break;
        if (entry.offset == 0 && entry.length == format::kHeaderSize && !entry.zeros) {
            std::memcpy(libraryHeader.data(), data, format::kHeaderSize);
            headerInJournal = true;
        }
        ++entries;
        position += static_cast<uint32_t>(format::kJournalEntryHeadSize) + format::StoredDataLength(entry);
    }
    if (!headerInJournal) {
        const Read r = ReadExactly(libraryFd, 0, libraryHeader.data(), static_cast<uint32_t>(libraryHeader.size()));
        if (r == Read::Failed) return false;
        if (r == Read::Short) return true;
    }
    // A journal of another library, or of another state of this one, is never applied.
    if (!format::Verify(format::BlockKind::Header, libraryHeader) ||
        format::Load32(libraryHeader.data() + 4) != journal.headerCrc ||
        format::DecodeLibraryHeader(libraryHeader).kind != journal.kind) {
        return true;
    }
    hot = true;
    if (!apply) return true;

    // Second pass: the ranges never overlap, so the order does not matter.
    position = format::kJournalHeaderSize;
    for (uint32_t i = 0; i < entries; ++i) {
        format::JournalEntry entry;
        if (ReadEntry(journalFd, position, buffer.get(), entry) != Read::Whole) return false;
        if (entry.zeros) std::memset(data, 0, entry.length);
        if (!format::WriteAt(libraryFd, entry.offset, std::span<const uint8_t>(data, entry.length))) return false;
        position += static_cast<uint32_t>(format::kJournalEntryHeadSize) + format::StoredDataLength(entry);
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
