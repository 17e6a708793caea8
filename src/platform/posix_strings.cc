// Name and path comparison on POSIX: names ignore the case of ASCII letters, as the
// library files' names always have; paths compare byte for byte because POSIX file names
// distinguish letter case, and two different files must never share one handle.
#include <cstring>

#include "platform/platform.h"

namespace varnel32::platform {
namespace {
char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

bool NamesEqual(const char* a, const char* b) {
    for (;; ++a, ++b) {
        if (Fold(*a) != Fold(*b)) return false;
        if (*a == '\0') return true;
    }
}

bool PathsEqual(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

}  // namespace varnel32::platform
