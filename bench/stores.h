// What the comparison benchmark runs against: the records of one data set and the stores
// that hold them (this library, SQLite, LMDB and a raw-file floor), each with the same
// operations, so that one driver times every phase the same way for all of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct Record {
    std::string manufacturer, type, model;
    std::vector<uint8_t> image;      // the RemoteRecord image IRWriteRemoteRecord takes
    std::vector<uint8_t> grown;      // the same record with its entries' data 30% longer
};

struct Dataset {
    std::string name;
    std::vector<Record> records;
    size_t listings = 0;  // manufacturer list + one type list per maker + one model list per type
};

// The synthetic set: `count` records of 5 entries of 30 data bytes, 1000 manufacturers,
// 5 types each, models numbered.
Dataset SyntheticDataset(size_t count);
// The records of a directory of .ir files as irlib imports them; false (and why) when
// the directory or the tool is missing.
bool SampleDataset(const std::string& directory, const std::string& irlib, const std::string& scratch,
                   Dataset& out, std::string& why);

// One store's operations. Every store opens one file at `path` (LMDB adds its lock file,
// the raw floor an index file beside it). Each call returns false on a failure; fetches
// return the bytes that came back (0: not found).
struct Store {
    const char* name;
    void* (*create)();
    void (*destroy)(void* self);
    bool (*load)(void* self, const std::string& path, const Dataset& data);  // create, fill, close
    bool (*open)(void* self, const std::string& path);
    size_t (*browse)(void* self);  // every listing; returns the names listed
    size_t (*fetch)(void* self, const Record& r);
    bool (*exists)(void* self, const std::string& m, const std::string& t, const std::string& mo);
    bool (*write)(void* self, const Record& r, const std::vector<uint8_t>& image);
    bool (*remove)(void* self, const Record& r);
    bool (*compact)(void* self);
    void (*close)(void* self);
    void (*unlink)(const std::string& path);
};

Store Varnel32Store();
Store SqliteStore();
Store LmdbStore();
Store RawFileStore();

// Names as the RemoteRecord image stores them: lower-cased, for stores that match keys
// exactly but should find them without regard to letter case, like this library.
std::string Folded(const std::string& name);

}  // namespace bench
