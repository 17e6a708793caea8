// Resealed blocks and index keys; see file_builder.h.
#include "support/file_builder.h"

namespace varnel32::test {
namespace {

template <format::BlockKind K, size_t N, typename Block>
Bytes Reseal(Bytes file, size_t at, const Block& block) {
    if (file.size() < at + N) file.resize(at + N);
    format::Encode(block, std::span<uint8_t, N>(file.data() + at, N));
    format::Seal(K, std::span<uint8_t>(file.data() + at, N));
    return file;
}

std::string KeyOf(const format::IndexEntry& e) {
    return std::string(e.manufacturer.data()) + "/" + e.type.data() + "/" + e.model.data() + "@" +
           std::to_string(e.recordOffset);
}

}  // namespace

Bytes Resealed(Bytes file, size_t at, const format::LibraryHeader& block) {
    return Reseal<format::BlockKind::Header, format::kHeaderSize>(std::move(file), at, block);
}
Bytes Resealed(Bytes file, size_t at, const format::RecordHeader& block) {
    return Reseal<format::BlockKind::Record, format::kRecordHeaderSize>(std::move(file), at, block);
}
Bytes Resealed(Bytes file, size_t at, const format::EntryHeader& block) {
    return Reseal<format::BlockKind::Entry, format::kEntryHeaderSize>(std::move(file), at, block);
}
Bytes Resealed(Bytes file, size_t at, const format::IndexEntry& block) {
    return Reseal<format::BlockKind::Index, format::kIndexEntrySize>(std::move(file), at, block);
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
                keys.push_back(KeyOf(index::MakeKey(m.name, t.name, t.models[k].name, t.models[k].recordOffset)));
            }
        }
    }
    return keys;
}

format::IndexEntry Key(const std::string& manufacturer, const std::string& type,
                       const std::string& model, uint32_t offset) {
    return index::MakeKey(Field(manufacturer), Field(type), Field(model), offset);
}

}  // namespace varnel32::test
