// Byte-by-byte library files and the registry-free handle; see file_builder.h.
#include "support/file_builder.h"

#include <cstring>

#include "format/endian.h"
#include "platform/platform.h"

namespace varnel32::test {
namespace {

// The bytes of one block, encoded and sealed.
template <format::BlockKind K, size_t N, typename Block>
Bytes Sealed(const Block& block) {
    Bytes bytes(N);
    format::Encode(block, std::span<uint8_t, N>(bytes.data(), N));
    format::Seal(K, bytes);
    return bytes;
}

}  // namespace

FileBuilder::FileBuilder(uint32_t kind) { header.kind = kind; }

uint32_t FileBuilder::AddLive(const std::string& manufacturer, const std::string& type,
                              const std::string& model, const std::vector<Entry>& entries,
                              uint16_t spare) {
    return AddLive(Field(manufacturer), Field(type), Field(model), entries, spare);
}

uint32_t FileBuilder::AddLive(const format::Name& manufacturer, const format::Name& type,
                              const format::Name& model, const std::vector<Entry>& entries,
                              uint16_t spare) {
    Bytes body;
    for (const Entry& e : entries) {
        format::EntryHeader entry;
        std::copy(e.head.begin(), e.head.begin() + 40, entry.head.begin());
        format::Store16(entry.head.data() + 3, static_cast<uint16_t>(e.data.size()));
        format::EntryHeaderBytes block;
        format::Encode(entry, block);
        format::Seal(format::BlockKind::Entry, block);
        body.insert(body.end(), block.begin(), block.end());
        body.insert(body.end(), e.data.begin(), e.data.end());
    }
    format::RecordHeader record;
    record.usedSize = static_cast<uint16_t>(format::kRecordHeaderSize + body.size());
    record.capacity = static_cast<uint16_t>(record.usedSize + spare);
    record.entryCount = static_cast<uint16_t>(entries.size());
    record.manufacturer = manufacturer;
    record.type = type;
    record.model = model;
    const uint32_t offset = header.dataEnd;
    const Bytes head = Sealed<format::BlockKind::Record, format::kRecordHeaderSize>(record);
    area.insert(area.end(), head.begin(), head.end());
    area.insert(area.end(), body.begin(), body.end());
    for (uint16_t i = 0; i < spare; ++i) {
        area.push_back(static_cast<uint8_t>(0x80 | ((seed_ * 37 + i) & 0x7F)));
    }
    ++seed_;
    header.dataEnd += record.capacity;
    header.recordCount += 1;
    format::IndexEntry key;
    key.manufacturer = format::NameFromString(manufacturer.data());
    key.type = format::NameFromString(type.data());
    key.model = format::NameFromString(model.data());
    key.recordOffset = offset;
    index.push_back(key);
    extents.push_back({offset, record.capacity, false});
    return offset;
}

uint32_t FileBuilder::AddDeleted(uint16_t capacity) {
    const uint32_t offset = header.dataEnd;
    format::RecordHeader blank;
    blank.capacity = capacity;
    blank.deleted = 1;
    Bytes extent = Sealed<format::BlockKind::Record, format::kRecordHeaderSize>(blank);
    extent.resize(capacity);  // the body is zeros
    area.insert(area.end(), extent.begin(), extent.end());
    for (format::FreeSlot& slot : header.freeSlots) {
        if (slot.offset == 0) {
            slot = {offset, capacity};
            break;
        }
    }
    header.freeSlotCount += 1;
    header.freeBytes += capacity;
    header.dataEnd += capacity;
    extents.push_back({offset, capacity, true});
    return offset;
}

Bytes FileBuilder::Build() const {
    Bytes file = SealedHeader(header);
    file.insert(file.end(), area.begin(), area.end());
    for (const format::IndexEntry& e : index) {
        const Bytes block = Sealed<format::BlockKind::Index, format::kIndexEntrySize>(e);
        file.insert(file.end(), block.begin(), block.end());
    }
    return file;
}

void FileBuilder::WriteTo(const std::string& path) const { WriteFile(path, Build()); }

Bytes SealedHeader(const format::LibraryHeader& header) { return Sealed<format::BlockKind::Header, format::kHeaderSize>(header); }

Bytes Slice(const Bytes& file, size_t offset, size_t length) {
    if (offset > file.size()) return {};
    const size_t end = std::min(file.size(), offset + length);
    return Bytes(file.begin() + static_cast<std::ptrdiff_t>(offset),
                 file.begin() + static_cast<std::ptrdiff_t>(end));
}

std::string KeyOf(const format::IndexEntry& e) {
    return std::string(e.manufacturer.data()) + "/" + e.type.data() + "/" + e.model.data() +
           "@" + std::to_string(e.recordOffset);
}

std::vector<std::string> KeysOf(const std::vector<format::IndexEntry>& run) {
    std::vector<std::string> keys;
    for (const auto& e : run) keys.push_back(KeyOf(e));
    return keys;
}

std::vector<std::string> KeysOf(const index::CatalogueIndex& tree) {
    std::vector<std::string> keys;
    for (uint16_t i = 0; i < tree.manufacturerCount; ++i) {
        const index::ManufacturerNode& m = tree.manufacturers[i];
        for (uint16_t j = 0; j < m.typeCount; ++j) {
            const index::TypeNode& t = m.types[j];
            for (uint16_t k = 0; k < t.modelCount; ++k) {
                keys.push_back(KeyOf(index::MakeKey(m.name, t.name, t.models[k].name,
                                                    t.models[k].recordOffset)));
            }
        }
    }
    return keys;
}

std::string UiTrace(const void* userCursor) {
    using platform::testing::UiEvent;
    std::string trace;
    for (const UiEvent& e : platform::testing::UiEvents()) {
        if (!trace.empty()) trace += ' ';
        switch (e.kind) {
            case UiEvent::Kind::LoadCursor:
                trace += e.value == platform::kWaitCursorId && e.cursor == platform::testing::WaitCursor()
                             ? "load"
                             : "load:other";
                break;
            case UiEvent::Kind::SetCursor:
                trace += e.cursor == platform::testing::WaitCursor() ? "wait"
                         : e.cursor == userCursor     ? "user"
                                                                     : "set:other";
                break;
            case UiEvent::Kind::Beep:
                trace += "beep:" + std::to_string(e.value);
                break;
            case UiEvent::Kind::MessageBox:
                trace += "box:" + std::to_string(reinterpret_cast<uintptr_t>(e.owner)) + ":" +
                         e.caption + ":" + std::to_string(e.value) + ":" + e.text;
                break;
        }
    }
    return trace;
}

format::IndexEntry Key(const std::string& manufacturer, const std::string& type,
                       const std::string& model, uint32_t offset) {
    return index::MakeKey(Field(manufacturer), Field(type), Field(model), offset);
}

}  // namespace varnel32::test
