// What the reliability checks share: record images built from a seed, whole-library reads
// through the exports, and the starting libraries of the fault sweep. No GoogleTest here:
// the fuzzers link it as well as the test suite.
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

// A RemoteRecord image: the three names and one entry per length, head and data from `seed`.
Bytes MakeRecord(const std::string& manufacturer, const std::string& type,
                 const std::string& model, uint32_t seed, const std::vector<uint16_t>& lengths);
// What IRFetchRemoteRecord returns once `record` is stored.
Bytes FetchImageOf(const Bytes& record);

// Records are told apart by their names without regard to letter case: "m/t/model".
std::string KeyOf(const std::string& manufacturer, const std::string& type, const std::string& model);
std::string KeyOfRecord(const Bytes& record);
struct NameFields { format::Name manufacturer{}, type{}, model{}; };
NameFields FieldsOf(const std::string& key);

bool WriteRecord(LibraryHandle* handle, const Bytes& record);
bool DeleteRecord(LibraryHandle* handle, const std::string& key);

// Calls `visit` with the name fields, as the listings return them, and the key of every
// model that the three listings reach, in catalogue order.
void ForEachListed(LibraryHandle* handle,
                   const std::function<void(const NameFields&, const std::string& key)>& visit);
// Every listed model fetched; one that is listed but does not fetch maps to an empty block.
using Contents = std::map<std::string, Bytes>;
Contents ReadContents(LibraryHandle* handle);
// What a read-only open of `path` reaches (empty when it cannot be opened).
Contents ContentsOf(const std::string& path);

// A library file as it stands, what it holds, and a hot journal beside it (when not empty).
struct Library { Bytes file; Contents contents; Bytes journal; };
// Built at `path` through the exports (empty on failure): `records` written in turn with
// `extraSpace`, then the keys `deleted` removed. Main: seven live records over three
// manufacturers and two deleted extents ("sony/tv/old-1", 243 bytes, "grundig/sat/old-2",
// 95 bytes). Nearly full: 254 occupied free slots between four live records
// "live/tv/l1".."l4", so that one more deletion compacts the file. Dirty: the main library
// with "sony/tv/kv-9" written and the handle never closed.
inline constexpr uint16_t kSmallExtraSpace = 16;  // the main and the dirty library's
Library BuildLibrary(const std::string& path, uint16_t extraSpace, const std::vector<Bytes>& records,
                     const std::vector<std::string>& deleted);
Library MakeMainLibrary(const std::string& path);
Library MakeNearlyFullLibrary(const std::string& path);
Library MakeDirtyLibrary(const std::string& path, const Library& main);

Bytes ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const Bytes& bytes);
// What the file checker finds wrong with `file`: empty, or the first violation and how many.
std::string Violations(const Bytes& file);

}  // namespace varnel32::reliability
