// Compaction and index rebuild: packs the live records from the end of the header on,
// drops deleted extents, cuts the file and saves a catalogue that matches the records
// themselves (the handle's own, rearranged, when it spells them as they do). Serves
// IRCompactLibrary, the repair of a dirty file at open, and the deletion that fills the
// free-slot table.
#pragma once

#include "handle/handle.h"

namespace varnel32::maintenance {

// 1 on success (also when there is nothing to do), 0 on failure. Shows no cursor, takes no
// lock; the caller made sure the handle may write.
int CompactLibraryFile(LibraryHandle* handle);

}  // namespace varnel32::maintenance
