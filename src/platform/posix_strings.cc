// Name and path comparison on POSIX: names ignore the case of ASCII letters, as the
// library files' names always have; paths compare byte for byte because POSIX file names
// distinguish letter case, and two different files must never share one handle.
#include <cstdint>
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

// FNV-1a over the folded bytes: names equal without regard to ASCII case hash alike.
bool HashName(const char* name, uint32_t& hash) {
    uint32_t h = 2166136261u;
    for (; *name != '\0'; ++name) h = (h ^ static_cast<uint8_t>(Fold(*name))) * 16777619u;
    hash = h;
    return true;
}

}  // namespace varnel32::platform
