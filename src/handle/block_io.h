// Reading and writing whole blocks on a library file: every read verifies the block before
// any field is decoded, every write seals the block just before it goes out. These are the
// block actions that opening, index persistence, the record store and compaction share
// (namespace io), through the platform layer.
#pragma once

#include <cstdint>
#include <span>

#include "format/blocks.h"

namespace varnel32::io {

// Reads exactly `out.size()` bytes at `offset`; false on a failure or a short read.
bool ReadAt(int fd, uint32_t offset, std::span<uint8_t> out);
// Writes all of `bytes` at `offset`; false on a failure or a short write.
bool WriteAt(int fd, uint32_t offset, std::span<const uint8_t> bytes);

// Reads and verifies the header; `bytes` then hold it as stored.
bool ReadHeader(int fd, format::HeaderBytes& bytes, format::LibraryHeader& header);
// Encodes, seals and writes the header at offset 0.
bool WriteHeader(int fd, const format::LibraryHeader& header);

// Reads and verifies the format::RecordHeader of the extent at `offset`.
bool ReadRecordHeader(int fd, uint32_t offset, format::RecordHeader& header);

}  // namespace varnel32::io
