// Storing one remote (a parsed .ir file with its relative path) in an open library, as import
// and put do: names shortened, a name already taken by a different remote never reused,
// a remote too large for one record split into parts, and everything that was shortened
// or renamed reported back. Also finding the parts of a stored remote again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "irfile.h"
#include "library.h"
#include "names.h"
#include "remote_codec.h"

namespace irlib {

struct Shortened {
    std::string level;  // "type", "manufacturer", "model" or "button"
    std::string original;
    std::string stored;
};

struct Collision {
    std::string wanted;     // the model name the remote would have had
    std::string stored;     // the one it got
    std::string otherPath;  // the remote that holds the wanted name
};

struct StoreResult {
    CatalogueNames stored;  // the names of part 1
    std::vector<std::string> partModels;
    std::vector<Shortened> shortened;
    std::vector<Collision> collisions;
    bool replaced = false;  // the same path was in the library before
    size_t signals = 0;
    size_t comments = 0;
};

// Stores `file` under names derived from `originals`, remembering `path` for export.
// `limit` is the largest used size a record may have (65535 minus the extra space).
// False with `error` set when nothing (or, after a failed write, not everything) could be
// stored; parts written by this call are then deleted again.
bool StoreRemote(Library& library, const std::string& path, const CatalogueNames& originals,
                 const IrFile& file, size_t limit, StoreResult& result, std::string& error);

struct StoredPart {
    std::string model;  // stored name
    uint16_t part = 1;
    uint16_t parts = 1;
};

// The records under (manufacturer, type) that belong to the remote with this path.
std::vector<StoredPart> FindParts(const Library& library, const std::string& manufacturer,
                                  const std::string& type, const std::string& path);

}  // namespace irlib
