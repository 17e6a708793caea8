// The signals of a whole library as codes, for find and dupes: every record read once, each
// parsed signal taken as its canonical code and each raw one decoded where it can be.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "library.h"
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

// Every record of the library, in library order. Records that do not read or decode are
// counted in `unreadable`.
std::vector<StoredRemote> ReadAllRemotes(const Library& library, size_t& unreadable);

}  // namespace irlib
