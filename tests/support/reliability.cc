// Record images, whole-library reads and the starting libraries; see reliability.h.
#include "support/reliability.h"

#ifdef _WIN32
#include "support/test_support.h"
#endif

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "format/endian.h"
#include "maintenance/check.h"

namespace varnel32::reliability {
namespace {

void PutName(uint8_t* field, const std::string& name) {
    std::memset(field, 0, format::NAME_FIELD_SIZE);
    std::memcpy(field, name.data(), std::min<size_t>(name.size(), format::NAME_FIELD_SIZE - 1));
}

std::string NameAt(const uint8_t* field) {
    return std::string(reinterpret_cast<const char*>(field),
                       ::strnlen(reinterpret_cast<const char*>(field), format::NAME_FIELD_SIZE));
}

LibraryHandle* Open(const std::string& path, uint32_t mode) {
    uint32_t status = 99;
    return IROpenLibrary(0, nullptr, path.c_str(), mode, 0, &status);
}

}  // namespace

Bytes MakeRecord(const std::string& manufacturer, const std::string& type,
                 const std::string& model, uint32_t seed, const std::vector<uint16_t>& lengths) {
    Bytes out(IR_RECORD_ENTRIES_OFFSET, 0);
    format::Store16(out.data() + IR_RECORD_ENTRY_COUNT_OFFSET, static_cast<uint16_t>(lengths.size()));
    PutName(out.data() + IR_RECORD_MANUFACTURER_OFFSET, manufacturer);
    PutName(out.data() + IR_RECORD_TYPE_OFFSET, type);
    PutName(out.data() + IR_RECORD_MODEL_OFFSET, model);
    for (size_t i = 0; i < lengths.size(); ++i) {
        const size_t at = out.size();
        out.resize(at + IR_ENTRY_HEAD_SIZE + lengths[i]);
        const size_t head = IR_ENTRY_HEAD_SIZE;
        for (size_t k = 0; k < head + lengths[i]; ++k) {
            out[at + k] = static_cast<uint8_t>(k < head ? seed * 31 + i * 17 + k * 7 : seed + i * 5 + (k - head) * 13);
        }
        format::Store16(out.data() + at + IR_ENTRY_DATA_LENGTH_OFFSET, lengths[i]);
    }
    return out;
}

Bytes FetchImageOf(const Bytes& record) {
    // A record header is longer than a RemoteRecord's head, an entry header than an entry's.
    const uint16_t count = format::Load16(record.data() + IR_RECORD_ENTRY_COUNT_OFFSET);
    Bytes out = record;
    out.resize(record.size() + format::kRecordHeaderSize - IR_RECORD_ENTRIES_OFFSET +
                   (format::kEntryHeaderSize - IR_ENTRY_HEAD_SIZE) * size_t{count}, 0);
    format::Store16(out.data() + IR_RECORD_USED_SIZE_OFFSET, static_cast<uint16_t>(out.size()));
    return out;
}

std::string KeyOf(const std::string& manufacturer, const std::string& type, const std::string& model) {
    std::string key = manufacturer + "/" + type + "/" + model;
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return key;
}

std::string KeyOfRecord(const Bytes& record) {
    return KeyOf(NameAt(record.data() + IR_RECORD_MANUFACTURER_OFFSET), NameAt(record.data() + IR_RECORD_TYPE_OFFSET),
                 NameAt(record.data() + IR_RECORD_MODEL_OFFSET));
}

NameFields FieldsOf(const std::string& key) {
    NameFields f;
    const size_t a = key.find('/');
    const size_t b = key.find('/', a + 1);
    PutName(reinterpret_cast<uint8_t*>(f.manufacturer.data()), key.substr(0, a));
    PutName(reinterpret_cast<uint8_t*>(f.type.data()), key.substr(a + 1, b - a - 1));
    PutName(reinterpret_cast<uint8_t*>(f.model.data()), key.substr(b + 1));
    return f;
}

bool WriteRecord(LibraryHandle* handle, const Bytes& record) {
    return IRWriteRemoteRecord(handle, reinterpret_cast<const RemoteRecord*>(record.data())) == 1;
}

bool DeleteRecord(LibraryHandle* handle, const std::string& key) {
    const NameFields f = FieldsOf(key);
    return IRDeleteRemoteRecord(handle, f.manufacturer.data(), f.type.data(), f.model.data()) == 1;
}

void ForEachListed(LibraryHandle* handle,
                   const std::function<void(const NameFields&, const std::string& key)>& visit) {
    // The fields go back exactly as the listings gave them, whatever bytes the names hold.
    const auto field = [](const void* list, uint16_t i) {
        format::Name name{};
        std::memcpy(name.data(), static_cast<const uint8_t*>(list) + IR_NAMELIST_NAMES_OFFSET + name.size() * i,
                    name.size());
        return name;
    };
    const auto count = [](const void* list) {
        return list == nullptr ? uint16_t{0} : format::Load16(static_cast<const uint8_t*>(list));
    };
    NameList* manufacturers = IRFindAllManufacturers(handle);
    for (uint16_t i = 0; i < count(manufacturers); ++i) {
        NameFields f;
        f.manufacturer = field(manufacturers, i);
        NameList* types = IRFindAllTypes(handle, f.manufacturer.data());
        for (uint16_t j = 0; j < count(types); ++j) {
            f.type = field(types, j);
            NameList* models = IRFindAllModels(handle, f.manufacturer.data(), f.type.data());
            for (uint16_t k = 0; k < count(models); ++k) {
                f.model = field(models, k);
                visit(f, KeyOf(f.manufacturer.data(), f.type.data(), f.model.data()));
            }
            IRFreeModels(models);
        }
        IRFreeTypes(types);
    }
    IRFreeManufacturers(manufacturers);
}

Contents ReadContents(LibraryHandle* handle) {
    Contents contents;
    ForEachListed(handle, [&](const NameFields& f, const std::string& key) {
        RemoteRecord* r = IRFetchRemoteRecord(handle, f.manufacturer.data(), f.type.data(), f.model.data());
        const auto* p = reinterpret_cast<const uint8_t*>(r);
        contents[key] = r == nullptr ? Bytes{} : Bytes(p, p + format::Load16(p));  // usedSize leads
        IRFreeRemoteRecord(r);
    });
    return contents;
}

Contents ContentsOf(const std::string& path) {
    LibraryHandle* h = Open(path, IRModeReadOnly);
    Contents contents = h == nullptr ? Contents{} : ReadContents(h);
    IRCloseLibrary(h);
    return contents;
}

Library BuildLibrary(const std::string& path, uint16_t extraSpace, const std::vector<Bytes>& records,
                     const std::vector<std::string>& deleted) {
    LibraryHandle* h = IRCreateLibrary(0, path.c_str(), 0) == 1 ? Open(path, IRModeWrite) : nullptr;
    bool ok = IRSetExtraSpaceAmount(h, extraSpace) == 1;
    for (const Bytes& r : records) ok = WriteRecord(h, r) && ok;
    for (const std::string& key : deleted) ok = DeleteRecord(h, key) && ok;
    IRCloseLibrary(h);
    return ok ? Library{ReadFile(path), ContentsOf(path), {}} : Library{};
}

Library MakeMainLibrary(const std::string& path) {
    return BuildLibrary(path, kSmallExtraSpace,
                        {MakeRecord("Sony", "TV", "KV-1", 1, {10, 20}), MakeRecord("Sony", "TV", "old-1", 2, {100}),
                         MakeRecord("Sony", "TV", "KV-2", 3, {30}), MakeRecord("Sony", "VCR", "SL-1", 4, {5}),
                         MakeRecord("Grundig", "Sat", "old-2", 5, {}), MakeRecord("Philips", "TV", "PT-1", 6, {8, 8, 8}),
                         MakeRecord("Philips", "Audio", "AX-1", 7, {}), MakeRecord("Grundig", "TV", "G-1", 8, {40}),
                         MakeRecord("Grundig", "TV", "G-2", 9, {12})},
                        {"sony/tv/old-1", "grundig/sat/old-2"});
}

Library MakeNearlyFullLibrary(const std::string& path) {
    std::vector<Bytes> records{MakeRecord("Live", "TV", "L1", 11, {6})};
    std::vector<std::string> junk;
    for (int i = 0; i < 254; ++i) {
        records.push_back(MakeRecord("Junk", "X", "j" + std::to_string(i), 20, {}));
        junk.push_back("junk/x/j" + std::to_string(i));
        if (i % 100 != 99 && i != 253) continue;
        records.push_back(MakeRecord("Live", "TV", "L" + std::to_string(i / 100 + 2), 12 + i / 100, {9}));
    }
    return BuildLibrary(path, 0, records, junk);
}

Library MakeDirtyLibrary(const std::string& path, const Library& main) {
    LibraryHandle* h = WriteFile(path, main.file) ? Open(path, IRModeWrite) : nullptr;
    Library dirty;  // the file as it stands while the writer still holds it
    if (IRSetExtraSpaceAmount(h, kSmallExtraSpace) == 1 && WriteRecord(h, MakeRecord("Sony", "TV", "KV-9", 30, {50}))) {
        dirty = {ReadFile(path), ReadContents(h), {}};
    }
    IRCloseLibrary(h);
    return dirty;
}

Bytes ReadFile(const std::string& path) {
#ifdef _WIN32
    return test::ReadFile(path);  // which also reads a file that a writer of this process holds
#else
    Bytes bytes;  // read in one piece: the loops read files thousands of times, also at -O0
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        std::fseek(f, 0, SEEK_END);
        bytes.resize(static_cast<size_t>(std::max(0L, std::ftell(f))));
        std::rewind(f);
        bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
        std::fclose(f);
    }
    return bytes;
#endif
}

bool WriteFile(const std::string& path, const Bytes& bytes) {
    // Overwritten in place and cut only when it was longer, never emptied first: a file
    // truncated to zero and rewritten is flushed to the disk at its close by some file systems
    // (ext4, and wine's), which would make the loops that rewrite one file thousands of times
    // wait on the disk; and under wine every further open of the file costs.
    std::error_code missing, error;
    const bool longer = std::filesystem::file_size(path, missing) > bytes.size() && !missing;
    FILE* f = std::fopen(path.c_str(), "r+b");
    if (f == nullptr) f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (std::fclose(f) != 0 || !written) return false;
    if (longer) std::filesystem::resize_file(path, bytes.size(), error);
    return !error;
}

std::string Violations(const Bytes& file) {
    const check::Report report = check::Check(file);
    if (report.ok()) return "";
    return check::Describe(report.violations.front()) + " (" + std::to_string(report.violations.size()) +
           " violations)";
}

}  // namespace varnel32::reliability
