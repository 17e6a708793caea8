// LMDB as a benchmark store: one file (no subdirectory), no sync, every change its own
// write transaction. Keys are the three lower-cased names joined by 0x01, so that lookups
// ignore letter case as this library's do and a key range holds one maker or one type.
#include <lmdb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "stores.h"

namespace bench {
namespace {

struct State {
    MDB_env* env = nullptr;
    MDB_dbi dbi = 0;
    MDB_txn* reader = nullptr;  // one read transaction spans a phase of lookups
    std::string path;
};

std::string Key(const std::string& m, const std::string& t, const std::string& mo) {
    return Folded(m) + '\x01' + Folded(t) + '\x01' + Folded(mo);
}

MDB_val Val(const std::string& s) { return {s.size(), const_cast<char*>(s.data())}; }

void EndRead(State* s) {
    if (s->reader != nullptr) mdb_txn_abort(s->reader);
    s->reader = nullptr;
}

MDB_txn* Reader(State* s) {
    if (s->reader == nullptr) mdb_txn_begin(s->env, nullptr, MDB_RDONLY, &s->reader);
    return s->reader;
}

bool Open(void* self, const std::string& path) {
    auto* s = static_cast<State*>(self);
    s->path = path;
    if (mdb_env_create(&s->env) != 0) return false;
    mdb_env_set_mapsize(s->env, size_t{8} << 30);
    if (mdb_env_open(s->env, path.c_str(), MDB_NOSUBDIR | MDB_NOSYNC, 0600) != 0) return false;
    MDB_txn* txn = nullptr;
    if (mdb_txn_begin(s->env, nullptr, 0, &txn) != 0) return false;
    if (mdb_dbi_open(txn, nullptr, 0, &s->dbi) != 0) return false;
    return mdb_txn_commit(txn) == 0;
}

void Close(void* self) {
    auto* s = static_cast<State*>(self);
    EndRead(s);
    if (s->env != nullptr) mdb_env_close(s->env);
    s->env = nullptr;
}

bool Change(State* s, const std::string& key, const std::vector<uint8_t>* image) {
    EndRead(s);
    MDB_txn* txn = nullptr;
    if (mdb_txn_begin(s->env, nullptr, 0, &txn) != 0) return false;
    MDB_val k = Val(key);
    int rc;
    if (image != nullptr) {
        MDB_val v{image->size(), const_cast<uint8_t*>(image->data())};
        rc = mdb_put(txn, s->dbi, &k, &v, 0);
    } else {
        rc = mdb_del(txn, s->dbi, &k, nullptr);
    }
    if (rc != 0) {
        mdb_txn_abort(txn);
        return false;
    }
    return mdb_txn_commit(txn) == 0;
}

void Unlink(const std::string& path) {
    std::error_code ec;
    for (const char* suffix : {"", "-lock"}) std::filesystem::remove(path + suffix, ec);
}

bool Load(void* self, const std::string& path, const Dataset& data) {
    Unlink(path);
    if (!Open(self, path)) return false;
    bool ok = true;
    for (const Record& r : data.records)
        ok = Change(static_cast<State*>(self), Key(r.manufacturer, r.type, r.model), &r.image) && ok;
    Close(self);
    return ok;
}

// The distinct next field of the keys that start with `prefix`, each listed once: a seek
// past each one's range finds the next.
std::vector<std::string> Distinct(MDB_cursor* c, const std::string& prefix, bool last) {
    std::vector<std::string> out;
    std::string seek = prefix;
    MDB_val k = Val(seek), v;
    // LMDB takes no empty key: the whole range starts at the first key.
    int rc = mdb_cursor_get(c, &k, &v, prefix.empty() ? MDB_FIRST : MDB_SET_RANGE);
    while (rc == 0) {
        const std::string key(static_cast<const char*>(k.mv_data), k.mv_size);
        if (key.compare(0, prefix.size(), prefix) != 0) break;
        const size_t end = last ? key.size() : key.find('\x01', prefix.size());
        out.push_back(key.substr(prefix.size(), end - prefix.size()));
        if (last) {
            rc = mdb_cursor_get(c, &k, &v, MDB_NEXT);
        } else {
            seek = key.substr(0, end) + '\x02';
            k = Val(seek);
            rc = mdb_cursor_get(c, &k, &v, MDB_SET_RANGE);
        }
    }
    return out;
}

size_t Browse(void* self) {
    auto* s = static_cast<State*>(self);
    MDB_cursor* c = nullptr;
    if (mdb_cursor_open(Reader(s), s->dbi, &c) != 0) return 0;
    const auto makers = Distinct(c, "", false);
    size_t names = makers.size();
    for (const std::string& m : makers) {
        const auto types = Distinct(c, m + '\x01', false);
        names += types.size();
        for (const std::string& t : types) names += Distinct(c, m + '\x01' + t + '\x01', true).size();
    }
    mdb_cursor_close(c);
    return names;
}

size_t Fetch(void* self, const Record& r) {
    auto* s = static_cast<State*>(self);
    const std::string key = Key(r.manufacturer, r.type, r.model);
    MDB_val k = Val(key), v;
    if (mdb_get(Reader(s), s->dbi, &k, &v) != 0) return 0;
    void* copy = std::malloc(v.mv_size);
    std::memcpy(copy, v.mv_data, v.mv_size);
    std::free(copy);
    return v.mv_size;
}

bool Exists(void* self, const std::string& m, const std::string& t, const std::string& mo) {
    auto* s = static_cast<State*>(self);
    const std::string key = Key(m, t, mo);
    MDB_val k = Val(key), v;
    return mdb_get(Reader(s), s->dbi, &k, &v) == 0;
}

bool Write(void* self, const Record& r, const std::vector<uint8_t>& image) {
    return Change(static_cast<State*>(self), Key(r.manufacturer, r.type, r.model), &image);
}

bool Remove(void* self, const Record& r) {
    return Change(static_cast<State*>(self), Key(r.manufacturer, r.type, r.model), nullptr);
}

// A compacting copy to a new file that then replaces the old one.
bool Compact(void* self) {
    auto* s = static_cast<State*>(self);
    EndRead(s);
    const std::string path = s->path, copy = s->path + ".compact";
    std::error_code ec;
    std::filesystem::remove(copy, ec);
    if (mdb_env_copy2(s->env, copy.c_str(), MDB_CP_COMPACT) != 0) return false;
    Close(self);
    std::filesystem::rename(copy, path, ec);
    return !ec && Open(self, path);
}

}  // namespace

Store LmdbStore() {
    return {"LMDB",
            [] { return static_cast<void*>(new State); },
            [](void* self) { delete static_cast<State*>(self); },
            Load, Open, Browse, Fetch, Exists, Write, Remove, Compact, Close, Unlink};
}

}  // namespace bench
