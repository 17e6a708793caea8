// Writing records and choosing their place: exact images and sizes of appended records,
// first fit by used size into whole free slots, rewrites in place that leave the header and
// the index alone, relocation that lists the old extent first, the dirty header reaching
// the file before any record byte, the 16-bit size limits, and handles that may not write.
#include <functional>

#include "format/endian.h"
#include "support/child_process.h"
#include "support/file_builder.h"
#include "support/file_invariants.h"

namespace varnel32::test {
namespace {

using platform::FaultCall;
using platform::FaultEffect;
namespace pt = platform::testing;

// A record whose used size is exactly `used` (79, or at least 127 with one entry).
Bytes RecordOfUsedSize(const std::string& model, uint32_t used, uint32_t seed = 1) {
    if (used == 79) return MakeRemoteRecord("Maker", "Type", model, {});
    return MakeRemoteRecord("Maker", "Type", model,
                            {MakeEntry(seed, static_cast<uint16_t>(used - 127))});
}

class SpaceWrite : public LibraryTest {
protected:
    int32_t Delete(LibraryHandle* h, const std::string& model, const std::string& maker = "Maker",
                   const std::string& type = "Type") {
        return DeleteNamed(h, maker, type, model);
    }
    format::LibraryHeader Header(const std::string& name) {
        return DecodeHeaderOf(ReadFile(Path(name)));
    }
};

TEST_F(SpaceWrite, AppendedRecordsHaveTheWorkedSizesAndExactImages) {
    LibraryHandle* h = CreateAndOpen("a.lib");
    Bytes one = MakeRemoteRecord("Sony", "TV", "KV-1", {MakeEntry(1, 10)});
    FillAfterTerminator(one, 25, 0x33);   // kept in the record header, byte for byte
    format::Store16(one.data(), 0xBEEF);  // the used-size field is not read on write
    Put(h, one);
    Bytes file = ReadFile(Path("a.lib"));
    ASSERT_EQ(file.size(), 1570u + 1161u);  // the whole capacity was written
    EXPECT_EQ(DecodeRecordAt(file, 1570).usedSize, 137);
    EXPECT_EQ(DecodeRecordAt(file, 1570).capacity, 1161);
    EXPECT_EQ(Slice(file, 1570, 1161), RecordImageOf(one, 1161));
    format::LibraryHeader header = DecodeHeaderOf(file);
    EXPECT_EQ(header.recordCount, 1u);
    EXPECT_EQ(header.dataEnd, 2731u);
    EXPECT_EQ(header.dirty, 1);

    const Bytes two = MakeRemoteRecord("Sony", "TV", "KV-2", {MakeEntry(2, 10), MakeEntry(3, 20)});
    Put(h, two);
    ASSERT_EQ(IRSetExtraSpaceAmount(h, 0), 1);
    const Bytes empty = MakeRemoteRecord("Acme", "Amp", "A1", {});
    Put(h, empty);
    file = ReadFile(Path("a.lib"));
    ASSERT_EQ(file.size(), 2731u + 1229u + 79u);
    EXPECT_EQ(DecodeRecordAt(file, 2731).usedSize, 205);
    EXPECT_EQ(Slice(file, 2731, 1229), RecordImageOf(two, 1229));
    EXPECT_EQ(Slice(file, 3960, 79), RecordImageOf(empty, 79));  // capacity == used size
    header = DecodeHeaderOf(file);
    EXPECT_EQ(header.recordCount, 3u);
    EXPECT_EQ(header.dataEnd, 4039u);
    EXPECT_TRUE(CheckFileInvariants(file));
    IRCloseLibrary(h);
    EXPECT_TRUE(CheckFileInvariantsAt(Path("a.lib")));
}

TEST_F(SpaceWrite, FirstFitByUsedSizeTakesTheWholeSlot) {
    LibraryHandle* h = CreateAndOpen("fit.lib");
    // Capacities 100 x3, 500, 100 x3, 200, then a record that stays; deleted in order they
    // fill slots 0 to 7.
    const uint16_t sizes[] = {100, 100, 100, 500, 100, 100, 100, 200};
    uint32_t offsets[8];
    for (int i = 0; i < 8; ++i) {
        ASSERT_EQ(IRSetExtraSpaceAmount(h, sizes[i] - 79u), 1);
        offsets[i] = Header("fit.lib").dataEnd;
        Put(h, RecordOfUsedSize("r" + std::to_string(i), 79));
    }
    Put(h, RecordOfUsedSize("keep", 79));
    for (int i = 0; i < 8; ++i) ASSERT_EQ(Delete(h, "r" + std::to_string(i)), 1);
    format::LibraryHeader before = Header("fit.lib");
    ASSERT_EQ(before.freeSlots[3].offset, offsets[3]);
    ASSERT_EQ(before.freeSlots[7].size, 200);
    ASSERT_EQ(before.freeBytes, 1300u);
    ASSERT_EQ(IRSetExtraSpaceAmount(h, 1024), 1);

    // Used size 150 (asking for 1174): slot 3 is the first that holds 150, not the best fit.
    const Bytes r150 = RecordOfUsedSize("u150", 150);
    Put(h, r150);
    Bytes file = ReadFile(Path("fit.lib"));
    format::LibraryHeader after = DecodeHeaderOf(file);
    EXPECT_EQ(after.freeSlots[3].offset, 0u);
    EXPECT_EQ(after.freeSlots[3].size, 0);
    EXPECT_EQ(after.freeSlots[7].offset, offsets[7]);
    EXPECT_EQ(after.freeSlotCount, 7u);
    EXPECT_EQ(after.freeBytes, 800u);
    EXPECT_EQ(after.recordCount, 2u);
    EXPECT_EQ(after.dataEnd, before.dataEnd);
    EXPECT_EQ(Slice(file, offsets[3], 500), RecordImageOf(r150, 500));  // whole slot, capacity 500

    // Equal fits: used size 200 takes the 200 slot, skipping the three of 100.
    Put(h, RecordOfUsedSize("u200", 200));
    // A record of 79 takes the first slot of 100 whole: capacity 100, not 79 + 1024.
    Put(h, RecordOfUsedSize("u79", 79));
    // Nothing left holds 150: appended with the capacity it asked for.
    Put(h, RecordOfUsedSize("u150b", 150));
    file = ReadFile(Path("fit.lib"));
    after = DecodeHeaderOf(file);
    EXPECT_EQ(DecodeRecordAt(file, offsets[7]).usedSize, 200);
    EXPECT_EQ(DecodeRecordAt(file, offsets[0]).capacity, 100);
    EXPECT_EQ(DecodeRecordAt(file, offsets[0]).usedSize, 79);
    EXPECT_EQ(DecodeRecordAt(file, before.dataEnd).usedSize, 150);
    EXPECT_EQ(after.dataEnd, before.dataEnd + 1174u);
    EXPECT_EQ(after.freeSlotCount, 5u);
    EXPECT_EQ(after.freeSlots[0].offset, 0u);
    EXPECT_EQ(after.freeSlots[1].offset, offsets[1]);
    EXPECT_TRUE(CheckFileInvariants(file));
    IRCloseLibrary(h);
    EXPECT_TRUE(CheckFileInvariantsAt(Path("fit.lib")));
}

TEST_F(SpaceWrite, ARewriteThatFitsStaysInPlaceAndLeavesHeaderAndIndexAlone) {
    LibraryHandle* h = CreateAndOpen("inplace.lib");
    Put(h, MakeRemoteRecord("Sony", "TV", "KV-1", {MakeEntry(1, 10)}));  // capacity 1161
    Put(h, MakeRemoteRecord("Sony", "TV", "KV-2", {}));
    const Bytes headerBefore = Slice(ReadFile(Path("inplace.lib")), 0, 1570);

    // Other letter case, more entries, and an extra space that would ask for far more.
    ASSERT_EQ(IRSetExtraSpaceAmount(h, 5000), 1);
    const Bytes bigger = MakeRemoteRecord(
        "SONY", "tv", "kv-1", {MakeEntry(2, 100), MakeEntry(3, 100), MakeEntry(4, 100)});
    Put(h, bigger);
    Bytes file = ReadFile(Path("inplace.lib"));
    EXPECT_EQ(Slice(file, 0, 1570), headerBefore);
    EXPECT_EQ(Slice(file, 1570, 1161), RecordImageOf(bigger, 1161));  // capacity kept
    EXPECT_EQ(TakeList(IRFindAllManufacturers(h)), NameListOf({"Sony"}));
    EXPECT_EQ(TakeList(IRFindAllModels(h, "sony", "tv")), NameListOf({"KV-1", "KV-2"}));
    EXPECT_EQ(FetchNamed(h, "Sony", "TV", "KV-1"), FetchedImageOf(bigger));

    // Smaller, with no extra space: 137 bytes are written, the rest of the extent keeps its
    // old bytes, and the capacity stays 1161.
    ASSERT_EQ(IRSetExtraSpaceAmount(h, 0), 1);
    const Bytes smaller = MakeRemoteRecord("SONY", "TV", "KV-1", {MakeEntry(5, 10)});
    Put(h, smaller);
    const Bytes old = file;
    file = ReadFile(Path("inplace.lib"));
    EXPECT_EQ(Slice(file, 1570, 137), Slice(RecordImageOf(smaller, 1161), 0, 137));
    EXPECT_EQ(Slice(file, 1570 + 137, 1161 - 137), Slice(old, 1570 + 137, 1161 - 137));
    EXPECT_EQ(FetchNamed(h, "sony", "tv", "kv-1"), FetchedImageOf(smaller));

    // Equal fits: a record whose used size is exactly the capacity stays too.
    Put(h, MakeRemoteRecord("Acme", "Amp", "A1", {MakeEntry(6, 10)}));  // 137 in 137
    const uint32_t acme = Header("inplace.lib").dataEnd - 137;
    Put(h, MakeRemoteRecord("Acme", "Amp", "A1", {MakeEntry(7, 10)}));
    EXPECT_EQ(Header("inplace.lib").dataEnd, acme + 137);
    EXPECT_EQ(DecodeRecordAt(ReadFile(Path("inplace.lib")), acme).usedSize, 137);
    IRCloseLibrary(h);

    // The saved index keeps the first letter case, the record header the last one.
    FileView view;
    ASSERT_TRUE(CheckFileInvariantsAt(Path("inplace.lib"), &view));
    h = Open(Path("inplace.lib"), IRModeReadOnly);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(TakeList(IRFindAllManufacturers(h)), NameListOf({"Sony", "Acme"}));
    const auto fetched = FetchNamed(h, "Sony", "TV", "KV-1");
    ASSERT_TRUE(fetched);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(fetched->data() + 4)), "SONY");
    IRCloseLibrary(h);
}

TEST_F(SpaceWrite, ARecordThatOutgrowsItsExtentMovesAfterItsOldExtentIsListed) {
    LibraryHandle* h = CreateAndOpen("move.lib");
    ASSERT_EQ(IRSetExtraSpaceAmount(h, 300 - 79), 1);
    Put(h, RecordOfUsedSize("pad", 79));  // 1570, capacity 300
    ASSERT_EQ(IRSetExtraSpaceAmount(h, 0), 1);
    Put(h, RecordOfUsedSize("m", 137));    // 1870, capacity 137
    Put(h, RecordOfUsedSize("keep", 79));  // 2007
    ASSERT_EQ(Delete(h, "pad"), 1);        // slot 0 = (1570, 300)

    // Used size 200 does not fit 137: the old extent goes to slot 1 first, then the search
    // takes slot 0. (Searching first would have put the old extent into slot 0.)
    const Bytes grown = RecordOfUsedSize("m", 200, 9);
    Put(h, grown);
    Bytes file = ReadFile(Path("move.lib"));
    format::LibraryHeader header = DecodeHeaderOf(file);
    EXPECT_EQ(header.freeSlots[0].offset, 0u);
    EXPECT_EQ(header.freeSlots[1].offset, 1870u);
    EXPECT_EQ(header.freeSlots[1].size, 137);
    EXPECT_EQ(header.dataEnd, 2086u);
    EXPECT_EQ(Slice(file, 1570, 200), Slice(RecordImageOf(grown, 300), 0, 200));
    EXPECT_EQ(DecodeRecordAt(file, 1570).capacity, 300);
    EXPECT_TRUE(CheckFileInvariants(file));

    // Larger than any slot: listed in the lowest empty slot (0), appended at dataEnd.
    const Bytes huge = RecordOfUsedSize("m", 400, 10);
    Put(h, huge);
    file = ReadFile(Path("move.lib"));
    header = DecodeHeaderOf(file);
    EXPECT_EQ(header.freeSlots[0].offset, 1570u);
    EXPECT_EQ(header.freeSlots[0].size, 300);
    EXPECT_EQ(header.dataEnd, 2486u);
    EXPECT_EQ(Slice(file, 2086, 400), RecordImageOf(huge, 400));
    EXPECT_EQ(header.recordCount, 2u);
    EXPECT_EQ(FetchNamed(h, "Maker", "Type", "m"), FetchedImageOf(huge));
    EXPECT_TRUE(CheckFileInvariants(file));
    IRCloseLibrary(h);
    EXPECT_TRUE(CheckFileInvariantsAt(Path("move.lib")));
}

TEST_F(SpaceWrite, TheHeaderIsDirtyOnDiskBeforeAnyRecordByte) {
    struct Case {
        const char* name;
        std::function<void(LibraryHandle*)> setUp;  // on a fresh library
        Bytes record;
        uint16_t extraSpace;
        // Region the write may blank before the header goes dirty: the deletion of a
        // moving record's old extent writes its first blank copy before the header.
        uint32_t blankFrom = 0, blankLength = 0;
    };
    const Bytes one = MakeRemoteRecord("Sony", "TV", "KV-1", {MakeEntry(1, 10)});
    std::vector<Case> cases = {
        {"append after the stored index", [&](LibraryHandle* h) { Put(h, one); },
         MakeRemoteRecord("Acme", "Amp", "A1", {MakeEntry(2, 30)}), 1024},
        {"rewrite in place", [&](LibraryHandle* h) { Put(h, one); },
         MakeRemoteRecord("Sony", "TV", "KV-1", {MakeEntry(3, 40)}), 1024},
        {"into a free slot",
         [&](LibraryHandle* h) {
             Put(h, one);
             Put(h, RecordOfUsedSize("gone", 79));
             ASSERT_EQ(Delete(h, "gone"), 1);
         },
         RecordOfUsedSize("new", 150), 1024},
        {"moved",
         [&](LibraryHandle* h) {
             Put(h, one);
             Put(h, RecordOfUsedSize("x", 79));
         },
         MakeRemoteRecord("Sony", "TV", "KV-1", {MakeEntry(4, 2000)}), 0, 1570, 1161},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LibraryHandle* h = CreateAndOpen("crash.lib");
        c.setUp(h);
        IRCloseLibrary(h);
        const Bytes original = ReadFile(Path("crash.lib"));
        ASSERT_EQ(DecodeHeaderOf(original).dirty, 0);
        int status = 0;
        uint32_t crashes = 0;
        for (uint32_t k = 1; k < 16; ++k) {
            WriteFile(Path("crash.lib"), original);
            status = RunInChild([&] {
                pt::ClearFaults();
                LibraryHandle* child = Open(Path("crash.lib"), IRModeWrite);
                if (child == nullptr) return 1;
                IRSetExtraSpaceAmount(child, c.extraSpace);
                pt::InjectFault(FaultCall::Write, k, FaultEffect::Crash);
                return IRWriteRemoteRecord(
                           child, reinterpret_cast<const RemoteRecord*>(c.record.data())) == 1
                           ? 0
                           : 2;
            });
            if (status != platform::kCrashExitStatus) break;
            ++crashes;
            // The process ended right after write k reached the file.
            Bytes file = ReadFile(Path("crash.lib"));
            Bytes expected = original;
            expected.resize(file.size(), 0);
            for (uint32_t i = c.blankFrom; i < c.blankFrom + c.blankLength; ++i) {
                expected[i] = file[i];
            }
            const bool recordBytesChanged =
                !std::equal(file.begin() + 1570, file.end(), expected.begin() + 1570);
            if (recordBytesChanged) {
                ASSERT_TRUE(format::Verify(format::BlockKind::Header,
                                           std::span<const uint8_t>(file.data(), 1570)))
                    << "crash after write " << k;
                EXPECT_EQ(DecodeHeaderOf(file).dirty, 1)
                    << "record bytes before the dirty header, write " << k;
            }
        }
        EXPECT_EQ(status, 0) << "the write did not complete without a fault";
        EXPECT_GE(crashes, 2u);
    }
}

TEST_F(SpaceWrite, RecordsBeyondSixteenBitsAreRefusedBeforeAnythingIsTouched) {
    LibraryHandle* h = CreateAndOpen("limit.lib");
    Put(h, RecordOfUsedSize("small", 79));
    const Bytes before = ReadFile(Path("limit.lib"));
    pt::ClearFaults();
    // 79 + 2 * (48 + 40000) = 80175: a 16-bit sum would wrap to 14639.
    const Bytes wraps =
        MakeRemoteRecord("Maker", "Type", "wide", {MakeEntry(1, 40000), MakeEntry(2, 40000)});
    EXPECT_EQ(WriteBytes(h, wraps), 0);
    // Used size 65000 fits, but not with the default 1024 bytes of extra space (66024 would
    // wrap to a 488-byte image).
    const Bytes r65000 = RecordOfUsedSize("big", 65000);
    EXPECT_EQ(WriteBytes(h, r65000), 0);
    // So is a record whose image cannot be allocated.
    pt::InjectFault(FaultCall::Allocate, 1);
    EXPECT_EQ(WriteBytes(h, RecordOfUsedSize("small", 200)), 0);
    EXPECT_TRUE(pt::FaultFired());
    EXPECT_EQ(pt::CallCount(FaultCall::Write), 0u);
    EXPECT_EQ(pt::CallCount(FaultCall::Read), 0u);
    EXPECT_EQ(ReadFile(Path("limit.lib")), before);
    EXPECT_EQ(TakeList(IRFindAllModels(h, "Maker", "Type")), NameListOf({"small"}));

    // Exactly 65535 is allowed, as used size plus extra space and as used size alone.
    ASSERT_EQ(IRSetExtraSpaceAmount(h, 535), 1);
    EXPECT_EQ(WriteBytes(h, r65000), 1);
    ASSERT_EQ(IRSetExtraSpaceAmount(h, 0), 1);
    const Bytes r65535 = RecordOfUsedSize("max", 65535);
    EXPECT_EQ(WriteBytes(h, r65535), 1);
    const Bytes file = ReadFile(Path("limit.lib"));
    const uint32_t maxAt = DecodeHeaderOf(file).dataEnd - 65535;
    EXPECT_EQ(DecodeRecordAt(file, maxAt).capacity, 65535);
    EXPECT_EQ(DecodeRecordAt(file, maxAt - 65535).usedSize, 65000);
    EXPECT_EQ(FetchNamed(h, "Maker", "Type", "max"), FetchedImageOf(r65535));
    EXPECT_TRUE(CheckFileInvariants(file));
    IRCloseLibrary(h);
}

TEST_F(SpaceWrite, HandlesThatMayNotWriteLeaveTheFileAsItWas) {
    LibraryHandle* h = CreateAndOpen("ro.lib");
    ASSERT_EQ(IRSetExtraSpaceAmount(h, 0), 1);
    const Bytes stored = MakeRemoteRecord("Sony", "TV", "KV-1", {MakeEntry(1, 10)});
    Put(h, stored);
    EXPECT_EQ(IRWriteRemoteRecord(h, nullptr), 0);
    EXPECT_EQ(IRWriteRemoteRecord(nullptr, reinterpret_cast<const RemoteRecord*>(stored.data())),
              0);
    IRCloseLibrary(h);
    const Bytes before = ReadFile(Path("ro.lib"));

    const Bytes fresh = MakeRemoteRecord("Acme", "Amp", "A1", {});
    const Bytes inPlace = MakeRemoteRecord("Sony", "TV", "KV-1", {MakeEntry(2, 10)});
    const Bytes moving = MakeRemoteRecord("Sony", "TV", "KV-1", {MakeEntry(3, 500)});
    // Read-only, and both mode bits: the second passes the mode test, but its descriptor is
    // read-only, so every write fails.
    for (uint32_t mode : {IRModeReadOnly, IRModeReadOnly | IRModeWrite}) {
        SCOPED_TRACE(mode);
        h = Open(Path("ro.lib"), mode);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(WriteBytes(h, fresh), 0);
        EXPECT_EQ(WriteBytes(h, inPlace), 0);
        EXPECT_EQ(WriteBytes(h, moving), 0);
        // Nothing was listed as free, so the names stay and the record still reads.
        EXPECT_EQ(FetchNamed(h, "Sony", "TV", "KV-1"), FetchedImageOf(stored));
        EXPECT_EQ(TakeList(IRFindAllManufacturers(h)), NameListOf({"Sony"}));
        IRCloseLibrary(h);
        EXPECT_EQ(ReadFile(Path("ro.lib")), before);
    }
}

TEST_F(SpaceWrite, FailuresOfTheSpaceSearchKeepIndexAndCountersInStep) {
    LibraryHandle* h = CreateAndOpen("fail.lib");
    ASSERT_EQ(IRSetExtraSpaceAmount(h, 0), 1);
    const Bytes kept = MakeRemoteRecord("Sony", "TV", "KV-1", {MakeEntry(1, 10)});
    Put(h, kept);
    Put(h, RecordOfUsedSize("other", 79));

    // A damaged record header under the names: nothing is written, nothing changes.
    Bytes damaged = ReadFile(Path("fail.lib"));
    const Bytes intact = damaged;
    damaged[1570 + 20] ^= 0x01;
    WriteFile(Path("fail.lib"), damaged);
    pt::ClearFaults();
    EXPECT_EQ(WriteBytes(h, MakeRemoteRecord("Sony", "TV", "KV-1", {})), 0);
    EXPECT_EQ(pt::CallCount(FaultCall::Write), 0u);
    EXPECT_EQ(ReadFile(Path("fail.lib")), damaged);
    WriteFile(Path("fail.lib"), intact);

    // A new record whose header update fails: not in the index, file unchanged.
    pt::InjectFault(FaultCall::Write, 1);
    EXPECT_EQ(WriteBytes(h, MakeRemoteRecord("Acme", "Amp", "A1", {})), 0);
    EXPECT_EQ(ReadFile(Path("fail.lib")), intact);
    EXPECT_EQ(IRFindAllTypes(h, "Acme"), nullptr);

    // A move whose second blank write fails is undone: the record keeps its extent and its
    // names.
    pt::InjectFault(FaultCall::Write, 4);
    EXPECT_EQ(WriteBytes(h, MakeRemoteRecord("Sony", "TV", "KV-1", {MakeEntry(2, 100)})), 0);
    EXPECT_TRUE(pt::FaultFired());
    EXPECT_EQ(TakeList(IRFindAllManufacturers(h)), NameListOf({"Maker", "Sony"}));
    EXPECT_EQ(ReadFile(Path("fail.lib")), intact);
    pt::ClearFaults();
    IRCloseLibrary(h);
    FileView view;
    ASSERT_TRUE(CheckFileInvariantsAt(Path("fail.lib"), &view));
    EXPECT_EQ(view.header.recordCount, 2u);
    EXPECT_EQ(view.index.size(), 2u);
}

TEST_F(SpaceWrite, ARecordTheIndexCouldNotTakeIsNeverPlacedTwice) {
    LibraryHandle* h = CreateAndOpen("lost.lib");
    Put(h, MakeRemoteRecord("Sony", "TV", "KV-1", {}));
    const Bytes second = MakeRemoteRecord("Sony", "TV", "KV-2", {MakeEntry(1, 10)});
    // The record is placed, counted and written, but its model node cannot be allocated.
    pt::InjectFault(FaultCall::Resize, 1);
    EXPECT_EQ(WriteBytes(h, second), 1);
    EXPECT_TRUE(pt::FaultFired());
    pt::ClearFaults();
    // The tree no longer knows the record, so writing the same names again would place a
    // second live record under them, which no rebuild of the index could then accept.
    EXPECT_EQ(WriteBytes(h, second), 0);
    EXPECT_EQ(Delete(h, "KV-1", "Sony", "TV"), 0);
    IRCloseLibrary(h);
    EXPECT_EQ(DecodeHeaderOf(ReadFile(Path("lost.lib"))).dirty, 1);

    // The next open for writing rebuilds the catalogue from the records.
    h = Open(Path("lost.lib"), IRModeWrite);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(TakeList(IRFindAllModels(h, "Sony", "TV")), NameListOf({"KV-1", "KV-2"}));
    EXPECT_EQ(FetchNamed(h, "Sony", "TV", "KV-2"), FetchedImageOf(second));
    IRCloseLibrary(h);
    EXPECT_TRUE(CheckFileInvariantsAt(Path("lost.lib")));
}

}  // namespace
}  // namespace varnel32::test
