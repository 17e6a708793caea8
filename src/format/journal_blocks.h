// The blocks of the journal file beside a library ("<library>-journal"): a header that
// names the library state the journal undoes, then entries that each hold the original
// bytes of one range of the library, say where in the library those bytes now stand, note
// a header the call is about to write, or record how far an undo has come.
// docs/file-format.md describes them in prose.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace varnel32::format {

inline constexpr uint32_t kJournalMagic = 0xDDDDDDDDu;
inline constexpr uint32_t kJournalEntryMagic = 0xEEEEEEEEu;
inline constexpr uint16_t kJournalVersion = 2;
// Version 1 journals hold no moved or undone entries; they are read all the same.
inline constexpr uint16_t kJournalOldestVersion = 1;
inline constexpr size_t kJournalHeaderSize = 28;
inline constexpr size_t kJournalEntryHeadSize = 16;
// No entry holds more than this many bytes: longer ranges are split.
inline constexpr uint32_t kJournalEntryMaxData = 0x10000;
// A moved entry stores no bytes and may name a longer range.
inline constexpr uint32_t kJournalMovedMaxLength = 0x10000000;

// Where each field stands (all u32 unless marked).
inline constexpr size_t kJournalMagicOffset = 0;
inline constexpr size_t kJournalCrcOffset = 4;
inline constexpr size_t kJournalVersionOffset = 8;    // u16, then a u16 of zero
inline constexpr size_t kJournalReservedOffset = 10;  // u16
inline constexpr size_t kJournalSequenceOffset = 12;
inline constexpr size_t kJournalOriginalLengthOffset = 16;
inline constexpr size_t kJournalHeaderCrcOffset = 20;
inline constexpr size_t kJournalKindOffset = 24;
inline constexpr size_t kJournalEntryMagicOffset = 0;
inline constexpr size_t kJournalEntryCrcOffset = 4;
inline constexpr size_t kJournalEntryOffsetOffset = 8;
inline constexpr size_t kJournalEntryLengthOffset = 12;  // the length and the kind flags

struct JournalHeader {
    uint32_t sequence = 0;        // differs between the calls of one journal file
    uint32_t originalLength = 0;  // the library file's length before the call
    uint32_t headerCrc = 0;       // the crc field of the library header before the call
    uint32_t kind = 0;            // the library's kind word
};

enum class EntryKind : uint8_t {
    Bytes,       // `length` original bytes follow the head
    Zeros,       // the `length` original bytes were all zero; nothing follows
    HeaderNote,  // 4 bytes follow: the crc field of a library header the call writes
    Moved,       // 4 bytes follow: where (below `offset`) the `length` original bytes now are
    Undone,      // nothing follows: an undo has put back every entry from number `offset` on
};

struct JournalEntry {
    EntryKind kind = EntryKind::Bytes;
    uint32_t offset = 0;  // where the bytes stood in the library file
    uint32_t length = 0;  // how many bytes the entry restores
};

// The data of a moved entry and of a header note: one 32-bit word.
inline constexpr uint32_t kJournalWordSize = 4;

using JournalHeaderBytes = std::array<uint8_t, kJournalHeaderSize>;

// Encodes and seals the header.
void EncodeJournalHeader(const JournalHeader& h, std::span<uint8_t, kJournalHeaderSize> out);
// True when the bytes are a sealed header of a journal version this code reads.
bool DecodeJournalHeader(std::span<const uint8_t, kJournalHeaderSize> in, JournalHeader& h);

// The number of data bytes that follow the head in the file.
uint32_t StoredDataLength(const JournalEntry& e);
// Encodes the head of an entry whose `data` follows it, sealed over the journal's
// sequence, the head and the data, so that entries of an earlier call never pass.
void EncodeJournalEntry(const JournalEntry& e, uint32_t sequence, std::span<const uint8_t> data,
                        std::span<uint8_t, kJournalEntryHeadSize> out);
// Decodes a head: false when its magic, kind or length is out of range.
bool DecodeJournalEntryHead(std::span<const uint8_t, kJournalEntryHeadSize> in, JournalEntry& e);
// True when the head's seal covers exactly these data bytes under `sequence`.
bool JournalEntrySealed(std::span<const uint8_t, kJournalEntryHeadSize> head, uint32_t sequence,
                        std::span<const uint8_t> data);

}  // namespace varnel32::format
