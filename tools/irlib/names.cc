// Shortening, path mapping and path safety for names that cross between IR collections on
// disk and the 20-byte fields of a library.
#include "names.h"

#include <cstdio>
#include <vector>

namespace irlib {
namespace {

std::vector<std::string_view> Components(std::string_view path) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string_view::npos) slash = path.size();
        parts.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
}

bool SafeComponent(std::string_view c) {
    return !c.empty() && c != "." && c != ".." && c.find('\0') == std::string_view::npos;
}

}  // namespace

uint32_t Fnv1a(std::string_view text) {
    uint32_t h = 2166136261u;
    for (char c : text) {
        h ^= static_cast<uint8_t>(c);
        h *= 16777619u;
    }
    return h;
}

std::string_view Prefix(std::string_view text, size_t limit) {
    if (text.size() <= limit) return text;
    size_t n = limit;
    // Step back over continuation bytes (10xxxxxx) so the cut lands before a lead byte.
    while (n > 0 && (static_cast<uint8_t>(text[n]) & 0xC0) == 0x80) --n;
    return text.substr(0, n);
}

std::string FitName(std::string_view base, std::string_view suffix, std::string_view hashInput,
                    bool forceHash) {
    if (!forceHash && base.size() + suffix.size() <= kMaxName)
        return std::string(base) + std::string(suffix);
    const uint32_t h = Fnv1a(hashInput);
    char tag[8];
    std::snprintf(tag, sizeof tag, "~%04x", static_cast<unsigned>((h ^ (h >> 16)) & 0xFFFFu));
    // The suffixes in use ("+2" for a second part) are short; a long one is cut to fit.
    suffix = suffix.substr(0, kMaxName - 5);
    const size_t room = kMaxName - 5 - suffix.size();
    return std::string(Prefix(base, room)) + tag + std::string(suffix);
}

std::string ShortenName(std::string_view name) {
    if (name.size() <= kMaxName) return std::string(name);
    return FitName(name, "", name);
}

CatalogueNames NamesFromPath(std::string_view relativePath) {
    auto parts = Components(relativePath);
    std::string_view file = parts.back();
    if (file.size() > 3 && (file.substr(file.size() - 3) == ".ir" ||
                            file.substr(file.size() - 3) == ".IR"))
        file.remove_suffix(3);
    CatalogueNames names;
    if (parts.size() == 1) {
        names.type = names.manufacturer = std::string(kNoName);
        names.model = std::string(file);
    } else if (parts.size() == 2) {
        names.type = std::string(parts[0]);
        names.manufacturer = std::string(kNoName);
        names.model = std::string(file);
    } else {
        names.type = std::string(parts[0]);
        names.manufacturer = std::string(parts[1]);
        for (size_t i = 2; i + 1 < parts.size(); ++i) names.model += std::string(parts[i]) + "/";
        names.model += std::string(file);
    }
    return names;
}

std::string DefaultPath(const CatalogueNames& names) {
    return names.type + "/" + names.manufacturer + "/" + names.model + ".ir";
}

bool IsSafeRelativePath(std::string_view path) {
    if (path.empty() || path.front() == '/') return false;
    for (std::string_view c : Components(path))
        if (!SafeComponent(c)) return false;
    return true;
}

std::string SafeRelativePath(std::string_view path) {
    while (!path.empty() && path.front() == '/') path.remove_prefix(1);
    std::string out;
    for (std::string_view c : Components(path)) {
        if (!out.empty()) out += '/';
        if (SafeComponent(c)) {
            out += std::string(c);
        } else {
            out += '_';
        }
    }
    return out;
}

}  // namespace irlib
