// SQLite as a benchmark store: one table keyed by the three names without regard to
// letter case (NOCASE), the record image as a blob; WAL journal, synchronous off, every
// change its own transaction as every call of this library is on its own.
#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "stores.h"

namespace bench {
namespace {

struct State {
    sqlite3* db = nullptr;
    sqlite3_stmt *put = nullptr, *get = nullptr, *has = nullptr, *del = nullptr;
    sqlite3_stmt *makers = nullptr, *types = nullptr, *models = nullptr;
};

bool Exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

void Bind(sqlite3_stmt* s, const std::string& m, const std::string& t, const std::string& mo) {
    sqlite3_reset(s);
    sqlite3_bind_text(s, 1, m.c_str(), static_cast<int>(m.size()), SQLITE_STATIC);
    sqlite3_bind_text(s, 2, t.c_str(), static_cast<int>(t.size()), SQLITE_STATIC);
    sqlite3_bind_text(s, 3, mo.c_str(), static_cast<int>(mo.size()), SQLITE_STATIC);
}

bool Open(void* self, const std::string& path) {
    auto* s = static_cast<State*>(self);
    if (sqlite3_open_v2(path.c_str(), &s->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
        return false;
    if (!Exec(s->db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF;") ||
        !Exec(s->db, "CREATE TABLE IF NOT EXISTS records (manufacturer TEXT COLLATE NOCASE, "
                     "type TEXT COLLATE NOCASE, model TEXT COLLATE NOCASE, data BLOB, "
                     "PRIMARY KEY (manufacturer, type, model))"))
        return false;
    const auto prepare = [&](const char* sql, sqlite3_stmt** out) {
        return sqlite3_prepare_v2(s->db, sql, -1, out, nullptr) == SQLITE_OK;
    };
    return prepare("INSERT OR REPLACE INTO records VALUES (?1, ?2, ?3, ?4)", &s->put) &&
           prepare("SELECT data FROM records WHERE manufacturer=?1 AND type=?2 AND model=?3", &s->get) &&
           prepare("SELECT 1 FROM records WHERE manufacturer=?1 AND type=?2 AND model=?3", &s->has) &&
           prepare("DELETE FROM records WHERE manufacturer=?1 AND type=?2 AND model=?3", &s->del) &&
           prepare("SELECT DISTINCT manufacturer FROM records", &s->makers) &&
           prepare("SELECT DISTINCT type FROM records WHERE manufacturer=?1", &s->types) &&
           prepare("SELECT model FROM records WHERE manufacturer=?1 AND type=?2", &s->models);
}

void Close(void* self) {
    auto* s = static_cast<State*>(self);
    for (sqlite3_stmt* st : {s->put, s->get, s->has, s->del, s->makers, s->types, s->models}) sqlite3_finalize(st);
    sqlite3_close(s->db);
    *s = State{};
}

bool Put(State* s, const Record& r, const std::vector<uint8_t>& image) {
    Bind(s->put, r.manufacturer, r.type, r.model);
    sqlite3_bind_blob(s->put, 4, image.data(), static_cast<int>(image.size()), SQLITE_STATIC);
    return sqlite3_step(s->put) == SQLITE_DONE;
}

void Unlink(const std::string& path) {
    std::error_code ec;
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix, ec);
}

bool Load(void* self, const std::string& path, const Dataset& data) {
    Unlink(path);
    if (!Open(self, path)) return false;
    bool ok = true;
    for (const Record& r : data.records) ok = Put(static_cast<State*>(self), r, r.image) && ok;
    Close(self);
    return ok;
}

std::vector<std::string> Column(sqlite3_stmt* s) {
    std::vector<std::string> out;
    while (sqlite3_step(s) == SQLITE_ROW) out.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)));
    return out;
}

size_t Browse(void* self) {
    auto* s = static_cast<State*>(self);
    sqlite3_reset(s->makers);
    const auto makers = Column(s->makers);
    size_t names = makers.size();
    for (const std::string& m : makers) {
        sqlite3_reset(s->types);
        sqlite3_bind_text(s->types, 1, m.c_str(), -1, SQLITE_STATIC);
        const auto types = Column(s->types);
        names += types.size();
        for (const std::string& t : types) {
            Bind(s->models, m, t, "");
            names += Column(s->models).size();
        }
    }
    return names;
}

size_t Fetch(void* self, const Record& r) {
    auto* s = static_cast<State*>(self);
    Bind(s->get, r.manufacturer, r.type, r.model);
    if (sqlite3_step(s->get) != SQLITE_ROW) return 0;
    const auto n = static_cast<size_t>(sqlite3_column_bytes(s->get, 0));
    void* copy = std::malloc(n);
    std::memcpy(copy, sqlite3_column_blob(s->get, 0), n);
    std::free(copy);
    return n;
}

bool Exists(void* self, const std::string& m, const std::string& t, const std::string& mo) {
    auto* s = static_cast<State*>(self);
    Bind(s->has, m, t, mo);
    return sqlite3_step(s->has) == SQLITE_ROW;
}

bool Write(void* self, const Record& r, const std::vector<uint8_t>& image) {
    return Put(static_cast<State*>(self), r, image);
}

bool Remove(void* self, const Record& r) {
    auto* s = static_cast<State*>(self);
    Bind(s->del, r.manufacturer, r.type, r.model);
    return sqlite3_step(s->del) == SQLITE_DONE && sqlite3_changes(s->db) == 1;
}

// VACUUM needs every statement finished, or it fails with "SQL statements in progress".
bool Compact(void* self) {
    auto* s = static_cast<State*>(self);
    for (sqlite3_stmt* st : {s->put, s->get, s->has, s->del, s->makers, s->types, s->models}) sqlite3_reset(st);
    return Exec(s->db, "VACUUM");
}

}  // namespace

Store SqliteStore() {
    return {"SQLite",
            [] { return static_cast<void*>(new State); },
            [](void* self) { delete static_cast<State*>(self); },
            Load, Open, Browse, Fetch, Exists, Write, Remove, Compact, Close, Unlink};
}

}  // namespace bench
