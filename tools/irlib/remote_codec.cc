// Building and reading RemoteRecord images (layout in include/varnel32.h) for IR remotes.
#include "remote_codec.h"

#include <cstring>

#include "format/endian.h"

namespace irlib {
namespace {

void CopyName(std::vector<uint8_t>& image, size_t offset, const std::string& name) {
    std::memcpy(image.data() + offset, name.data(), name.size() > kMaxName ? kMaxName : name.size());
}

std::string ReadName(std::span<const uint8_t> image, size_t offset) {
    const char* p = reinterpret_cast<const char*>(image.data() + offset);
    return std::string(p, strnlen(p, kMaxName + 1));
}

}  // namespace

size_t StoredSize(const std::vector<Entry>& entries) {
    size_t size = kStoredRecordOverhead;
    for (const Entry& e : entries) size += e.StoredSize();
    return size;
}

std::vector<uint8_t> BuildRecordImage(const CatalogueNames& names,
                                      const std::vector<Entry>& entries) {
    size_t size = kRemoteRecordHeadSize;
    for (const Entry& e : entries) size += kHeadSize + e.data.size();
    std::vector<uint8_t> image(size, 0);
    fmt::Store16(image.data() + fmt::kRemoteEntryCountOffset, static_cast<uint16_t>(entries.size()));
    CopyName(image, fmt::kRemoteManufacturerOffset, names.manufacturer);
    CopyName(image, fmt::kRemoteTypeOffset, names.type);
    CopyName(image, fmt::kRemoteModelOffset, names.model);
    size_t pos = kRemoteRecordHeadSize;
    for (const Entry& e : entries) {
        std::memcpy(image.data() + pos, e.head.data(), kHeadSize);
        pos += kHeadSize;
        if (!e.data.empty()) std::memcpy(image.data() + pos, e.data.data(), e.data.size());
        pos += e.data.size();
    }
    return image;
}

bool SplitEntries(const std::vector<Entry>& items, size_t limit, size_t reservedBytes,
                  std::vector<std::vector<Entry>>& parts, std::string& error) {
    parts.clear();
    const size_t base = kStoredRecordOverhead + reservedBytes;
    size_t used = base;
    std::vector<Entry> current;
    for (size_t i = 0; i < items.size(); ++i) {
        const size_t need = items[i].StoredSize();
        if (base + need > limit) {
            error = "item " + std::to_string(i + 1) + " takes " + std::to_string(need) +
                    " bytes, more than one record holds";
            return false;
        }
        if (used + need > limit) {
            parts.push_back(std::move(current));
            current.clear();
            used = base;
        }
        current.push_back(items[i]);
        used += need;
    }
    parts.push_back(std::move(current));
    return true;
}

bool SplitRecordImage(std::span<const uint8_t> image, CatalogueNames& names,
                      std::vector<RawEntry>& entries, std::string& error) {
    entries.clear();
    if (image.size() < kRemoteRecordHeadSize) {
        error = "record shorter than its head";
        return false;
    }
    names.manufacturer = ReadName(image, fmt::kRemoteManufacturerOffset);
    names.type = ReadName(image, fmt::kRemoteTypeOffset);
    names.model = ReadName(image, fmt::kRemoteModelOffset);
    const size_t count = fmt::Load16(image.data() + fmt::kRemoteEntryCountOffset);
    size_t pos = kRemoteRecordHeadSize;
    for (size_t i = 0; i < count; ++i) {
        if (image.size() - pos < kHeadSize) {
            error = "entry " + std::to_string(i) + " runs past the record";
            return false;
        }
        std::span<const uint8_t, kHeadSize> head(image.data() + pos, kHeadSize);
        const size_t length = HeadU16(head, kHeadDataLengthOffset);
        pos += kHeadSize;
        if (image.size() - pos < length) {
            error = "data of entry " + std::to_string(i) + " runs past the record";
            return false;
        }
        entries.push_back(RawEntry{head, image.subspan(pos, length)});
        pos += length;
    }
    return true;
}

bool DecodeRemote(std::span<const uint8_t> image, DecodedRemote& out, std::string& error) {
    out = DecodedRemote{};
    if (!SplitRecordImage(image, out.stored, out.entries, error)) return false;
    size_t first = 0;
    if (!out.entries.empty() && HeadKind(out.entries[0].head) == uint8_t(EntryKind::Info)) {
        if (!DecodeInfo(out.entries[0].head, out.entries[0].data, out.info, error)) {
            error = "entry 0: " + error;
            return false;
        }
        out.hasInfo = true;
        first = 1;
    }
    RemoteInfo& info = out.info;
    if (info.manufacturer.empty()) info.manufacturer = out.stored.manufacturer;
    if (info.type.empty()) info.type = out.stored.type;
    if (info.model.empty()) info.model = out.stored.model;
    if (info.path.empty()) info.path = DefaultPath({info.type, info.manufacturer, info.model});
    out.file.filetype = info.filetype.value_or(std::string(kDefaultFiletype));
    out.file.version = info.version.value_or(std::string(kDefaultVersion));
    for (size_t i = first; i < out.entries.size(); ++i) {
        Item item;
        if (!DecodeItem(out.entries[i].head, out.entries[i].data, item, error)) {
            error = "entry " + std::to_string(i) + ": " + error;
            return false;
        }
        out.file.items.push_back(std::move(item));
    }
    return true;
}

}  // namespace irlib
