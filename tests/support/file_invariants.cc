// Taking a library file apart and checking what every completed operation must leave
// behind; see file_invariants.h. The checker reads only bytes, never the library's state.
#include "support/file_invariants.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>

#include "format/endian.h"

#if defined(__SANITIZE_ADDRESS__)
#define VARNEL32_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VARNEL32_TEST_ASAN 1
#endif
#endif
#ifdef VARNEL32_TEST_ASAN
// The sanitizer runtime's own answer; declared here because not every compiler ships the
// header that declares it.
extern "C" size_t __sanitizer_get_allocated_size(const volatile void* p);
#endif

namespace varnel32::test {
namespace {

using ::testing::AssertionFailure;
using ::testing::AssertionSuccess;

bool AllZero(const Bytes& file, size_t from, size_t to) {
    return std::all_of(file.begin() + static_cast<std::ptrdiff_t>(from),
                       file.begin() + static_cast<std::ptrdiff_t>(to),
                       [](uint8_t b) { return b == 0; });
}

bool ZeroAfterTerminator(const format::Name& name) {
    const auto end = std::find(name.begin(), name.end(), '\0');
    return end != name.end() && std::all_of(end, name.end(), [](char c) { return c == 0; });
}

std::string Triple(const format::RecordHeader& h) {
    return std::string(h.manufacturer.data()) + "/" + h.type.data() + "/" + h.model.data();
}

// Checks one live extent's entries: each EntryHeader verifies and the entries fill exactly
// the used size.
::testing::AssertionResult CheckEntries(const Bytes& file, const ExtentView& extent) {
    const format::RecordHeader& h = extent.header;
    const size_t end = extent.offset + size_t{h.usedSize};
    size_t p = extent.offset + format::kRecordHeaderSize;
    for (uint16_t i = 0; i < h.entryCount; ++i) {
        if (p + format::kEntryHeaderSize > end) {
            return AssertionFailure() << "entry " << i << " of the record at " << extent.offset
                                      << " starts beyond its used size";
        }
        if (!format::Verify(format::BlockKind::Entry,
                            std::span<const uint8_t>(file.data() + p, format::kEntryHeaderSize))) {
            return AssertionFailure()
                   << "entry " << i << " of the record at " << extent.offset << " does not verify";
        }
        p += format::kEntryHeaderSize +
             format::Load16(file.data() + p + format::kEntryDataLengthOffset);
    }
    if (p != end) {
        return AssertionFailure() << "the entries of the record at " << extent.offset << " end at "
                                  << p << ", its used size says " << end;
    }
    return AssertionSuccess();
}

}  // namespace

const ExtentView* FileView::LiveAt(uint32_t offset) const {
    for (const ExtentView& e : extents) {
        if (e.offset == offset && e.header.deleted == 0) return &e;
    }
    return nullptr;
}

bool SameName(const char* a, const char* b) {
    for (;; ++a, ++b) {
        const int x = std::tolower(static_cast<unsigned char>(*a));
        const int y = std::tolower(static_cast<unsigned char>(*b));
        if (x != y) return false;
        if (x == 0) return true;
    }
}

::testing::AssertionResult CheckFileInvariants(const Bytes& file, FileView* out) {
    FileView local;
    FileView& view = out != nullptr ? *out : local;
    view = FileView{};
    if (file.size() < format::kHeaderSize) {
        return AssertionFailure() << "the file has " << file.size() << " bytes, less than a header";
    }
    const std::span<const uint8_t> headerBytes(file.data(), format::kHeaderSize);
    if (!format::Verify(format::BlockKind::Header, headerBytes)) {
        return AssertionFailure() << "the header does not verify";
    }
    view.header = DecodeHeaderOf(file);
    const format::LibraryHeader& h = view.header;
    if (h.dirty > 1) return AssertionFailure() << "dirty is " << h.dirty;
    if (h.dataEnd < format::kRecordAreaStart || h.dataEnd > file.size()) {
        return AssertionFailure() << "dataEnd " << h.dataEnd << " lies outside the file of "
                                  << file.size() << " bytes";
    }

    // 1: the extents tile 1570..dataEnd.
    uint32_t live = 0, deleted = 0;
    std::set<std::string> liveNames;
    for (uint32_t pos = format::kRecordAreaStart; pos < h.dataEnd;) {
        if (pos + format::kRecordHeaderSize > h.dataEnd) {
            return AssertionFailure()
                   << "the extent at " << pos << " runs past dataEnd " << h.dataEnd;
        }
        const std::span<const uint8_t> rh(file.data() + pos, format::kRecordHeaderSize);
        if (!format::Verify(format::BlockKind::Record, rh)) {
            return AssertionFailure() << "the record header at " << pos << " does not verify";
        }
        ExtentView extent{pos, DecodeRecordAt(file, pos)};
        const format::RecordHeader& r = extent.header;
        if (r.capacity < format::kRecordHeaderSize || pos + size_t{r.capacity} > h.dataEnd) {
            return AssertionFailure() << "the extent at " << pos << " has capacity " << r.capacity
                                      << ", dataEnd is " << h.dataEnd;
        }
        if (r.deleted != 0) {
            const bool blank =
                r.deleted == 1 && r.usedSize == 0 && r.entryCount == 0 &&
                r.manufacturer == format::Name{} && r.type == format::Name{} &&
                r.model == format::Name{} &&
                AllZero(file, pos + format::kRecordHeaderSize, pos + size_t{r.capacity});
            if (!blank)
                return AssertionFailure() << "the deleted extent at " << pos << " is not blank";
            ++deleted;
        } else {
            if (r.usedSize < format::kRecordHeaderSize || r.usedSize > r.capacity) {
                return AssertionFailure() << "the record at " << pos << " has used size "
                                          << r.usedSize << " in capacity " << r.capacity;
            }
            if (!format::HasTerminator(r.manufacturer) || !format::HasTerminator(r.type) ||
                !format::HasTerminator(r.model)) {
                return AssertionFailure()
                       << "a name of the record at " << pos << " is unterminated";
            }
            if (auto entries = CheckEntries(file, extent); !entries) return entries;
            std::string key = Triple(r);
            std::transform(key.begin(), key.end(), key.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            if (!liveNames.insert(key).second) {
                return AssertionFailure() << "two live records are named " << Triple(r);
            }
            ++live;
        }
        view.extents.push_back(extent);
        pos += r.capacity;
    }

    // 2 to 4: counters and free slots describe the extents.
    if (h.recordCount != live) {
        return AssertionFailure() << "recordCount " << h.recordCount << " but " << live
                                  << " live extents";
    }
    if (h.freeSlotCount != deleted) {
        return AssertionFailure() << "freeSlotCount " << h.freeSlotCount << " but " << deleted
                                  << " deleted extents";
    }
    uint32_t occupied = 0, bytes = 0;
    std::set<uint32_t> listed;
    for (size_t i = 0; i < format::kFreeSlotCount; ++i) {
        const format::FreeSlot& slot = h.freeSlots[i];
        if (slot.offset == 0) {
            if (slot.size != 0) return AssertionFailure() << "empty slot " << i << " has a size";
            continue;
        }
        ++occupied;
        bytes += slot.size;
        const auto match =
            std::find_if(view.extents.begin(), view.extents.end(),
                         [&](const ExtentView& e) { return e.offset == slot.offset; });
        if (match == view.extents.end() || match->header.deleted == 0 ||
            match->header.capacity != slot.size) {
            return AssertionFailure() << "slot " << i << " (" << slot.offset << ", " << slot.size
                                      << ") names no deleted extent of that capacity";
        }
        if (!listed.insert(slot.offset).second) {
            return AssertionFailure() << "the extent at " << slot.offset << " is listed twice";
        }
    }
    if (occupied != h.freeSlotCount) {
        return AssertionFailure() << occupied << " occupied slots, freeSlotCount "
                                  << h.freeSlotCount;
    }
    if (bytes != h.freeBytes) {
        return AssertionFailure() << "freeBytes " << h.freeBytes << ", slots hold " << bytes;
    }

    // 5: a clean file's stored index names every live extent once.
    if (h.dirty == 0) {
        const size_t indexEnd = h.dataEnd + format::kIndexEntrySize * size_t{h.recordCount};
        if (file.size() < indexEnd) {
            return AssertionFailure()
                   << "a clean file of " << file.size() << " bytes is too short for its index";
        }
        std::set<uint32_t> named;
        for (uint32_t i = 0; i < h.recordCount; ++i) {
            const std::span<const uint8_t> eb(file.data() + h.dataEnd + format::kIndexEntrySize * i,
                                              format::kIndexEntrySize);
            if (!format::Verify(format::BlockKind::Index, eb)) {
                return AssertionFailure() << "index entry " << i << " does not verify";
            }
            format::IndexEntryBytes copy;
            std::copy(eb.begin(), eb.end(), copy.begin());
            const format::IndexEntry entry = format::DecodeIndexEntry(copy);
            const ExtentView* extent = view.LiveAt(entry.recordOffset);
            if (extent == nullptr || !named.insert(entry.recordOffset).second) {
                return AssertionFailure() << "index entry " << i << " points at "
                                          << entry.recordOffset << ", no live extent of its own";
            }
            if (!ZeroAfterTerminator(entry.manufacturer) || !ZeroAfterTerminator(entry.type) ||
                !ZeroAfterTerminator(entry.model) ||
                !SameName(entry.manufacturer.data(), extent->header.manufacturer.data()) ||
                !SameName(entry.type.data(), extent->header.type.data()) ||
                !SameName(entry.model.data(), extent->header.model.data())) {
                return AssertionFailure() << "index entry " << i << " does not carry the names of "
                                          << Triple(extent->header);
            }
            view.index.push_back(entry);
        }
    }
    return AssertionSuccess();
}

::testing::AssertionResult CheckFileInvariantsAt(const std::string& path, FileView* view) {
    return CheckFileInvariants(ReadFile(path), view);
}

uint32_t UsedSizeOf(const Bytes& remote) {
    uint32_t used = format::kRecordHeaderSize;
    size_t p = 67;
    for (uint16_t i = 0; i < format::Load16(remote.data() + 2); ++i) {
        const uint16_t length = format::Load16(remote.data() + p + 3);
        used += static_cast<uint32_t>(format::kEntryHeaderSize) + length;
        p += format::kEntryHeadSize + length;
    }
    return used;
}

Bytes FetchedImageOf(const Bytes& remote) {
    Bytes fetched = remote;
    const uint32_t used = UsedSizeOf(remote);
    format::Store16(fetched.data(), static_cast<uint16_t>(used));
    fetched.resize(used, 0);
    return fetched;
}

void FillAfterTerminator(Bytes& remote, size_t fieldOffset, uint8_t value) {
    uint8_t* field = remote.data() + fieldOffset;
    const size_t length = ::strnlen(reinterpret_cast<const char*>(field), 21);
    std::fill(field + std::min<size_t>(length + 1, 21), field + 21, value);
}

Bytes NameListOf(const std::vector<std::string>& names) {
    Bytes list(2 + 21 * names.size(), 0);
    format::Store16(list.data(), static_cast<uint16_t>(names.size()));
    for (size_t i = 0; i < names.size(); ++i) {
        std::memcpy(list.data() + 2 + 21 * i, names[i].data(),
                    std::min<size_t>(names[i].size(), 20));
    }
    return list;
}

Bytes BlockBytes(const void* block, size_t size) {
    const auto* p = static_cast<const uint8_t*>(block);
    return Bytes(p, p + size);
}

std::optional<size_t> RequestedSize(const void* block) {
#ifdef VARNEL32_TEST_ASAN
    return __sanitizer_get_allocated_size(block);
#else
    (void)block;
    return std::nullopt;
#endif
}

namespace {

std::optional<Bytes> TakeBlock(void* block, size_t size) {
    if (block == nullptr) return std::nullopt;
    if (const auto requested = RequestedSize(block)) {
        EXPECT_EQ(*requested, size) << "the block was allocated with another length";
    }
    Bytes bytes = BlockBytes(block, size);
    IRFreeModels(block);
    return bytes;
}

}  // namespace

std::optional<Bytes> TakeList(NameList* list) {
    if (list == nullptr) return std::nullopt;
    return TakeBlock(list, 2 + 21 * size_t{IR_GET16(list)});
}

std::optional<Bytes> TakeRecord(RemoteRecord* record) {
    if (record == nullptr) return std::nullopt;
    return TakeBlock(record, IR_GET16(record));
}

std::optional<Bytes> FetchNamed(LibraryHandle* h, const std::string& manufacturer,
                                const std::string& type, const std::string& model) {
    const format::Name m = Field(manufacturer), t = Field(type), mo = Field(model);
    return TakeRecord(IRFetchRemoteRecord(h, m.data(), t.data(), mo.data()));
}

int32_t DeleteNamed(LibraryHandle* h, const std::string& manufacturer, const std::string& type,
                    const std::string& model) {
    const format::Name m = Field(manufacturer), t = Field(type), mo = Field(model);
    return IRDeleteRemoteRecord(h, m.data(), t.data(), mo.data());
}

int32_t WriteBytes(LibraryHandle* h, const Bytes& record) {
    return IRWriteRemoteRecord(h, reinterpret_cast<const RemoteRecord*>(record.data()));
}

}  // namespace varnel32::test
