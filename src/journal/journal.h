// The rollback journal beside a library file ("<library path>-journal"). Before a changing
// call alters a byte of the library that recovery needs, the byte's original value reaches
// the journal; the call's commit empties the journal. A call that fails undoes itself from
// it, and the next open for writing undoes a call that a crash cut short. Bytes a
// compaction moves lower are not copied: the journal notes where they went. Bytes appended
// past the file's original end, a dirty file's stale index and the blank bodies of deleted
// extents need no copy: undoing cuts the file back, and nothing reads the others.
#pragma once

#include <cstdint>
#include <span>

#include "format/blocks.h"
#include "handle/handle.h"

namespace varnel32::journal {

inline constexpr size_t kJournalPathSize = kHandlePathSize + 8;
// "<library path>-journal"; false when the path is too long.
bool JournalPathOf(const char* libraryPath, char (&out)[kJournalPathSize]);

// True when VARNEL32_SYNC=full asks for flushes: read once per open.
bool SyncRequested();

// One changing call: all of it reaches the file, or none of it.
class Change {
public:
    explicit Change(LibraryHandle* handle);
    ~Change();  // a call that did not commit is undone
    Change(const Change&) = delete;
    Change& operator=(const Change&) = delete;

    // The commit point. With VARNEL32_SYNC=full the library is flushed first. false: the
    // journal could not be emptied, and the call was undone instead.
    bool Commit();
    // Puts back what the call changed. false: the undo failed, the journal stays hot and
    // the handle changes nothing more (the next open finishes the undo).
    bool Undo();

private:
    LibraryHandle* handle_;
};

// Within a Change. The first header read of a call is what the call found, and is what
// an undo puts back. Outside one (the tests of the parts) writes and cuts go straight to
// the file; every export that changes the file opens a Change.
bool ReadHeader(LibraryHandle* handle, format::HeaderBytes& bytes, format::LibraryHeader& header);
// Writes after the original bytes of the range are safe in the journal.
bool WriteAt(LibraryHandle* handle, uint32_t offset, std::span<const uint8_t> bytes);
// Writes at `to` the bytes the caller read at `from` (above it) during this call; when the
// source is whole after the write and held the call's original bytes, the journal later
// points at `to` for the original of [from, from + length) instead of copying it. Nothing
// else of the call may then write over [to, to + length): such a write fails.
bool MoveDown(LibraryHandle* handle, uint32_t to, std::span<const uint8_t> bytes, uint32_t from);
bool WriteHeader(LibraryHandle* handle, const format::LibraryHeader& header);
// Copies the original bytes of a range that the caller will write itself; with `flush`
// false the copy goes out with the next journalled write instead of at once.
bool Protect(LibraryHandle* handle, uint32_t offset, uint32_t length, bool flush = true);
// The same, from bytes the caller read at `offset` during this call, before any change to
// them; `zeros`: the blank body of a deleted extent.
bool ProtectRead(LibraryHandle* handle, uint32_t offset, std::span<const uint8_t> original);
bool ProtectZeros(LibraryHandle* handle, uint32_t offset, uint32_t length);
// The library file's length as this handle's writes left it (asked of the system once).
bool LibraryLength(LibraryHandle* handle, uint32_t& length);
// Tells the journal that the caller wrote up to `end` itself.
void NoteWritten(LibraryHandle* handle, uint32_t end);
// Cuts the file to `length` once the call committed: cut earlier, the bytes beyond would
// have to be copied first. A failed cut leaves bytes that nothing reads.
void CutAfterCommit(LibraryHandle* handle, uint32_t length);

// How far the record area is as the handle's last compaction packed and verified it (see
// JournalState::packedEnd), and whether the file holds only record headers known to
// verify (JournalState::headersVerified). A compaction that walked the whole area notes
// both.
uint32_t PackedEnd(const LibraryHandle* handle);
bool HeadersVerified(const LibraryHandle* handle);
void NotePacked(LibraryHandle* handle, uint32_t end);

// At the handle's last close: closes the journal and removes it, unless an undo failed.
void CloseJournal(LibraryHandle* handle);

// ---- At open (recovery.cc) ------------------------------------------------------------
enum class Found { Nothing, Hot, Unreadable };
// Whether the journal beside `path` (if any) undoes a call on the library open at
// `libraryFd`. Reads only.
Found InspectBeside(const char* path, int libraryFd);
// Undoes the call that a hot journal beside `path` records, then removes the journal; a
// torn or foreign journal is only removed. false: a journal is there and could not be
// applied or removed, so the library must not be changed.
bool RecoverBeside(const char* path, int libraryFd, bool syncFull);
// Reads the journal at `journalFd`. `hot`: it undoes a call on the library at `libraryFd`;
// with `apply` the original bytes then go back and the library is cut to its original
// length. false on a failed read or write.
bool RollBack(int journalFd, int libraryFd, bool apply, bool syncFull, bool& hot);

}  // namespace varnel32::journal
