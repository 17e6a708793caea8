// The catalogue queries: exact NameList bytes in first-added order and letter case, null
// for unknown levels against an empty list for an empty level, lists that outlive the tree
// and the handle, release through any of the four free routines, allocation failures, and
// the existence test with its 21-byte name fields.
#include <cstring>
#include <memory>

#include "support/file_invariants.h"

namespace varnel32::test {
namespace {

using platform::FaultCall;
using platform::FaultEffect;
namespace pt = platform::testing;

class Queries : public LibraryTest {
protected:
    // Sony (TV: KV-1, kv-2; DVD: D1), philips (VCR: V1), Acme (Amp: A1). Later writes use
    // other letter cases; the first record's manufacturer field carries bytes after its
    // terminator, which the index must not keep.
    LibraryHandle* Filled() {
        LibraryHandle* h = CreateAndOpen("q.lib");
        Bytes first = MakeRemoteRecord("Sony", "TV", "KV-1", {MakeEntry(1, 4)});
        FillAfterTerminator(first, 4, 0x5A);
        Put(h, first);
        Put(h, MakeRemoteRecord("philips", "VCR", "V1", {}));
        Put(h, MakeRemoteRecord("SONY", "tv", "kv-2", {}));
        Put(h, MakeRemoteRecord("Acme", "Amp", "A1", {}));
        Put(h, MakeRemoteRecord("sony", "DVD", "D1", {}));
        return h;
    }
};

TEST_F(Queries, ListsHoldWholeNameFieldsInFirstAddedOrderAndCase) {
    LibraryHandle* h = Filled();
    const auto makers = TakeList(IRFindAllManufacturers(h));
    ASSERT_TRUE(makers);
    EXPECT_EQ(makers->size(), 65u);  // count, then names at 2, 23 and 44
    EXPECT_EQ(*makers, NameListOf({"Sony", "philips", "Acme"}));
    EXPECT_EQ(TakeList(IRFindAllTypes(h, "SONY")), NameListOf({"TV", "DVD"}));
    EXPECT_EQ(TakeList(IRFindAllModels(h, "sony", "Tv")), NameListOf({"KV-1", "kv-2"}));
    EXPECT_EQ(TakeList(IRFindAllModels(h, "PHILIPS", "vcr")), NameListOf({"V1"}));
    IRCloseLibrary(h);

    // The stored index gives the same lists after a reopen.
    h = Open(Path("q.lib"), IRModeReadOnly);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(TakeList(IRFindAllManufacturers(h)), NameListOf({"Sony", "philips", "Acme"}));
    EXPECT_EQ(TakeList(IRFindAllTypes(h, "sony")), NameListOf({"TV", "DVD"}));
    IRCloseLibrary(h);
}

TEST_F(Queries, UnknownLevelsGiveNullButAnEmptyLevelGivesTwoBytes) {
    LibraryHandle* h = CreateAndOpen("empty.lib");
    EXPECT_EQ(TakeList(IRFindAllManufacturers(h)), (Bytes{0, 0}));
    EXPECT_EQ(IRFindAllTypes(h, "Sony"), nullptr);
    Put(h, MakeRemoteRecord("Sony", "TV", "KV-1", {}));
    Put(h, MakeRemoteRecord("philips", "VCR", "V1", {}));
    EXPECT_EQ(IRFindAllTypes(h, "Nope"), nullptr);
    EXPECT_EQ(IRFindAllModels(h, "Nope", "TV"), nullptr);
    EXPECT_EQ(IRFindAllModels(h, "Sony", "Nope"), nullptr);
    // VCR exists, but under another manufacturer.
    EXPECT_EQ(IRFindAllModels(h, "Sony", "VCR"), nullptr);
    EXPECT_EQ(IRFindAllManufacturers(nullptr), nullptr);
    EXPECT_EQ(IRFindAllTypes(nullptr, "Sony"), nullptr);
    EXPECT_EQ(IRFindAllTypes(h, nullptr), nullptr);
    EXPECT_EQ(IRFindAllModels(nullptr, "Sony", "TV"), nullptr);
    EXPECT_EQ(IRFindAllModels(h, nullptr, "TV"), nullptr);
    EXPECT_EQ(IRFindAllModels(h, "Sony", nullptr), nullptr);

    // Emptied again by deletions: an empty list, not null.
    const format::Name m = Field("Sony"), t = Field("TV"), mo = Field("KV-1");
    ASSERT_EQ(IRDeleteRemoteRecord(h, m.data(), t.data(), mo.data()), 1);
    const format::Name m2 = Field("philips"), t2 = Field("VCR"), mo2 = Field("V1");
    ASSERT_EQ(IRDeleteRemoteRecord(h, m2.data(), t2.data(), mo2.data()), 1);
    EXPECT_EQ(TakeList(IRFindAllManufacturers(h)), (Bytes{0, 0}));
    EXPECT_EQ(IRFindAllTypes(h, "Sony"), nullptr);
    IRCloseLibrary(h);
}

TEST_F(Queries, ListsOutliveLaterChangesAndTheHandleAndAnyFreeReleasesAnyBlock) {
    LibraryHandle* h = Filled();
    NameList* makers = IRFindAllManufacturers(h);
    NameList* types = IRFindAllTypes(h, "Sony");
    NameList* models = IRFindAllModels(h, "Sony", "TV");
    const format::Name m = Field("Sony"), t = Field("TV"), mo = Field("KV-1");
    RemoteRecord* record = IRFetchRemoteRecord(h, m.data(), t.data(), mo.data());
    ASSERT_TRUE(makers && types && models && record);
    ASSERT_EQ(IRDeleteRemoteRecord(h, m.data(), t.data(), mo.data()), 1);
    Put(h, MakeRemoteRecord("Zeta", "TV", "Z", {}));
    IRCloseLibrary(h);

    // A list that pointed into the tree would now read released memory.
    EXPECT_EQ(BlockBytes(makers, 65), NameListOf({"Sony", "philips", "Acme"}));
    EXPECT_EQ(BlockBytes(types, 44), NameListOf({"TV", "DVD"}));
    EXPECT_EQ(BlockBytes(models, 44), NameListOf({"KV-1", "kv-2"}));
    // One routine under four names: each releases whatever the library returned.
    IRFreeRemoteRecord(makers);
    IRFreeManufacturers(record);
    IRFreeTypes(models);
    IRFreeModels(types);
    IRFreeManufacturers(nullptr);
    IRFreeTypes(nullptr);
    IRFreeModels(nullptr);
    IRFreeRemoteRecord(nullptr);
}

TEST_F(Queries, AllocationFailureGivesNullAndLeavesTheTreeAlone) {
    LibraryHandle* h = Filled();
    pt::InjectFault(FaultCall::Allocate, 1);
    EXPECT_EQ(IRFindAllManufacturers(h), nullptr);
    EXPECT_TRUE(pt::FaultFired());
    pt::InjectFault(FaultCall::Allocate, 1);
    EXPECT_EQ(IRFindAllTypes(h, "Sony"), nullptr);
    pt::InjectFault(FaultCall::Allocate, 1);
    EXPECT_EQ(IRFindAllModels(h, "Sony", "TV"), nullptr);
    EXPECT_TRUE(pt::FaultFired());
    pt::ClearFaults();
    EXPECT_EQ(TakeList(IRFindAllManufacturers(h)), NameListOf({"Sony", "philips", "Acme"}));
    EXPECT_EQ(TakeList(IRFindAllModels(h, "Sony", "TV")), NameListOf({"KV-1", "kv-2"}));
    IRCloseLibrary(h);
}

TEST_F(Queries, QueriesNeitherTouchTheFileNorShowTheCursor) {
    LibraryHandle* h = Filled();
    pt::ClearFaults();
    pt::ClearUiEvents();
    TakeList(IRFindAllManufacturers(h));
    TakeList(IRFindAllTypes(h, "Sony"));
    TakeList(IRFindAllModels(h, "Sony", "TV"));
    EXPECT_EQ(ExistsNamed(h, "Sony", "TV", "KV-1"), 1);
    for (FaultCall call : {FaultCall::Open, FaultCall::Read, FaultCall::Write, FaultCall::Seek}) {
        EXPECT_EQ(pt::CallCount(call), 0u);
    }
    EXPECT_TRUE(pt::UiEvents().empty());
    IRCloseLibrary(h);
}

TEST_F(Queries, ExistenceFollowsWritesAndDeletesWithoutRegardToCase) {
    LibraryHandle* h = Filled();
    // Case and missing keys are covered by the model run; here the levels and null fields.
    EXPECT_EQ(ExistsNamed(h, "sONY", "tV", "kv-1"), 1);
    EXPECT_EQ(ExistsNamed(h, "philips", "TV", "KV-1"), 0);  // TV is Sony's
    EXPECT_EQ(ExistsNamed(nullptr, "Sony", "TV", "KV-1"), 0);
    const format::Name m = Field("Sony"), t = Field("TV"), mo = Field("KV-1");
    EXPECT_EQ(IRDoesRemoteRecordExist(h, nullptr, t.data(), mo.data()), 0);
    EXPECT_EQ(IRDoesRemoteRecordExist(h, m.data(), nullptr, mo.data()), 0);
    EXPECT_EQ(IRDoesRemoteRecordExist(h, m.data(), t.data(), nullptr), 0);
    ASSERT_EQ(IRDeleteRemoteRecord(h, m.data(), t.data(), mo.data()), 1);
    EXPECT_EQ(ExistsNamed(h, "Sony", "TV", "KV-1"), 0);
    EXPECT_EQ(ExistsNamed(h, "Sony", "TV", "kv-2"), 1);
    IRCloseLibrary(h);
}

TEST_F(Queries, ANameFieldWithoutTerminatorMatchesNothing) {
    LibraryHandle* h = CreateAndOpen("long.lib");
    const std::string twenty = "ABCDEFGHIJKLMNOPQRST";
    Put(h, MakeRemoteRecord("Sony", "TV", twenty, {}));
    const format::Name m = Field("Sony"), t = Field("TV"), good = Field(twenty);
    ASSERT_EQ(IRDoesRemoteRecordExist(h, m.data(), t.data(), good.data()), 1);
    // 21 characters in a 21-byte block of its own: a reader that cut the field at 20
    // characters would find the stored model, one that looked past it would overrun.
    std::unique_ptr<char[]> field(new char[21]);
    std::memcpy(field.get(), (twenty + "U").data(), 21);
    EXPECT_EQ(IRDoesRemoteRecordExist(h, m.data(), t.data(), field.get()), 0);
    EXPECT_EQ(IRDoesRemoteRecordExist(h, field.get(), t.data(), good.data()), 0);
    EXPECT_EQ(IRFetchRemoteRecord(h, m.data(), t.data(), field.get()), nullptr);
    EXPECT_EQ(IRDeleteRemoteRecord(h, m.data(), t.data(), field.get()), 0);
    EXPECT_EQ(IRDoesRemoteRecordExist(h, m.data(), t.data(), good.data()), 1);

    Bytes unterminated = MakeRemoteRecord("Sony", "TV", twenty, {});
    unterminated[46 + 20] = 'U';
    const Bytes before = ReadFile(Path("long.lib"));
    EXPECT_EQ(IRWriteRemoteRecord(h, reinterpret_cast<const RemoteRecord*>(unterminated.data())),
              0);
    EXPECT_EQ(ReadFile(Path("long.lib")), before);
    IRCloseLibrary(h);
}

TEST_F(Queries, AMovedRecordAndTheLevelsItEmptiedComeBackLast) {
    LibraryHandle* h = CreateAndOpen("move.lib");
    ASSERT_EQ(IRSetExtraSpaceAmount(h, 0), 1);
    Put(h, MakeRemoteRecord("B", "T", "w", {}));
    Put(h, MakeRemoteRecord("A", "T1", "x", {}));
    Put(h, MakeRemoteRecord("A", "T2", "y", {}));
    Put(h, MakeRemoteRecord("A", "T2", "z", {}));
    // Each rewrite is larger than its extent, so the record moves.
    Put(h, MakeRemoteRecord("A", "T2", "y", {MakeEntry(1, 1)}));
    EXPECT_EQ(TakeList(IRFindAllModels(h, "A", "T2")), NameListOf({"z", "y"}));
    Put(h, MakeRemoteRecord("A", "T1", "x", {MakeEntry(2, 1)}));
    EXPECT_EQ(TakeList(IRFindAllTypes(h, "A")), NameListOf({"T2", "T1"}));
    // A moved record enters the index anew, under the letter case of the rewrite.
    Put(h, MakeRemoteRecord("b", "t", "W", {MakeEntry(3, 1)}));
    EXPECT_EQ(TakeList(IRFindAllManufacturers(h)), NameListOf({"A", "b"}));
    EXPECT_EQ(TakeList(IRFindAllModels(h, "B", "T")), NameListOf({"W"}));
    IRCloseLibrary(h);
    EXPECT_TRUE(CheckFileInvariantsAt(Path("move.lib")));
}

}  // namespace
}  // namespace varnel32::test
