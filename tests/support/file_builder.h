// Library files laid out byte by byte from the format code: sealed record headers, entries,
// deleted extents listed in free slots, stored index runs and dirty flags, whole or damaged,
// so that opening and repair can be checked against files the API cannot make.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "format/blocks.h"
#include "handle/catalogue.h"
#include "handle/handle.h"
#include "support/test_support.h"

namespace varnel32::test {

struct BuiltExtent {
    uint32_t offset = 0;
    uint16_t capacity = 0;
    bool deleted = false;
};

class FileBuilder {
public:
    explicit FileBuilder(uint32_t kind = 2);

    // Appends a live record with these name fields and entries, followed by `spare` bytes of
    // a pattern that differs per record (so a move that drops or shifts them shows). Its key
    // joins the stored index run. Returns the extent's offset.
    uint32_t AddLive(const format::Name& manufacturer, const format::Name& type,
                     const format::Name& model, const std::vector<Entry>& entries = {},
                     uint16_t spare = 16);
    uint32_t AddLive(const std::string& manufacturer, const std::string& type,
                     const std::string& model, const std::vector<Entry>& entries = {},
                     uint16_t spare = 16);
    // Appends a blank deleted extent of `capacity` bytes, listed in the lowest empty slot.
    uint32_t AddDeleted(uint16_t capacity);

    // The whole file: sealed header, record area, sealed index run.
    Bytes Build() const;
    void WriteTo(const std::string& path) const;

    // Free to tamper with before Build(): the counters follow the Add calls.
    format::LibraryHeader header;
    std::vector<format::IndexEntry> index;  // the stored run, in file order
    std::vector<BuiltExtent> extents;
    Bytes area;  // the record area, from offset 1570

private:
    uint32_t seed_ = 1;
};

// The bytes of a sealed header.
Bytes SealedHeader(const format::LibraryHeader& header);

Bytes Slice(const Bytes& file, size_t offset, size_t length);

// "manufacturer/type/model@offset" for every model of a tree, or of a run, in order.
std::vector<std::string> KeysOf(const index::CatalogueIndex& tree);
std::vector<std::string> KeysOf(const std::vector<format::IndexEntry>& run);
std::string KeyOf(const format::IndexEntry& entry);

// The user-interface calls recorded since the last ClearUiEvents, one word each:
// "load" (the wait cursor, id 32514), "wait" and "user" (SetCursor with the wait cursor or
// with the cursor the fixture set), "set:other", "beep:<value>" and
// "box:<owner>:<caption>:<style>:<text>", joined by spaces.
std::string UiTrace(const void* userCursor);
// The trace of a call that showed only its busy cursor.
inline const char* kBusyOnly = "load wait user";

// The base fixture with the trace of the user-interface calls at hand.
class FileTest : public LibraryTest {
protected:
    static std::string Trace() { return UiTrace(kUserCursor); }
};

// The kind of index key the tree operations take.
format::IndexEntry Key(const std::string& manufacturer, const std::string& type,
                       const std::string& model, uint32_t offset = 0);

}  // namespace varnel32::test
