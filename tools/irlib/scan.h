// Reading a library file below the API, for check, dump, salvage and stats: the whole file
// in memory, each block verified on its own, and the record area walked extent by extent
// without trusting the header. Where the walk by capacity breaks, it searches byte by byte
// for the next record header that verifies.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "format/blocks.h"

namespace irlib {

namespace fmt = varnel32::format;

struct Violation {
    uint32_t offset = 0;       // where the block starts
    uint32_t fieldOffset = 0;  // where the field is
    std::string block;
    std::string field;
    std::string expected;
    std::string found;
};

bool LoadFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error);
// A journal beside `path` whose header verifies: a changing call was cut short, and the
// next open for writing undoes it (reading the file through the API is refused until then).
bool HotJournalBeside(const std::string& path);
// LoadFile, then the header: false with `error` set when the file cannot be read or its
// header does not verify; otherwise `header` holds the decoded header.
bool LoadLibraryFile(const std::string& path, std::vector<uint8_t>& bytes,
                     fmt::LibraryHeader& header, std::string& error);

struct BlockCheck {
    bool verifies = false;
    bool magicOk = true;  // blocks without a magic always pass this part
    uint32_t magic = 0;
    uint32_t storedCrc = 0;
    uint32_t computedCrc = 0;
};

// Checks the block of `kind` at `offset`; a block past the end of `file` does not verify.
BlockCheck CheckBlock(fmt::BlockKind kind, std::span<const uint8_t> file, uint64_t offset);

// The crc and magic violations of a block that did not verify.
void ReportBlock(fmt::BlockKind kind, const BlockCheck& check, uint32_t offset,
                 const std::string& block, std::vector<Violation>& out);

struct EntryScan {
    uint32_t offset = 0;
    fmt::EntryHeader header;
};

struct ExtentScan {
    uint32_t offset = 0;
    fmt::RecordHeader header;
    bool deleted() const { return header.deleted != 0; }
    uint32_t end() const { return offset + header.capacity; }
    // Live extents: the entries that verified, in order, and what is wrong with the rest.
    std::vector<EntryScan> entries;
    std::vector<Violation> problems;
};

struct Unreadable {
    uint32_t offset = 0;  // where a record header was expected
    uint32_t end = 0;     // the next verifying record header, or where the walk stopped
    std::vector<Violation> problems;  // why the expected header was refused
};

struct Walk {
    std::vector<ExtentScan> extents;  // in file order
    std::vector<Unreadable> gaps;
    uint32_t end = 0;  // where the last extent (or gap) ends
};

// Walks the extents from 1570 on until `stop`. An extent is accepted when its record header
// verifies and its capacity (at least 79) stays inside the file; a live extent's entries
// are then verified one after another.
Walk WalkExtents(std::span<const uint8_t> file, uint32_t stop);

// The RemoteRecord image of a live extent, from the entries that verified.
std::vector<uint8_t> RecordImage(std::span<const uint8_t> file, const ExtentScan& extent);

// Name fields as text (up to the terminator, or all 21 bytes when there is none).
std::string FieldText(const fmt::Name& name);
std::string Hex32(uint32_t value);
std::string KindText(uint32_t kind);
// ASCII letters without case, as the library compares names.
bool SameName(const fmt::Name& a, const fmt::Name& b);

}  // namespace irlib
