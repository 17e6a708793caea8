// Name fields and the ASCII case folding that name comparisons use.
#include "format/names.h"

#include <algorithm>
#include <cstring>

namespace varnel32::format {

Name NameFromString(const char* text) {
    Name name{};
    for (size_t i = 0; i < NAME_FIELD_SIZE; ++i) {
        name[i] = text[i];
        if (text[i] == '\0') break;
    }
    return name;
}

bool HasTerminator(const char* field) {
    return std::memchr(field, 0, NAME_FIELD_SIZE) != nullptr;
}

bool HasTerminator(const Name& name) { return HasTerminator(name.data()); }

bool CopyNameField(const char* field, Name& out) {
    std::copy(field, field + NAME_FIELD_SIZE, out.begin());
    return HasTerminator(out);
}

bool NamesEqualFolded(const char* a, const char* b) {
    for (;; ++a, ++b) {
        if (FoldCase(*a) != FoldCase(*b)) return false;
        if (*a == '\0') return true;
    }
}

uint32_t FoldedNameHash(const char* name) {
    uint32_t h = 2166136261u;
    for (; *name != '\0'; ++name) h = (h ^ static_cast<uint8_t>(FoldCase(*name))) * 16777619u;
    return h;
}

}  // namespace varnel32::format
