// The on-disk blocks of a library file: their sizes, magics and field offsets, the layouts of
// the caller-side images, plain structs for the fields, and the field-by-field little-endian
// encoding, sealing and verifying of each. docs/file-format.md is the prose description.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "format/names.h"
#include "varnel32.h"

namespace varnel32::format {

inline constexpr uint32_t kHeaderMagic = 0xAAAAAAAAu;
inline constexpr uint32_t kRecordMagic = 0xBBBBBBBBu;
inline constexpr uint32_t kEntryMagic = 0xCCCCCCCCu;

inline constexpr size_t kHeaderSize = 1570;
inline constexpr size_t kRecordHeaderSize = 79;
inline constexpr size_t kEntryHeaderSize = 48;
inline constexpr size_t kIndexEntrySize = 71;
inline constexpr size_t kEntryHeadSize = IR_ENTRY_HEAD_SIZE;  // the caller's part of an EntryHeader

inline constexpr size_t kFreeSlotCount = 256;
inline constexpr size_t kFreeSlotSize = 6;
// A deletion that brings this many slots into use compacts the file at once.
inline constexpr uint32_t kCompactionSlotThreshold = 255;

inline constexpr uint32_t kRecordAreaStart = static_cast<uint32_t>(kHeaderSize);
inline constexpr uint16_t kMaxRecordSize = 0xFFFF;

// ---- Where each field stands: the encoders below, the checker and irlib's dump all
// address the blocks through these. u32 unless marked.
// LibraryHeader.
inline constexpr size_t kHeaderMagicOffset = 0;
inline constexpr size_t kHeaderCrcOffset = 4;
inline constexpr size_t kHeaderReservedOffset = 8;
inline constexpr size_t kHeaderRecordCountOffset = 12;
inline constexpr size_t kHeaderFreeSlotCountOffset = 16;
inline constexpr size_t kHeaderFreeBytesOffset = 20;
inline constexpr size_t kHeaderDataEndOffset = 24;
inline constexpr size_t kHeaderKindOffset = 28;
inline constexpr size_t kHeaderDirtyOffset = 32;  // u16
inline constexpr size_t kFreeSlotsOffset = 34;    // kFreeSlotCount slots of kFreeSlotSize
inline constexpr size_t kFreeSlotOffsetField = 0;  // within a slot: u32 offset
inline constexpr size_t kFreeSlotSizeField = 4;    // ... and u16 size
// RecordHeader.
inline constexpr size_t kRecordMagicOffset = 0;
inline constexpr size_t kRecordCrcOffset = 4;
inline constexpr size_t kRecordUsedSizeOffset = 8;    // u16
inline constexpr size_t kRecordCapacityOffset = 10;   // u16
inline constexpr size_t kRecordEntryCountOffset = 12; // u16
inline constexpr size_t kRecordDeletedOffset = 14;    // u16
inline constexpr size_t kRecordManufacturerOffset = 16;
inline constexpr size_t kRecordTypeOffset = 37;
inline constexpr size_t kRecordModelOffset = 58;
// EntryHeader: magic, crc, then the caller's head byte for byte.
inline constexpr size_t kEntryMagicOffset = 0;
inline constexpr size_t kEntryCrcOffset = 4;
inline constexpr size_t kEntryHeadOffset = 8;
// IndexEntry: no magic, the crc first.
inline constexpr size_t kIndexCrcOffset = 0;
inline constexpr size_t kIndexManufacturerOffset = 4;
inline constexpr size_t kIndexTypeOffset = 25;
inline constexpr size_t kIndexModelOffset = 46;
inline constexpr size_t kIndexRecordOffsetOffset = 67;

// ---- The caller-side images (NameList, RemoteRecord and its entries' heads), as
// varnel32.h lays them out; typed here so that the core and the tools use one table.
inline constexpr size_t kNameListCountOffset = IR_NAMELIST_COUNT_OFFSET;  // u16
inline constexpr size_t kNameListNamesOffset = IR_NAMELIST_NAMES_OFFSET;
inline constexpr size_t kRemoteUsedSizeOffset = IR_RECORD_USED_SIZE_OFFSET;      // u16
inline constexpr size_t kRemoteEntryCountOffset = IR_RECORD_ENTRY_COUNT_OFFSET;  // u16
inline constexpr size_t kRemoteManufacturerOffset = IR_RECORD_MANUFACTURER_OFFSET;
inline constexpr size_t kRemoteTypeOffset = IR_RECORD_TYPE_OFFSET;
inline constexpr size_t kRemoteModelOffset = IR_RECORD_MODEL_OFFSET;
inline constexpr size_t kRemoteHeadSize = IR_RECORD_ENTRIES_OFFSET;  // entries follow
// The fields of an entry's head. The library reads only dataLength; the others are the
// caller's, named by their position: byte 0, word 1, word 5, byte 7, words 8 and 10,
// seven bytes from 12, and the 21-byte name field.
inline constexpr size_t kHeadByte0Offset = 0;
inline constexpr size_t kHeadWord1Offset = 1;
inline constexpr size_t kHeadDataLengthOffset = IR_ENTRY_DATA_LENGTH_OFFSET;  // u16
inline constexpr size_t kHeadWord5Offset = 5;
inline constexpr size_t kHeadByte7Offset = 7;
inline constexpr size_t kHeadWord8Offset = 8;
inline constexpr size_t kHeadWord10Offset = 10;
inline constexpr size_t kHeadBytes12Offset = 12;
inline constexpr size_t kHeadBytes12Count = 7;
inline constexpr size_t kHeadNameOffset = IR_ENTRY_NAME_OFFSET;
// EntryHeader offset of dataLength.
inline constexpr size_t kEntryDataLengthOffset = kEntryHeadOffset + kHeadDataLengthOffset;
// What the file adds to a RemoteRecord: a RecordHeader is longer than the image's head,
// an EntryHeader longer than an entry's head.
inline constexpr size_t kStoredRecordExtra = kRecordHeaderSize - kRemoteHeadSize;
inline constexpr size_t kStoredEntryExtra = kEntryHeaderSize - kEntryHeadSize;

// ---- The kind word of a file and the mode word of an open, as varnel32.h defines them.
inline constexpr uint32_t kKindWriteProtected = IRKindWriteProtected;
inline constexpr uint32_t kKindInfrared = IRKindInfrared;
inline constexpr uint32_t kKindCommand = IRKindCommand;
inline constexpr uint32_t kKind8 = IRKind8;
// An open takes a path of at most kPathSize - 1 characters: the handle keeps a copy.
inline constexpr size_t kPathSize = 256;

struct FreeSlot {
    uint32_t offset = 0;  // 0 marks an empty slot
    uint16_t size = 0;
};

struct LibraryHeader {
    uint32_t magic = kHeaderMagic;
    uint32_t crc = 0;
    uint32_t reserved = 0;
    uint32_t recordCount = 0;
    uint32_t freeSlotCount = 0;
    uint32_t freeBytes = 0;
    uint32_t dataEnd = kRecordAreaStart;
    uint32_t kind = 0;
    uint16_t dirty = 0;
    std::array<FreeSlot, kFreeSlotCount> freeSlots{};
};

struct RecordHeader {
    uint32_t magic = kRecordMagic;
    uint32_t crc = 0;
    uint16_t usedSize = 0;
    uint16_t capacity = 0;
    uint16_t entryCount = 0;
    uint16_t deleted = 0;
    Name manufacturer{};
    Name type{};
    Name model{};
};

struct EntryHeader {
    uint32_t magic = kEntryMagic;
    uint32_t crc = 0;
    std::array<uint8_t, kEntryHeadSize> head{};  // the caller's head, byte for byte
    uint16_t dataLength() const;
};

struct IndexEntry {
    uint32_t crc = 0;
    Name manufacturer{};
    Name type{};
    Name model{};
    uint32_t recordOffset = 0;
};

using HeaderBytes = std::array<uint8_t, kHeaderSize>;
using RecordHeaderBytes = std::array<uint8_t, kRecordHeaderSize>;
using EntryHeaderBytes = std::array<uint8_t, kEntryHeaderSize>;
using IndexEntryBytes = std::array<uint8_t, kIndexEntrySize>;

// Encoding writes every field, crc included, as it stands in the struct; Seal then
// replaces the crc. Decoding reads every field; callers verify the bytes first.
void Encode(const LibraryHeader& h, std::span<uint8_t, kHeaderSize> out);
void Encode(const RecordHeader& h, std::span<uint8_t, kRecordHeaderSize> out);
void Encode(const EntryHeader& h, std::span<uint8_t, kEntryHeaderSize> out);
void Encode(const IndexEntry& e, std::span<uint8_t, kIndexEntrySize> out);
LibraryHeader DecodeLibraryHeader(std::span<const uint8_t, kHeaderSize> in);
RecordHeader DecodeRecordHeader(std::span<const uint8_t, kRecordHeaderSize> in);
EntryHeader DecodeEntryHeader(std::span<const uint8_t, kEntryHeaderSize> in);
IndexEntry DecodeIndexEntry(std::span<const uint8_t, kIndexEntrySize> in);

// The four kinds of checksummed block: where their crc stands and what magic they carry.
enum class BlockKind { Header, Record, Entry, Index };

struct BlockShape {
    size_t size;
    size_t crcOffset;
    bool hasMagic;
    uint32_t magic;
};

BlockShape ShapeOf(BlockKind kind);

// crc32 of the block taken with its crc field as zero; the bytes are not changed.
uint32_t BlockChecksum(BlockKind kind, std::span<const uint8_t> block);

// Sets the crc field to the checksum of the block. `block` must be exactly the block size.
void Seal(BlockKind kind, std::span<uint8_t> block);

// True when `block` is the block's full length, its crc matches and its magic (where it
// has one) is right. Nothing else of a block may be used before this said yes.
bool Verify(BlockKind kind, std::span<const uint8_t> block);

}  // namespace varnel32::format
