// Library files as bytes: a block encoded and sealed again in place, so that a test breaks
// one field of a file and leaves its checksums right, and the keys of index runs and trees.
#pragma once

#include "format/blocks.h"
#include "handle/catalogue.h"
#include "handle/handle.h"
#include "support/test_support.h"

namespace varnel32::test {

// `file`, grown when it is shorter, with `block` encoded and sealed at `at`.
Bytes Resealed(Bytes file, size_t at, const format::LibraryHeader& block);
Bytes Resealed(Bytes file, size_t at, const format::RecordHeader& block);
Bytes Resealed(Bytes file, size_t at, const format::EntryHeader& block);
Bytes Resealed(Bytes file, size_t at, const format::IndexEntry& block);
inline Bytes SealedHeader(const format::LibraryHeader& header) { return Resealed({}, 0, header); }

// "manufacturer/type/model@offset" for every model of a tree, or of a run, in order.
std::vector<std::string> KeysOf(const index::CatalogueIndex& tree);
std::vector<std::string> KeysOf(const std::vector<format::IndexEntry>& run);

// The kind of index key the tree operations take.
format::IndexEntry Key(const std::string& manufacturer, const std::string& type,
                       const std::string& model, uint32_t offset = 0);

}  // namespace varnel32::test
