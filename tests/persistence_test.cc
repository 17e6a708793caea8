// Loading and saving the stored index run: what a load keeps when the run is damaged,
// short or holds duplicates, and what a save leaves on disk when it is refused or a write
// comes up short. Works on handles outside the registry, straight on the core.
#include "index/persistence.h"
#include "support/file_builder.h"

namespace varnel32::test {
namespace {

using index::LoadCatalogueIndex;
using index::SaveCatalogueIndex;
using platform::FaultCall;
using platform::FaultEffect;
using platform::testing::CallCount;
using platform::testing::ClearFaults;
using platform::testing::InjectFault;

class Persistence : public FileTest {
protected:
    void TearDown() override {
        if (handle != nullptr) DetachHandle(handle);
        FileTest::TearDown();
    }
    // Writes the file and attaches a handle to it; fault counters start from zero.
    void Attach(const Bytes& file, uint32_t mode) {
        WriteFile(Path("a.lib"), file);
        handle = AttachHandle(Path("a.lib"), mode);
        ClearFaults();
    }
    Bytes File() const { return ReadFile(Path("a.lib")); }
    std::vector<std::string> Tree() const { return KeysOf(handle->index); }

    // Five records whose run interleaves manufacturers and types.
    static FileBuilder FiveRecords() {
        FileBuilder f;
        f.AddLive("B", "x", "1");
        f.AddLive("A", "y", "2");
        f.AddLive("B", "x", "3");
        f.AddLive("B", "z", "4");
        f.AddLive("A", "y", "5");
        return f;
    }

    LibraryHandle* handle = nullptr;
};

TEST_F(Persistence, ANewFileLoadsEmptyWithoutReadingPastTheHeader) {
    ASSERT_EQ(IRCreateLibrary(0, Path("a.lib").c_str(), 0), 1);
    handle = AttachHandle(Path("a.lib"), IRModeReadOnly);
    ClearFaults();
    EXPECT_EQ(LoadCatalogueIndex(handle), 1);
    EXPECT_EQ(handle->index.manufacturerCount, 0);
    EXPECT_EQ(CallCount(FaultCall::Read), 1u);
}

TEST_F(Persistence, ALoadRebuildsTheTreeAndASaveWritesItBackGrouped) {
    FileBuilder f = FiveRecords();
    f.header.dirty = 1;
    Attach(f.Build(), IRModeWrite);
    ASSERT_EQ(LoadCatalogueIndex(handle), 1);
    const std::vector<std::string> tree = Tree();
    EXPECT_EQ(tree, (std::vector<std::string>{"B/x/1@1570", "B/x/3@1760", "B/z/4@1855",
                                              "A/y/2@1665", "A/y/5@1950"}));
    const Bytes before = File();
    ASSERT_EQ(SaveCatalogueIndex(handle), 1);
    const Bytes after = File();
    // Same length, same records; the run is now in tree order and the header is clean.
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(Slice(after, 1570, f.header.dataEnd - 1570), f.area);
    EXPECT_EQ(KeysOf(IndexRunOf(after)), tree);
    format::LibraryHeader h = DecodeHeaderOf(after);
    EXPECT_TRUE(format::Verify(format::BlockKind::Header, Slice(after, 0, 1570)));
    EXPECT_EQ(h.dirty, 0);
    h.dirty = 1;
    EXPECT_EQ(SealedHeader(h), Slice(before, 0, 1570)) << "only dirty may change";
    // The entries in one write, then the header.
    EXPECT_EQ(CallCount(FaultCall::Write), 2u);
    // A second load of the saved run gives the same tree.
    index::FreeCatalogueIndex(handle->index);
    ASSERT_EQ(LoadCatalogueIndex(handle), 1);
    EXPECT_EQ(Tree(), tree);
}

TEST_F(Persistence, ALoadStopsAtTheFirstBadEntryAndKeepsTheOnesBefore) {
    const FileBuilder f = FiveRecords();
    const uint32_t third = f.header.dataEnd + 2 * 71;
    const std::vector<std::string> firstTwo{"B/x/1@1570", "A/y/2@1665"};
    {
        SCOPED_TRACE("damaged checksum");
        Bytes file = f.Build();
        file[third + 30] ^= 0x20;
        Attach(file, IRModeReadOnly);
        EXPECT_EQ(LoadCatalogueIndex(handle), 0);
        EXPECT_EQ(Tree(), firstTwo);
        DetachHandle(handle);
    }
    {
        SCOPED_TRACE("run cut short by the end of the file");
        Bytes file = f.Build();
        file.resize(third + 70);
        Attach(file, IRModeReadOnly);
        EXPECT_EQ(LoadCatalogueIndex(handle), 0);
        EXPECT_EQ(Tree(), firstTwo);
        DetachHandle(handle);
    }
    {
        SCOPED_TRACE("short read");
        Attach(f.Build(), IRModeReadOnly);
        InjectFault(FaultCall::Read, 2, FaultEffect::Short);  // the run: half holds two entries
        EXPECT_EQ(LoadCatalogueIndex(handle), 0);
        EXPECT_TRUE(platform::testing::FaultFired());
        EXPECT_EQ(Tree(), firstTwo);
        DetachHandle(handle);
    }
    {
        SCOPED_TRACE("memory exhausted");
        Attach(f.Build(), IRModeReadOnly);
        // Entries 1 and 2 take three resizes each (new manufacturer, type, model); entry 3
        // only a model.
        InjectFault(FaultCall::Resize, 7);
        EXPECT_EQ(LoadCatalogueIndex(handle), 0);
        EXPECT_TRUE(platform::testing::FaultFired());
        EXPECT_EQ(Tree(), firstTwo);
        DetachHandle(handle);
    }
    {
        SCOPED_TRACE("duplicate names in another letter case");
        FileBuilder dup;
        dup.AddLive("Maker", "TV", "One");
        dup.AddLive("maker", "tv", "ONE");
        dup.AddLive("Maker", "TV", "Two");
        Attach(dup.Build(), IRModeReadOnly);
        EXPECT_EQ(LoadCatalogueIndex(handle), 0);
        EXPECT_EQ(Tree(), std::vector<std::string>{"Maker/TV/One@1570"});
    }
}

TEST_F(Persistence, AHeaderThatDoesNotVerifyLoadsAndSavesNothing) {
    const Bytes good = FiveRecords().Build();
    Bytes badCrc = good;
    badCrc[1000] ^= 1;
    Bytes badMagic = good;
    badMagic[0] = 0xAB;
    format::LibraryHeader h = DecodeHeaderOf(good);
    h.magic = 0xABAAAAAAu;
    const Bytes resealedMagic = SealedHeader(h);
    std::copy(resealedMagic.begin(), resealedMagic.end(), badMagic.begin());
    const Bytes shortFile = Slice(good, 0, 1569);
    for (const Bytes* file : std::vector<const Bytes*>{&badCrc, &badMagic, &shortFile}) {
        Attach(*file, IRModeWrite);
        ASSERT_EQ(index::AddIndexEntry(handle->index, Key("Kept", "K", "K", 5000)), 1);
        EXPECT_EQ(LoadCatalogueIndex(handle), 0);
        EXPECT_EQ(Tree(), std::vector<std::string>{"Kept/K/K@5000"});
        EXPECT_EQ(SaveCatalogueIndex(handle), 0);
        EXPECT_EQ(CallCount(FaultCall::Write), 0u);
        EXPECT_EQ(File(), *file);
        DetachHandle(handle);
        handle = nullptr;
    }
}

TEST_F(Persistence, ASaveThroughAReadOnlyHandleTouchesNothing) {
    FileBuilder f = FiveRecords();
    f.header.dirty = 1;
    const Bytes file = f.Build();
    Attach(file, IRModeReadOnly | IRModeRequireInfrared);
    for (const auto& e : f.index) ASSERT_EQ(index::AddIndexEntry(handle->index, e), 1);
    ClearFaults();
    EXPECT_EQ(SaveCatalogueIndex(handle), 0);
    EXPECT_EQ(CallCount(FaultCall::Read), 0u);
    EXPECT_EQ(CallCount(FaultCall::Write), 0u);
    EXPECT_EQ(File(), file);
}

// A tree that lost a key would leave a clean header promising entries that are not there.
TEST_F(Persistence, ATreeThatDoesNotMatchTheRecordCountIsNotSaved) {
    FileBuilder f = FiveRecords();
    f.header.dirty = 1;
    const Bytes file = f.Build();
    Attach(file, IRModeWrite);
    ASSERT_EQ(LoadCatalogueIndex(handle), 1);
    ASSERT_EQ(index::RemoveIndexEntry(handle->index, Key("A", "y", "5")), 1);
    EXPECT_EQ(SaveCatalogueIndex(handle), 0);
    EXPECT_EQ(File(), file);
}

TEST_F(Persistence, AShortEntryWriteLeavesTheHeaderDirty) {
    FileBuilder f = FiveRecords();
    f.header.dirty = 1;
    const Bytes file = f.Build();
    Attach(file, IRModeWrite);
    ASSERT_EQ(LoadCatalogueIndex(handle), 1);
    InjectFault(FaultCall::Write, 1, FaultEffect::Short);
    EXPECT_EQ(SaveCatalogueIndex(handle), 0);
    EXPECT_TRUE(platform::testing::FaultFired());
    const Bytes after = File();
    EXPECT_EQ(Slice(after, 0, 1570), Slice(file, 0, 1570)) << "the header was rewritten";
    EXPECT_EQ(DecodeHeaderOf(after).dirty, 1);
    // Half of the run arrived: two entries and 35 bytes of the third (the tree's order,
    // which differs from the stored one there), nothing after it.
    const uint32_t run = f.header.dataEnd;
    EXPECT_EQ(KeysOf(IndexRunAt(after, run, 2)), (std::vector<std::string>{"B/x/1@1570", "B/x/3@1760"}));
    const Bytes third = SealedIndexEntry(Key("B", "z", "4", 1855));
    EXPECT_NE(Slice(file, run + 142, 35), Slice(third, 0, 35));
    EXPECT_EQ(Slice(after, run + 142, 35), Slice(third, 0, 35));
    EXPECT_EQ(Slice(after, run + 142 + 35, 71 * 3 - 35), Slice(file, run + 142 + 35, 71 * 3 - 35));
    EXPECT_EQ(CallCount(FaultCall::Write), 1u);
}

TEST_F(Persistence, AFailedHeaderWriteReportsFailureWithTheRunInPlace) {
    FileBuilder f = FiveRecords();
    f.header.dirty = 1;
    const Bytes file = f.Build();
    for (FaultEffect effect : {FaultEffect::Fail, FaultEffect::Short}) {
        Attach(file, IRModeWrite);
        ASSERT_EQ(LoadCatalogueIndex(handle), 1);
        InjectFault(FaultCall::Write, 2, effect);
        EXPECT_EQ(SaveCatalogueIndex(handle), 0);
        EXPECT_TRUE(platform::testing::FaultFired());
        const Bytes after = File();
        EXPECT_EQ(IndexRunOf(after).size(), 5u);
        if (effect == FaultEffect::Fail) {
            EXPECT_EQ(DecodeHeaderOf(after).dirty, 1);
        }
        DetachHandle(handle);
        handle = nullptr;
    }
}

TEST_F(Persistence, AShorterRunLeavesTheOldTailAndTheFileLength) {
    FileBuilder f;
    f.AddLive("M", "T", "x");
    f.AddDeleted(300);
    f.AddLive("M", "T", "z");
    // The run that stood there before the middle record was deleted: three entries.
    f.index.insert(f.index.begin() + 1, Key("M", "T", "y", 1665));
    f.header.dirty = 1;
    const Bytes file = f.Build();
    Attach(file, IRModeWrite);
    ASSERT_EQ(index::AddIndexEntry(handle->index, Key("M", "T", "x", 1570)), 1);
    ASSERT_EQ(index::AddIndexEntry(handle->index, Key("M", "T", "z", f.extents[2].offset)), 1);
    ASSERT_EQ(SaveCatalogueIndex(handle), 1);
    const Bytes after = File();
    ASSERT_EQ(after.size(), file.size());
    EXPECT_EQ(KeysOf(IndexRunOf(after)),
              (std::vector<std::string>{"M/T/x@1570", "M/T/z@" + std::to_string(f.extents[2].offset)}));
    const uint32_t tail = f.header.dataEnd + 2 * 71;
    EXPECT_EQ(Slice(after, tail, 71), Slice(file, tail, 71));
    EXPECT_EQ(Slice(after, 1570, f.area.size()), f.area);
}

TEST_F(Persistence, AnEmptyTreeSavesOnlyTheCleanHeader) {
    FileBuilder f;
    f.AddDeleted(200);
    f.header.dirty = 1;
    const Bytes file = f.Build();
    Attach(file, IRModeWrite);
    ASSERT_EQ(SaveCatalogueIndex(handle), 1);
    EXPECT_EQ(CallCount(FaultCall::Write), 1u);
    const Bytes after = File();
    EXPECT_EQ(after.size(), file.size());
    EXPECT_EQ(DecodeHeaderOf(after).dirty, 0);
    EXPECT_EQ(Slice(after, 1570, 200), Slice(file, 1570, 200));
}

// Manufacturers and types left childless by a failed insert write no entry and so do not
// come back at the next load.
TEST_F(Persistence, ChildlessNodesAreNotSaved) {
    FileBuilder f;
    f.AddLive("M", "T", "x");
    f.header.dirty = 1;
    Attach(f.Build(), IRModeWrite);
    InjectFault(FaultCall::Resize, 2);
    ASSERT_EQ(index::AddIndexEntry(handle->index, Key("Lost", "T", "y", 5000)), 0);
    InjectFault(FaultCall::Resize, 3);
    ASSERT_EQ(index::AddIndexEntry(handle->index, Key("Lost2", "T", "y", 5000)), 0);
    ASSERT_EQ(index::AddIndexEntry(handle->index, Key("M", "T", "x", 1570)), 1);
    ClearFaults();
    ASSERT_EQ(handle->index.manufacturerCount, 3);
    ASSERT_EQ(SaveCatalogueIndex(handle), 1);
    EXPECT_EQ(CallCount(FaultCall::Write), 2u);
    index::FreeCatalogueIndex(handle->index);
    ASSERT_EQ(LoadCatalogueIndex(handle), 1);
    EXPECT_EQ(handle->index.manufacturerCount, 1);
    EXPECT_EQ(Tree(), std::vector<std::string>{"M/T/x@1570"});
}

}  // namespace
}  // namespace varnel32::test
