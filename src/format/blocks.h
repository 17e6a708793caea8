// The on-disk blocks of a library file: their sizes and magics, plain structs for their
// fields, and the field-by-field little-endian encoding, sealing and verifying of each.
// docs/file-format.md is the prose description; block_io.h reads and writes them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace varnel32::format {

inline constexpr size_t NAME_FIELD_SIZE = 21;

inline constexpr uint32_t kHeaderMagic = 0xAAAAAAAAu;
inline constexpr uint32_t kRecordMagic = 0xBBBBBBBBu;
inline constexpr uint32_t kEntryMagic = 0xCCCCCCCCu;

inline constexpr size_t kHeaderSize = 1570;
inline constexpr size_t kRecordHeaderSize = 79;
inline constexpr size_t kEntryHeaderSize = 48;
inline constexpr size_t kIndexEntrySize = 71;
inline constexpr size_t kEntryHeadSize = 40;  // the caller's part of an EntryHeader

inline constexpr size_t kFreeSlotCount = 256;
inline constexpr size_t kFreeSlotSize = 6;
inline constexpr size_t kFreeSlotsOffset = 34;
// A deletion that brings this many slots into use compacts the file at once.
inline constexpr uint32_t kCompactionSlotThreshold = 255;

inline constexpr uint32_t kRecordAreaStart = static_cast<uint32_t>(kHeaderSize);
inline constexpr uint16_t kMaxRecordSize = 0xFFFF;

// Header offsets that callers outside this file need to address in raw bytes.
inline constexpr size_t kHeaderDirtyOffset = 32;
// EntryHeader offset of dataLength (head offset 3).
inline constexpr size_t kEntryDataLengthOffset = 11;

using Name = std::array<char, NAME_FIELD_SIZE>;

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

// Copies a name into a fixed field the way the index does: up to and including the
// terminator, at most 21 bytes, the rest zero.
Name NameFromString(const char* text);
// True when the field holds a terminator, that is a name of at most 20 characters.
bool HasTerminator(const Name& name);
bool HasTerminator(const char* field);  // a 21-byte field

}  // namespace varnel32::format
