// The benchmark's data sets: a synthetic one of any size, and the records of a directory
// of .ir files exactly as irlib imports them (imported into a scratch library once, then
// fetched back, untimed). Each record also gets a copy with its entries' data 30% longer
// for the rewrite phase.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>

#include "format/blocks.h"
#include "stores.h"
#include "varnel32.h"

namespace bench {
namespace {

namespace fmt = varnel32::format;

constexpr size_t kHead = fmt::kRemoteHeadSize;
constexpr size_t kEntryHead = fmt::kEntryHeadSize;
constexpr size_t kMaxName = fmt::NAME_FIELD_SIZE - 1;
// The extra space a new handle gives every record it writes.
constexpr size_t kExtraSpace = 1024;
// The size of a synthetic record in the file: five entries of 30 bytes.
constexpr size_t kSyntheticUsed = fmt::kRecordHeaderSize + 5 * (fmt::kEntryHeaderSize + 30);

void PutName(std::vector<uint8_t>& image, size_t offset, const std::string& name) {
    std::memcpy(image.data() + offset, name.data(), std::min<size_t>(name.size(), kMaxName));
}

// Each entry's data grows by 30% (repeating its own bytes), unless the record would then
// not fit an extent with the default extra space; such a record is rewritten as it was.
std::vector<uint8_t> Grown(const std::vector<uint8_t>& image) {
    const unsigned count = IR_GET16(image.data() + IR_RECORD_ENTRY_COUNT_OFFSET);
    std::vector<uint8_t> out(image.begin(), image.begin() + kHead);
    size_t at = kHead, used = fmt::kRecordHeaderSize;
    for (unsigned e = 0; e < count; ++e) {
        const unsigned length = IR_GET16(image.data() + at + IR_ENTRY_DATA_LENGTH_OFFSET);
        const unsigned longer = length + length * 3 / 10;
        const size_t head = out.size();
        out.insert(out.end(), image.begin() + static_cast<long>(at),
                   image.begin() + static_cast<long>(at + kEntryHead + length));
        for (unsigned i = length; i < longer; ++i) out.push_back(image[at + kEntryHead + i % length]);
        IR_PUT16(out.data() + head + IR_ENTRY_DATA_LENGTH_OFFSET, longer);
        used += fmt::kEntryHeaderSize + longer;
        at += kEntryHead + length;
    }
    if (used + kExtraSpace > fmt::kMaxRecordSize) return image;
    IR_PUT16(out.data() + IR_RECORD_USED_SIZE_OFFSET, used);
    out.resize(used, 0);
    return out;
}

std::vector<std::string> Names(NameList* list) {
    std::vector<std::string> names;
    if (list == nullptr) return names;
    const auto* bytes = reinterpret_cast<const uint8_t*>(list);
    const unsigned count = IR_GET16(bytes);
    for (unsigned i = 0; i < count; ++i) {
        names.emplace_back(reinterpret_cast<const char*>(bytes + fmt::kNameListNamesOffset + fmt::NAME_FIELD_SIZE * i));
    }
    IRFreeModels(list);
    return names;
}

void Field(char* field, const std::string& name) {
    std::memset(field, 0, IR_NAME_FIELD_SIZE);
    std::memcpy(field, name.data(), std::min<size_t>(name.size(), kMaxName));
}

// One listing of the manufacturers, one of types per manufacturer, one of models per type.
size_t Listings(const std::vector<Record>& records) {
    std::set<std::string> makers, types;
    for (const Record& r : records) {
        makers.insert(Folded(r.manufacturer));
        types.insert(Folded(r.manufacturer) + '\x01' + Folded(r.type));
    }
    return 1 + makers.size() + types.size();
}

}  // namespace

std::string Folded(const std::string& name) {
    std::string out = name;
    for (char& c : out) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    return out;
}

Dataset SyntheticDataset(size_t count) {
    static const char* const kTypes[] = {"TV", "AC", "Audio", "Projector", "Fan"};
    Dataset set;
    set.name = "synthetic " + std::to_string(count);
    std::mt19937 random(7);
    set.records.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        Record r;
        char text[32];
        std::snprintf(text, sizeof text, "Maker%04zu", i % 1000);
        r.manufacturer = text;
        r.type = kTypes[(i / 1000) % 5];
        std::snprintf(text, sizeof text, "Model%07zu", i);
        r.model = text;
        r.image.assign(kHead, 0);
        IR_PUT16(r.image.data() + IR_RECORD_USED_SIZE_OFFSET, kSyntheticUsed);
        IR_PUT16(r.image.data() + IR_RECORD_ENTRY_COUNT_OFFSET, 5);
        PutName(r.image, IR_RECORD_MANUFACTURER_OFFSET, r.manufacturer);
        PutName(r.image, IR_RECORD_TYPE_OFFSET, r.type);
        PutName(r.image, IR_RECORD_MODEL_OFFSET, r.model);
        for (int e = 0; e < 5; ++e) {
            std::vector<uint8_t> head(kEntryHead, 0);
            head[0] = 1;
            IR_PUT16(head.data() + IR_ENTRY_DATA_LENGTH_OFFSET, 30);
            r.image.insert(r.image.end(), head.begin(), head.end());
            for (int b = 0; b < 30; ++b) r.image.push_back(static_cast<uint8_t>(random()));
        }
        r.image.resize(kSyntheticUsed, 0);
        r.grown = Grown(r.image);
        set.records.push_back(std::move(r));
    }
    set.listings = Listings(set.records);
    return set;
}

bool SampleDataset(const std::string& directory, const std::string& irlib, const std::string& scratch,
                   Dataset& out, std::string& why) {
    std::error_code ec;
    if (!std::filesystem::is_directory(directory, ec)) {
        why = directory + " is not there";
        return false;
    }
    if (!std::filesystem::exists(irlib, ec)) {
        why = "irlib (" + irlib + ") was not built";
        return false;
    }
    const std::string path = scratch + "/sample-import.lib";
    std::filesystem::remove(path, ec);
    const std::string command = "'" + irlib + "' create '" + path + "' >/dev/null 2>&1 && '" + irlib +
                                "' import '" + path + "' '" + directory + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) {
        why = "irlib could not import " + directory;
        return false;
    }
    uint32_t status = 0;
    LibraryHandle* h = IROpenLibrary(0, nullptr, path.c_str(), IRModeReadOnly, 0, &status);
    if (h == nullptr) {
        why = "the imported sample does not open";
        return false;
    }
    out.name = "sample";
    out.records.clear();
    for (const std::string& m : Names(IRFindAllManufacturers(h))) {
        const auto types = Names(IRFindAllTypes(h, m.c_str()));
        for (const std::string& t : types) {
            for (const std::string& mo : Names(IRFindAllModels(h, m.c_str(), t.c_str()))) {
                char fm[fmt::NAME_FIELD_SIZE], ft[fmt::NAME_FIELD_SIZE], fmo[fmt::NAME_FIELD_SIZE];
                Field(fm, m);
                Field(ft, t);
                Field(fmo, mo);
                RemoteRecord* fetched = IRFetchRemoteRecord(h, fm, ft, fmo);
                if (fetched == nullptr) continue;
                const auto* bytes = reinterpret_cast<const uint8_t*>(fetched);
                Record r{m, t, mo, std::vector<uint8_t>(bytes, bytes + IR_GET16(bytes)), {}};
                IRFreeRemoteRecord(fetched);
                // irlib packs large remotes without extra space; the stores write with
                // the default 1024 bytes, which such a record would not fit.
                if (r.image.size() + kExtraSpace > fmt::kMaxRecordSize) continue;
                r.grown = Grown(r.image);
                out.records.push_back(std::move(r));
            }
        }
    }
    IRCloseLibrary(h);
    std::filesystem::remove(path, ec);
    out.name = "sample (" + std::to_string(out.records.size()) + " records)";
    out.listings = Listings(out.records);
    return !out.records.empty();
}

}  // namespace bench
