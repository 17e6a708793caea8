// Encoding, sealing and checking the journal blocks, field by field little-endian like
// every other block. The header's crc covers its bytes with the crc field as zero; an
// entry's covers the journal's sequence, its head (crc field as zero) and a 32-bit digest
// of its data. The digest takes 8 bytes per step: the copies of a compaction are as long
// as the data it moves, and a byte-wise crc over them would cost as much as the moves.
#include "format/journal_blocks.h"

#include "format/crc32.h"
#include "format/endian.h"

namespace varnel32::format {
namespace {

// Both blocks keep their crc at one place, which SealOf skips.
static_assert(kJournalCrcOffset == kJournalEntryCrcOffset);
static_assert(kJournalKindOffset + 4 == kJournalHeaderSize);
static_assert(kJournalEntryLengthOffset + 4 == kJournalEntryHeadSize);

// The top three bits of an entry's length field say its kind; version 1 used the top two
// as flags (zeros, header note), which read the same here.
constexpr uint32_t kLengthMask = 0x1FFFFFFFu;
constexpr uint32_t KindBits(EntryKind kind) {
    switch (kind) {
        case EntryKind::Bytes: return 0;
        case EntryKind::Moved: return 1;
        case EntryKind::HeaderNote: return 2;
        case EntryKind::Undone: return 3;
        case EntryKind::Zeros: return 4;
    }
    return 7;
}

uint32_t SealOf(std::span<const uint8_t> prefix, std::span<const uint8_t> head,
                std::span<const uint8_t> data) {
    static constexpr uint8_t kZeros[4] = {0, 0, 0, 0};
    uint32_t state = Crc32Update(kCrc32Start, prefix);
    state = Crc32Update(state, head.first(kJournalCrcOffset));
    state = Crc32Update(state, kZeros);
    state = Crc32Update(state, head.subspan(kJournalCrcOffset + sizeof kZeros));
    return Crc32End(Crc32Update(state, data));
}

// FNV-1a over little-endian 64-bit words (the tail zero-padded), then the length, folded.
uint32_t DataDigest(std::span<const uint8_t> data) {
    uint64_t h = 0xCBF29CE484222325u;
    size_t i = 0;
    for (; i + 8 <= data.size(); i += 8) {
        h = (h ^ (uint64_t{Load32(data.data() + i)} | (uint64_t{Load32(data.data() + i + 4)} << 32))) *
            0x100000001B3u;
    }
    uint64_t tail = 0;
    for (size_t k = 0; i + k < data.size(); ++k) tail |= uint64_t{data[i + k]} << (8 * k);
    h = (h ^ tail) * 0x100000001B3u;
    h = (h ^ data.size()) * 0x100000001B3u;
    return static_cast<uint32_t>(h ^ (h >> 32));
}

uint32_t EntrySeal(std::span<const uint8_t> head, uint32_t sequence, std::span<const uint8_t> data) {
    uint8_t prefix[4];
    Store32(prefix, sequence);
    uint8_t digest[4];
    Store32(digest, DataDigest(data));
    return SealOf(prefix, head, digest);
}

}  // namespace

void EncodeJournalHeader(const JournalHeader& h, std::span<uint8_t, kJournalHeaderSize> out) {
    uint8_t* p = out.data();
    Store32(p + kJournalMagicOffset, kJournalMagic);
    Store32(p + kJournalCrcOffset, 0);
    Store16(p + kJournalVersionOffset, kJournalVersion);
    Store16(p + kJournalReservedOffset, 0);
    Store32(p + kJournalSequenceOffset, h.sequence);
    Store32(p + kJournalOriginalLengthOffset, h.originalLength);
    Store32(p + kJournalHeaderCrcOffset, h.headerCrc);
    Store32(p + kJournalKindOffset, h.kind);
    Store32(p + kJournalCrcOffset, SealOf({}, out, {}));
}

bool DecodeJournalHeader(std::span<const uint8_t, kJournalHeaderSize> in, JournalHeader& h) {
    const uint8_t* p = in.data();
    if (Load32(p + kJournalCrcOffset) != SealOf({}, in, {}) ||
        Load32(p + kJournalMagicOffset) != kJournalMagic) {
        return false;
    }
    const uint16_t version = Load16(p + kJournalVersionOffset);
    if (version < kJournalOldestVersion || version > kJournalVersion) return false;
    h.sequence = Load32(p + kJournalSequenceOffset);
    h.originalLength = Load32(p + kJournalOriginalLengthOffset);
    h.headerCrc = Load32(p + kJournalHeaderCrcOffset);
    h.kind = Load32(p + kJournalKindOffset);
    return true;
}

uint32_t StoredDataLength(const JournalEntry& e) {
    switch (e.kind) {
        case EntryKind::Bytes: return e.length;
        case EntryKind::Zeros:
        case EntryKind::Undone: return 0;
        case EntryKind::HeaderNote:
        case EntryKind::Moved: return kJournalWordSize;
    }
    return 0;
}

void EncodeJournalEntry(const JournalEntry& e, uint32_t sequence, std::span<const uint8_t> data,
                        std::span<uint8_t, kJournalEntryHeadSize> out) {
    uint8_t* p = out.data();
    Store32(p + kJournalEntryMagicOffset, kJournalEntryMagic);
    Store32(p + kJournalEntryCrcOffset, 0);
    Store32(p + kJournalEntryOffsetOffset, e.offset);
    Store32(p + kJournalEntryLengthOffset, e.length | KindBits(e.kind) << 29);
    Store32(p + kJournalEntryCrcOffset, EntrySeal(out, sequence, data));
}

bool DecodeJournalEntryHead(std::span<const uint8_t, kJournalEntryHeadSize> in, JournalEntry& e) {
    const uint8_t* p = in.data();
    if (Load32(p + kJournalEntryMagicOffset) != kJournalEntryMagic) return false;
    const uint32_t stored = Load32(p + kJournalEntryLengthOffset);
    bool known = false;
    for (const EntryKind kind : {EntryKind::Bytes, EntryKind::Zeros, EntryKind::HeaderNote, EntryKind::Moved,
                                 EntryKind::Undone}) {
        if (KindBits(kind) == stored >> 29) {
            e.kind = kind;
            known = true;
        }
    }
    if (!known) return false;
    e.offset = Load32(p + kJournalEntryOffsetOffset);
    e.length = stored & kLengthMask;
    if (e.kind == EntryKind::HeaderNote) return e.offset == 0 && e.length == 0;
    if (e.kind == EntryKind::Undone) return e.length == 0;
    const uint32_t most = e.kind == EntryKind::Moved ? kJournalMovedMaxLength : kJournalEntryMaxData;
    return e.length != 0 && e.length <= most && e.offset <= 0x7FFFFFFFu - e.length;
}

bool JournalEntrySealed(std::span<const uint8_t, kJournalEntryHeadSize> head, uint32_t sequence,
                        std::span<const uint8_t> data) {
    return Load32(head.data() + kJournalEntryCrcOffset) == EntrySeal(head, sequence, data);
}

}  // namespace varnel32::format
