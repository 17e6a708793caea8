// Name and path comparison on POSIX: names ignore the case of ASCII letters, as the
// library files' names always have; paths compare byte for byte because POSIX file names
// distinguish letter case, and two different files must never share one handle.
#include <cstdint>
#include <cstring>

#include "format/names.h"
#include "platform/platform.h"

namespace varnel32::platform {

bool NamesEqual(const char* a, const char* b) { return format::NamesEqualFolded(a, b); }

bool PathsEqual(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

bool HashName(const char* name, uint32_t& hash) {
    hash = format::FoldedNameHash(name);
    return true;
}

}  // namespace varnel32::platform
