// The signals of a whole library as codes, for find and dupes: every record read once, each
// parsed signal taken as its canonical code and each raw one decoded where it can be.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "protocols.h"

namespace irlib {

struct Button {
    std::string name;
    bool decoded = false;  // `code` holds its code; otherwise `raw` is all there is
    Code code;
    const Signal* raw = nullptr;  // the raw signal, for a match by timing
};

struct StoredRemote {
    std::string manufacturer, type, model;  // original names (a split remote: per part)
    std::string path;
    IrFile file;
    std::vector<Button> buttons;
};

// Calls `visit` with every record of the library at `path`, in file order. The library is opened for reading
// (so a dirty file is refused and writers are kept out) and the file is then read in one
// go and walked extent by extent: fetching 9000 records one by one costs a read per entry.
// Records that do not verify or decode are counted in `unreadable`.
bool ForEachRemote(const std::string& path, const std::function<void(const StoredRemote&)>& visit,
                   size_t& unreadable, std::string& error);

}  // namespace irlib
