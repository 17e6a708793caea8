// Judging a library file from its bytes alone: each block verified on its own, the record
// area walked extent by extent without trusting the header, and every broken rule reported
// as "offset: block: field: expected E, found F". irlib's check, dump and salvage, the
// tests, the crash tools and the fuzzers all read files through this one walk.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "format/blocks.h"

namespace varnel32::check {

struct Violation {
    uint32_t offset = 0;       // where the block starts
    uint32_t fieldOffset = 0;  // where the field is
    std::string block;
    std::string field;
    std::string expected;
    std::string found;
};

// "offset: block: field: expected E, found F"
std::string Describe(const Violation& v);

struct BlockCheck {
    bool verifies = false;
    bool magicOk = true;  // blocks without a magic always pass this part
    uint32_t magic = 0;
    uint32_t storedCrc = 0;
    uint32_t computedCrc = 0;
};

// Checks the block of `kind` at `offset`; a block past the end of `file` does not verify.
BlockCheck CheckBlock(format::BlockKind kind, std::span<const uint8_t> file, uint64_t offset);
// The crc and magic violations of a block that did not verify.
void ReportBlock(format::BlockKind kind, const BlockCheck& check, uint32_t offset,
                 const std::string& block, std::vector<Violation>& out);

// One extent as a walk by capacity meets it. `verified`: its record header verifies and its
// capacity (at least a record header) keeps it inside the file; only then is `header` set.
struct Extent {
    uint32_t offset = 0;
    format::RecordHeader header;
    bool verified = false;
    bool deleted() const { return header.deleted != 0; }
    uint32_t end() const { return offset + header.capacity; }
};

// The extent at file offset `offset`, from `bytes`, which hold the file from offset `base`
// on; the file is `fileSize` bytes long. A header that `bytes` do not hold does not verify.
// `checksumKnown`: the caller knows the header's checksum holds; only its magic is checked.
Extent ExtentAt(std::span<const uint8_t> bytes, uint32_t base, uint32_t offset, uint64_t fileSize,
                bool checksumKnown = false);

// Visits the extents of `file` in file order from `from` by capacity until `stop`, or until
// one that does not verify (which is visited, and ends the walk), or `visit` returns false.
// Returns where the walk ended.
template <typename Visit>
uint32_t VisitExtents(std::span<const uint8_t> file, uint32_t from, uint32_t stop, Visit&& visit) {
    uint32_t p = from;
    while (p < stop) {
        const Extent x = ExtentAt(file, 0, p, file.size());
        if (!visit(x) || !x.verified) break;
        p = x.end();
    }
    return p;
}

struct EntryScan {
    uint32_t offset = 0;
    format::EntryHeader header;
};

struct ExtentScan : Extent {
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
    std::vector<ExtentScan> extents;  // in file order, all verified
    std::vector<Unreadable> gaps;
    uint32_t end = 0;  // where the last extent (or gap) ends
};

// Walks the extents from the start of the record area until `stop`; where the walk by
// capacity breaks, searches byte by byte for the next record header that verifies. A live
// extent's entries are verified one after another.
Walk WalkExtents(std::span<const uint8_t> file, uint32_t stop);

// Everything the checker found, and the file as far as it could take it apart.
struct Report {
    std::vector<Violation> violations;  // in the order found
    std::vector<std::string> notes;     // what could not be checked, and why
    bool headerVerifies = false;
    bool dirty = false;
    format::LibraryHeader header;              // as found, even when it does not verify
    Walk walk;                                 // up to dataEnd when that is usable
    std::vector<format::IndexEntry> index;     // a clean file's stored run, the entries that verify
    bool ok() const { return violations.empty(); }
};

// Checks every block and every rule of a library file: the extents tile the record area up
// to dataEnd, the counters and free slots describe them, deleted extents are blank, live
// names are unique and terminated, and a clean file's index names each live extent once.
Report Check(std::span<const uint8_t> file);

// Name fields as text (up to the terminator, or all 21 bytes when there is none).
std::string FieldText(const format::Name& name);
std::string Hex32(uint32_t value);
// ASCII letters without case, as the library compares names; at most the field's length.
bool SameName(const format::Name& a, const format::Name& b);

}  // namespace varnel32::check
