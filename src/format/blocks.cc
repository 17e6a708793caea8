// Field-by-field encoding of the four on-disk blocks and the seal/verify rule they share:
// the crc is computed over the whole block with the crc field taken as zero.
#include "format/blocks.h"

#include <algorithm>
#include <cstring>

#include "format/crc32.h"
#include "format/endian.h"

namespace varnel32::format {

// The field table adds up to the block sizes.
static_assert(kFreeSlotsOffset + kFreeSlotCount * kFreeSlotSize == kHeaderSize);
static_assert(kRecordModelOffset + NAME_FIELD_SIZE == kRecordHeaderSize);
static_assert(kEntryHeadOffset + kEntryHeadSize == kEntryHeaderSize);
static_assert(kIndexRecordOffsetOffset + 4 == kIndexEntrySize);
static_assert(kHeadNameOffset + NAME_FIELD_SIZE == kEntryHeadSize);
static_assert(kRemoteModelOffset + NAME_FIELD_SIZE == kRemoteHeadSize);

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

uint16_t EntryHeader::dataLength() const { return Load16(head.data() + kHeadDataLengthOffset); }

void Encode(const LibraryHeader& h, std::span<uint8_t, kHeaderSize> out) {
    uint8_t* p = out.data();
    Store32(p + kHeaderMagicOffset, h.magic);
    Store32(p + kHeaderCrcOffset, h.crc);
    Store32(p + kHeaderReservedOffset, h.reserved);
    Store32(p + kHeaderRecordCountOffset, h.recordCount);
    Store32(p + kHeaderFreeSlotCountOffset, h.freeSlotCount);
    Store32(p + kHeaderFreeBytesOffset, h.freeBytes);
    Store32(p + kHeaderDataEndOffset, h.dataEnd);
    Store32(p + kHeaderKindOffset, h.kind);
    Store16(p + kHeaderDirtyOffset, h.dirty);
    for (size_t i = 0; i < kFreeSlotCount; ++i) {
        uint8_t* slot = p + kFreeSlotsOffset + kFreeSlotSize * i;
        Store32(slot + kFreeSlotOffsetField, h.freeSlots[i].offset);
        Store16(slot + kFreeSlotSizeField, h.freeSlots[i].size);
    }
}

LibraryHeader DecodeLibraryHeader(std::span<const uint8_t, kHeaderSize> in) {
    const uint8_t* p = in.data();
    LibraryHeader h;
    h.magic = Load32(p + kHeaderMagicOffset);
    h.crc = Load32(p + kHeaderCrcOffset);
    h.reserved = Load32(p + kHeaderReservedOffset);
    h.recordCount = Load32(p + kHeaderRecordCountOffset);
    h.freeSlotCount = Load32(p + kHeaderFreeSlotCountOffset);
    h.freeBytes = Load32(p + kHeaderFreeBytesOffset);
    h.dataEnd = Load32(p + kHeaderDataEndOffset);
    h.kind = Load32(p + kHeaderKindOffset);
    h.dirty = Load16(p + kHeaderDirtyOffset);
    for (size_t i = 0; i < kFreeSlotCount; ++i) {
        const uint8_t* slot = p + kFreeSlotsOffset + kFreeSlotSize * i;
        h.freeSlots[i].offset = Load32(slot + kFreeSlotOffsetField);
        h.freeSlots[i].size = Load16(slot + kFreeSlotSizeField);
    }
    return h;
}

void Encode(const RecordHeader& h, std::span<uint8_t, kRecordHeaderSize> out) {
    uint8_t* p = out.data();
    Store32(p + kRecordMagicOffset, h.magic);
    Store32(p + kRecordCrcOffset, h.crc);
    Store16(p + kRecordUsedSizeOffset, h.usedSize);
    Store16(p + kRecordCapacityOffset, h.capacity);
    Store16(p + kRecordEntryCountOffset, h.entryCount);
    Store16(p + kRecordDeletedOffset, h.deleted);
    PutName(p + kRecordManufacturerOffset, h.manufacturer);
    PutName(p + kRecordTypeOffset, h.type);
    PutName(p + kRecordModelOffset, h.model);
}

RecordHeader DecodeRecordHeader(std::span<const uint8_t, kRecordHeaderSize> in) {
    const uint8_t* p = in.data();
    RecordHeader h;
    h.magic = Load32(p + kRecordMagicOffset);
    h.crc = Load32(p + kRecordCrcOffset);
    h.usedSize = Load16(p + kRecordUsedSizeOffset);
    h.capacity = Load16(p + kRecordCapacityOffset);
    h.entryCount = Load16(p + kRecordEntryCountOffset);
    h.deleted = Load16(p + kRecordDeletedOffset);
    h.manufacturer = GetName(p + kRecordManufacturerOffset);
    h.type = GetName(p + kRecordTypeOffset);
    h.model = GetName(p + kRecordModelOffset);
    return h;
}

void Encode(const EntryHeader& h, std::span<uint8_t, kEntryHeaderSize> out) {
    uint8_t* p = out.data();
    Store32(p + kEntryMagicOffset, h.magic);
    Store32(p + kEntryCrcOffset, h.crc);
    std::copy(h.head.begin(), h.head.end(), p + kEntryHeadOffset);
}

EntryHeader DecodeEntryHeader(std::span<const uint8_t, kEntryHeaderSize> in) {
    const uint8_t* p = in.data();
    EntryHeader h;
    h.magic = Load32(p + kEntryMagicOffset);
    h.crc = Load32(p + kEntryCrcOffset);
    std::copy(p + kEntryHeadOffset, p + kEntryHeaderSize, h.head.begin());
    return h;
}

void Encode(const IndexEntry& e, std::span<uint8_t, kIndexEntrySize> out) {
    uint8_t* p = out.data();
    Store32(p + kIndexCrcOffset, e.crc);
    PutName(p + kIndexManufacturerOffset, e.manufacturer);
    PutName(p + kIndexTypeOffset, e.type);
    PutName(p + kIndexModelOffset, e.model);
    Store32(p + kIndexRecordOffsetOffset, e.recordOffset);
}

IndexEntry DecodeIndexEntry(std::span<const uint8_t, kIndexEntrySize> in) {
    const uint8_t* p = in.data();
    IndexEntry e;
    e.crc = Load32(p + kIndexCrcOffset);
    e.manufacturer = GetName(p + kIndexManufacturerOffset);
    e.type = GetName(p + kIndexTypeOffset);
    e.model = GetName(p + kIndexModelOffset);
    e.recordOffset = Load32(p + kIndexRecordOffsetOffset);
    return e;
}

BlockShape ShapeOf(BlockKind kind) {
    switch (kind) {
        case BlockKind::Header: return {kHeaderSize, kHeaderCrcOffset, true, kHeaderMagic};
        case BlockKind::Record: return {kRecordHeaderSize, kRecordCrcOffset, true, kRecordMagic};
        case BlockKind::Entry: return {kEntryHeaderSize, kEntryCrcOffset, true, kEntryMagic};
        case BlockKind::Index: break;
    }
    return {kIndexEntrySize, kIndexCrcOffset, false, 0};
}

uint32_t BlockChecksum(BlockKind kind, std::span<const uint8_t> block) {
    const BlockShape shape = ShapeOf(kind);
    // The first sixteen bytes, the crc field taken as zero, go in as one step of the crc's
    // widest stride: byte by byte they would cost as much as the rest of a small block.
    static_assert(kHeaderCrcOffset <= 12 && kRecordCrcOffset <= 12);
    static_assert(kEntryCrcOffset <= 12 && kIndexCrcOffset <= 12);
    const size_t head = std::min<size_t>(16, shape.size);
    uint8_t first[16] = {};
    std::memcpy(first, block.data(), head);
    std::memset(first + shape.crcOffset, 0, 4);
    const uint32_t state = Crc32Update(kCrc32Start, std::span<const uint8_t>(first, head));
    return Crc32End(Crc32Update(state, block.subspan(head, shape.size - head)));
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

}  // namespace varnel32::format
