// What the reliability checks share: record images built from a seed, reading a library's
// whole contents through the exports, and judging a file after a failure or a crash by one
// rule (opens clean, or recovers for writing; nothing lost). No GoogleTest here: the
// fuzzers link it as well as the test suite.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "format/blocks.h"
#include "varnel32.h"

namespace varnel32::reliability {

using Bytes = std::vector<uint8_t>;

// A RemoteRecord image: the three names and one entry per length, with head bytes and
// data derived from `seed`.
Bytes MakeRecord(const std::string& manufacturer, const std::string& type,
                 const std::string& model, uint32_t seed, const std::vector<uint16_t>& lengths);
// What IRFetchRemoteRecord returns once `record` is stored: usedSize filled in and
// 12 + 8 * entryCount zero bytes at the end.
Bytes FetchImageOf(const Bytes& record);

// Records are told apart by their names without regard to letter case: "m/t/model".
std::string KeyOf(const std::string& manufacturer, const std::string& type,
                  const std::string& model);
std::string KeyOfRecord(const Bytes& record);
// The three 21-byte name fields of a key (zero-filled after the name).
struct NameFields {
    format::Name manufacturer{}, type{}, model{};
};
NameFields FieldsOf(const std::string& key);

bool WriteRecord(LibraryHandle* handle, const Bytes& record);
bool DeleteRecord(LibraryHandle* handle, const std::string& key);

// Calls `visit` with the name fields (as the listings return them) and the key of every
// model that the three listings reach, in catalogue order.
void ForEachListed(LibraryHandle* handle,
                   const std::function<void(const NameFields&, const std::string& key)>& visit);
// Everything a handle can reach: every listed model fetched. A record that is listed but
// cannot be fetched maps to an empty block.
using Contents = std::map<std::string, Bytes>;
Contents ReadContents(LibraryHandle* handle);

// A library file as it stands and what it holds.
struct Library {
    Bytes file;
    Contents contents;
    Bytes journal;  // a hot journal beside the file, when not empty
};
// The starting points of the reliability checks, built at `path` through the exports
// (an empty file on failure). Main: seven live records over three manufacturers and two
// deleted extents ("sony/tv/old-1", 243 bytes, and "grundig/sat/old-2", 95 bytes), written
// with kSmallExtraSpace. Nearly full: 254 occupied free slots between four live records
// "live/tv/l1".."l4", so that one more deletion compacts the file. Dirty: the main library
// with "sony/tv/kv-9" written and the handle never closed.
inline constexpr uint16_t kSmallExtraSpace = 16;
// Any other: `records` written in turn with `extraSpace`, then the keys `deleted` removed.
Library BuildLibrary(const std::string& path, uint16_t extraSpace, const std::vector<Bytes>& records,
                     const std::vector<std::string>& deleted);
Library MakeMainLibrary(const std::string& path);
Library MakeNearlyFullLibrary(const std::string& path);
Library MakeDirtyLibrary(const std::string& path, const Library& main);
// What a read-only open of `path` reaches (empty when it cannot be opened).
Contents ContentsOf(const std::string& path);

Bytes ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const Bytes& bytes);

// What the file checker finds wrong with `file`: empty when nothing, else the first violation
// and how many there are.
std::string Violations(const Bytes& file);

enum class Outcome { Clean, Repaired, Unrecoverable };
const char* OutcomeName(Outcome outcome);
// What became of the one record the operation wrote or deleted.
enum class TouchedState { None, Old, New, Absent, Unreadable, Torn };
const char* TouchedName(TouchedState state);

// What the file held before the operation, and what the operation meant to change.
struct Expectation {
    Contents before;
    std::string touched;  // key of the record written or deleted; empty for none
    Bytes after;          // the touched record's fetch image once written; empty for a delete
};

struct Verdict {
    Outcome outcome = Outcome::Unrecoverable;
    TouchedState touched = TouchedState::None;
    std::string lost;    // non-empty: a record the operation did not touch was lost or changed
    std::string latent;  // non-empty: opened clean, but a later compaction failed or changed it
};

// Opens `path` read-only, as a new process would; when that is refused because the file
// is dirty or has a hot journal, opens it for writing (the undo and the repair) and reads
// it again. A file that opened clean is compacted and must hold the same: damage that only
// a later compaction would trip over shows up there. Changes the file.
Verdict Examine(const std::string& path, const Expectation& expectation);

// What breaks the rule that every failed or interrupted call is judged by: the next open
// for writing succeeds, every record the call did not touch is there byte for byte, the
// one in flight is old or new, and the file then opens read-only, clean. Empty: it holds.
std::string Broken(const Verdict& verdict);

}  // namespace varnel32::reliability
