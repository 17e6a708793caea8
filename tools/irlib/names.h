// Names in a library are at most 20 bytes; names in IR collections are not. This file owns
// the one deterministic shortening rule, the mapping of a file's relative path to type,
// manufacturer and model, and the path a remote is exported to.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "format/names.h"

namespace irlib {

namespace fmt = varnel32::format;

inline constexpr size_t kMaxName = fmt::NAME_FIELD_SIZE - 1;
// The manufacturer (or type) of a file that sits too high in the tree to have one.
inline constexpr std::string_view kNoName = "(none)";

// FNV-1a, 32 bits: the hash behind every shortened name. Fixed forever, since names that
// it produced are stored in library files.
uint32_t Fnv1a(std::string_view text);

// The first bytes of `text`, at most `limit`, never cutting a UTF-8 sequence in two.
std::string_view Prefix(std::string_view text, size_t limit);

// `base + suffix` when that fits in 20 bytes and `forceHash` is false; otherwise the prefix
// of `base` that leaves room for "~hhhh" + suffix, then "~", four hex digits of
// Fnv1a(hashInput) folded to 16 bits, then the suffix.
std::string FitName(std::string_view base, std::string_view suffix, std::string_view hashInput,
                    bool forceHash = false);

// The stored form of a name: itself when it fits, else FitName(name, "", name).
std::string ShortenName(std::string_view name);

struct CatalogueNames {
    std::string type;
    std::string manufacturer;
    std::string model;
};

// <Type>/<Manufacturer>/<dirs>/<Model>.ir -> type, manufacturer, "dirs/Model" (originals,
// not shortened). One component: type and manufacturer are "(none)"; two: manufacturer is.
CatalogueNames NamesFromPath(std::string_view relativePath);

// The path that the names give back: <type>/<manufacturer>/<model>.ir. A remote whose path
// differs from this keeps its path in its record.
std::string DefaultPath(const CatalogueNames& names);

// True for a relative path made only of ordinary components (no "", ".", ".." or NUL), so
// that an export can never write outside its directory.
bool IsSafeRelativePath(std::string_view path);

// `path` with every unsafe component replaced by "_" and a leading "/" dropped.
std::string SafeRelativePath(std::string_view path);

}  // namespace irlib
