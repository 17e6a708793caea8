// The walk over the record area shared by check, dump, salvage and stats.
#include "scan.h"

#include <cstdio>
#include <cstring>
#include <fstream>

#include "format/crc32.h"
#include "format/endian.h"
#include "format/journal_blocks.h"
#include "remote_codec.h"

namespace irlib {

bool LoadFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        error = "cannot open for reading";
        return false;
    }
    const std::streamoff size = in.tellg();
    if (size < 0 || size > 0x7FFFFFFF) {
        error = "not a library file (2 GiB or larger)";
        return false;
    }
    bytes.resize(static_cast<size_t>(size));
    in.seekg(0);
    if (size > 0 && !in.read(reinterpret_cast<char*>(bytes.data()), size)) {
        error = "read failed";
        return false;
    }
    return true;
}

bool HotJournalBeside(const std::string& path) {
    std::vector<uint8_t> journal;
    std::string ignored;
    fmt::JournalHeader header;
    return LoadFile(path + "-journal", journal, ignored) && journal.size() >= fmt::kJournalHeaderSize &&
           fmt::DecodeJournalHeader(
               std::span<const uint8_t, fmt::kJournalHeaderSize>(journal.data(), fmt::kJournalHeaderSize),
               header);
}

bool LoadLibraryFile(const std::string& path, std::vector<uint8_t>& bytes,
                     fmt::LibraryHeader& header, std::string& error) {
    if (!LoadFile(path, bytes, error)) return false;
    if (!CheckBlock(fmt::BlockKind::Header, bytes, 0).verifies) {
        error = "header does not verify ('irlib check' shows why)";
        return false;
    }
    header = fmt::DecodeLibraryHeader(
        std::span<const uint8_t, fmt::kHeaderSize>(bytes.data(), fmt::kHeaderSize));
    return true;
}

BlockCheck CheckBlock(fmt::BlockKind kind, std::span<const uint8_t> file, uint64_t offset) {
    BlockCheck c;
    const fmt::BlockShape shape = fmt::ShapeOf(kind);
    if (offset > file.size() || file.size() - offset < shape.size) {
        c.magicOk = !shape.hasMagic;
        return c;
    }
    const auto block = file.subspan(static_cast<size_t>(offset), shape.size);
    c.storedCrc = varnel32::format::Load32(block.data() + shape.crcOffset);
    c.computedCrc = fmt::BlockChecksum(kind, block);
    if (shape.hasMagic) {
        c.magic = varnel32::format::Load32(block.data());
        c.magicOk = c.magic == shape.magic;
    }
    c.verifies = c.magicOk && c.storedCrc == c.computedCrc;
    return c;
}

std::string Hex32(uint32_t value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", value);
    return buf;
}

void ReportBlock(fmt::BlockKind kind, const BlockCheck& check, uint32_t offset,
                 const std::string& block, std::vector<Violation>& out) {
    const fmt::BlockShape shape = fmt::ShapeOf(kind);
    if (!check.magicOk)
        out.push_back({offset, offset, block, "magic", Hex32(shape.magic), Hex32(check.magic)});
    if (check.storedCrc != check.computedCrc)
        out.push_back({offset, offset + static_cast<uint32_t>(shape.crcOffset), block, "crc",
                       Hex32(check.computedCrc), Hex32(check.storedCrc)});
}

std::string FieldText(const fmt::Name& name) {
    return std::string(name.data(), strnlen(name.data(), name.size()));
}

std::string KindText(uint32_t kind) {
    std::string text;
    switch (kind & 0xEu) {
    case 2: text = "infrared"; break;
    case 4: text = "command"; break;
    case 8: text = "kind 8"; break;
    default: text = "unknown"; break;
    }
    if (kind & 1u) text += ", write-protected";
    return text;
}

bool SameName(const fmt::Name& a, const fmt::Name& b) {
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
        if (x == 0) return true;
    }
    return true;
}

namespace {

// A record header at `p` that the walk can stand on: it verifies and its extent has room
// for itself and stays inside the file.
bool Acceptable(std::span<const uint8_t> file, uint32_t p, std::vector<Violation>* why) {
    const BlockCheck c = CheckBlock(fmt::BlockKind::Record, file, p);
    if (!c.verifies) {
        if (why) {
            if (file.size() - p < fmt::kRecordHeaderSize) {
                why->push_back({p, p, "record header", "length", "79 bytes",
                                std::to_string(file.size() - p) + " bytes before the end of the file"});
            } else {
                ReportBlock(fmt::BlockKind::Record, c, p, "record header", *why);
            }
        }
        return false;
    }
    const uint16_t capacity = varnel32::format::Load16(file.data() + p + 10);
    if (capacity < fmt::kRecordHeaderSize || file.size() - p < capacity) {
        if (why)
            why->push_back({p, p + 10, "record header", "capacity",
                            "79 to " + std::to_string(file.size() - p) + " (the rest of the file)",
                            std::to_string(capacity)});
        return false;
    }
    return true;
}

void WalkEntries(std::span<const uint8_t> file, ExtentScan& x) {
    const fmt::RecordHeader& h = x.header;
    const uint32_t used = x.offset + h.usedSize;
    uint32_t pos = x.offset + static_cast<uint32_t>(fmt::kRecordHeaderSize);
    for (uint32_t i = 0; i < h.entryCount; ++i) {
        const std::string block = "entry header";
        if (pos + fmt::kEntryHeaderSize > x.end()) {
            x.problems.push_back({x.offset, x.offset + 12, "record header", "entryCount",
                                  std::to_string(i) + " (entries that fit the extent)",
                                  std::to_string(h.entryCount)});
            return;
        }
        const BlockCheck c = CheckBlock(fmt::BlockKind::Entry, file, pos);
        if (!c.verifies) {
            ReportBlock(fmt::BlockKind::Entry, c, pos, block, x.problems);
            return;
        }
        EntryScan e;
        e.offset = pos;
        e.header = fmt::DecodeEntryHeader(
            std::span<const uint8_t, fmt::kEntryHeaderSize>(file.data() + pos, fmt::kEntryHeaderSize));
        x.entries.push_back(e);
        pos += static_cast<uint32_t>(fmt::kEntryHeaderSize) + e.header.dataLength();
        if (pos > x.end()) {
            x.problems.push_back({e.offset, e.offset + 11, block, "dataLength",
                                  "data that ends inside the extent (by " +
                                      std::to_string(x.end()) + ")",
                                  std::to_string(e.header.dataLength())});
            return;
        }
    }
    if (pos != used)
        x.problems.push_back({x.offset, x.offset + 8, "record header", "usedSize",
                              std::to_string(pos - x.offset) + " (79 + the entries)",
                              std::to_string(h.usedSize)});
}

}  // namespace

Walk WalkExtents(std::span<const uint8_t> file, uint32_t stop) {
    Walk walk;
    if (stop > file.size()) stop = static_cast<uint32_t>(file.size());
    uint32_t p = fmt::kRecordAreaStart;
    while (p < stop) {
        Unreadable gap;
        if (Acceptable(file, p, &gap.problems)) {
            ExtentScan x;
            x.offset = p;
            x.header = fmt::DecodeRecordHeader(std::span<const uint8_t, fmt::kRecordHeaderSize>(
                file.data() + p, fmt::kRecordHeaderSize));
            if (!x.deleted()) WalkEntries(file, x);
            p = x.end();
            walk.extents.push_back(std::move(x));
            continue;
        }
        // Search on for a record header that verifies; a magic test first keeps it fast.
        gap.offset = p;
        uint32_t q = p + 1;
        for (; q < stop; ++q) {
            if (file.size() - q < fmt::kRecordHeaderSize) {
                q = stop;
                break;
            }
            if (varnel32::format::Load32(file.data() + q) == fmt::kRecordMagic &&
                Acceptable(file, q, nullptr))
                break;
        }
        gap.end = q;
        walk.gaps.push_back(std::move(gap));
        p = q;
    }
    walk.end = p;
    return walk;
}

// The RemoteRecord image of an extent whose entries all verified.
std::vector<uint8_t> RecordImage(std::span<const uint8_t> file, const ExtentScan& x) {
    size_t size = kRemoteRecordHeadSize;
    for (const EntryScan& e : x.entries) size += kHeadSize + e.header.dataLength();
    std::vector<uint8_t> image(size, 0);
    image[2] = static_cast<uint8_t>(x.entries.size());
    image[3] = static_cast<uint8_t>(x.entries.size() >> 8);
    std::memcpy(image.data() + 4, x.header.manufacturer.data(), 21);
    std::memcpy(image.data() + 25, x.header.type.data(), 21);
    std::memcpy(image.data() + 46, x.header.model.data(), 21);
    size_t pos = kRemoteRecordHeadSize;
    for (const EntryScan& e : x.entries) {
        std::memcpy(image.data() + pos, e.header.head.data(), kHeadSize);
        pos += kHeadSize;
        const size_t n = e.header.dataLength();
        if (n) std::memcpy(image.data() + pos, file.data() + e.offset + fmt::kEntryHeaderSize, n);
        pos += n;
    }
    return image;
}

}  // namespace irlib
