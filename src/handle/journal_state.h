// What a handle keeps about its rollback journal between and during changing calls. A
// fresh handle holds it all zero; handle.h embeds it, journal/journal.h works on it.
#pragma once

#include <cstdint>

#include "format/blocks.h"
#include "format/journal_blocks.h"
#include "platform/platform.h"

namespace varnel32::journal {

// A range of library bytes [begin, end) whose original content is in the journal.
struct Range {
    uint32_t begin;
    uint32_t end;
};

// Original bytes [begin, end) that a move put `shift` bytes lower, where they stay until
// the call ends.
struct Relocation {
    uint32_t begin;
    uint32_t end;
    uint32_t shift;
};

struct JournalState {
    int descriptor;      // the journal file, while `open`
    bool open;
    bool syncFull;       // VARNEL32_SYNC=full when the handle was opened
    bool active;         // a changing call is under way
    bool started;        // ... and the journal header is on its way to the file
    bool headerKnown;    // originalHeader holds the header as the call found it
    bool stuck;          // an undo failed: the journal stays hot for the next open
    bool lengthKnown;
    bool cutPending;
    // cachedHeader holds the library's header as it stands in the file. The handle writes
    // alone (readers and writers exclude each other), so its own writes are the only
    // change: set by every verified read and header write, dropped by every other write
    // to the header's bytes and by every undo.
    bool headerCached;
    uint32_t modifiedBefore;  // the handle's flag when the call began
    uint32_t length;          // the library file's length as this handle left it
    uint32_t originalLength;  // ... and as the call found it
    uint32_t staleFrom;       // original bytes from here on do not matter: no copy
    uint32_t cutLength;
    uint32_t sequence;        // of the call under way: seals its entries
    uint32_t position;        // where its next journal block goes
    format::HeaderBytes originalHeader;
    format::HeaderBytes cachedHeader;
    format::JournalHeaderBytes journalHeader;  // as the call's journal begins
    Range* covered;  // sorted, disjoint
    uint32_t coveredCount, coveredCapacity;
    Relocation* moved;  // sorted, disjoint, by original place
    uint32_t movedCount, movedCapacity;
    // Where the moved bytes now stand, [pinnedBegin, pinnedEnd): the journal points there
    // instead of holding copies, so nothing else may write there until the call ends.
    uint32_t pinnedBegin, pinnedEnd;
    // The record area from its start to here holds only live extents that the handle's
    // last compaction verified and found spelled as the tree's nodes, and nothing has
    // written there since (0: nothing known). Every write and undo lowers it.
    uint32_t packedEnd;
    // Every record header in the file is one the handle's last compaction verified or one
    // the handle wrote itself since (it holds the file alone), so that a compaction need
    // not compute their checksums again. An undo clears it.
    bool headersVerified;
    // The library file as the handle's last compaction mapped it, kept for the next one
    // where the system lets a mapped file change its length: the pages then stay mapped.
    platform::FileView view;
    uint8_t* pending;  // journal blocks not yet written
    uint32_t pendingSize, pendingCapacity;
};

inline void ReleaseJournalMemory(JournalState& s) {
    platform::UnmapView(s.view);
    platform::Release(s.covered);
    platform::Release(s.moved);
    platform::Release(s.pending);
    s.covered = nullptr;
    s.moved = nullptr;
    s.pending = nullptr;
    s.coveredCapacity = s.movedCapacity = s.pendingCapacity = 0;
}

}  // namespace varnel32::journal
