// Space management: where a record image goes (in place, first free slot that fits, or
// appended) and how a stored record is turned into a blank deleted extent listed in the
// free-slot table. Both keep the header's counters, slots and dirty flag right.
#pragma once

#include <cstdint>
#include <span>

#include "format/blocks.h"
#include "handle/handle.h"

namespace varnel32::records {

// Compacts the file when a deletion has filled the free-slot table, within the caller's
// journalled change: 1 on success, 0 on failure. Space management says when; the caller
// supplies the compaction (maintenance/), which this layer does not call itself.
using Compactor = int (*)(LibraryHandle* handle);

// Chooses the place for a record with these names and used size, whose capacity the
// caller computed. Returns the offset and sets `capacity` to the capacity of the place, or
// returns 0 on failure.
uint32_t FindRecordSpace(LibraryHandle* handle, const format::RecordHeader& image,
                         uint16_t& capacity, Compactor compact);

enum class DeleteResult {
    NotListed,       // failed before the extent was listed as free: the record still counts
    Deleted,         // blank and listed; a compaction that was due succeeded
    ListedButFailed, // listed, but a later step (the blank write, the due compaction)
                     // failed; the call undoes it
};

// Blanks the extent at `offset` (a record offset from the index) and lists it as free,
// running `compact` when this fills the 255th slot. `stored`: the file's bytes from
// `offset` on as the caller read them in this call, at least the record header, and the
// whole extent or up to the end of the file, when it has them (empty: read here).
DeleteResult DeleteRecordAtOffset(LibraryHandle* handle, uint32_t offset, Compactor compact,
                                  std::span<const uint8_t> stored = {});

}  // namespace varnel32::records
