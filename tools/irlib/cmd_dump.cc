// dump: the blocks of a library file in file order, for people debugging a file: header,
// occupied free slots, each extent with its entries, unreadable stretches, the index run
// and the tail, each with its offset and whether its checksum verifies.
#include <cstdio>

#include "cli.h"
#include "describe.h"
#include "scan.h"

namespace irlib {
namespace {

const char* Verdict(const BlockCheck& c) {
    if (c.verifies) return "ok";
    return c.magicOk ? "BAD CRC" : "BAD MAGIC";
}

}  // namespace

int RunDump(const Args& args) {
    const std::string& file = args.positional[0];
    std::vector<uint8_t> bytes;
    std::string error;
    if (!LoadFile(file, bytes, error)) return Fail(file, error);
    const uint64_t size = bytes.size();
    std::printf("file %s, %llu bytes\n", file.c_str(), static_cast<unsigned long long>(size));
    if (size < fmt::kHeaderSize) return Fail(file, "shorter than a header (" + std::to_string(fmt::kHeaderSize) + " bytes)");

    const BlockCheck hc = CheckBlock(fmt::BlockKind::Header, bytes, 0);
    const auto h = fmt::DecodeLibraryHeader(std::span<const uint8_t, fmt::kHeaderSize>(bytes.data(), fmt::kHeaderSize));
    std::printf("@0 header  crc %s (%s)  magic %s\n", Hex32(h.crc).c_str(), Verdict(hc), Hex32(h.magic).c_str());
    std::printf("   recordCount %u  freeSlotCount %u  freeBytes %u  dataEnd %u  kind %u (%s)  dirty %u  reserved %u\n",
                h.recordCount, h.freeSlotCount, h.freeBytes, h.dataEnd, h.kind, KindText(h.kind).c_str(),
                h.dirty, h.reserved);
    for (size_t i = 0; i < h.freeSlots.size(); ++i)
        if (h.freeSlots[i].offset != 0 || h.freeSlots[i].size != 0)
            std::printf("@%zu free slot %zu  offset %u  size %u\n", fmt::kFreeSlotsOffset + fmt::kFreeSlotSize * i, i,
                        h.freeSlots[i].offset, h.freeSlots[i].size);

    const bool endOk = h.dataEnd >= fmt::kRecordAreaStart && h.dataEnd <= size;
    const Walk walk = WalkExtents(bytes, endOk ? h.dataEnd : static_cast<uint32_t>(size));
    size_t gap = 0;
    for (const ExtentScan& x : walk.extents) {
        while (gap < walk.gaps.size() && walk.gaps[gap].offset < x.offset) {
            const Unreadable& g = walk.gaps[gap++];
            std::printf("@%u unreadable  %u bytes (no record header verifies)\n", g.offset, g.end - g.offset);
        }
        const fmt::RecordHeader& r = x.header;
        if (x.deleted()) {
            std::printf("@%u extent  deleted  capacity %u  crc ok\n", x.offset, r.capacity);
            continue;
        }
        std::printf("@%u extent  live  capacity %u  usedSize %u  entries %u  \"%s\" / \"%s\" / \"%s\"  crc ok\n",
                    x.offset, r.capacity, r.usedSize, r.entryCount, FieldText(r.manufacturer).c_str(),
                    FieldText(r.type).c_str(), FieldText(r.model).c_str());
        for (size_t i = 0; i < x.entries.size(); ++i) {
            const EntryScan& e = x.entries[i];
            const std::span<const uint8_t, kHeadSize> head(e.header.head);
            const uint32_t dataAt = e.offset + static_cast<uint32_t>(fmt::kEntryHeaderSize);
            const std::span<const uint8_t> data(bytes.data() + dataAt, e.header.dataLength());
            std::printf("@%u   entry %zu  %s  crc ok  %s %s\n", e.offset, i, HeadFieldsText(head).c_str(),
                        EntryKindName(head[0]).c_str(), EntryText(head, data).c_str());
        }
        for (const Violation& v : x.problems)
            std::printf("@%u   %s: %s: expected %s, found %s\n", v.offset, v.block.c_str(), v.field.c_str(),
                        v.expected.c_str(), v.found.c_str());
    }
    for (; gap < walk.gaps.size(); ++gap)
        std::printf("@%u unreadable  %u bytes (no record header verifies)\n", walk.gaps[gap].offset,
                    walk.gaps[gap].end - walk.gaps[gap].offset);
    if (!endOk) {
        std::printf("dataEnd %u is outside the file; no index shown\n", h.dataEnd);
        return kExitOk;
    }
    uint64_t pos = h.dataEnd;
    const char* label = h.dirty ? "stale index entry" : "index entry";
    for (uint64_t i = 0; i < h.recordCount && size - pos >= fmt::kIndexEntrySize; ++i) {
        const auto off = static_cast<uint32_t>(pos);
        const BlockCheck c = CheckBlock(fmt::BlockKind::Index, bytes, off);
        const auto e = fmt::DecodeIndexEntry(std::span<const uint8_t, fmt::kIndexEntrySize>(bytes.data() + off, fmt::kIndexEntrySize));
        std::printf("@%u %s %llu  \"%s\" / \"%s\" / \"%s\" -> %u  crc %s\n", off, label,
                    static_cast<unsigned long long>(i), FieldText(e.manufacturer).c_str(),
                    FieldText(e.type).c_str(), FieldText(e.model).c_str(), e.recordOffset, Verdict(c));
        pos += fmt::kIndexEntrySize;
    }
    if (pos < size) std::printf("@%llu tail  %llu bytes\n", static_cast<unsigned long long>(pos),
                                static_cast<unsigned long long>(size - pos));
    return kExitOk;
}

}  // namespace irlib
