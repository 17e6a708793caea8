// Field-by-field encoding of the four on-disk blocks and the seal/verify rule they share:
// the crc is computed over the whole block with the crc field taken as zero.
#include "format/blocks.h"

#include <algorithm>
#include <cstring>

#include "format/crc32.h"
#include "format/endian.h"

namespace varnel32::format {
namespace {

void PutName(uint8_t* out, const Name& name) {
    std::copy(name.begin(), name.end(), reinterpret_cast<char*>(out));
}

Name GetName(const uint8_t* in) {
    Name name{};
    std::copy(in, in + NAME_FIELD_SIZE, reinterpret_cast<uint8_t*>(name.data()));
    return name;
}

}  // namespace

uint16_t EntryHeader::dataLength() const { return Load16(head.data() + 3); }

void Encode(const LibraryHeader& h, std::span<uint8_t, kHeaderSize> out) {
    uint8_t* p = out.data();
    Store32(p + 0, h.magic);
    Store32(p + 4, h.crc);
    Store32(p + 8, h.reserved);
    Store32(p + 12, h.recordCount);
    Store32(p + 16, h.freeSlotCount);
    Store32(p + 20, h.freeBytes);
    Store32(p + 24, h.dataEnd);
    Store32(p + 28, h.kind);
    Store16(p + kHeaderDirtyOffset, h.dirty);
    for (size_t i = 0; i < kFreeSlotCount; ++i) {
        uint8_t* slot = p + kFreeSlotsOffset + kFreeSlotSize * i;
        Store32(slot, h.freeSlots[i].offset);
        Store16(slot + 4, h.freeSlots[i].size);
    }
}

LibraryHeader DecodeLibraryHeader(std::span<const uint8_t, kHeaderSize> in) {
    const uint8_t* p = in.data();
    LibraryHeader h;
    h.magic = Load32(p + 0);
    h.crc = Load32(p + 4);
    h.reserved = Load32(p + 8);
    h.recordCount = Load32(p + 12);
    h.freeSlotCount = Load32(p + 16);
    h.freeBytes = Load32(p + 20);
    h.dataEnd = Load32(p + 24);
    h.kind = Load32(p + 28);
    h.dirty = Load16(p + kHeaderDirtyOffset);
    for (size_t i = 0; i < kFreeSlotCount; ++i) {
        const uint8_t* slot = p + kFreeSlotsOffset + kFreeSlotSize * i;
        h.freeSlots[i].offset = Load32(slot);
        h.freeSlots[i].size = Load16(slot + 4);
    }
    return h;
}

void Encode(const RecordHeader& h, std::span<uint8_t, kRecordHeaderSize> out) {
    uint8_t* p = out.data();
    Store32(p + 0, h.magic);
    Store32(p + 4, h.crc);
    Store16(p + 8, h.usedSize);
    Store16(p + 10, h.capacity);
    Store16(p + 12, h.entryCount);
    Store16(p + 14, h.deleted);
    PutName(p + 16, h.manufacturer);
    PutName(p + 37, h.type);
    PutName(p + 58, h.model);
}

RecordHeader DecodeRecordHeader(std::span<const uint8_t, kRecordHeaderSize> in) {
    const uint8_t* p = in.data();
    RecordHeader h;
    h.magic = Load32(p + 0);
    h.crc = Load32(p + 4);
    h.usedSize = Load16(p + 8);
    h.capacity = Load16(p + 10);
    h.entryCount = Load16(p + 12);
    h.deleted = Load16(p + 14);
    h.manufacturer = GetName(p + 16);
    h.type = GetName(p + 37);
    h.model = GetName(p + 58);
    return h;
}

void Encode(const EntryHeader& h, std::span<uint8_t, kEntryHeaderSize> out) {
    uint8_t* p = out.data();
    Store32(p + 0, h.magic);
    Store32(p + 4, h.crc);
    std::copy(h.head.begin(), h.head.end(), p + 8);
}

EntryHeader DecodeEntryHeader(std::span<const uint8_t, kEntryHeaderSize> in) {
    const uint8_t* p = in.data();
    EntryHeader h;
    h.magic = Load32(p + 0);
    h.crc = Load32(p + 4);
    std::copy(p + 8, p + kEntryHeaderSize, h.head.begin());
    return h;
}

void Encode(const IndexEntry& e, std::span<uint8_t, kIndexEntrySize> out) {
    uint8_t* p = out.data();
    Store32(p + 0, e.crc);
    PutName(p + 4, e.manufacturer);
    PutName(p + 25, e.type);
    PutName(p + 46, e.model);
    Store32(p + 67, e.recordOffset);
}

IndexEntry DecodeIndexEntry(std::span<const uint8_t, kIndexEntrySize> in) {
    const uint8_t* p = in.data();
    IndexEntry e;
    e.crc = Load32(p + 0);
    e.manufacturer = GetName(p + 4);
    e.type = GetName(p + 25);
    e.model = GetName(p + 46);
    e.recordOffset = Load32(p + 67);
    return e;
}

BlockShape ShapeOf(BlockKind kind) {
    switch (kind) {
        case BlockKind::Header: return {kHeaderSize, 4, true, kHeaderMagic};
        case BlockKind::Record: return {kRecordHeaderSize, 4, true, kRecordMagic};
        case BlockKind::Entry: return {kEntryHeaderSize, 4, true, kEntryMagic};
        case BlockKind::Index: break;
    }
    return {kIndexEntrySize, 0, false, 0};
}

uint32_t BlockChecksum(BlockKind kind, std::span<const uint8_t> block) {
    const BlockShape shape = ShapeOf(kind);
    static constexpr uint8_t kZeros[4] = {0, 0, 0, 0};
    uint32_t state = Crc32Update(kCrc32Start, block.first(shape.crcOffset));
    state = Crc32Update(state, kZeros);
    state = Crc32Update(state, block.subspan(shape.crcOffset + 4, shape.size - shape.crcOffset - 4));
    return Crc32End(state);
}

void Seal(BlockKind kind, std::span<uint8_t> block) {
    const BlockShape shape = ShapeOf(kind);
    Store32(block.data() + shape.crcOffset, BlockChecksum(kind, block));
}

bool Verify(BlockKind kind, std::span<const uint8_t> block) {
    const BlockShape shape = ShapeOf(kind);
    if (block.size() != shape.size) return false;
    if (Load32(block.data() + shape.crcOffset) != BlockChecksum(kind, block)) return false;
    return !shape.hasMagic || Load32(block.data()) == shape.magic;
}

Name NameFromString(const char* text) {
    Name name{};
    for (size_t i = 0; i < NAME_FIELD_SIZE; ++i) {
        name[i] = text[i];
        if (text[i] == '\0') break;
    }
    return name;
}

bool HasTerminator(const char* field) {
    return std::memchr(field, 0, NAME_FIELD_SIZE) != nullptr;
}

bool HasTerminator(const Name& name) { return HasTerminator(name.data()); }

}  // namespace varnel32::format
