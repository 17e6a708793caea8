// Index persistence: the catalogue is kept on disk as a run of IndexEntry blocks at the
// end of the record data. It is read once when a clean file is opened and written back
// (header last, clearing the dirty flag) when a handle that changed the file is finally
// closed and at the end of a compaction.
#pragma once

#include "handle/handle.h"

namespace varnel32::index {

// Reads recordCount entries from dataEnd into the handle's (empty) tree. 1 when all were
// read, 0 at the first short read, bad checksum or refused entry; the entries before it
// stay in the tree.
int LoadCatalogueIndex(LibraryHandle* handle);

// Writes one entry per model from dataEnd on, then the header with dirty 0. 0 when the
// handle cannot write, the header does not verify, or a write is short; the header is
// then not rewritten, so the file keeps its dirty flag. Runs within a journal::Change.
int SaveCatalogueIndex(LibraryHandle* handle);

}  // namespace varnel32::index
