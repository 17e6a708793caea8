// Compaction, byte for byte on files laid out by hand: what moves and what is left alone,
// overlapping moves, a file larger than the walk's buffers, the cut, the rebuilt index;
// and every failure exit, with what the file, the tree and the handle hold afterwards.
#include "maintenance/compact.h"
#include "support/file_builder.h"

namespace varnel32::test {
namespace {

using maintenance::CompactLibraryFile;
using platform::FaultCall;
using platform::FaultEffect;
using platform::testing::CallCount;
using platform::testing::ClearFaults;
using platform::testing::InjectFault;

class Compaction : public FileTest {
protected:
    void TearDown() override {
        if (handle != nullptr) IRCloseLibrary(handle);
        FileTest::TearDown();
    }
    // Writes the file, opens it for writing through the API and resets the fault counters.
    void OpenBuilt(const FileBuilder& f) {
        built = f;
        original = f.Build();
        WriteFile(Path("c.lib"), original);
        uint32_t status = 99;
        handle = IROpenLibrary(0, nullptr, Path("c.lib").c_str(), IRModeWrite, 0, &status);
        ASSERT_NE(handle, nullptr);
        ASSERT_EQ(status, IROpenOk);
        ClearFaults();
        platform::testing::ClearUiEvents();
    }
    Bytes File() const { return ReadFile(Path("c.lib")); }
    // The bytes of the i-th extent as built.
    Bytes Extent(size_t i) const {
        return Slice(original, built.extents[i].offset, built.extents[i].capacity);
    }
    std::vector<std::string> Tree() const { return KeysOf(handle->index); }

    LibraryHandle* handle = nullptr;
    FileBuilder built;
    Bytes original;
};

// X, Y, Z with Y deleted: X stays and is not written, Z slides down over Y with its capacity.
TEST_F(Compaction, OnlyTheExtentsBehindADeletedOneMove) {
    FileBuilder f;
    const uint32_t x = f.AddLive("Maker", "TV", "X", {MakeEntry(1, 12), MakeEntry(2, 7)}, 40);
    f.AddDeleted(250);
    f.AddLive("Maker", "TV", "Z", {MakeEntry(3, 100)}, 20);
    OpenBuilt(f);
    ASSERT_EQ(IRCompactLibrary(handle), 1);
    EXPECT_EQ(Trace(), kBusyOnly);
    const Bytes after = File();
    const uint32_t z = x + built.extents[0].capacity;
    const uint32_t end = z + built.extents[2].capacity;
    EXPECT_EQ(Slice(after, 0, 1570),
              SealedHeader({.recordCount = 2, .dataEnd = end, .kind = 2}));  // clean, no slots
    EXPECT_EQ(Slice(after, x, built.extents[0].capacity), Extent(0));
    EXPECT_EQ(Slice(after, z, built.extents[2].capacity), Extent(2)) << "Z, spare bytes included";
    const std::vector<std::string> keys{"Maker/TV/X@" + std::to_string(x), "Maker/TV/Z@" + std::to_string(z)};
    EXPECT_EQ(KeysOf(IndexRunOf(after)), keys);
    EXPECT_EQ(after.size(), end + 2 * 71u);
    EXPECT_EQ(Tree(), keys);
}

TEST_F(Compaction, AnExtentMovedByLessThanItsLengthArrivesIntact) {
    FileBuilder f;
    f.AddDeleted(80);
    std::vector<Entry> entries;
    for (uint32_t i = 0; i < 12; ++i) entries.push_back(MakeEntry(10 + i, static_cast<uint16_t>(50 + 37 * i)));
    f.AddLive("Big", "One", "Overlap", entries, 1000);
    f.AddDeleted(79);
    f.AddLive("Small", "Two", "After", {MakeEntry(40, 3)}, 0);
    OpenBuilt(f);
    ASSERT_GT(built.extents[1].capacity, 80 * 10);
    ASSERT_EQ(CompactLibraryFile(handle), 1);
    const Bytes after = File();
    EXPECT_EQ(Slice(after, 1570, built.extents[1].capacity), Extent(1));
    const uint32_t second = 1570 + built.extents[1].capacity;
    EXPECT_EQ(Slice(after, second, built.extents[3].capacity), Extent(3));
    EXPECT_EQ(Tree(), (std::vector<std::string>{"Big/One/Overlap@1570",
                                                "Small/Two/After@" + std::to_string(second)}));
    const auto moved = FetchNamed(handle, "big", "one", "overlap");  // reads back whole
    ASSERT_TRUE(moved);
    EXPECT_EQ(IR_GET16(moved->data() + 2), 12);
}

// A file larger than the walk's read and write buffers (a megabyte each): every extent
// still arrives whole, and a failure half-way or at the end is undone byte for byte.
TEST_F(Compaction, AFileLargerThanTheWalksBuffersMovesWholeOrNotAtAll) {
    FileBuilder f;
    f.AddDeleted(100);
    for (int i = 0; i < 45; ++i) {
        f.AddLive("M", "T", std::to_string(i), {MakeEntry(static_cast<uint8_t>(i), 30)}, 60000);
        if (i % 10 == 3) f.AddDeleted(7000);
    }
    OpenBuilt(f);
    ASSERT_EQ(IRCompactLibrary(handle), 1);
    const uint32_t writes = CallCount(FaultCall::Write);
    const Bytes after = File();
    uint32_t at = 1570;
    for (size_t i = 0; i < built.extents.size(); ++i) {
        if (built.extents[i].deleted) continue;
        EXPECT_EQ(Slice(after, at, built.extents[i].capacity), Extent(i)) << "extent " << i;
        at += built.extents[i].capacity;
    }
    EXPECT_EQ(DecodeHeaderOf(after).dataEnd, at);
    for (const uint32_t k : {writes / 2, writes - 1}) {
        IRCloseLibrary(handle);
        handle = nullptr;
        OpenBuilt(f);
        InjectFault(FaultCall::Write, k);
        EXPECT_EQ(IRCompactLibrary(handle), 0);
        ClearFaults();
        EXPECT_EQ(File(), original) << "failed at write " << k << " of " << writes;
    }
}

TEST_F(Compaction, ExtentsOfEverySizeMoveDownWhole) {
    FileBuilder f;
    f.AddLive("A", "T", "in place", {}, 3000);  // never moved, so never buffered
    f.AddDeleted(100);
    f.AddLive("B", "T", "1", {}, 221);  // 300
    f.AddLive("C", "T", "2", {}, 121);  // 200: fits
    f.AddLive("D", "T", "3", {}, 421);  // 500: grows
    f.AddDeleted(90);
    f.AddLive("E", "T", "4", {}, 321);  // 400: fits
    f.AddLive("F", "T", "5", {}, 422);  // 501: grows by one byte
    OpenBuilt(f);
    ASSERT_EQ(CompactLibraryFile(handle), 1);
    const Bytes after = File();
    uint32_t at = 1570 + 3079;
    for (size_t i : {2u, 3u, 4u, 6u, 7u}) {
        EXPECT_EQ(Slice(after, at, built.extents[i].capacity), Extent(i)) << "extent " << i;
        at += built.extents[i].capacity;
    }
    EXPECT_EQ(DecodeHeaderOf(after).dataEnd, at);
}

TEST_F(Compaction, AllRecordsDeletedShrinksTheFileToItsHeader) {
    FileBuilder f(IRKindCommand | IRKindWriteProtected);
    f.AddDeleted(500);
    f.AddDeleted(79);
    f.AddDeleted(1200);
    f.header.reserved = 0x5EED;  // carried through, never interpreted
    f.header.dirty = 1;
    WriteFile(Path("c.lib"), f.Build());
    uint32_t status = 99;
    handle = IROpenLibrary(0, nullptr, Path("c.lib").c_str(), IRModeWrite, 1, &status);
    ASSERT_NE(handle, nullptr);
    format::LibraryHeader expected;
    expected.kind = f.header.kind;
    expected.reserved = 0x5EED;
    EXPECT_EQ(File(), SealedHeader(expected));
    EXPECT_EQ(handle->index.manufacturerCount, 0);
}

TEST_F(Compaction, NothingToDoLeavesTheFileByteForByte) {
    FileBuilder f;
    // A stale tail behind the (empty) index: not even cut.
    f.area.clear();
    OpenBuilt(f);
    Bytes withTail = original;
    withTail.resize(2000, 0x5A);
    WriteFile(Path("c.lib"), withTail);
    ASSERT_EQ(index::AddIndexEntry(handle->index, Key("Kept", "K", "K", 4000)), 1);
    EXPECT_EQ(IRCompactLibrary(handle), 1);
    EXPECT_EQ(CallCount(FaultCall::Write), 0u);
    EXPECT_EQ(CallCount(FaultCall::Truncate), 0u);
    EXPECT_EQ(File(), withTail);
    EXPECT_EQ(Tree(), std::vector<std::string>{"Kept/K/K@4000"}) << "the tree is left as it was";
    index::FreeCatalogueIndex(handle->index);
}

TEST_F(Compaction, LiveRecordsWithNothingDeletedStayPutAndTheIndexIsRewritten) {
    FileBuilder f;
    f.AddLive("M", "T", "a");
    f.AddLive("M", "U", "b");
    f.AddDeleted(200);  // behind the last live one: verified, then cut off
    OpenBuilt(f);
    ASSERT_EQ(CompactLibraryFile(handle), 1);
    const Bytes after = File();
    EXPECT_EQ(Slice(after, 1570, 190), Slice(original, 1570, 190));
    EXPECT_EQ(after.size(), 1570u + 190 + 2 * 71);
    EXPECT_EQ(CallCount(FaultCall::Write), 3u) << "header, the entries, header";
}

// Names in a record header may carry bytes after their terminator; the rebuilt index
// stores them zero-filled, as every index entry is.
TEST_F(Compaction, TheRebuiltIndexHoldsCleanNames) {
    FileBuilder f;
    format::Name m = Field("Maker"), t = Field("TV"), model = Field("X");
    for (size_t i = 6; i < 21; ++i) m[i] = '#';
    for (size_t i = 2; i < 21; ++i) model[i] = static_cast<char>(0xEE);
    f.AddDeleted(100);
    f.AddLive(m, t, model);
    OpenBuilt(f);
    ASSERT_EQ(CompactLibraryFile(handle), 1);
    const Bytes after = File();
    const Bytes entry = Slice(after, DecodeHeaderOf(after).dataEnd, 71);
    EXPECT_EQ(entry, SealedIndexEntry(Key("Maker", "TV", "X", 1570)));
    // The record itself moved unchanged, its name bytes included.
    EXPECT_EQ(Slice(after, 1570, built.extents[1].capacity), Extent(1));
}

// ---- Failure exits --------------------------------------------------------------------------

TEST_F(Compaction, AHeaderThatCannotBeReadChangesNothing) {
    FileBuilder f;
    f.AddDeleted(100);
    f.AddLive("M", "T", "a");
    OpenBuilt(f);
    InjectFault(FaultCall::Read, 1, FaultEffect::Short);
    EXPECT_EQ(IRCompactLibrary(handle), 0);
    EXPECT_EQ(Trace(), kBusyOnly);
    EXPECT_EQ(File(), original);
    EXPECT_EQ(Tree(), std::vector<std::string>{"M/T/a@1670"});
    EXPECT_FALSE(handle->indexIncomplete);
}

// A walk that stops is undone: the file is as it was, but the tree holds only what the
// walk met, so the handle changes nothing more and saves nothing until a compaction works.
struct WalkFailure {
    const char* what;
    FaultCall call;
    uint32_t nth;
    FaultEffect effect;
};

void PrintTo(const WalkFailure& failure, std::ostream* os) { *os << failure.what; }

class CompactionWalk : public Compaction, public ::testing::WithParamInterface<WalkFailure> {};

TEST_P(CompactionWalk, IsUndoneAndStopsTheHandle) {
    const WalkFailure& c = GetParam();
    FileBuilder f;
    f.AddLive("M", "T", "x");
    f.AddDeleted(300);
    f.AddLive("M", "T", "z", {MakeEntry(5, 200)}, 100);
    f.AddLive("M", "T", "w");
    OpenBuilt(f);
    InjectFault(c.call, c.nth, c.effect);
    EXPECT_EQ(IRCompactLibrary(handle), 0);
    EXPECT_TRUE(platform::testing::FaultFired());
    EXPECT_EQ(Trace(), kBusyOnly);
    ClearFaults();
    EXPECT_EQ(File(), original);
    EXPECT_TRUE(handle->indexIncomplete);
    EXPECT_EQ(WriteBytes(handle, MakeRemoteRecord("N", "T", "n", {})), 0);
    EXPECT_EQ(DeleteNamed(handle, "M", "T", "x"), 0);
    IRCloseLibrary(handle);
    handle = nullptr;
    EXPECT_EQ(File(), original);
}

INSTANTIATE_TEST_SUITE_P(
    Exits, CompactionWalk,
    ::testing::Values(
        // Reads: header, the record area. Writes: the journal, the dirty header, the
        // journal, Z and W.
        WalkFailure{"record area short", FaultCall::Read, 2, FaultEffect::Short},
        // Resizes: x takes three (new manufacturer, type, model), z one.
        WalkFailure{"index insert out of memory", FaultCall::Resize, 4, FaultEffect::Fail},
        WalkFailure{"record area unreadable", FaultCall::Read, 2, FaultEffect::Fail},
        WalkFailure{"move write short", FaultCall::Write, 4, FaultEffect::Short}),
    [](const ::testing::TestParamInfo<WalkFailure>& info) {
        std::string name = info.param.what;
        for (char& ch : name) if (ch == ' ') ch = '_';
        return name;
    });

TEST_F(Compaction, ADamagedRecordHeaderStopsTheWalk) {
    FileBuilder f;
    f.AddLive("M", "T", "x");
    f.AddDeleted(200);
    f.AddLive("M", "T", "y");
    f.AddDeleted(150);  // behind the last live one: damaged below
    FileBuilder damaged = f;
    damaged.area[damaged.extents[3].offset - 1570 + 20] ^= 1;
    OpenBuilt(damaged);
    EXPECT_EQ(CompactLibraryFile(handle), 0);
    // Every live extent moved before the walk met the damage; the header was not rewritten.
    const Bytes after = File();
    format::LibraryHeader expected = built.header;
    expected.dirty = 1;
    EXPECT_EQ(Slice(after, 0, 1570), SealedHeader(expected));
    EXPECT_EQ(Slice(after, 1570 + 95, 95), Extent(2));
    EXPECT_EQ(Tree(), (std::vector<std::string>{"M/T/x@1570", "M/T/y@1665"}));
}

// The walk fails only after it met every live record, so the partial tree has as many
// keys as the header counts; saved at close it would mark the rearranged file clean.
TEST_F(Compaction, ATreeFromAFailedWalkIsNeverSavedEvenWhenItLooksWhole) {
    FileBuilder f;
    f.AddLive("M", "T", "x");
    f.AddDeleted(200);
    f.AddLive("M", "T", "y");
    f.AddDeleted(150);
    f.AddLive("M", "T", "z");
    f.area[f.extents[3].offset - 1570 + 20] ^= 1;
    OpenBuilt(f);
    ASSERT_EQ(DeleteNamed(handle, "M", "T", "z"), 1);
    EXPECT_EQ(IRCompactLibrary(handle), 0);
    EXPECT_EQ(Tree(), (std::vector<std::string>{"M/T/x@1570", "M/T/y@1665"}));
    ASSERT_EQ(DecodeHeaderOf(File()).recordCount, 2u);
    const Bytes left = File();
    IRCloseLibrary(handle);
    handle = nullptr;
    EXPECT_EQ(File(), left);
    EXPECT_EQ(DecodeHeaderOf(left).dirty, 1);
}

TEST_F(Compaction, DuplicateNamesInTheRecordsStopTheWalk) {
    FileBuilder f;
    f.AddDeleted(100);
    f.AddLive("Maker", "TV", "One");
    f.AddLive("MAKER", "tv", "one");
    OpenBuilt(f);
    EXPECT_EQ(CompactLibraryFile(handle), 0);
    const Bytes after = File();
    EXPECT_EQ(Slice(after, 1570, 95), Extent(1));
    EXPECT_EQ(Slice(after, 1665, original.size()), Slice(original, 1665, original.size()))
        << "the refused record is not moved";
    EXPECT_EQ(Tree(), std::vector<std::string>{"Maker/TV/One@1570"});
}

TEST_F(Compaction, ARecordTheWalkCannotStepOverStopsIt) {
    // A sealed live header with a capacity shorter than itself would never advance the walk.
    for (uint16_t capacity : {uint16_t{0}, uint16_t{78}}) {
        FileBuilder f;
        f.AddLive("M", "T", "x");
        format::RecordHeader bad;
        bad.capacity = capacity;
        bad.manufacturer = Field("M");
        bad.type = Field("T");
        bad.model = Field("y");
        const Bytes head = SealedRecordHeader(bad);
        f.area.insert(f.area.end(), head.begin(), head.end());
        f.header.recordCount = 2;
        f.header.dataEnd += 79;
        f.index.clear();
        f.header.dirty = 1;
        WriteFile(Path("c.lib"), f.Build());
        uint32_t status = 99;
        EXPECT_EQ(IROpenLibrary(0, nullptr, Path("c.lib").c_str(), IRModeWrite, 0, &status), nullptr);
        EXPECT_EQ(status, IROpenBadLibrary);
    }
}

TEST_F(Compaction, AShortHeaderWriteLeavesEveryExtentMovedAndTheFileUncut) {
    FileBuilder f;
    f.AddLive("M", "T", "x");
    f.AddDeleted(300);
    f.AddLive("M", "T", "z");
    // Y listed in a slot in the second half of the header, so that a header write cut in
    // half leaves the old slot behind the new checksum.
    f.header.freeSlots[200] = f.header.freeSlots[0];
    f.header.freeSlots[0] = {};
    OpenBuilt(f);
    InjectFault(FaultCall::Write, 3, FaultEffect::Short);  // dirty mark, Z, the rewrite
    EXPECT_EQ(CompactLibraryFile(handle), 0);
    ClearFaults();
    const Bytes after = File();
    EXPECT_EQ(after.size(), original.size());
    EXPECT_EQ(Slice(after, 1665, 95), Extent(2));
    EXPECT_EQ(Tree(), (std::vector<std::string>{"M/T/x@1570", "M/T/z@1665"}));
    EXPECT_FALSE(format::Verify(format::BlockKind::Header, Slice(after, 0, 1570)));
    // The header is half old, half new; nothing may save over it at close.
    EXPECT_TRUE(handle->indexIncomplete);
    IRCloseLibrary(handle);
    handle = nullptr;
    EXPECT_EQ(File(), after);
}

TEST_F(Compaction, AFailedSaveLeavesTheCutFileDirty) {
    FileBuilder f;
    f.AddLive("M", "T", "x");
    f.AddDeleted(300);
    f.AddLive("M", "T", "z");
    OpenBuilt(f);
    // Writes: dirty mark, Z, header, the entries (short). Alone, without the journal of a
    // call around it, the walk cuts the file where the index will end.
    InjectFault(FaultCall::Write, 4, FaultEffect::Short);
    EXPECT_EQ(CompactLibraryFile(handle), 0);
    ClearFaults();
    const Bytes after = File();
    const format::LibraryHeader h = DecodeHeaderOf(after);
    EXPECT_TRUE(format::Verify(format::BlockKind::Header, Slice(after, 0, 1570)));
    EXPECT_EQ(h.dirty, 1);
    EXPECT_EQ(h.dataEnd, 1760u);
    EXPECT_EQ(h.freeSlotCount, 0u);
    EXPECT_EQ(after.size(), 1760u + 2 * 71) << "cut, then one entry of two";
    // The tree is whole, so the handle may go on and save it at its last close.
    EXPECT_FALSE(handle->indexIncomplete);
    EXPECT_EQ(Tree(), (std::vector<std::string>{"M/T/x@1570", "M/T/z@1665"}));
    Put(handle, MakeRemoteRecord("N", "T", "n", {}));
    IRCloseLibrary(handle);
    handle = nullptr;
    const Bytes closed = File();
    EXPECT_EQ(DecodeHeaderOf(closed).dirty, 0);
    EXPECT_EQ(IndexRunOf(closed).size(), 3u);
}

// The compaction that fails after releasing the tree, on a handle that had changed the
// file: the close must not save the partial tree, and the next open for writing repairs.
TEST_F(Compaction, AfterAFailedCompactionTheNextOpenForWritingRepairs) {
    FileBuilder f;
    f.AddLive("M", "T", "a");
    f.AddLive("M", "T", "b");
    f.AddLive("M", "T", "c", {MakeEntry(9, 30)});
    f.AddLive("M", "T", "d");
    OpenBuilt(f);
    ASSERT_EQ(DeleteNamed(handle, "M", "T", "b"), 1);
    ASSERT_EQ(handle->modified, 1u);
    // Resizes: a takes three (new manufacturer, type, model), c one, d one (fails).
    ClearFaults();
    InjectFault(FaultCall::Resize, 5);
    EXPECT_EQ(IRCompactLibrary(handle), 0);
    ClearFaults();
    EXPECT_EQ(Tree(), (std::vector<std::string>{"M/T/a@1570", "M/T/c@1665"}));
    IRCloseLibrary(handle);
    handle = nullptr;
    const Bytes left = File();
    EXPECT_EQ(DecodeHeaderOf(left).dirty, 1);
    uint32_t status = 99;
    EXPECT_EQ(IROpenLibrary(0, nullptr, Path("c.lib").c_str(), IRModeReadOnly, 0, &status), nullptr);
    EXPECT_EQ(status, IROpenBadLibrary);

    platform::testing::ClearUiEvents();
    handle = IROpenLibrary(0, nullptr, Path("c.lib").c_str(), IRModeWrite, 0, &status);
    ASSERT_NE(handle, nullptr);
    const uint32_t c = 1570 + 95, d = c + built.extents[2].capacity;
    const std::vector<std::string> keys{"M/T/a@1570", "M/T/c@" + std::to_string(c),
                                        "M/T/d@" + std::to_string(d)};
    EXPECT_EQ(Tree(), keys);
    const Bytes repaired = File();
    EXPECT_EQ(DecodeHeaderOf(repaired).dirty, 0);
    EXPECT_EQ(KeysOf(IndexRunOf(repaired)), keys);
    EXPECT_EQ(Slice(repaired, c, built.extents[2].capacity), Extent(2));
}

TEST_F(Compaction, OnlyAWriterMayCompact) {
    FileBuilder f;
    f.AddDeleted(100);
    f.AddLive("M", "T", "a");
    WriteFile(Path("c.lib"), f.Build());
    for (uint32_t mode : {IRModeReadOnly, IRModeReadOnly | IRModeRequireInfrared}) {
        uint32_t status = 99;
        LibraryHandle* h = IROpenLibrary(0, nullptr, Path("c.lib").c_str(), mode, 0, &status);
        ASSERT_NE(h, nullptr);
        platform::testing::ClearUiEvents();
        ClearFaults();
        EXPECT_EQ(IRCompactLibrary(h), 0);
        EXPECT_EQ(Trace(), "") << "no cursor for a refused compaction";
        EXPECT_EQ(CallCount(FaultCall::Read), 0u);
        IRCloseLibrary(h);
    }
    platform::testing::ClearUiEvents();
    EXPECT_EQ(IRCompactLibrary(nullptr), 0);
    EXPECT_EQ(Trace(), "");
    EXPECT_EQ(ReadFile(Path("c.lib")), f.Build());
}

}  // namespace
}  // namespace varnel32::test
