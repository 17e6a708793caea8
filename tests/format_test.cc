// The on-disk blocks: crc32, the field offsets of every block, sealing and verifying, the
// fixed-width name fields, and the block reads and writes over the platform layer.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <numeric>

#include "format/block_io.h"
#include "format/crc32.h"
#include "format/endian.h"
#include "support/file_builder.h"

namespace varnel32::test {
namespace {

using format::BlockKind;

TEST(Crc32, TableAndKnownVectors) {
    const std::string check = "123456789";
    EXPECT_EQ(format::crc32({reinterpret_cast<const uint8_t*>(check.data()), check.size()}),
              0xCBF43926u);
    EXPECT_EQ(format::crc32({}), 0u);
    // Fed in pieces it gives the same result as in one range.
    Bytes data(1000);
    std::iota(data.begin(), data.end(), uint8_t{0});
    uint32_t state = format::kCrc32Start;
    state = format::Crc32Update(state, std::span<const uint8_t>(data).first(333));
    state = format::Crc32Update(state, std::span<const uint8_t>(data).subspan(333));
    EXPECT_EQ(format::Crc32End(state), format::crc32(data));
}

// Every field lands at its documented offset, little-endian, and decodes back unchanged.
TEST(Blocks, LibraryHeaderLayout) {
    format::LibraryHeader h;
    h.magic = 0xAAAAAAAAu;
    h.crc = 0x01020304u;
    h.reserved = 0x11121314u;
    h.recordCount = 0x21222324u;
    h.freeSlotCount = 0x31323334u;
    h.freeBytes = 0x41424344u;
    h.dataEnd = 0x51525354u;
    h.kind = 0x61626364u;
    h.dirty = 0x7172;
    for (size_t i = 0; i < format::kFreeSlotCount; ++i) {
        h.freeSlots[i] = {static_cast<uint32_t>(0x80000000u + i * 0x01010101u),
                          static_cast<uint16_t>(0x9000 + i)};
    }
    format::HeaderBytes b;
    format::Encode(h, b);
    const uint8_t expectedStart[] = {0xAA, 0xAA, 0xAA, 0xAA, 0x04, 0x03, 0x02, 0x01, 0x14, 0x13,
                                     0x12, 0x11, 0x24, 0x23, 0x22, 0x21, 0x34, 0x33, 0x32, 0x31,
                                     0x44, 0x43, 0x42, 0x41, 0x54, 0x53, 0x52, 0x51, 0x64, 0x63,
                                     0x62, 0x61, 0x72, 0x71};
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 34), Bytes(std::begin(expectedStart), std::end(expectedStart)));
    for (size_t i = 0; i < format::kFreeSlotCount; ++i) {
        ASSERT_EQ(format::Load32(b.data() + 34 + 6 * i), h.freeSlots[i].offset) << i;
        ASSERT_EQ(format::Load16(b.data() + 38 + 6 * i), h.freeSlots[i].size) << i;
    }
    const format::LibraryHeader d = format::DecodeLibraryHeader(b);
    format::HeaderBytes again;
    format::Encode(d, again);
    EXPECT_EQ(again, b);
}

TEST(Blocks, RecordHeaderLayout) {
    format::RecordHeader h;
    h.crc = 0x01020304u;
    h.usedSize = 0x1112;
    h.capacity = 0x2122;
    h.entryCount = 0x3132;
    h.deleted = 0x4142;
    for (size_t i = 0; i < 21; ++i) {
        h.manufacturer[i] = static_cast<char>('a' + i);
        h.type[i] = static_cast<char>('A' + i);
        h.model[i] = static_cast<char>('0' + i);
    }
    format::RecordHeaderBytes b;
    format::Encode(h, b);
    EXPECT_EQ(format::Load32(b.data()), 0xBBBBBBBBu);
    EXPECT_EQ(format::Load32(b.data() + 4), 0x01020304u);
    EXPECT_EQ(b[8], 0x12);
    EXPECT_EQ(b[9], 0x11);
    EXPECT_EQ(format::Load16(b.data() + 10), 0x2122);
    EXPECT_EQ(format::Load16(b.data() + 12), 0x3132);
    EXPECT_EQ(format::Load16(b.data() + 14), 0x4142);
    EXPECT_EQ(std::memcmp(b.data() + 16, h.manufacturer.data(), 21), 0);
    EXPECT_EQ(std::memcmp(b.data() + 37, h.type.data(), 21), 0);
    EXPECT_EQ(std::memcmp(b.data() + 58, h.model.data(), 21), 0);
    format::RecordHeaderBytes again;
    format::Encode(format::DecodeRecordHeader(b), again);
    EXPECT_EQ(again, b);
}

TEST(Blocks, EntryHeaderLayout) {
    format::EntryHeader h;
    h.crc = 0xDEADBEEFu;
    for (size_t i = 0; i < 40; ++i) h.head[i] = static_cast<uint8_t>(200 - i);
    format::Store16(h.head.data() + 3, 0x0102);
    format::EntryHeaderBytes b;
    format::Encode(h, b);
    EXPECT_EQ(format::Load32(b.data()), 0xCCCCCCCCu);
    EXPECT_EQ(format::Load32(b.data() + 4), 0xDEADBEEFu);
    EXPECT_EQ(Bytes(b.begin() + 8, b.end()), Bytes(h.head.begin(), h.head.end()));
    // dataLength is the u16 at offset 11 of the block, an odd offset.
    EXPECT_EQ(b[11], 0x02);
    EXPECT_EQ(b[12], 0x01);
    EXPECT_EQ(format::DecodeEntryHeader(b).dataLength(), 0x0102);
    format::EntryHeaderBytes again;
    format::Encode(format::DecodeEntryHeader(b), again);
    EXPECT_EQ(again, b);
}

TEST(Blocks, IndexEntryLayout) {
    format::IndexEntry e = Key("Manufacturer", "Type", "Model", 0x0A0B0C0Du);
    e.crc = 0x01020304u;
    format::IndexEntryBytes b;
    format::Encode(e, b);
    EXPECT_EQ(format::Load32(b.data()), 0x01020304u);
    EXPECT_STREQ(reinterpret_cast<const char*>(b.data() + 4), "Manufacturer");
    EXPECT_STREQ(reinterpret_cast<const char*>(b.data() + 25), "Type");
    EXPECT_STREQ(reinterpret_cast<const char*>(b.data() + 46), "Model");
    // The offset stands at 67, not aligned.
    EXPECT_EQ(b[67], 0x0D);
    EXPECT_EQ(b[70], 0x0A);
    const format::IndexEntry d = format::DecodeIndexEntry(b);
    EXPECT_EQ(d.recordOffset, 0x0A0B0C0Du);
    EXPECT_EQ(d.model, e.model);
}

struct SealedSample {
    BlockKind kind;
    Bytes bytes;
};

std::vector<SealedSample> SealedSamples() {
    FileBuilder f(5);
    f.AddDeleted(200);
    f.header.dirty = 1;
    format::RecordHeader r;
    r.usedSize = 300;
    r.capacity = 1324;
    r.entryCount = 2;
    r.manufacturer = Field("Maker");
    r.type = Field("TV");
    r.model = Field("X-100");
    format::EntryHeader e;
    for (size_t i = 0; i < 40; ++i) e.head[i] = static_cast<uint8_t>(i * 3);
    format::EntryHeaderBytes entry;
    format::Encode(e, entry);
    format::Seal(BlockKind::Entry, entry);
    return {{BlockKind::Header, SealedHeader(f.header)},
            {BlockKind::Record, SealedRecordHeader(r)},
            {BlockKind::Entry, Bytes(entry.begin(), entry.end())},
            {BlockKind::Index, SealedIndexEntry(Key("Maker", "TV", "X-100", 1570))}};
}

TEST(Blocks, SealedBlocksVerifyAndAnySingleByteChangeIsCaught) {
    for (const SealedSample& s : SealedSamples()) {
        ASSERT_TRUE(format::Verify(s.kind, s.bytes)) << static_cast<int>(s.kind);
        for (size_t i = 0; i < s.bytes.size(); ++i) {
            for (uint8_t flip : {uint8_t{0x01}, uint8_t{0x80}, uint8_t{0xFF}}) {
                Bytes damaged = s.bytes;
                damaged[i] ^= flip;
                ASSERT_FALSE(format::Verify(s.kind, damaged))
                    << "block " << static_cast<int>(s.kind) << " byte " << i << " ^ " << int(flip);
            }
        }
    }
}

TEST(Blocks, VerifyRefusesWrongLengthsWrongMagicAndZeroIndexEntry) {
    for (const SealedSample& s : SealedSamples()) {
        EXPECT_FALSE(format::Verify(s.kind, std::span<const uint8_t>(s.bytes).first(s.bytes.size() - 1)));
        Bytes longer = s.bytes;
        longer.push_back(0);
        EXPECT_FALSE(format::Verify(s.kind, longer));
        EXPECT_FALSE(format::Verify(s.kind, {}));
    }
    // A block whose checksum matches but whose magic is another block's is refused.
    format::RecordHeader r;
    r.magic = format::kEntryMagic;
    EXPECT_FALSE(format::Verify(BlockKind::Record, SealedRecordHeader(r)));
    format::LibraryHeader h;
    h.magic = 0;
    EXPECT_FALSE(format::Verify(BlockKind::Header, SealedHeader(h)));
    // The index entry has no magic; only its checksum guards an all-zero block.
    EXPECT_FALSE(format::Verify(BlockKind::Index, Bytes(format::kIndexEntrySize, 0)));
    EXPECT_FALSE(format::Verify(BlockKind::Header, Bytes(format::kHeaderSize, 0)));
}

TEST(Blocks, ChecksumIgnoresTheStoredCrcField) {
    for (const SealedSample& s : SealedSamples()) {
        const size_t at = s.kind == BlockKind::Index ? 0 : 4;
        Bytes zeroed = s.bytes;
        std::memset(zeroed.data() + at, 0, 4);
        EXPECT_EQ(format::BlockChecksum(s.kind, s.bytes), format::BlockChecksum(s.kind, zeroed));
        EXPECT_EQ(format::Load32(s.bytes.data() + at), format::crc32(zeroed));
    }
}

TEST(Names, FieldsAreCopiedToTheTerminatorAndZeroFilled) {
    const char garbage[] = "Abc\0XYZXYZXYZXYZXYZXY";
    const format::Name n = format::NameFromString(garbage);
    EXPECT_STREQ(n.data(), "Abc");
    for (size_t i = 3; i < 21; ++i) EXPECT_EQ(n[i], '\0') << i;
    const format::Name twenty = format::NameFromString("01234567890123456789");
    EXPECT_EQ(twenty[19], '9');
    EXPECT_EQ(twenty[20], '\0');
    EXPECT_TRUE(format::HasTerminator(twenty));
    // 21 characters fill the field without a terminator; nothing beyond 21 bytes is read.
    const format::Name full = format::NameFromString("0123456789012345678901234");
    EXPECT_EQ(full[20], '0');
    EXPECT_FALSE(format::HasTerminator(full));
}

class BlockIo : public LibraryTest {};

TEST_F(BlockIo, ShortTransfersAndDamagedBlocksAreRefused) {
    FileBuilder f;
    const uint32_t at = f.AddLive("M", "T", "X");
    f.WriteTo(Path("a.lib"));
    const int fd = platform::OpenWrite(Path("a.lib").c_str());
    ASSERT_NE(fd, platform::kNoFile);
    format::HeaderBytes bytes;
    format::LibraryHeader h;
    ASSERT_TRUE(format::ReadHeader(fd, bytes, h));
    EXPECT_EQ(h.recordCount, 1u);
    format::RecordHeader r;
    ASSERT_TRUE(format::ReadRecordHeader(fd, at, r));
    EXPECT_STREQ(r.model.data(), "X");
    // The record header's bytes read as a header are refused, and so is the index entry.
    EXPECT_FALSE(format::ReadRecordHeader(fd, at + 1, r));
    EXPECT_FALSE(format::ReadRecordHeader(fd, h.dataEnd, r));
    // Past the end of the file: a short read.
    EXPECT_FALSE(format::ReadRecordHeader(fd, h.dataEnd + 20, r));

    platform::testing::InjectFault(platform::FaultCall::Read, 1, platform::FaultEffect::Short);
    EXPECT_FALSE(format::ReadHeader(fd, bytes, h));
    platform::testing::InjectFault(platform::FaultCall::Read, 1);
    EXPECT_FALSE(format::ReadRecordHeader(fd, at, r));
    // A short write of a changed header leaves a new first half before the old second half.
    format::LibraryHeader changed = h;
    changed.freeSlots[255] = {1234, 56};
    platform::testing::InjectFault(platform::FaultCall::Write, 1, platform::FaultEffect::Short);
    EXPECT_FALSE(format::WriteHeader(fd, changed));
    platform::testing::ClearFaults();
    format::LibraryHeader reread;
    EXPECT_FALSE(format::ReadHeader(fd, bytes, reread));
    ASSERT_TRUE(format::WriteHeader(fd, h));
    EXPECT_TRUE(format::ReadHeader(fd, bytes, h));
    platform::CloseFile(fd);
    EXPECT_EQ(ReadFile(Path("a.lib")), f.Build());
}

}  // namespace
}  // namespace varnel32::test
