// A long randomised run against a reference model: writes (new, in place, moved; entry
// counts and sizes and extra space varied), deletions, compactions, closes and reopens are
// applied both to a library and to a plain in-memory model of where every record should be
// and what the catalogue should list. After every step the results, the listings, every
// record's bytes, the file's invariants and layout, and a reopen of a copy of the file are
// compared with the model. VARNEL32_MODEL_SEED and VARNEL32_MODEL_SECONDS override the run.
#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "format/endian.h"
#include "maintenance/check.h"
#include "support/file_builder.h"
#include "support/reliability.h"

namespace varnel32::test {
namespace {

using format::Name;

// What the library should hold, down to the placement of every extent. The rules mirror
// the library's: first fit by used size into whole slots, the lowest empty slot for a
// deleted extent, compaction at 255 occupied slots, a tree kept in first-added order.
class Model {
public:
    struct Extent {
        uint16_t capacity = 0;
        bool live = false;
        std::array<Name, 3> stored{};  // the record header's names, as the caller gave them
        Bytes fetched;                 // what a fetch returns
    };
    struct ModelNode {
        Name name;
        uint32_t offset;
    };
    struct TypeNode {
        Name name;
        std::vector<ModelNode> models;
    };
    struct MakerNode {
        Name name;
        std::vector<TypeNode> types;
    };

    std::vector<MakerNode> tree;
    std::map<uint32_t, Extent> extents;
    std::array<format::FreeSlot, format::kFreeSlotCount> slots{};
    uint32_t recordCount = 0, freeSlotCount = 0, freeBytes = 0, dataEnd = format::kRecordAreaStart;
    bool dirty = false;
    bool modified = false;  // of the current handle
    uint16_t extraSpace = 1024;

    uint32_t Find(const std::array<Name, 3>& names) const {
        for (const format::IndexEntry& e : Run()) {
            if (check::SameName(e.manufacturer, names[0]) && check::SameName(e.type, names[1]) &&
                check::SameName(e.model, names[2]))
                return e.recordOffset;
        }
        return 0;
    }

    int32_t Write(const Bytes& remote) {
        const uint32_t used = static_cast<uint32_t>(reliability::FetchImageOf(remote).size());
        if (used + extraSpace > format::kMaxRecordSize) return 0;
        std::array<Name, 3> names;
        for (size_t i = 0; i < 3; ++i)
            std::copy_n(remote.begin() + IR_RECORD_MANUFACTURER_OFFSET + IR_NAME_FIELD_SIZE * i, IR_NAME_FIELD_SIZE, names[i].begin());
        uint16_t capacity = static_cast<uint16_t>(used + extraSpace);
        if (const uint32_t at = Find(names)) {
            if (extents[at].capacity >= used) {
                extents[at].stored = names;
                extents[at].fetched = reliability::FetchImageOf(remote);
                dirty = modified = true;
                return 1;
            }
            DeleteAt(at);
            Remove(names);
        }
        uint32_t place = 0;
        for (format::FreeSlot& slot : slots) {
            if (slot.offset != 0 && slot.size >= used) {
                place = slot.offset;
                capacity = slot.size;
                --freeSlotCount;
                freeBytes -= slot.size;
                slot = {};
                break;
            }
        }
        if (place == 0) {
            place = dataEnd;
            dataEnd += capacity;
        }
        ++recordCount;
        Add(names, place);
        extents[place] = Extent{capacity, true, names, reliability::FetchImageOf(remote)};
        dirty = modified = true;
        return 1;
    }

    int32_t Delete(const std::array<Name, 3>& names) {
        const uint32_t at = Find(names);
        if (at == 0) return 0;
        DeleteAt(at);
        Remove(names);
        return 1;
    }

    void Compact() {
        if (recordCount == 0 && freeSlotCount == 0) return;
        std::map<uint32_t, Extent> packed;
        tree.clear();
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
        freeSlotCount = freeBytes = 0;
        dirty = false;
    }

    // The last close of a handle saves the index when the handle changed the file.
    void Close() {
        if (modified) dirty = false;
        modified = false;
        extraSpace = 1024;
    }

    // Every model in tree order: the stored index run of a clean file.
    std::vector<format::IndexEntry> Run() const {
        std::vector<format::IndexEntry> run;
        for (const MakerNode& m : tree) {
            for (const TypeNode& t : m.types) {
                for (const ModelNode& mo : t.models) {
                    format::IndexEntry e;
                    e.manufacturer = m.name;
                    e.type = t.name;
                    e.model = mo.name;
                    e.recordOffset = mo.offset;
                    run.push_back(e);
                }
            }
        }
        return run;
    }

private:
    void DeleteAt(uint32_t at) {
        Extent& extent = extents[at];
        for (format::FreeSlot& slot : slots) {
            if (slot.offset == 0) {
                slot = {at, extent.capacity};
                break;
            }
        }
        ++freeSlotCount;
        freeBytes += extent.capacity;
        --recordCount;
        extent = Extent{extent.capacity, false, {}, {}};
        dirty = modified = true;
        if (freeSlotCount >= format::kCompactionSlotThreshold) Compact();
    }

    // The tree keeps names up to their terminator, zero-filled.
    void Add(const std::array<Name, 3>& raw, uint32_t offset) {
        const Name m = format::NameFromString(raw[0].data());
        const Name t = format::NameFromString(raw[1].data());
        const Name mo = format::NameFromString(raw[2].data());
        auto maker = std::find_if(tree.begin(), tree.end(), [&](const MakerNode& n) {
            return check::SameName(n.name, m);
        });
        if (maker == tree.end()) maker = tree.insert(tree.end(), MakerNode{m, {}});
        auto type = std::find_if(maker->types.begin(), maker->types.end(), [&](const TypeNode& n) {
            return check::SameName(n.name, t);
        });
        if (type == maker->types.end())
            type = maker->types.insert(maker->types.end(), TypeNode{t, {}});
        type->models.push_back(ModelNode{mo, offset});
    }

    // Rebuilt from the run without the model: a maker or type left empty goes with it.
    void Remove(const std::array<Name, 3>& raw) {
        const std::vector<format::IndexEntry> run = Run();
        tree.clear();
        for (const format::IndexEntry& e : run) {
            if (!check::SameName(e.manufacturer, raw[0]) || !check::SameName(e.type, raw[1]) ||
                !check::SameName(e.model, raw[2]))
                Add({e.manufacturer, e.type, e.model}, e.recordOffset);
        }
    }
};

// The NameList block of a level of the tree, and a returned one copied and released.
Bytes ListOf(const auto& nodes) {
    Bytes list(IR_NAMELIST_NAMES_OFFSET, 0);
    format::Store16(list.data(), static_cast<uint16_t>(nodes.size()));
    for (const auto& n : nodes) list.insert(list.end(), n.name.begin(), n.name.end());
    return list;
}
Bytes TakeList(NameList* list) {
    if (list == nullptr) return {};
    const auto* p = reinterpret_cast<const uint8_t*>(list);
    Bytes bytes(p, p + IR_NAMELIST_NAMES_OFFSET + format::NAME_FIELD_SIZE * size_t{format::Load16(p)});
    IRFreeModels(list);
    return bytes;
}

class ModelRun : public LibraryTest {
protected:
    void TearDown() override {
        if (h != nullptr) IRCloseLibrary(h);
        LibraryTest::TearDown();
    }

    std::mt19937 rng;
    Model model;
    LibraryHandle* h = nullptr;
    uint32_t churnMoves = 0;
    uint32_t largestFile = 0;

    uint32_t Below(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); }
    bool Chance(uint32_t percent) { return Below(100) < percent; }

    std::string Mangle(std::string name) {
        for (char& c : name) {
            if (std::isalpha(static_cast<unsigned char>(c)) && Chance(40)) {
                c = static_cast<char>(std::isupper(static_cast<unsigned char>(c))
                                          ? std::tolower(c)
                                          : std::toupper(c));
            }
        }
        return name;
    }
    std::array<std::string, 3> RandomKey() {
        // Ten makers and up to twelve models a type: levels that grow past and shrink below
        // the size at which the catalogue keeps a name table beside them.
        static const char* makers[] = {"Sony", "Philips", "Acme",  "Zenith", "Onkyo",
                                       "Denon", "Sharp", "Pioneer", "Yamaha", "Bose"};
        static const char* types[] = {"TV", "VCR", "Amp", "DVD"};
        return {makers[Below(10)], types[Below(4)], "Model-" + std::to_string(Below(12))};
    }
    std::array<std::string, 3> LiveKey() {
        const auto run = model.Run();
        const auto& e = run[Below(static_cast<uint32_t>(run.size()))];
        return {e.manufacturer.data(), e.type.data(), e.model.data()};
    }
    uint16_t RandomLength() {
        const uint32_t r = Below(100);
        if (r < 70) return static_cast<uint16_t>(Below(61));
        if (r < 95) return static_cast<uint16_t>(61 + Below(540));
        return static_cast<uint16_t>(1000 + Below(4000));
    }
    Bytes Record(const std::array<std::string, 3>& key, std::vector<Entry> entries) {
        Bytes r = MakeRemoteRecord(Mangle(key[0]), Mangle(key[1]), Mangle(key[2]), entries);
        // Bytes after a terminator: the record header keeps them, the index never does.
        for (size_t field : {IR_RECORD_MANUFACTURER_OFFSET, IR_RECORD_TYPE_OFFSET, IR_RECORD_MODEL_OFFSET}) {
            if (!Chance(20)) continue;
            const size_t length = ::strnlen(reinterpret_cast<const char*>(r.data() + field), format::NAME_FIELD_SIZE);
            std::fill(r.begin() + static_cast<std::ptrdiff_t>(field + std::min(length + 1, format::NAME_FIELD_SIZE)),
                      r.begin() + static_cast<std::ptrdiff_t>(field + format::NAME_FIELD_SIZE),
                      static_cast<uint8_t>(1 + Below(255)));
        }
        return r;
    }
    Bytes RandomRecord(const std::array<std::string, 3>& key) {
        std::vector<Entry> entries;
        const uint32_t count = Chance(15) ? 0 : Chance(95) ? 1 + Below(4) : 8 + Below(5);
        for (uint32_t i = 0; i < count; ++i) entries.push_back(MakeEntry(rng(), RandomLength()));
        return Record(key, entries);
    }
    // A record for `key` whose used size is at most (fits) or above (!fits) `capacity`.
    Bytes SizedRecord(const std::array<std::string, 3>& key, uint16_t capacity, bool fits) {
        if (fits) {
            if (capacity < 127 || Chance(10)) return Record(key, {});
            return Record(key,
                          {MakeEntry(rng(), static_cast<uint16_t>(Below(capacity - 127u + 1)))});
        }
        const uint32_t length = capacity - 127u + 1 + Below(300);
        return Record(key,
                      {MakeEntry(rng(), static_cast<uint16_t>(std::min<uint32_t>(length, 65000)))});
    }
    std::array<Name, 3> Fields(const std::array<std::string, 3>& key) {
        return {Field(key[0]), Field(key[1]), Field(key[2])};
    }

    void Write(const Bytes& record) {
        const int32_t expected = model.Write(record);
        ASSERT_EQ(IRWriteRemoteRecord(h, reinterpret_cast<const RemoteRecord*>(record.data())),
                  expected);
    }
    void Delete(const std::array<std::string, 3>& key) {
        const auto names = Fields({Mangle(key[0]), Mangle(key[1]), Mangle(key[2])});
        const int32_t expected = model.Delete(names);
        ASSERT_EQ(IRDeleteRemoteRecord(h, names[0].data(), names[1].data(), names[2].data()),
                  expected);
    }
    void Reopen(uint32_t mode) {
        h = Open(Path("model.lib"), mode);
        ASSERT_NE(h, nullptr);
    }

    // The catalogue and every record as `handle` sees them.
    void CheckCatalogue(LibraryHandle* handle, const Model& m) {
        ASSERT_EQ(TakeList(IRFindAllManufacturers(handle)), ListOf(m.tree));
        for (const auto& maker : m.tree) {
            const std::string mk = Mangle(maker.name.data());
            ASSERT_EQ(TakeList(IRFindAllTypes(handle, mk.c_str())), ListOf(maker.types));
            for (const auto& type : maker.types) {
                const std::string ty = Mangle(type.name.data());
                ASSERT_EQ(TakeList(IRFindAllModels(handle, mk.c_str(), ty.c_str())),
                          ListOf(type.models));
                for (const auto& model : type.models) {
                    const auto names = Fields({mk, ty, Mangle(model.name.data())});
                    ASSERT_EQ(IRDoesRemoteRecordExist(handle, names[0].data(), names[1].data(), names[2].data()), 1);
                    ASSERT_EQ(FetchNamed(handle, mk, ty, names[2].data()), m.extents.at(model.offset).fetched)
                        << maker.name.data() << "/" << type.name.data() << "/" << model.name.data();
                }
            }
        }
        const auto missing = RandomKey();
        if (m.Find(Fields(missing)) == 0) {
            const auto names = Fields(missing);
            ASSERT_EQ(IRDoesRemoteRecordExist(handle, names[0].data(), names[1].data(), names[2].data()), 0);
            ASSERT_EQ(FetchNamed(handle, missing[0], missing[1], missing[2]), std::nullopt);
        }
    }

    // The checker finds nothing wrong, and the layout is the model's, extent by extent and
    // slot by slot (the checker holds the counters to the extents and slots).
    void CheckFile(const Bytes& file, const Model& m) {
        const check::Report r = check::Check(file);
        ASSERT_TRUE(r.ok()) << check::Describe(r.violations.front());
        ASSERT_EQ(r.header.dataEnd, m.dataEnd);
        ASSERT_EQ(r.header.dirty, m.dirty ? 1 : 0);
        for (size_t i = 0; i < format::kFreeSlotCount; ++i) {
            ASSERT_EQ(r.header.freeSlots[i].offset, m.slots[i].offset) << "slot " << i;
            ASSERT_EQ(r.header.freeSlots[i].size, m.slots[i].size) << "slot " << i;
        }
        ASSERT_EQ(r.walk.extents.size(), m.extents.size());
        for (const check::ExtentScan& e : r.walk.extents) {
            ASSERT_EQ(m.extents.count(e.offset), 1u) << "at " << e.offset;
            const Model::Extent& x = m.extents.at(e.offset);
            ASSERT_EQ(e.header.capacity, x.capacity) << "at " << e.offset;
            ASSERT_EQ(e.header.deleted == 0, x.live) << "at " << e.offset;
            if (x.live) {
                ASSERT_EQ(e.header.usedSize, x.fetched.size());
                ASSERT_EQ((std::array<Name, 3>{e.header.manufacturer, e.header.type, e.header.model}), x.stored);
            }
        }
        if (!m.dirty) {
            ASSERT_EQ(KeysOf(r.index), KeysOf(m.Run()));
        }
    }

    // A copy of the file as it stands opens like the file would after a crash: read-only
    // when clean, repaired by compaction when dirty; either way it holds the model's
    // records (after a repair, in file order).
    void CheckCopyReopens() {
        const Bytes file = ReadFile(Path("model.lib"));
        WriteFile(Path("copy.lib"), file);
        Model expected = model;
        if (expected.dirty) expected.Compact();
        LibraryHandle* copy = Open(Path("copy.lib"), model.dirty ? IRModeWrite : IRModeReadOnly);
        ASSERT_NE(copy, nullptr);
        CheckCatalogue(copy, expected);
        IRCloseLibrary(copy);
        if (model.dirty) CheckFile(ReadFile(Path("copy.lib")), expected);
    }

    void Check() {
        ASSERT_NO_FATAL_FAILURE(CheckCatalogue(h, model));
        ASSERT_NO_FATAL_FAILURE(CheckFile(ReadFile(Path("model.lib")), model));
        ASSERT_NO_FATAL_FAILURE(CheckCopyReopens());
    }

    // Close, look at the clean file through a read-only handle, reopen for writing.
    void CloseAndReopen() {
        IRCloseLibrary(h);
        h = nullptr;
        model.Close();
        ASSERT_NO_FATAL_FAILURE(CheckFile(ReadFile(Path("model.lib")), model));
        ASSERT_NO_FATAL_FAILURE(Reopen(IRModeReadOnly));
        ASSERT_NO_FATAL_FAILURE(CheckCatalogue(h, model));
        IRCloseLibrary(h);
        h = nullptr;
        ASSERT_NO_FATAL_FAILURE(Reopen(IRModeWrite));
    }

    // Enough small records written and deleted to bring the slot table to 255, which
    // compacts the file; sometimes a move of another record is what fills the 255th slot.
    void Churn(std::string& step) {
        model.extraSpace = 0;
        IRSetExtraSpaceAmount(h, 0);
        const int count = 255 + static_cast<int>(Below(6));
        for (int i = 0; i < count; ++i) {
            ASSERT_NO_FATAL_FAILURE(Write(Record({"Churn", "C", "c" + std::to_string(i)}, {})));
        }
        const bool moveLast = model.recordCount > static_cast<uint32_t>(count) && Chance(50);
        step += moveLast ? " (ending in a move)" : "";
        churnMoves += moveLast ? 1 : 0;
        for (int i = 0; i < count; ++i) {
            if (moveLast && model.freeSlotCount == 254) {
                std::array<std::string, 3> key;
                do key = LiveKey();
                while (key[0] == "Churn");
                const uint32_t at = model.Find(Fields(key));
                ASSERT_NO_FATAL_FAILURE(Write(SizedRecord(key, model.extents[at].capacity, false)));
            }
            ASSERT_NO_FATAL_FAILURE(Delete({"Churn", "C", "c" + std::to_string(i)}));
        }
    }
};

// What no call of the run can hand the catalogue: a name without its terminator (the
// exports refuse it first) or a model without a record. The tree refuses both, as adds and
// as removals, and stays as it was.
TEST(Catalogue, RefusesKeysItCouldNotCompare) {
    index::CatalogueIndex tree{};
    ASSERT_EQ(index::AddIndexEntry(tree, Key("M", "T", "a", 1570)), 1);
    format::IndexEntry unterminated = Key("M", "T", "a", 1570);
    for (format::Name* name : {&unterminated.manufacturer, &unterminated.type, &unterminated.model}) {
        const format::Name kept = *name;
        name->fill('x');
        EXPECT_EQ(index::AddIndexEntry(tree, unterminated), 0);
        EXPECT_EQ(index::RemoveIndexEntry(tree, unterminated), 0);
        *name = kept;
    }
    EXPECT_EQ(index::AddIndexEntry(tree, Key("M", "T", "b", 0)), 0);
    EXPECT_EQ(KeysOf(tree), std::vector<std::string>{"M/T/a@1570"});
    index::FreeCatalogueIndex(tree);
}

TEST_F(ModelRun, RandomisedOperationsAgreeWithTheModel) {
    const char* seedText = std::getenv("VARNEL32_MODEL_SEED");
    const char* secondsText = std::getenv("VARNEL32_MODEL_SECONDS");
    const uint32_t seed =
        seedText ? static_cast<uint32_t>(std::strtoul(seedText, nullptr, 10)) : 20261205u;
    const double seconds = secondsText ? std::atof(secondsText) : 3.0;
    std::printf("model run: seed %u (VARNEL32_MODEL_SEED), %.1f s (VARNEL32_MODEL_SECONDS)\n", seed,
                seconds);
    rng.seed(seed);

    h = CreateAndOpen("model.lib");
    ASSERT_NE(h, nullptr);
    const auto start = std::chrono::steady_clock::now();
    const uint32_t maxSteps = 20000;
    uint32_t step = 0;
    for (; step < maxSteps; ++step) {
        if (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >
            seconds)
            break;
        std::string what;
        const uint32_t r = Below(1000);
        if (step == 40) {
            // Once, two megabytes of records behind a hole: the compaction's moves fill its
            // output buffer several times over. Then they go again.
            what = "compact two megabytes";
            for (int i = 0; i < 40 && !HasFailure(); ++i)
                Write(Record({"Big", "X", "b" + std::to_string(i)}, {MakeEntry(rng(), 50000)}));
            Delete({"Big", "X", "b0"});
            model.Compact();
            EXPECT_EQ(IRCompactLibrary(h), 1);
            largestFile = std::max(largestFile, model.dataEnd);
            if (!HasFailure()) Check();
            for (int i = 1; i < 40 && !HasFailure(); ++i) Delete({"Big", "X", "b" + std::to_string(i)});
        } else if (r < 330 || model.recordCount == 0) {
            const auto key = RandomKey();
            what = "write " + key[0] + "/" + key[1] + "/" + key[2];
            Write(RandomRecord(key));
        } else if (r < 560) {
            const auto key = LiveKey();
            what = std::string(r < 450 ? "rewrite in place " : "rewrite larger ") + key[0] + "/" + key[1] + "/" + key[2];
            Write(SizedRecord(key, model.extents[model.Find(Fields(key))].capacity, r < 450));
        } else if (r < 820) {
            const auto key = r < 780 ? LiveKey() : RandomKey();  // a random one may be missing
            what = "delete " + key[0] + "/" + key[1] + "/" + key[2];
            Delete(key);
        } else if (r < 880) {
            static const uint16_t amounts[] = {0, 1, 16, 100, 1024, 4000};
            model.extraSpace = amounts[Below(6)];
            what = "extra space " + std::to_string(model.extraSpace);
            EXPECT_EQ(IRSetExtraSpaceAmount(h, model.extraSpace), 1);
        } else if (r < 910) {
            what = "compact";
            model.Compact();
            EXPECT_EQ(IRCompactLibrary(h), 1);
        } else if (r < 955) {
            what = "close and reopen";
            CloseAndReopen();
        } else if (r < 960 && model.dataEnd < (1u << 21)) {
            // Large records carry the file past the megabyte that compaction reads and
            // writes at a time, so its moves cross the buffers' edges.
            const auto key = RandomKey();
            what = "write a large record " + key[0] + "/" + key[1] + "/" + key[2];
            Write(Record(key, {MakeEntry(rng(), static_cast<uint16_t>(40000 + Below(25000)))}));
            largestFile = std::max(largestFile, model.dataEnd);
        } else if (r < 970) {
            const auto key = RandomKey();
            what = "write beyond 65535 bytes";
            Write(Record(key, {MakeEntry(1, 40000), MakeEntry(2, 30000)}));
        } else if (r < 975) {
            what = "churn to 255 slots";
            Churn(what);
        } else {
            what = "close and reopen, then a write";
            CloseAndReopen();
            if (!HasFailure()) Write(RandomRecord(RandomKey()));
        }
        if (!HasFailure()) Check();
        if (HasFailure()) {
            FAIL() << "step " << step << ": " << what << " (VARNEL32_MODEL_SEED=" << seed << ")";
        }
    }
    std::printf("model run: %u steps, %u churns ending in a move, %u records live, %u bytes at most\n",
                step, churnMoves, model.recordCount, largestFile);
    IRCloseLibrary(h);
    h = nullptr;
    model.Close();
    CheckFile(ReadFile(Path("model.lib")), model);
}

}  // namespace
}  // namespace varnel32::test
