// A whole remote as library records: the RemoteRecord image that IRWriteRemoteRecord takes,
// the split of a remote too large for one record into parts, and the way back from a
// fetched record to its signals, its original names and its path.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "irfile.h"
#include "names.h"
#include "signal_codec.h"

namespace irlib {

inline constexpr size_t kMaxRecordSize = fmt::kMaxRecordSize;
inline constexpr size_t kRemoteRecordHeadSize = fmt::kRemoteHeadSize;

// The bytes a record with these entries takes in the file (its used size).
size_t StoredSize(const std::vector<Entry>& entries);

// The RemoteRecord image of a record; names must already be at most 20 bytes.
std::vector<uint8_t> BuildRecordImage(const CatalogueNames& names,
                                      const std::vector<Entry>& entries);

// Splits `items` into consecutive parts that each fit `limit` bytes together with a
// record header and `reservedBytes` more (the #remote entry). False when a single item is
// too large for any record; `error` then says which.
bool SplitEntries(const std::vector<Entry>& items, size_t limit, size_t reservedBytes,
                  std::vector<std::vector<Entry>>& parts, std::string& error);

struct RawEntry {
    std::span<const uint8_t, kHeadSize> head;
    std::span<const uint8_t> data;
};

// The entries of a RemoteRecord image, bounds-checked against `size`.
bool SplitRecordImage(std::span<const uint8_t> image, CatalogueNames& names,
                      std::vector<RawEntry>& entries, std::string& error);

struct DecodedRemote {
    CatalogueNames stored;    // the record's own name fields
    bool hasInfo = false;
    RemoteInfo info;          // filled in: originals, path, header lines, part numbers
    IrFile file;              // header lines and the items of this record
    std::vector<RawEntry> entries;
};

// Decodes a fetched record. False when an entry is not one of ours or is malformed;
// `error` names the entry.
bool DecodeRemote(std::span<const uint8_t> image, DecodedRemote& out, std::string& error);

}  // namespace irlib
