// Fetching a record: the stored bytes are read in one positioned read (two when the first
// read, sized by the tree's guess of the record's extent, falls short) straight into the
// result block, then every block is verified and the entries are moved down in place into
// the caller's layout. Nothing is copied beyond the result block whatever the file claims.
#include <algorithm>
#include <cstring>

#include "format/blocks.h"
#include "format/endian.h"
#include "format/names.h"
#include "platform/owned_block.h"
#include "platform/platform.h"
#include "records/records.h"

namespace varnel32::records {
namespace {

// Without a guess the first read takes 1 KiB: a small record whole, the header and first
// entries of a larger one, which is then read on into the result block. A read costs
// about as much as copying 16 KiB more, so a guess of the whole extent pays even when it
// brings a kilobyte of spare space along.
constexpr uint32_t kDefaultFirstRead = 1024;

// Bytes read at `offset`, at most `count`: a read that comes back short (end of file)
// ends the count there, a failed one gives 0.
uint32_t ReadUpTo(int fd, uint32_t offset, uint8_t* into, uint32_t count) {
    const int32_t n = platform::ReadBytesAt(fd, offset, into, count);
    return n > 0 ? static_cast<uint32_t>(n) : 0;
}

}  // namespace

void* FetchRemoteRecord(LibraryHandle* handle, const char* manufacturer, const char* type,
                        const char* model) {
    format::Name m, t, mo;
    if (!format::CopyNameField(manufacturer, m) || !format::CopyNameField(type, t) ||
        !format::CopyNameField(model, mo)) {
        return nullptr;
    }
    const index::ModelNode* node = index::FindRecord(handle->index, m.data(), t.data(), mo.data());
    if (node == nullptr || node->recordOffset == 0) return nullptr;
    const uint32_t offset = node->recordOffset;
    const int fd = handle->descriptor;
    uint8_t first[index::kLongestFirstRead];
    const uint32_t want = std::min<uint32_t>(node->firstRead != 0 ? node->firstRead : kDefaultFirstRead,
                                             sizeof first);
    const uint32_t got = ReadUpTo(fd, offset, first, want);
    if (got < format::kRecordHeaderSize) return nullptr;
    const std::span<const uint8_t, format::kRecordHeaderSize> headerBytes(first, format::kRecordHeaderSize);
    if (!format::Verify(format::BlockKind::Record, headerBytes)) return nullptr;
    const format::RecordHeader header = format::DecodeRecordHeader(headerBytes);
    // A live record is never shorter than its own header; a blank deleted one is (0).
    const size_t used = header.usedSize;
    if (used < format::kRecordHeaderSize) return nullptr;

    // Every byte is written below: head, entries, zeros after the last entry.
    platform::OwnedBlock block(used, platform::OwnedBlock::Unfilled{});
    if (block.failed()) return nullptr;
    uint8_t* out = block.get();
    // The stored record goes to the same offsets in the block; `available` is how much of
    // it the file holds, so that an entry beyond the end of the file fails as a short read.
    size_t available = std::min<size_t>(got, used);
    std::memcpy(out, first, available);
    if (available < used && got == want) {
        available += ReadUpTo(fd, offset + static_cast<uint32_t>(available), out + available,
                              static_cast<uint32_t>(used - available));
    }

    // `position` runs through the result layout, `stored` through the stored one, always
    // ahead of it (a RecordHeader is 12 bytes longer than the head, an EntryHeader 8 more
    // than an entry's), so each entry moves down without overwriting one still to come.
    // The entries must lie within the stored used size as the file lays them out; checking
    // only the shorter result layout would accept a used size that is 8 bytes per entry and
    // 12 bytes short, and take entry bytes beyond it.
    size_t position = format::kRemoteHeadSize;
    size_t stored = format::kRecordHeaderSize;
    for (uint16_t i = 0; i < header.entryCount; ++i) {
        if (stored + format::kEntryHeaderSize > used) return nullptr;
        if (stored + format::kEntryHeaderSize > available) return nullptr;
        const std::span<const uint8_t> entryBytes(out + stored, format::kEntryHeaderSize);
        if (!format::Verify(format::BlockKind::Entry, entryBytes)) return nullptr;
        const size_t length = format::Load16(out + stored + format::kEntryDataLengthOffset);
        const size_t data = stored + format::kEntryHeaderSize;
        if (data + length > used || data + length > available) return nullptr;
        std::memmove(out + position, out + stored + format::kEntryHeadOffset, format::kEntryHeadSize);
        position += format::kEntryHeadSize;
        std::memmove(out + position, out + data, length);
        position += length;
        stored = data + length;
    }
    std::memset(out + position, 0, used - position);
    format::Store16(out + format::kRemoteUsedSizeOffset, header.usedSize);
    format::Store16(out + format::kRemoteEntryCountOffset, header.entryCount);
    std::memcpy(out + format::kRemoteManufacturerOffset, header.manufacturer.data(), header.manufacturer.size());
    std::memcpy(out + format::kRemoteTypeOffset, header.type.data(), header.type.size());
    std::memcpy(out + format::kRemoteModelOffset, header.model.data(), header.model.size());
    return block.Take();
}

}  // namespace varnel32::records
