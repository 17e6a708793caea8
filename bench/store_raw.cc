// The floor: what any store of these records has to do at least. Records are appended to
// one data file and found through a hash map (names lower-cased) of offsets and sizes,
// which is written to an index file beside it at close and read back in one call at open;
// a fetch is one pread, a rewrite one append, a delete forgets the key, and compaction
// copies the live records to a new file.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <unordered_map>

#include "format/blocks.h"
#include "stores.h"

namespace bench {
namespace {

struct Place {
    uint64_t offset;
    uint32_t size;
};

struct Maker {
    std::string name;
    std::vector<std::pair<std::string, std::vector<std::string>>> types;
};

struct State {
    int fd = -1;
    std::string path;
    uint64_t end = 0;
    std::unordered_map<std::string, Place> places;
    std::vector<std::string> keys;  // in insertion order, for the index file and browsing
    std::vector<Maker> catalogue;
};

std::string Key(const std::string& m, const std::string& t, const std::string& mo) {
    return Folded(m) + '\x01' + Folded(t) + '\x01' + Folded(mo);
}

std::string IndexPath(const std::string& path) { return path + ".index"; }

// Groups the keys by maker and type in the order first seen, as a listing shows them.
void BuildCatalogue(State* s) {
    std::unordered_map<std::string, size_t> makerAt;
    std::unordered_map<std::string, size_t> typeAt;
    s->catalogue.clear();
    for (const std::string& key : s->keys) {
        const size_t a = key.find('\x01'), b = key.find('\x01', a + 1);
        const std::string m = key.substr(0, a), t = key.substr(a + 1, b - a - 1);
        auto [mi, newMaker] = makerAt.try_emplace(m, s->catalogue.size());
        if (newMaker) s->catalogue.push_back({m, {}});
        Maker& maker = s->catalogue[mi->second];
        auto [ti, newType] = typeAt.try_emplace(key.substr(0, b), maker.types.size());
        if (newType) maker.types.push_back({t, {}});
        maker.types[ti->second].second.push_back(key.substr(b + 1));
    }
}

bool Open(void* self, const std::string& path) {
    auto* s = static_cast<State*>(self);
    s->path = path;
    s->fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0600);
    if (s->fd < 0) return false;
    s->end = static_cast<uint64_t>(::lseek(s->fd, 0, SEEK_END));
    const int index = ::open(IndexPath(path).c_str(), O_RDONLY);
    if (index < 0) return true;
    const off_t length = ::lseek(index, 0, SEEK_END);
    std::string bytes(static_cast<size_t>(length), '\0');
    const bool read = ::pread(index, bytes.data(), bytes.size(), 0) == length;
    ::close(index);
    if (!read) return false;
    // Each entry: offset (8), size (4), key length (1), key.
    for (size_t at = 0; at + 13 <= bytes.size();) {
        Place p;
        std::memcpy(&p.offset, bytes.data() + at, 8);
        std::memcpy(&p.size, bytes.data() + at + 8, 4);
        const auto length8 = static_cast<uint8_t>(bytes[at + 12]);
        std::string key = bytes.substr(at + 13, length8);
        at += 13 + length8;
        s->places.emplace(key, p);
        s->keys.push_back(std::move(key));
    }
    BuildCatalogue(s);
    return true;
}

void Close(void* self) {
    auto* s = static_cast<State*>(self);
    std::string bytes;
    for (const std::string& key : s->keys) {
        const auto it = s->places.find(key);
        if (it == s->places.end()) continue;
        bytes.append(reinterpret_cast<const char*>(&it->second.offset), 8);
        bytes.append(reinterpret_cast<const char*>(&it->second.size), 4);
        bytes.push_back(static_cast<char>(key.size()));
        bytes.append(key);
    }
    const int index = ::open(IndexPath(s->path).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (index >= 0) {
        if (::write(index, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::abort();
        ::close(index);
    }
    if (s->fd >= 0) ::close(s->fd);
    *s = State{};
}

bool Append(State* s, const std::string& key, const std::vector<uint8_t>& image) {
    if (::pwrite(s->fd, image.data(), image.size(), static_cast<off_t>(s->end)) != static_cast<ssize_t>(image.size()))
        return false;
    auto [it, added] = s->places.insert_or_assign(key, Place{s->end, static_cast<uint32_t>(image.size())});
    if (added) s->keys.push_back(key);
    s->end += image.size();
    return true;
}

void Unlink(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove(path, ec);
    std::filesystem::remove(IndexPath(path), ec);
}

bool Load(void* self, const std::string& path, const Dataset& data) {
    Unlink(path);
    if (!Open(self, path)) return false;
    bool ok = true;
    for (const Record& r : data.records)
        ok = Append(static_cast<State*>(self), Key(r.manufacturer, r.type, r.model), r.image) && ok;
    Close(self);
    return ok;
}

size_t Browse(void* self) {
    auto* s = static_cast<State*>(self);
    const auto list = [](size_t count, const auto& nameOf) {
        namespace fmt = varnel32::format;
        const auto at = [](size_t i) { return fmt::kNameListNamesOffset + fmt::NAME_FIELD_SIZE * i; };
        auto* block = static_cast<char*>(std::calloc(1, at(count)));
        for (size_t i = 0; i < count; ++i) {
            const std::string& n = nameOf(i);
            std::memcpy(block + at(i), n.data(), std::min<size_t>(n.size(), fmt::NAME_FIELD_SIZE - 1));
        }
        std::free(block);
        return count;
    };
    size_t names = list(s->catalogue.size(), [&](size_t i) -> const std::string& { return s->catalogue[i].name; });
    for (const Maker& m : s->catalogue) {
        names += list(m.types.size(), [&](size_t i) -> const std::string& { return m.types[i].first; });
        for (const auto& t : m.types)
            names += list(t.second.size(), [&](size_t i) -> const std::string& { return t.second[i]; });
    }
    return names;
}

size_t Fetch(void* self, const Record& r) {
    auto* s = static_cast<State*>(self);
    const auto it = s->places.find(Key(r.manufacturer, r.type, r.model));
    if (it == s->places.end()) return 0;
    void* block = std::malloc(it->second.size);
    const ssize_t n = ::pread(s->fd, block, it->second.size, static_cast<off_t>(it->second.offset));
    std::free(block);
    return n == static_cast<ssize_t>(it->second.size) ? it->second.size : 0;
}

bool Exists(void* self, const std::string& m, const std::string& t, const std::string& mo) {
    return static_cast<State*>(self)->places.count(Key(m, t, mo)) == 1;
}

bool Write(void* self, const Record& r, const std::vector<uint8_t>& image) {
    return Append(static_cast<State*>(self), Key(r.manufacturer, r.type, r.model), image);
}

bool Remove(void* self, const Record& r) {
    return static_cast<State*>(self)->places.erase(Key(r.manufacturer, r.type, r.model)) == 1;
}

// Copies the live records, in file order, to a new file that replaces the old one.
bool Compact(void* self) {
    auto* s = static_cast<State*>(self);
    std::vector<std::pair<uint64_t, Place*>> order;
    for (auto& [key, place] : s->places) order.push_back({place.offset, &place});
    std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    const std::string copy = s->path + ".compact";
    const int out = ::open(copy.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (out < 0) return false;
    std::vector<uint8_t> buffer;
    uint64_t end = 0;
    for (auto& [offset, place] : order) {
        buffer.resize(place->size);
        if (::pread(s->fd, buffer.data(), place->size, static_cast<off_t>(offset)) != static_cast<ssize_t>(place->size) ||
            ::write(out, buffer.data(), place->size) != static_cast<ssize_t>(place->size))
            return false;
        place->offset = end;
        end += place->size;
    }
    ::close(s->fd);
    s->fd = out;
    s->end = end;
    std::error_code ec;
    std::filesystem::rename(copy, s->path, ec);
    return !ec;
}

}  // namespace

Store RawFileStore() {
    return {"raw file",
            [] { return static_cast<void*>(new State); },
            [](void* self) { delete static_cast<State*>(self); },
            Load, Open, Browse, Fetch, Exists, Write, Remove, Compact, Close, Unlink};
}

}  // namespace bench
