// Fetching and deleting records: fetched blocks byte for byte, damage anywhere in the
// verified blocks (or a used size too small for the entries) refusing the whole record,
// deletion blanking the extent twice into the lowest empty slot, the automatic compaction at
// the 255th occupied slot, and the failure paths that must keep index and counters in step.
#include <unistd.h>

#include <cstdio>

#include "format/endian.h"
#include "support/file_invariants.h"
#include "support/file_builder.h"

namespace varnel32::test {
namespace {

using platform::FaultCall;
using platform::FaultEffect;
namespace pt = platform::testing;

std::string Numbered(int i) {
    char name[8];
    std::snprintf(name, sizeof name, "r%03d", i);
    return name;
}

class FetchDelete : public LibraryTest {
protected:
    int32_t Delete(LibraryHandle* h, const std::string& model, const std::string& maker = "M",
                   const std::string& type = "T") {
        return DeleteNamed(h, maker, type, model);
    }
    int32_t Exists(LibraryHandle* h, const std::string& model) { return ExistsNamed(h, "M", "T", model); }
    std::vector<std::string> Models(LibraryHandle* h) {
        const auto list = TakeList(IRFindAllModels(h, "M", "T"));
        return list ? NamesOf(reinterpret_cast<const NameList*>(list->data())) : std::vector<std::string>{};
    }
    // Opens `name` read-only, fetches one record and closes again.
    std::optional<Bytes> FetchFromFile(const std::string& name, const std::string& maker,
                                       const std::string& type, const std::string& model) {
        LibraryHandle* h = Open(Path(name), IRModeReadOnly);
        EXPECT_NE(h, nullptr);
        if (h == nullptr) return std::nullopt;
        auto fetched = FetchNamed(h, maker, type, model);
        IRCloseLibrary(h);
        return fetched;
    }
    // r000 .. r255 and "keep", 79 bytes each (no extra space); r000 .. r253 deleted, so
    // 254 slots are occupied.
    LibraryHandle* With254SlotsInUse(const std::string& name) {
        LibraryHandle* h = CreateAndOpen(name);
        EXPECT_EQ(IRSetExtraSpaceAmount(h, 0), 1);
        for (int i = 0; i < 256; ++i) Put(h, MakeRemoteRecord("M", "T", Numbered(i), {}));
        Put(h, MakeRemoteRecord("M", "T", "keep", {}));
        pt::ClearUiEvents();
        for (int i = 0; i < 254; ++i) EXPECT_EQ(Delete(h, Numbered(i)), 1);
        EXPECT_TRUE(pt::UiEvents().empty()) << "a deletion below 255 slots showed the cursor";
        EXPECT_EQ(DecodeHeaderOf(ReadFile(Path(name))).freeSlotCount, 254u);
        return h;
    }
    // The user-interface calls of one busy cursor shown and taken down again.
    void ExpectOneBusyCursor() {
        const auto events = pt::UiEvents();
        ASSERT_EQ(events.size(), 3u);
        EXPECT_EQ(events[0].kind, pt::UiEvent::Kind::LoadCursor);
        EXPECT_EQ(events[1].kind, pt::UiEvent::Kind::SetCursor);
        EXPECT_EQ(events[1].cursor, pt::WaitCursor());
        EXPECT_EQ(events[2].kind, pt::UiEvent::Kind::SetCursor);
        EXPECT_EQ(events[2].cursor, kUserCursor);
    }
};

TEST_F(FetchDelete, AFetchReturnsTheStoredRecordByteForByte) {
    LibraryHandle* h = CreateAndOpen("f.lib");
    Bytes none = MakeRemoteRecord("Sony", "TV", "Empty", {});
    const Bytes one = MakeRemoteRecord("Sony", "TV", "One", {MakeEntry(1, 10)});
    Bytes three = MakeRemoteRecord("Sony", "TV", "Three",
                                   {MakeEntry(2, 0), MakeEntry(3, 300), MakeEntry(4, 7)});
    FillAfterTerminator(three, 46, 0x77);  // the record header keeps these bytes, so does a fetch
    FillAfterTerminator(none, 4, 0x41);
    Put(h, none);
    Put(h, one);
    Put(h, three);

    const auto fetchedNone = FetchNamed(h, "sony", "tv", "empty");
    ASSERT_TRUE(fetchedNone);
    EXPECT_EQ(fetchedNone->size(), 79u);
    EXPECT_EQ(*fetchedNone, FetchedImageOf(none));
    const auto fetchedOne = FetchNamed(h, "Sony", "TV", "One");
    ASSERT_TRUE(fetchedOne);
    ASSERT_EQ(fetchedOne->size(), 137u);
    EXPECT_EQ(Slice(*fetchedOne, 0, 117), Slice(FetchedImageOf(one), 0, 117));
    EXPECT_EQ(Slice(*fetchedOne, 117, 20), Bytes(20, 0));
    EXPECT_EQ(IR_GET16(fetchedOne->data()), 137);
    EXPECT_EQ(FetchNamed(h, "SONY", "Tv", "THREE"), FetchedImageOf(three));

    // A fetched record goes back as it came, and comes out the same.
    EXPECT_EQ(WriteBytes(h, *fetchedOne), 1);
    pt::ClearFaults();
    EXPECT_EQ(FetchNamed(h, "Sony", "TV", "One"), fetchedOne);
    EXPECT_EQ(pt::CallCount(FaultCall::Write), 0u);  // a fetch writes nothing

    pt::InjectFault(FaultCall::Allocate, 1);  // the result block
    EXPECT_EQ(FetchNamed(h, "Sony", "TV", "Three"), std::nullopt);
    EXPECT_TRUE(pt::FaultFired());
    pt::ClearFaults();
    EXPECT_EQ(FetchNamed(h, "Sony", "TV", "Two"), std::nullopt);
    EXPECT_EQ(FetchNamed(h, "Sony", "VCR", "One"), std::nullopt);
    const format::Name m = Field("Sony"), t = Field("TV"), mo = Field("One");
    EXPECT_EQ(IRFetchRemoteRecord(nullptr, m.data(), t.data(), mo.data()), nullptr);
    EXPECT_EQ(IRFetchRemoteRecord(h, nullptr, t.data(), mo.data()), nullptr);
    EXPECT_EQ(IRFetchRemoteRecord(h, m.data(), nullptr, mo.data()), nullptr);
    EXPECT_EQ(IRFetchRemoteRecord(h, m.data(), t.data(), nullptr), nullptr);
    IRCloseLibrary(h);
    EXPECT_EQ(FetchFromFile("f.lib", "sony", "TV", "three"), FetchedImageOf(three));
}

TEST_F(FetchDelete, DamageInAnyVerifiedBlockRefusesTheWholeRecord) {
    LibraryHandle* h = CreateAndOpen("d.lib");
    const Bytes record =
        MakeRemoteRecord("M", "T", "r", {MakeEntry(1, 10), MakeEntry(2, 20), MakeEntry(3, 30)});
    const Bytes other = MakeRemoteRecord("M", "T", "other", {MakeEntry(4, 5)});
    Put(h, record);
    Put(h, other);
    IRCloseLibrary(h);
    const Bytes intact = ReadFile(Path("d.lib"));
    // Entries at 79, 137 (after 48 + 10) and 205 (after 48 + 20) of the extent at 1570.
    struct Damage {
        const char* what;
        uint32_t at;
        bool refused;
    };
    for (const Damage& d :
         {Damage{"record header magic", 1570, true}, Damage{"record header name", 1570 + 17, true},
          Damage{"record header used size", 1570 + 8, true},
          Damage{"second entry header crc", 1570 + 137 + 5, true},
          Damage{"second entry head", 1570 + 137 + 30, true},
          Damage{"third entry magic", 1570 + 205, true},
          Damage{"data byte of the third entry", 1570 + 205 + 48 + 3, false}}) {
        SCOPED_TRACE(d.what);
        Bytes file = intact;
        file[d.at] ^= 0x10;
        WriteFile(Path("d.lib"), file);
        const auto fetched = FetchFromFile("d.lib", "M", "T", "r");
        if (d.refused) {
            EXPECT_EQ(fetched, std::nullopt);
        } else {
            // Entry data carries no checksum: the flipped byte comes back.
            Bytes expected = FetchedImageOf(record);
            expected[67 + 50 + 60 + 40 + 3] ^= 0x10;
            EXPECT_EQ(fetched, expected);
        }
        EXPECT_EQ(FetchFromFile("d.lib", "M", "T", "other"), FetchedImageOf(other));
    }

    // A file cut in the middle of the second entry's data: the short read refuses it.
    WriteFile(Path("d.lib"), intact);
    h = Open(Path("d.lib"), IRModeReadOnly);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(truncate(Path("d.lib").c_str(), 1570 + 137 + 48 + 5), 0);
    EXPECT_EQ(FetchNamed(h, "M", "T", "r"), std::nullopt);
    IRCloseLibrary(h);
}

TEST_F(FetchDelete, AUsedSizeTooSmallForTheEntriesRefusesTheRecord) {
    LibraryHandle* h = CreateAndOpen("u.lib");
    const Bytes record = MakeRemoteRecord("M", "T", "r", {MakeEntry(1, 10)});  // used size 137
    Put(h, record);
    IRCloseLibrary(h);
    const Bytes intact = ReadFile(Path("u.lib"));
    // 117 is exactly the caller-side length of the record's 67-byte head and one entry,
    // and still 20 bytes short of what the stored entry takes.
    for (uint16_t used : {136, 117, 100, 79, 78, 0}) {
        SCOPED_TRACE(used);
        Bytes file = intact;
        PatchRecordHeader(file, 1570, [&](format::RecordHeader& r) { r.usedSize = used; });
        WriteFile(Path("u.lib"), file);
        EXPECT_EQ(FetchFromFile("u.lib", "M", "T", "r"), std::nullopt);
    }
    // A blank deleted record still reachable through the index.
    Bytes file = intact;
    PatchRecordHeader(file, 1570, [](format::RecordHeader& r) {
        r = format::RecordHeader{};
        r.capacity = 1161;
        r.deleted = 1;
    });
    WriteFile(Path("u.lib"), file);
    EXPECT_EQ(FetchFromFile("u.lib", "M", "T", "r"), std::nullopt);
    WriteFile(Path("u.lib"), intact);
    EXPECT_EQ(FetchFromFile("u.lib", "M", "T", "r"), FetchedImageOf(record));
}

TEST_F(FetchDelete, ADeletionBlanksTheExtentAndListsItInTheLowestEmptySlot) {
    LibraryHandle* h = CreateAndOpen("del.lib");
    ASSERT_EQ(IRSetExtraSpaceAmount(h, 0), 1);
    Put(h, MakeRemoteRecord("M", "T", "a", {MakeEntry(1, 10)}));   // 1570, 137
    Put(h, MakeRemoteRecord("M", "T", "b", {MakeEntry(2, 100)}));  // 1707, 227
    Put(h, MakeRemoteRecord("M", "T", "c", {}));                   // 1934, 79
    Put(h, MakeRemoteRecord("M", "T", "d", {}));                   // 2013, 79
    const format::LibraryHeader before = DecodeHeaderOf(ReadFile(Path("del.lib")));

    ASSERT_EQ(Delete(h, "b"), 1);
    Bytes file = ReadFile(Path("del.lib"));
    EXPECT_EQ(Slice(file, 1707, 227), BlankExtent(227));
    format::LibraryHeader header = DecodeHeaderOf(file);
    EXPECT_EQ(header.freeSlots[0].offset, 1707u);
    EXPECT_EQ(header.freeSlots[0].size, 227);
    EXPECT_EQ(header.freeSlotCount, 1u);
    EXPECT_EQ(header.freeBytes, 227u);
    EXPECT_EQ(header.recordCount, before.recordCount - 1);
    EXPECT_EQ(header.dataEnd, before.dataEnd);
    EXPECT_EQ(Exists(h, "b"), 0);
    EXPECT_EQ(FetchNamed(h, "M", "T", "b"), std::nullopt);
    EXPECT_EQ(Models(h), (std::vector<std::string>{"a", "c", "d"}));

    ASSERT_EQ(Delete(h, "d"), 1);                 // slot 1
    Put(h, MakeRemoteRecord("M", "T", "e", {}));  // takes slot 0 (227 >= 79) whole
    ASSERT_EQ(Delete(h, "c"), 1);                 // the lowest empty slot is 0 again, not 2
    file = ReadFile(Path("del.lib"));
    header = DecodeHeaderOf(file);
    EXPECT_EQ(header.freeSlots[0].offset, 1934u);
    EXPECT_EQ(header.freeSlots[1].offset, 2013u);
    EXPECT_EQ(header.freeSlots[2].offset, 0u);
    EXPECT_EQ(DecodeRecordAt(file, 1707).capacity, 227);
    EXPECT_TRUE(CheckFileInvariants(file));
    IRCloseLibrary(h);
    EXPECT_TRUE(CheckFileInvariantsAt(Path("del.lib")));
}

TEST_F(FetchDelete, DeletionsThatMayNotHappenChangeNothing) {
    LibraryHandle* h = CreateAndOpen("no.lib");
    const Bytes record = MakeRemoteRecord("M", "T", "r", {MakeEntry(1, 10)});
    Put(h, record);
    Put(h, MakeRemoteRecord("M", "T", "last", {}));
    IRCloseLibrary(h);
    const Bytes intact = ReadFile(Path("no.lib"));

    for (uint32_t mode : {IRModeReadOnly, IRModeReadOnly | IRModeWrite}) {
        SCOPED_TRACE(mode);
        h = Open(Path("no.lib"), mode);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(Delete(h, "r"), 0);
        EXPECT_EQ(Exists(h, "r"), 1);
        EXPECT_EQ(FetchNamed(h, "M", "T", "r"), FetchedImageOf(record));
        IRCloseLibrary(h);
        EXPECT_EQ(ReadFile(Path("no.lib")), intact);
    }

    h = Open(Path("no.lib"), IRModeWrite);
    ASSERT_NE(h, nullptr);
    pt::ClearFaults();
    EXPECT_EQ(Delete(h, "missing"), 0);
    EXPECT_EQ(Delete(h, "r", "M", "Other"), 0);
    const format::Name m = Field("M"), t = Field("T"), mo = Field("r");
    EXPECT_EQ(IRDeleteRemoteRecord(nullptr, m.data(), t.data(), mo.data()), 0);
    EXPECT_EQ(IRDeleteRemoteRecord(h, nullptr, t.data(), mo.data()), 0);
    EXPECT_EQ(IRDeleteRemoteRecord(h, m.data(), nullptr, mo.data()), 0);
    EXPECT_EQ(IRDeleteRemoteRecord(h, m.data(), t.data(), nullptr), 0);
    EXPECT_EQ(pt::CallCount(FaultCall::Write), 0u);

    // A damaged record header, and one whose capacity could not hold a blank header.
    const uint32_t last = DecodeHeaderOf(intact).dataEnd - 1103;
    Bytes damaged = intact;
    damaged[1570 + 30] ^= 0x01;
    PatchRecordHeader(damaged, last, [](format::RecordHeader& r) { r.capacity = 78; });
    WriteFile(Path("no.lib"), damaged);
    EXPECT_EQ(Delete(h, "r"), 0);
    EXPECT_EQ(Delete(h, "last"), 0);
    EXPECT_EQ(ReadFile(Path("no.lib")), damaged);

    // Every slot occupied (only failed compactions could get there): the deletion finds no
    // slot before it blanks anything, so the record stays whole and counted; a rewrite that
    // would have to move it fails the same way.
    Bytes full = intact;
    PatchLibraryHeader(full, [](format::LibraryHeader& header) {
        for (size_t i = 0; i < format::kFreeSlotCount; ++i) {
            header.freeSlots[i] = format::FreeSlot{0x100000u + static_cast<uint32_t>(i), 100};
        }
        header.freeSlotCount = 256;
        header.freeBytes = 25600;
    });
    WriteFile(Path("no.lib"), full);
    pt::ClearFaults();
    EXPECT_EQ(Delete(h, "r"), 0);
    EXPECT_EQ(WriteBytes(h, MakeRemoteRecord("M", "T", "r", {MakeEntry(2, 2000)})), 0);
    EXPECT_EQ(pt::CallCount(FaultCall::Write), 0u);
    EXPECT_EQ(ReadFile(Path("no.lib")), full);
    EXPECT_EQ(FetchNamed(h, "M", "T", "r"), FetchedImageOf(record));
    WriteFile(Path("no.lib"), intact);
    IRCloseLibrary(h);
}

TEST_F(FetchDelete, EmptiedTypesAndManufacturersLeaveTheCatalogue) {
    LibraryHandle* h = CreateAndOpen("levels.lib");
    Put(h, MakeRemoteRecord("M", "T1", "a", {}));
    Put(h, MakeRemoteRecord("M", "T2", "b", {}));
    Put(h, MakeRemoteRecord("N", "T", "c", {}));
    ASSERT_EQ(Delete(h, "a", "m", "t1"), 1);
    EXPECT_EQ(TakeList(IRFindAllTypes(h, "M")), NameListOf({"T2"}));
    EXPECT_EQ(IRFindAllModels(h, "M", "T1"), nullptr);
    ASSERT_EQ(Delete(h, "b", "M", "T2"), 1);
    EXPECT_EQ(TakeList(IRFindAllManufacturers(h)), NameListOf({"N"}));
    EXPECT_EQ(IRFindAllTypes(h, "M"), nullptr);
    ASSERT_EQ(Delete(h, "C", "n", "T"), 1);
    EXPECT_EQ(TakeList(IRFindAllManufacturers(h)), (Bytes{0, 0}));
    IRCloseLibrary(h);
    FileView view;
    ASSERT_TRUE(CheckFileInvariantsAt(Path("levels.lib"), &view));
    EXPECT_EQ(view.header.recordCount, 0u);
    EXPECT_EQ(view.header.freeSlotCount, 3u);
    h = Open(Path("levels.lib"), IRModeReadOnly);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(TakeList(IRFindAllManufacturers(h)), (Bytes{0, 0}));
    IRCloseLibrary(h);
}

TEST_F(FetchDelete, TheDeletionThatFillsThe255thSlotCompactsAtOnceUnderTheBusyCursor) {
    LibraryHandle* h = With254SlotsInUse("auto.lib");
    pt::ClearUiEvents();
    ASSERT_EQ(Delete(h, Numbered(254)), 1);
    ExpectOneBusyCursor();
    FileView view;
    const Bytes file = ReadFile(Path("auto.lib"));
    ASSERT_TRUE(CheckFileInvariants(file, &view));
    EXPECT_EQ(view.header.freeSlotCount, 0u);
    EXPECT_EQ(view.header.dirty, 0);
    EXPECT_EQ(view.header.recordCount, 2u);
    EXPECT_EQ(view.header.dataEnd, 1570u + 2 * 79);
    EXPECT_EQ(file.size(), 1570u + 2 * 79 + 2 * 71);
    EXPECT_EQ(Models(h), (std::vector<std::string>{Numbered(255), "keep"}));
    EXPECT_EQ(FetchNamed(h, "M", "T", "keep"), FetchedImageOf(MakeRemoteRecord("M", "T", "keep", {})));
    IRCloseLibrary(h);
    EXPECT_TRUE(CheckFileInvariantsAt(Path("auto.lib")));
}

TEST_F(FetchDelete, AMoveThatFillsThe255thSlotCompactsAndThenAppends) {
    LibraryHandle* h = With254SlotsInUse("move.lib");
    pt::ClearUiEvents();
    const Bytes grown = MakeRemoteRecord("M", "T", "keep", {MakeEntry(1, 10)});
    Put(h, grown);
    ExpectOneBusyCursor();
    FileView view;
    ASSERT_TRUE(CheckFileInvariantsAt(Path("move.lib"), &view));
    EXPECT_EQ(view.header.freeSlotCount, 0u);
    EXPECT_EQ(view.header.recordCount, 3u);
    ASSERT_EQ(view.extents.size(), 3u);
    EXPECT_EQ(view.extents[2].offset, 1570u + 2 * 79);  // after the two that stayed
    EXPECT_EQ(view.extents[2].header.capacity, 137);
    EXPECT_EQ(Models(h), (std::vector<std::string>{Numbered(254), Numbered(255), "keep"}));
    EXPECT_EQ(FetchNamed(h, "M", "T", "keep"), FetchedImageOf(grown));
    IRCloseLibrary(h);
    EXPECT_TRUE(CheckFileInvariantsAt(Path("move.lib")));
}

}  // namespace
}  // namespace varnel32::test
