// Names of manufacturers, types and models in their fixed 21-byte fields: copying them in
// and out, the terminator test, and the one ASCII case folding by which names compare
// (the library's lookups, irlib and the tests alike).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "varnel32.h"

namespace varnel32::format {

inline constexpr size_t NAME_FIELD_SIZE = IR_NAME_FIELD_SIZE;

using Name = std::array<char, NAME_FIELD_SIZE>;

// Copies a name into a fixed field the way the index does: up to and including the
// terminator, at most 21 bytes, the rest zero.
Name NameFromString(const char* text);
// True when the field holds a terminator, that is a name of at most 20 characters.
bool HasTerminator(const Name& name);
bool HasTerminator(const char* field);  // a 21-byte field
// Copies a caller's whole 21-byte field; false when it holds no terminator.
bool CopyNameField(const char* field, Name& out);

// ASCII letters to lower case; every other byte is itself.
inline char FoldCase(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
// Zero-terminated names equal with ASCII letters of either case counted equal.
bool NamesEqualFolded(const char* a, const char* b);
// FNV-1a over the folded bytes: names that NamesEqualFolded finds equal hash alike.
uint32_t FoldedNameHash(const char* name);

}  // namespace varnel32::format
