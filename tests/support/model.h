// A plain in-memory model of a library down to where every extent lies, and a run of random
// operations applied to a library and to the model alike, compared after every step. The model
// test draws the choices from a seeded generator, the operations fuzzer from its input bytes.
#pragma once

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "maintenance/check.h"
#include "support/reliability.h"

namespace varnel32::model {

using reliability::Bytes;
using format::Name;
using Names = std::array<Name, 3>;
inline constexpr size_t kNameSize = IR_NAME_FIELD_SIZE;

inline Names NamesOf(const format::IndexEntry& e) { return {e.manufacturer, e.type, e.model}; }
inline Names Fields(const std::string& manufacturer, const std::string& type, const std::string& model) {
    return {format::NameFromString(manufacturer.c_str()), format::NameFromString(type.c_str()),
            format::NameFromString(model.c_str())};
}
inline std::string KeyOf(const Names& n) { return reliability::KeyOf(n[0].data(), n[1].data(), n[2].data()); }
inline bool Same(const Names& a, const Names& b) { return KeyOf(a) == KeyOf(b); }
// Bytes after a terminator stay, unless they are all zero.
inline std::string Text(const Names& names) {
    std::string text;
    for (const Name& n : names) {
        std::string field(n.begin(), n.end());
        text += (text.empty() ? "" : "/") + field.erase(field.find_last_not_of('\0') + 1);
    }
    return text;
}

// What the library should hold. The rules mirror the library's: first fit by used size into
// whole slots, the lowest empty slot for a deleted extent, compaction at 255 occupied slots,
// a catalogue in first-added order whose makers and types keep the spelling they came with.
struct Model {
    struct Extent {
        uint16_t capacity = 0;
        bool live = false;
        uint16_t used = 0;
        Names stored{};  // the record header's names, as the caller gave them
        Bytes fetched;   // what a fetch returns
    };
    std::vector<format::IndexEntry> run;  // the catalogue in tree order: a clean file's index
    std::map<uint32_t, Extent> extents;
    std::array<format::FreeSlot, format::kFreeSlotCount> slots{};
    uint32_t freeSlotCount = 0, dataEnd = format::kRecordAreaStart;
    bool dirty = false, modified = false;  // modified: by the current handle
    uint16_t extraSpace = 1024;

    uint32_t Find(const Names& names) const {
        const auto e = std::find_if(run.begin(), run.end(), [&](auto& x) { return Same(NamesOf(x), names); });
        return e == run.end() ? 0 : e->recordOffset;
    }

    int32_t Write(const Bytes& remote) {
        const Bytes fetched = reliability::FetchImageOf(remote);
        if (fetched.size() + extraSpace > format::kMaxRecordSize) return 0;
        const auto used = static_cast<uint16_t>(fetched.size());
        Names names;
        static_assert(sizeof names == 3 * kNameSize);
        std::memcpy(names.data(), remote.data() + IR_RECORD_MANUFACTURER_OFFSET, sizeof names);
        dirty = modified = true;
        if (const uint32_t at = Find(names)) {
            if (extents[at].capacity >= used) {
                extents[at] = Extent{extents[at].capacity, true, used, names, fetched};
                return 1;
            }
            Delete(names);
        }
        const auto fits = [&](const format::FreeSlot& s) { return s.offset && s.size >= used; };
        const auto slot = std::find_if(slots.begin(), slots.end(), fits);
        const bool reused = slot != slots.end();
        const uint32_t place = reused ? slot->offset : dataEnd;
        const uint16_t capacity = reused ? slot->size : static_cast<uint16_t>(used + extraSpace);
        freeSlotCount -= reused;
        dataEnd += reused ? 0 : capacity;
        if (reused) *slot = {};
        Add(names, place);
        extents[place] = Extent{capacity, true, used, names, fetched};
        return 1;
    }

    int32_t Delete(const Names& names) {
        const uint32_t at = Find(names);
        if (at == 0) return 0;
        std::erase_if(run, [&](const format::IndexEntry& e) { return e.recordOffset == at; });
        const auto empty = [](const format::FreeSlot& s) { return s.offset == 0; };
        *std::find_if(slots.begin(), slots.end(), empty) = {at, extents[at].capacity};
        ++freeSlotCount;
        extents[at] = Extent{extents[at].capacity, false, 0, {}, {}};
        dirty = modified = true;
        if (freeSlotCount >= format::kCompactionSlotThreshold) Compact();
        return 1;
    }

    void Compact() {
        if (run.empty() && freeSlotCount == 0) return;
        std::map<uint32_t, Extent> packed;
        run.clear();
        uint32_t position = format::kRecordAreaStart;
        for (const auto& [offset, extent] : extents) {
            if (!extent.live) continue;
            Add(extent.stored, position);
            packed[position] = extent;
            position += extent.capacity;
        }
        extents = std::move(packed);
        dataEnd = position;
        slots = {};
        freeSlotCount = 0;
        dirty = false;
    }

    // The last close of a handle saves the index when the handle changed the file.
    void Close() {
        dirty = dirty && !modified;
        modified = false;
        extraSpace = 1024;
    }

    // A new model goes after the last one under its maker and type, else after the last one
    // under its maker, else at the end; the names are kept up to their terminator.
    void Add(const Names& raw, uint32_t offset) {
        format::IndexEntry e;
        e.manufacturer = format::NameFromString(raw[0].data());
        e.type = format::NameFromString(raw[1].data());
        e.model = format::NameFromString(raw[2].data());
        e.recordOffset = offset;
        const auto after = [&](bool type) {  // begin() when there is none
            return std::find_if(run.rbegin(), run.rend(), [&](auto& x) {
                       return check::SameName(x.manufacturer, e.manufacturer) &&
                              (!type || check::SameName(x.type, e.type));
                   }).base();
        };
        auto at = after(true);
        if (at == run.begin()) at = after(false);
        if (at != run.begin()) e.manufacturer = at[-1].manufacturer;
        if (at != run.begin() && check::SameName(at[-1].type, e.type)) e.type = at[-1].type;
        run.insert(at == run.begin() ? run.end() : at, e);
    }
};

// The layout of a file as the checker found it: a model without the records' bytes.
inline Model Found(const check::Report& r) {
    Model m;
    m.run = r.index;
    m.slots = r.header.freeSlots;
    m.dataEnd = r.header.dataEnd;
    m.dirty = r.header.dirty != 0;
    for (const check::ExtentScan& x : r.walk.extents) {
        m.extents[x.offset] = {x.header.capacity, x.header.deleted == 0, x.header.usedSize,
                               {x.header.manufacturer, x.header.type, x.header.model}, {}};
    }
    return m;
}

// The layout as text, a line for each fact the model decides: where the data ends and whether
// the file is dirty, the free slots in use, every extent, and a clean file's index.
inline std::string Layout(const Model& m) {
    const auto n = [](uint32_t value) { return std::to_string(value); };
    std::string text = "data end " + n(m.dataEnd) + (m.dirty ? ", dirty" : "");
    for (size_t i = 0; i < m.slots.size(); ++i) {
        const format::FreeSlot& s = m.slots[i];
        if (s.offset || s.size) text += "\nslot " + n(i) + ": " + n(s.offset) + "+" + n(s.size);
    }
    for (const auto& [at, x] : m.extents) {
        text += "\nextent " + n(at) + " of " + n(x.capacity) +
                (x.live ? ": " + n(x.used) + " bytes " + Text(x.stored) : ": deleted");
    }
    for (const format::IndexEntry& e : m.dirty ? std::vector<format::IndexEntry>{} : m.run) {
        text += "\nindex " + Text(NamesOf(e)) + " at " + n(e.recordOffset);
    }
    return text;
}

// Where the run's choices come from.
struct Source {
    virtual ~Source() = default;
    virtual uint32_t Below(uint32_t n) = 0;  // in [0, n)
    bool Chance(uint32_t percent) { return Below(100) < percent; }
};

// A library at `dir`/model.lib and its model. Every step and check notes the first
// disagreement in `failure`.
class Run {
public:
    Run(const std::string& dir, Source& source)
        : path_(dir + "/model.lib"), copy_(dir + "/copy.lib"), src_(source) {
        std::remove(path_.c_str());
        Expect(IRCreateLibrary(0, path_.c_str(), 0) == 1, "cannot create the library");
        h = Opened(path_, IRModeWrite);
    }
    ~Run() { IRCloseLibrary(h); }

    std::string Step() {  // returns what it did
        const uint32_t r = model.run.empty() ? 0 : src_.Below(1000);
        if (r < 300) return Write(RandomRecord(RandomKey()));
        if (r < 330) return Write(Filling(RandomKey()));
        if (r < 560) {
            const Names key = LiveKey();
            return Write(SizedRecord(key, model.extents[model.Find(key)].capacity, r < 450));
        }
        if (r < 820) return Delete(r < 780 ? LiveKey() : RandomKey());  // a random key may be missing
        if (r < 880) {
            model.extraSpace = std::array<uint16_t, 6>{0, 1, 16, 100, 1024, 4000}[src_.Below(6)];
            Expect(IRSetExtraSpaceAmount(h, model.extraSpace) == 1, "setting the extra space failed");
            return "extra space " + std::to_string(model.extraSpace);
        }
        if (r < 910) return Compact();
        if (r < 915 && model.dataEnd < (1u << 21)) {
            const Names key = RandomKey();
            return Write(Record(key, {static_cast<uint16_t>(40000 + src_.Below(25000))}));
        }
        if (r < 925) return Write(Record(RandomKey(), {40000, 30000}));
        if (r < 930) return Churn();
        return CloseAndReopen();
    }

    // The catalogue, every record and the file as the model has them, and a copy of the file
    // opened as a new process would after a crash: read-only when clean, repaired when dirty.
    void Check() {
        CheckCatalogue(h, model);
        CheckFile(path_, model);
        reliability::WriteFile(copy_, reliability::ReadFile(path_));
        Model expected = model;
        if (expected.dirty) expected.Compact();
        LibraryHandle* copy = Opened(copy_, model.dirty ? IRModeWrite : IRModeReadOnly);
        CheckCatalogue(copy, expected);
        IRCloseLibrary(copy);
        if (model.dirty) CheckFile(copy_, expected);
    }

    std::string Write(const Bytes& record) {
        const int32_t expected = model.Write(record);
        Expect(IRWriteRemoteRecord(h, reinterpret_cast<const RemoteRecord*>(record.data())) == expected,
               expected ? "a write failed" : "an oversized write succeeded");
        return "write " + reliability::KeyOfRecord(record);
    }
    std::string Delete(const Names& key) {
        const Names names = Mangled(key);
        const int32_t expected = model.Delete(names);
        Expect(IRDeleteRemoteRecord(h, names[0].data(), names[1].data(), names[2].data()) == expected,
               expected ? "a delete failed" : "a delete of nothing succeeded");
        return "delete " + Text(names);
    }
    std::string Compact() {
        model.Compact();
        Expect(IRCompactLibrary(h) == 1, "a compaction failed");
        return "compact";
    }
    std::string CloseAndReopen() {
        IRCloseLibrary(h);
        model.Close();
        h = Opened(path_, IRModeWrite);
        return "close and reopen";
    }

    Bytes Record(const Names& key, const std::vector<uint16_t>& lengths) {
        const Names n = Mangled(key);
        return reliability::MakeRecord(n[0].data(), n[1].data(), n[2].data(), src_.Below(256), lengths);
    }

    Model model;
    LibraryHandle* h = nullptr;
    std::string failure;

private:
    static constexpr uint32_t kOneEntry = 127;  // the used size of a record with one empty entry

    void Expect(bool ok, const std::string& what) {
        if (!ok && failure.empty()) failure = what;
    }
    // Notes the first line where two descriptions differ.
    void Agree(const std::string& got, const std::string& expected, const std::string& what) {
        if (got == expected) return;
        const auto at = std::mismatch(got.begin(), got.end(), expected.begin(), expected.end());
        const size_t line = got.rfind('\n', static_cast<size_t>(at.first - got.begin())) + 1;  // npos + 1: 0
        Expect(false, what + " \"" + got.substr(line, 90) + "\", not \"" + expected.substr(line, 90) + "\"");
    }
    LibraryHandle* Opened(const std::string& path, uint32_t mode) {
        uint32_t status = 0;
        LibraryHandle* handle = IROpenLibrary(0, nullptr, path.c_str(), mode, 0, &status);
        Expect(handle != nullptr, path + " does not open, status " + std::to_string(status));
        return handle;
    }

    Names Mangled(Names names) {
        for (Name& name : names) {
            for (char& c : name) c ^= std::isalpha(static_cast<uint8_t>(c)) && src_.Chance(40) ? 0x20 : 0;
        }
        return names;
    }
    Names RandomKey() {
        // Ten makers and up to twelve models a type: levels that grow past and shrink below
        // the size at which the catalogue keeps a name table beside them.
        static const char* makers[] = {"Sony", "Philips", "Acme", "Zenith", "Onkyo", "Denon", "Sharp",
                                       "Pioneer", "Yamaha", "Bose"};
        static const char* types[] = {"TV", "VCR", "Amp", "DVD"};
        const char* maker = makers[src_.Below(10)];
        const char* type = types[src_.Below(4)];
        return Fields(maker, type, "Model-" + std::to_string(src_.Below(12)));
    }
    Names LiveKey() { return NamesOf(model.run[src_.Below(static_cast<uint32_t>(model.run.size()))]); }
    Bytes RandomRecord(const Names& key) {
        std::vector<uint16_t> lengths(src_.Chance(15)   ? 0
                                      : src_.Chance(95) ? 1 + src_.Below(4)
                                                        : 8 + src_.Below(5));
        for (uint16_t& length : lengths) {
            const uint32_t r = src_.Below(100);
            length = static_cast<uint16_t>(r < 70   ? src_.Below(61)
                                           : r < 95 ? 61 + src_.Below(540)
                                                    : 1000 + src_.Below(4000));
        }
        return Record(key, lengths);
    }
    // A record whose used size is that of the first free slot (first fit takes whole slots), or
    // any record when no slot is large enough for one entry.
    Bytes Filling(const Names& key) {
        const auto& slots = model.slots;
        const auto slot = std::find_if(slots.begin(), slots.end(), [](auto& s) { return s.offset != 0; });
        if (slot == slots.end() || slot->size < kOneEntry) return RandomRecord(key);
        return Record(key, {static_cast<uint16_t>(slot->size - kOneEntry)});
    }
    // A record under `key` whose used size is at most (fits) or above (!fits) `capacity`.
    Bytes SizedRecord(const Names& key, uint16_t capacity, bool fits) {
        if (!fits) return Record(key, {uint16_t(std::min(capacity + 1 - kOneEntry + src_.Below(300), 65000u))});
        if (capacity < kOneEntry || src_.Chance(10)) return Record(key, {});
        return Record(key, {static_cast<uint16_t>(src_.Below(capacity - kOneEntry + 1))});
    }

    // Enough small records written and deleted to bring the slot table to 255, which compacts the file.
    std::string Churn() {
        model.extraSpace = 0;
        IRSetExtraSpaceAmount(h, 0);
        const uint32_t count = 255 + src_.Below(6);
        for (uint32_t i = 0; i < count; ++i) Write(Record(Fields("Churn", "C", std::to_string(i)), {}));
        for (uint32_t i = 0; i < count; ++i) Delete(Fields("Churn", "C", std::to_string(i)));
        return "churn to 255 slots";
    }

    // The listings, every listed record asked for in random letter case, and every record's bytes.
    void CheckCatalogue(LibraryHandle* handle, const Model& m) {
        std::string listed, expected;
        reliability::Contents records;
        reliability::ForEachListed(handle, [&](const reliability::NameFields& f, const std::string&) {
            listed += Text({f.manufacturer, f.type, f.model}) + "\n";
        });
        for (const format::IndexEntry& e : m.run) {
            expected += Text(NamesOf(e)) + "\n";
            records[KeyOf(NamesOf(e))] = m.extents.at(e.recordOffset).fetched;
            const Names n = Mangled(NamesOf(e));
            const bool exists = IRDoesRemoteRecordExist(handle, n[0].data(), n[1].data(), n[2].data()) == 1;
            Expect(exists, Text(n) + " is lost");
        }
        Agree(listed, expected, "listed");
        Expect(reliability::ReadContents(handle) == records, "the records fetched differ");
    }

    // The checker finds nothing wrong (it holds the counters to the extents and slots), and the
    // layout is the model's, extent by extent and slot by slot.
    void CheckFile(const std::string& path, const Model& m) {
        const check::Report r = check::Check(reliability::ReadFile(path));
        Expect(r.ok(), r.ok() ? "" : "the checker: " + check::Describe(r.violations.front()));
        Agree(Layout(Found(r)), Layout(m), "the file has");
    }

    std::string path_, copy_;
    Source& src_;
};

}  // namespace varnel32::model
