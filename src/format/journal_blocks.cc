// Encoding, sealing and checking the journal blocks, field by field little-endian like
// every other block. The header's crc covers its 24 bytes with the crc field as zero; an
// entry's covers its head (crc field as zero) followed by its data.
#include "format/journal_blocks.h"

#include "format/crc32.h"
#include "format/endian.h"

namespace varnel32::format {
namespace {

uint32_t SealOf(std::span<const uint8_t> head, std::span<const uint8_t> data) {
    static constexpr uint8_t kZeros[4] = {0, 0, 0, 0};
    uint32_t state = Crc32Update(kCrc32Start, head.first(4));
    state = Crc32Update(state, kZeros);
    state = Crc32Update(state, head.subspan(8));
    return Crc32End(Crc32Update(state, data));
}

}  // namespace

void EncodeJournalHeader(const JournalHeader& h, std::span<uint8_t, kJournalHeaderSize> out) {
    uint8_t* p = out.data();
    Store32(p + 0, kJournalMagic);
    Store32(p + 4, 0);
    Store16(p + 8, kJournalVersion);
    Store16(p + 10, 0);
    Store32(p + 12, h.originalLength);
    Store32(p + 16, h.headerCrc);
    Store32(p + 20, h.kind);
    Store32(p + 4, SealOf(out, {}));
}

bool DecodeJournalHeader(std::span<const uint8_t, kJournalHeaderSize> in, JournalHeader& h) {
    const uint8_t* p = in.data();
    if (Load32(p + 4) != SealOf(in, {}) || Load32(p) != kJournalMagic) return false;
    if (Load16(p + 8) != kJournalVersion) return false;
    h.originalLength = Load32(p + 12);
    h.headerCrc = Load32(p + 16);
    h.kind = Load32(p + 20);
    return true;
}

void EncodeJournalEntry(const JournalEntry& e, std::span<const uint8_t> data,
                        std::span<uint8_t, kJournalEntryHeadSize> out) {
    uint8_t* p = out.data();
    Store32(p + 0, kJournalEntryMagic);
    Store32(p + 4, 0);
    Store32(p + 8, e.offset);
    Store32(p + 12, e.zeros ? (e.length | kJournalZerosFlag) : e.length);
    Store32(p + 4, SealOf(out, data));
}

bool DecodeJournalEntryHead(std::span<const uint8_t, kJournalEntryHeadSize> in, JournalEntry& e) {
    const uint8_t* p = in.data();
    if (Load32(p) != kJournalEntryMagic) return false;
    e.offset = Load32(p + 8);
    const uint32_t stored = Load32(p + 12);
    e.zeros = (stored & kJournalZerosFlag) != 0;
    e.length = stored & ~kJournalZerosFlag;
    return e.length != 0 && e.length <= kJournalEntryMaxData && e.offset <= 0x7FFFFFFFu - e.length;
}

bool JournalEntrySealed(std::span<const uint8_t, kJournalEntryHeadSize> head,
                        std::span<const uint8_t> data) {
    return Load32(head.data() + 4) == SealOf(head, data);
}

}  // namespace varnel32::format
